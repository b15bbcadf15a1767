#include "core/data_bias/checks.hpp"

#include <cmath>

#include "core/common/configuration.hpp"

namespace morvane {

namespace {
constexpr std::array<DataBiasMetric, 7> ALL_METRICS{
    DataBiasMetric::ClassImbalance, DataBiasMetric::DifferenceInProportionOfLabels, DataBiasMetric::KlDivergence,
    DataBiasMetric::JsDivergence,   DataBiasMetric::LpNorm,                         DataBiasMetric::TotalVariationDistance,
    DataBiasMetric::KolmogorovSmirnov,
};
}

DataBiasRuntimeError missing_metric_error(DataBiasMetric m) {
    switch (m) {
        case DataBiasMetric::ClassImbalance: return DataBiasRuntimeError::ClassImbalance;
        case DataBiasMetric::DifferenceInProportionOfLabels: return DataBiasRuntimeError::DifferenceInProportionOfLabels;
        case DataBiasMetric::KlDivergence: return DataBiasRuntimeError::KlDivergence;
        case DataBiasMetric::JsDivergence: return DataBiasRuntimeError::JsDivergence;
        case DataBiasMetric::LpNorm: return DataBiasRuntimeError::LpNorm;
        case DataBiasMetric::TotalVariationDistance: return DataBiasRuntimeError::TotalVariationDistance;
        case DataBiasMetric::KolmogorovSmirnov: return DataBiasRuntimeError::KolmogorovSmirnov;
    }
    return DataBiasRuntimeError::ClassImbalance;
}

Result<DataBiasRuntime, BiasError> DataBiasRuntime::new_from_pre_training(const PreTraining& p) {
    if (!p.has_both_facets()) return unexpected(BiasError::DataLengthError);
    return DataBiasRuntime{data_bias::core::pre_training_values(p)};
}

Result<DataBiasRuntime, DataBiasRuntimeError> DataBiasRuntime::from_names(const StringFloatMap& map) {
    DataBiasRuntime r;
    for (const DataBiasMetric m : ALL_METRICS) {
        const auto it = map.find(std::string(metric_name(m)));
        if (it == map.end()) return unexpected(missing_metric_error(m));
        r.values[static_cast<std::size_t>(m)] = it->second;
    }
    return r;
}

Result<DataBiasRuntime, DataBiasRuntimeError> DataBiasRuntime::from_map(const MetricMap<DataBiasMetric>& map) {
    DataBiasRuntime r;
    for (const DataBiasMetric m : ALL_METRICS) {
        const auto it = map.find(m);
        if (it == map.end()) return unexpected(missing_metric_error(m));
        r.values[static_cast<std::size_t>(m)] = it->second;
    }
    return r;
}

MetricMap<DataBiasMetric> DataBiasRuntime::to_map() const {
    MetricMap<DataBiasMetric> map;
    map.reserve(values.size());
    for (const DataBiasMetric m : ALL_METRICS) map.emplace(m, get(m));
    return map;
}

MetricMap<DataBiasMetric> DataBiasRuntime::runtime_check(const DataBiasRuntime& baseline,
                                                         std::span<const DataBiasMetric> metrics, float threshold) const {
    MetricMap<DataBiasMetric> failed;
    failed.reserve(metrics.size());
    const float k = 1.0f + threshold;
    // Only growth fails; the two signed metrics are compared by magnitude. A
    // comparison with NaN is false, so a NaN metric never fails.
    for (const DataBiasMetric m : metrics) {
        const float l = get(m);
        const float b = baseline.get(m);
        switch (m) {
            case DataBiasMetric::ClassImbalance:
                if (std::fabs(l) > std::fabs(k * std::fabs(b))) failed.insert_or_assign(m, std::fabs(std::fabs(l) - std::fabs(b)));
                break;
            case DataBiasMetric::DifferenceInProportionOfLabels:
                if (std::fabs(l) > k * std::fabs(b)) failed.insert_or_assign(m, std::fabs(l - b));
                break;
            default:
                if (l > k * b) failed.insert_or_assign(m, l - b);
                break;
        }
    }
    return failed;
}

MetricMap<DataBiasMetric> DataBiasRuntime::runtime_drift_report(const DataBiasRuntime& baseline) const {
    const float eps = static_cast<float>(static_cast<double>(STABILITIY_EPS));
    MetricMap<DataBiasMetric> out;
    out.reserve(values.size());
    for (const DataBiasMetric m : ALL_METRICS) {
        const float r = get(m);
        const float b = baseline.get(m);
        // fmax ignores a NaN |b|: a NaN baseline divides by eps.
        out.emplace(m, std::fabs(r - b) / std::fmax(std::fabs(b), eps));
    }
    return out;
}

Result<MetricMap<DataBiasMetric>, std::vector<std::string>> convert_db_analysis(const StringFloatMap& map) {
    MetricMap<DataBiasMetric> out;
    out.reserve(ALL_METRICS.size());
    std::vector<std::string> bad;
    for (const auto& [key, value] : map) {
        if (const auto m = parse_metric<DataBiasMetric>(key)) out.insert_or_assign(*m, value);
        else bad.push_back(key);
    }
    if (!bad.empty()) return unexpected(std::move(bad));
    return out;
}

namespace data_bias {

Result<DriftReport<DataBiasMetric>, DataBiasRuntimeError> data_bias_runtime_check(
    const MetricMap<DataBiasMetric>& baseline, const MetricMap<DataBiasMetric>& latest, std::optional<float> threshold) {
    const float t = threshold.value_or(DEFAULT_RUNTIME_THRESHOLD);
    const auto b = DataBiasRuntime::from_map(baseline);
    if (!b) return unexpected(b.error());
    const auto l = DataBiasRuntime::from_map(latest);
    if (!l) return unexpected(l.error());
    return DriftReport<DataBiasMetric>::from_runtime(l->runtime_check(*b, ALL_METRICS, t));
}

}  // namespace data_bias

}  // namespace morvane
