// The performance runtime checks: rebuild the baseline and latest records from their
// stored dicts, apply the family's failure rule and report the failed metrics.
#pragma once

#include <optional>
#include <span>

#include "core/common/check_report.hpp"
#include "core/performance/records.hpp"

namespace morvane {

inline constexpr float DEFAULT_RUNTIME_THRESHOLD = 0.1f;

// Every metric of each family, in enumeration order: what the full checks compare.
extern const std::array<LinearRegressionEvaluationMetric, 8> ALL_REGRESSION_METRICS;
extern const std::array<ClassificationEvaluationMetric, 8> ALL_LOGISTIC_METRICS;
extern const std::array<ClassificationEvaluationMetric, 7> ALL_CLASSIFICATION_METRICS;

// The baseline is read first: a missing key there fails before the latest is read.
Result<DriftReport<LinearRegressionEvaluationMetric>, ModelPerformanceError> regression_performance_runtime(
    const MetricValues& baseline, const MetricValues& latest, std::span<const LinearRegressionEvaluationMetric> metrics,
    std::optional<float> threshold);
Result<DriftReport<ClassificationEvaluationMetric>, ModelPerformanceError> logistic_performance_runtime(
    const MetricValues& baseline, const MetricValues& latest, std::span<const ClassificationEvaluationMetric> metrics,
    std::optional<float> threshold);
Result<DriftReport<ClassificationEvaluationMetric>, ModelPerformanceError> classification_performance_runtime(
    const MetricValues& baseline, const MetricValues& latest, std::span<const ClassificationEvaluationMetric> metrics,
    std::optional<float> threshold);

}  // namespace morvane
