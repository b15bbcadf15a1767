// The error values of the module. Every failure a core can report is one
// of these values; the boundary turns them into Python exceptions (py/raise.hpp).
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/metric_tables.hpp"

namespace morvane {

// Results of the cores: a value or one error value.
template <class T, class E>
using Result = std::expected<T, E>;
using std::unexpected;

enum class BiasError : std::uint8_t {
    NoFacetDeviation,
    NoSegmentationParameters,
    AmbiguousSegmentationParameters,
    DataLengthError,
    BiasConfigError,
};

enum class DriftError : std::uint8_t {
    EmptyRuntimeData,
    DateTimeError,
    MalformedRuntimeData,
    EmptyBaselineData,
    NaNValueError,
    UnsupportedDriftType,
    UnsupportedOperation,
    UnsupportedConfig,
};

// A metric a stored dict lacks; its text is "<name> not present".
template <class M>
struct MetricNotPresent {
    M metric;
};
using DataBiasRuntimeError = MetricNotPresent<DataBiasMetric>;
using ModelBiasRuntimeError = MetricNotPresent<ModelBiasMetric>;

// A list of metric names a parser refused; the kind says which family's parser.
struct InvalidMetricError {
    enum class Kind : std::uint8_t {
        DataBiasMetricError,
        ModelBiasMetricError,
        ClassificationMetricError,
        RegressionMetricError,
    };
    Kind kind;
    std::vector<std::string> names;
};

// Failures of the performance family; member BiasError embeds a BiasError.
struct ModelPerformanceError {
    enum class Kind : std::uint8_t {
        InvalidData,
        EmptyDataVector,
        DataVectorLengthMismatch,
        InvalidAnalysisReport,
        BiasError,
        DataVectorTypeMismatch,
        UnsupportedTypeError,
    };
    Kind kind;
    morvane::BiasError bias{};

    static constexpr ModelPerformanceError of(Kind k) { return {k, {}}; }
    static constexpr ModelPerformanceError of(morvane::BiasError b) { return {Kind::BiasError, b}; }
    friend constexpr bool operator==(const ModelPerformanceError& a, const ModelPerformanceError& b) {
        return a.kind == b.kind && (a.kind != Kind::BiasError || a.bias == b.bias);
    }
};

using PerfKind = ModelPerformanceError::Kind;

// Display texts: exactly what the Python exception message reads.
std::string_view display(BiasError e);
std::string_view display(DriftError e);
template <class M>
std::string display(MetricNotPresent<M> e) {
    return std::string(metric_name(e.metric)) + " not present";
}
std::string display(const ModelPerformanceError& e);
std::string display(const InvalidMetricError& e);

// Member names (the debug form).
std::string_view name(BiasError e);
std::string debug_name(const ModelPerformanceError& e);

// A name written as a double-quoted literal with \\, \", \n, \r, \t, \0 escaped and any
// other non-printable character as \u{hex}; used by the InvalidMetricError text.
std::string quote_name(std::string_view s);

// Where a bias computation runs the shared performance checks: InvalidData means no
// facet deviation and EmptyDataVector a length error. Anything else is a broken
// invariant and throws (a panic at the boundary).
BiasError to_bias_error(const ModelPerformanceError& e);

}  // namespace morvane
