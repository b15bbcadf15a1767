#include "core/model_bias/checks.hpp"

#include <cmath>
#include <stdexcept>

namespace morvane {

ModelBiasRuntimeError missing_metric_error(ModelBiasMetric m) {
    using M = ModelBiasMetric;
    using E = ModelBiasRuntimeError;
    // The error enumeration lists TreatmentEquity, the demographic disparity and the
    // rejection rate in another order than the metrics.
    switch (m) {
        case M::DifferenceInPositivePredictedLabels: return E::DifferenceInPositivePredictedLabels;
        case M::DisparateImpact: return E::DisparateImpact;
        case M::AccuracyDifference: return E::AccuracyDifference;
        case M::RecallDifference: return E::RecallDifference;
        case M::DifferenceInConditionalAcceptance: return E::DifferenceInConditionalAcceptance;
        case M::DifferenceInAcceptanceRate: return E::DifferenceInAcceptanceRate;
        case M::SpecialityDifference: return E::SpecialityDifference;
        case M::DifferenceInConditionalRejection: return E::DifferenceInConditionalRejection;
        case M::DifferenceInRejectionRate: return E::DifferenceInRejectionRate;
        case M::TreatmentEquity: return E::TreatmentEquity;
        case M::ConditionalDemographicDesparityPredictedLabels: return E::ConditionalDemographicDesparityPredictedLabels;
        case M::GeneralizedEntropy: return E::GeneralizedEntropy;
    }
    throw std::logic_error("unknown model bias metric");
}

Result<ModelBiasRuntime, ModelPerformanceError> ModelBiasRuntime::new_from_post_training(const PostTraining& t,
                                                                                         float generalized_entropy) {
    switch (model_bias::check_guards(t)) {
        case model_bias::GuardFailure::EmptyFacet: return unexpected(ModelPerformanceError::of(PerfKind::EmptyDataVector));
        case model_bias::GuardFailure::ZeroDenominator: return unexpected(ModelPerformanceError::of(PerfKind::InvalidData));
        case model_bias::GuardFailure::None: break;
    }
    return ModelBiasRuntime{model_bias::bias_values(t, generalized_entropy)};
}

Result<ModelBiasRuntime, ModelBiasRuntimeError> ModelBiasRuntime::from_map(
    const std::unordered_map<std::string, float>& map) {
    ModelBiasRuntime r;
    for (std::size_t i = 0; i < r.values.size(); ++i) {
        const auto m = static_cast<ModelBiasMetric>(i);
        const auto it = map.find(std::string(metric_name(m)));
        if (it == map.end()) return unexpected(missing_metric_error(m));
        r.values[i] = it->second;
    }
    return r;
}

MetricMap<ModelBiasMetric> ModelBiasRuntime::to_map() const {
    MetricMap<ModelBiasMetric> map;
    map.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) map.emplace(static_cast<ModelBiasMetric>(i), values[i]);
    return map;
}

MetricMap<ModelBiasMetric> ModelBiasRuntime::runtime_check(const ModelBiasRuntime& baseline,
                                                           std::span<const ModelBiasMetric> metrics,
                                                           float threshold) const {
    MetricMap<ModelBiasMetric> failed;
    failed.reserve(metrics.size());
    const float k = 1.0f + threshold;
    for (const ModelBiasMetric m : metrics) {
        const float l = get(m);
        const float b = baseline.get(m);
        // Ratios fail by growing; the differences fail by growing in magnitude,
        // whatever their sign. A NaN never fails.
        if (m == ModelBiasMetric::DisparateImpact || m == ModelBiasMetric::GeneralizedEntropy) {
            if (l > k * b) failed.insert_or_assign(m, std::fabs(l - b));
        } else if (std::fabs(l) > k * std::fabs(b)) {
            failed.insert_or_assign(m, std::fabs(std::fabs(l) - std::fabs(b)));
        }
    }
    return failed;
}

MetricMap<ModelBiasMetric> ModelBiasRuntime::runtime_drift_report(const ModelBiasRuntime& baseline) const {
    MetricMap<ModelBiasMetric> map;
    map.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const float r = values[i], b = baseline.values[i];
        map.emplace(static_cast<ModelBiasMetric>(i), std::fabs((r - b) / b));
    }
    return map;
}

}  // namespace morvane
