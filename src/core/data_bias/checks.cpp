#include "core/data_bias/checks.hpp"

namespace morvane {

Result<DataBiasRecord, BiasError> data_bias_metrics(const PreTraining& p) {
    if (!p.has_both_facets()) return unexpected(BiasError::DataLengthError);
    return DataBiasRecord{data_bias::core::pre_training_values(p)};
}

Result<MetricMap<DataBiasMetric>, std::vector<std::string>> convert_db_analysis(const MetricValues& map) {
    MetricMap<DataBiasMetric> out;
    out.reserve(DataBiasRecord::SIZE);
    std::vector<std::string> bad;
    for (const auto& [key, value] : map) {
        if (const auto m = parse_metric<DataBiasMetric>(key)) out.insert_or_assign(*m, value);
        else bad.push_back(key);
    }
    if (!bad.empty()) return unexpected(std::move(bad));
    return out;
}

Result<DriftReport<DataBiasMetric>, DataBiasRuntimeError> data_bias_runtime_check(
    const MetricMap<DataBiasMetric>& baseline, const MetricMap<DataBiasMetric>& latest, std::optional<float> threshold) {
    const float t = threshold.value_or(DEFAULT_THRESHOLD);
    const auto b = DataBiasRecord::from_map(baseline);
    if (!b) return unexpected(DataBiasRuntimeError{b.error()});
    const auto l = DataBiasRecord::from_map(latest);
    if (!l) return unexpected(DataBiasRuntimeError{l.error()});
    return DriftReport<DataBiasMetric>::from_runtime(l->check(*b, ALL_METRICS_OF<tables::DATA_BIAS>, t));
}

}  // namespace morvane
