// The performance records the runtime checks compare: construction from a stored
// dict, the pass/fail rule against a baseline, and the plain per-metric differences
// the streaming monitors report.
#pragma once

#include <array>
#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

#include "data_handler/core_confusion.hpp"
#include "errors/errors.hpp"
#include "metrics/metrics.hpp"
#include "model_perf/core_regression.hpp"

namespace morvane {

// A stored metric set: metric name -> value, exactly as an analysis function returns it.
using MetricValues = std::unordered_map<std::string, float>;

// The seven ratio metrics, in ClassificationEvaluationMetric order without LogLoss.
struct BinaryClassificationRuntime {
    std::array<float, 7> values{};

    float get(ClassificationEvaluationMetric m) const { return values[static_cast<std::size_t>(m)]; }

    // The ratio formulas, in 32-bit arithmetic; zero denominators give NaN.
    static BinaryClassificationRuntime from_confusion(const ConfusionMatrix& cm);
    static Result<BinaryClassificationRuntime, ModelPerformanceError> from_map(const MetricValues& map);
    MetricMap<ClassificationEvaluationMetric> to_map() const;
};

// The clamp of the log-loss probabilities: [eps, 1 - eps] in 32 bits.
struct LogLossClamp {
    float eps;
    float upper;

    // Null when the bounds cross (epsilon above one half, or NaN): no term can be formed.
    static std::optional<LogLossClamp> from_stability_eps();

    // t·ln c + (1 − t)·ln(1 − c) with c = p clamped (NaN stays NaN), all in 32 bits.
    float term(float t, float p) const {
        const float c = p < eps ? eps : (p > upper ? upper : p);
        return t * std::log(c) + (1.0f - t) * std::log(1.0f - c);
    }
};

struct LogisticRegressionRuntime;

// The one-shot logistic computation, fed in consecutive blocks of pairs: counts of
// both thresholded sides, and the log-loss terms summed in input order.
struct LogisticAccumulator {
    ConfusionMatrix counts;
    double log_loss_sum = 0.0;  // 32-bit terms, accumulated in 64 bits
    std::size_t n = 0;
    double threshold = 0.0;
    LogLossClamp clamp{};

    // For n pairs in all: fails with InvalidData when there is data and the epsilon
    // cannot clamp.
    static Result<LogisticAccumulator, ModelPerformanceError> start(std::size_t n, double threshold);
    // Equal-length blocks, in order.
    void add(std::span<const float> y_true, std::span<const float> y_pred);
    // LogLoss = −sum / n; a NaN LogLoss fails with InvalidData.
    Result<LogisticRegressionRuntime, ModelPerformanceError> finish() const;
};

// The seven ratio metrics followed by LogLoss.
struct LogisticRegressionRuntime {
    std::array<float, 8> values{};

    float get(ClassificationEvaluationMetric m) const { return values[static_cast<std::size_t>(m)]; }

    // Thresholds both vectors (as 64-bit values) for the counts; the log loss uses the
    // raw ground truth and the clamped predictions. A NaN log loss (empty input, NaN
    // data, t = 1 with p = 1) or an unusable epsilon fails with InvalidData.
    static Result<LogisticRegressionRuntime, ModelPerformanceError> make(std::span<const float> y_true,
                                                                         std::span<const float> y_pred,
                                                                         double threshold);
    static LogisticRegressionRuntime from_parts(const ConfusionMatrix& cm, float log_loss);
    static Result<LogisticRegressionRuntime, ModelPerformanceError> from_map(const MetricValues& map);
    MetricMap<ClassificationEvaluationMetric> to_map() const;
};

// LinearRegressionRuntime from a stored metric set.
Result<LinearRegressionRuntime, ModelPerformanceError> linear_regression_from_map(const MetricValues& map);

// The metrics of `metrics` that degraded beyond the relative threshold, each with its
// degradation; a metric named twice is reported once. Never fails.
MetricMap<LinearRegressionEvaluationMetric> compare_to_baseline(const LinearRegressionRuntime& latest,
                                                                std::span<const LinearRegressionEvaluationMetric> metrics,
                                                                const LinearRegressionRuntime& baseline, float threshold);
MetricMap<ClassificationEvaluationMetric> compare_to_baseline(const LogisticRegressionRuntime& latest,
                                                              std::span<const ClassificationEvaluationMetric> metrics,
                                                              const LogisticRegressionRuntime& baseline, float threshold);
MetricMap<ClassificationEvaluationMetric> compare_to_baseline(const BinaryClassificationRuntime& latest,
                                                              std::span<const ClassificationEvaluationMetric> metrics,
                                                              const BinaryClassificationRuntime& baseline,
                                                              float threshold);

// Every metric of the family with baseline − runtime: absolute for regression, signed
// for the two classification records.
MetricMap<LinearRegressionEvaluationMetric> runtime_drift_report(const LinearRegressionRuntime& runtime,
                                                                 const LinearRegressionRuntime& baseline);
MetricMap<ClassificationEvaluationMetric> runtime_drift_report(const LogisticRegressionRuntime& runtime,
                                                               const LogisticRegressionRuntime& baseline);
MetricMap<ClassificationEvaluationMetric> runtime_drift_report(const BinaryClassificationRuntime& runtime,
                                                               const BinaryClassificationRuntime& baseline);

}  // namespace morvane
