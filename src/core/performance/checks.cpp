#include "core/performance/checks.hpp"

namespace morvane {

namespace {

template <class M, std::size_t N>
constexpr std::array<M, N> first_metrics() {
    std::array<M, N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = static_cast<M>(i);
    return out;
}

template <class Record, class M, class FromMap>
Result<DriftReport<M>, ModelPerformanceError> performance_runtime(const MetricValues& baseline_map,
                                                                  const MetricValues& latest_map,
                                                                  std::span<const M> metrics,
                                                                  std::optional<float> threshold, FromMap from_map) {
    const Result<Record, ModelPerformanceError> baseline = from_map(baseline_map);
    if (!baseline) return unexpected(baseline.error());
    const Result<Record, ModelPerformanceError> latest = from_map(latest_map);
    if (!latest) return unexpected(latest.error());
    return DriftReport<M>::from_runtime(
        compare_to_baseline(*latest, metrics, *baseline, threshold.value_or(DEFAULT_RUNTIME_THRESHOLD)));
}

}  // namespace

const std::array<LinearRegressionEvaluationMetric, 8> ALL_REGRESSION_METRICS =
    first_metrics<LinearRegressionEvaluationMetric, 8>();
const std::array<ClassificationEvaluationMetric, 8> ALL_LOGISTIC_METRICS = first_metrics<ClassificationEvaluationMetric, 8>();
const std::array<ClassificationEvaluationMetric, 7> ALL_CLASSIFICATION_METRICS =
    first_metrics<ClassificationEvaluationMetric, 7>();

Result<DriftReport<LinearRegressionEvaluationMetric>, ModelPerformanceError> regression_performance_runtime(
    const MetricValues& baseline, const MetricValues& latest, std::span<const LinearRegressionEvaluationMetric> metrics,
    std::optional<float> threshold) {
    return performance_runtime<LinearRegressionRuntime>(baseline, latest, metrics, threshold, linear_regression_from_map);
}

Result<DriftReport<ClassificationEvaluationMetric>, ModelPerformanceError> logistic_performance_runtime(
    const MetricValues& baseline, const MetricValues& latest, std::span<const ClassificationEvaluationMetric> metrics,
    std::optional<float> threshold) {
    return performance_runtime<LogisticRegressionRuntime>(baseline, latest, metrics, threshold,
                                                          LogisticRegressionRuntime::from_map);
}

Result<DriftReport<ClassificationEvaluationMetric>, ModelPerformanceError> classification_performance_runtime(
    const MetricValues& baseline, const MetricValues& latest, std::span<const ClassificationEvaluationMetric> metrics,
    std::optional<float> threshold) {
    return performance_runtime<BinaryClassificationRuntime>(baseline, latest, metrics, threshold,
                                                            BinaryClassificationRuntime::from_map);
}

}  // namespace morvane
