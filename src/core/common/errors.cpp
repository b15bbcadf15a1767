#include "core/common/errors.hpp"

#include <array>
#include <stdexcept>

#include "core/common/utf8.hpp"

namespace morvane {

namespace {

constexpr std::array<std::string_view, 5> BIAS_TEXT{
    "No deviation in behavior between facets",
    "No segmentation parameters provided",
    "Ambiguous segmentation parameters",
    "All data arrays must have equal length and be at least lenght 1",
    "Invalid bias configuration",
};

constexpr std::array<std::string_view, 5> BIAS_NAME{
    "NoFacetDeviation", "NoSegmentationParameters", "AmbiguousSegmentationParameters",
    "DataLengthError", "BiasConfigError",
};

constexpr std::array<std::string_view, 8> DRIFT_TEXT{
    "Data used for runtime drift analysis must be non empty",
    "Unable to convert internal timestamp into DateTime object",
    "Internal runtime bins are malformed",
    "Baseline data must be non empty",
    "NaN values are not supported",
    "Unsupported drift type",
    "Operation not supported in current drift mode",
    "Configuration not supported in current drift mode",
};

constexpr std::array<std::string_view, 7> PERF_TEXT{
    "Metric cannot be computed with given data",
    "Empty data vectors",
    "Data vectors must be equal length",
    "Invalid analysis report",
    "Bias Error: ",
    "Data Vector type mistmatch",
    "UnSupportedType",
};

constexpr std::array<std::string_view, 7> PERF_NAME{
    "InvalidData", "EmptyDataVector", "DataVectorLengthMismatch", "InvalidAnalysisReport",
    "BiasError", "DataVectorTypeMismatch", "UnsupportedTypeError",
};

template <class A, class E>
std::string_view lookup(const A& table, E e) {
    return table.at(static_cast<std::size_t>(e));
}

// Characters shown verbatim: printable ASCII and printable non-ASCII letters. Control
// characters, C1 controls, format characters such as U+200B..U+200F and the BOM,
// separators other than the plain blank, surrogates and non-characters are escaped.
bool is_printable(char32_t c) {
    if (c < 0x20 || c == 0x7F) return false;
    if (c < 0x7F) return true;
    if (c >= 0x80 && c < 0xA0) return false;
    if (c == 0xAD) return false;
    if ((c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F))
        return false;
    if (c == 0xFEFF || c == 0x2000 || (c > 0x2000 && c <= 0x200A) || c == 0x3000 || c == 0x1680 ||
        c == 0x00A0 || c == 0x202F || c == 0x205F)
        return false;
    if (c >= 0xD800 && c <= 0xDFFF) return false;
    if ((c & 0xFFFE) == 0xFFFE || (c >= 0xFDD0 && c <= 0xFDEF)) return false;
    if (c >= 0xE000 && c <= 0xF8FF) return false;  // private use
    if (c >= 0xFFF9 && c <= 0xFFFB) return false;
    if (c >= 0xE0000) return false;
    return c <= 0x10FFFF;
}

}  // namespace

std::string_view display(BiasError e) { return lookup(BIAS_TEXT, e); }
std::string_view name(BiasError e) { return lookup(BIAS_NAME, e); }
std::string_view display(DriftError e) { return lookup(DRIFT_TEXT, e); }

std::string display(const ModelPerformanceError& e) {
    std::string out(lookup(PERF_TEXT, e.kind));
    if (e.kind == PerfKind::BiasError) out += name(e.bias);
    return out;
}

std::string debug_name(const ModelPerformanceError& e) {
    std::string out(lookup(PERF_NAME, e.kind));
    if (e.kind == PerfKind::BiasError) {
        out += '(';
        out += name(e.bias);
        out += ')';
    }
    return out;
}

std::string quote_name(std::string_view s) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out = "\"";
    std::size_t i = 0;
    while (i < s.size()) {
        const char32_t c = next_code_point(s, i);
        switch (c) {
            case U'\\': out += "\\\\"; continue;
            case U'"': out += "\\\""; continue;
            case U'\n': out += "\\n"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\0': out += "\\0"; continue;
            default: break;
        }
        if (is_printable(c)) {
            append_utf8(out, c);
            continue;
        }
        std::string hex;
        for (char32_t v = c; v != 0 || hex.empty(); v >>= 4) hex.insert(hex.begin(), HEX[v & 0xF]);
        out += "\\u{" + hex + "}";
    }
    out += '"';
    return out;
}

std::string display(const InvalidMetricError& e) {
    std::string out = "Metrics: [";
    for (std::size_t i = 0; i < e.names.size(); ++i) {
        if (i) out += ", ";
        out += quote_name(e.names[i]);
    }
    out += "] are not supported";
    return out;
}

BiasError to_bias_error(const ModelPerformanceError& e) {
    switch (e.kind) {
        case PerfKind::InvalidData: return BiasError::NoFacetDeviation;
        case PerfKind::EmptyDataVector: return BiasError::DataLengthError;
        default: throw std::logic_error("Invalid error conversion");
    }
}

}  // namespace morvane
