// The seven data-bias metrics as a record, compared by the runtime check (growth
// beyond a relative threshold) and by the monitor (relative change either way).
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/data_bias/pre_training.hpp"
#include "core/common/errors.hpp"
#include "core/common/metrics.hpp"
#include "core/common/check_report.hpp"

namespace morvane {

inline constexpr float DEFAULT_RUNTIME_THRESHOLD = 0.1f;

using StringFloatMap = std::unordered_map<std::string, float>;

// The seven values in DataBiasMetric order.
struct DataBiasRuntime {
    std::array<float, 7> values{};

    float get(DataBiasMetric m) const { return values[static_cast<std::size_t>(m)]; }

    // The metrics of the counts; a facet without elements is a DataLengthError.
    static Result<DataBiasRuntime, BiasError> new_from_pre_training(const PreTraining& p);
    // All seven names required (the first missing one, in metric order, is the
    // error); other keys are ignored.
    static Result<DataBiasRuntime, DataBiasRuntimeError> from_names(const StringFloatMap& map);
    static Result<DataBiasRuntime, DataBiasRuntimeError> from_map(const MetricMap<DataBiasMetric>& map);

    MetricMap<DataBiasMetric> to_map() const;

    // The metrics of `metrics` that grew beyond (1 + threshold) times the baseline,
    // each with its change. Never fails; NaN never fails a metric.
    MetricMap<DataBiasMetric> runtime_check(const DataBiasRuntime& baseline, std::span<const DataBiasMetric> metrics,
                                            float threshold) const;
    // |r - b| / max(|b|, eps) for all seven metrics.
    MetricMap<DataBiasMetric> runtime_drift_report(const DataBiasRuntime& baseline) const;
};

// The error a missing metric gives.
DataBiasRuntimeError missing_metric_error(DataBiasMetric m);

// A stored dict keyed by metric name: the metric map, or the keys that name no metric.
Result<MetricMap<DataBiasMetric>, std::vector<std::string>> convert_db_analysis(const StringFloatMap& map);

namespace data_bias {

// Every metric checked; the baseline map is read first. Absent threshold: 0.10.
Result<DriftReport<DataBiasMetric>, DataBiasRuntimeError> data_bias_runtime_check(
    const MetricMap<DataBiasMetric>& baseline, const MetricMap<DataBiasMetric>& latest, std::optional<float> threshold);

}  // namespace data_bias

}  // namespace morvane
