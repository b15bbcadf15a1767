#include "runtime/core_performance.hpp"

#include <stdexcept>

#include "metrics/stability.hpp"

namespace morvane {

namespace {

using CM = ClassificationEvaluationMetric;
using LM = LinearRegressionEvaluationMetric;

// Reads the first N metric names of M from a stored set, in enumeration order; the
// first missing name fails. Keys of other metrics are ignored.
template <class M, std::size_t N>
Result<std::array<float, N>, ModelPerformanceError> values_from_map(const MetricValues& map) {
    std::array<float, N> values{};
    for (std::size_t i = 0; i < N; ++i) {
        const auto it = map.find(std::string(metric_name(static_cast<M>(i))));
        if (it == map.end()) return unexpected(ModelPerformanceError::of(PerfKind::InvalidAnalysisReport));
        values[i] = it->second;
    }
    return values;
}

template <class M, std::size_t N>
MetricMap<M> values_to_map(const std::array<float, N>& values) {
    MetricMap<M> map;
    map.reserve(N);
    for (std::size_t i = 0; i < N; ++i) map.emplace(static_cast<M>(i), values[i]);
    return map;
}

// The seven ratio metrics in enumeration order, 32-bit arithmetic, nothing guarded.
std::array<float, 7> ratio_metrics(const ConfusionMatrix& cm) {
    const auto [tp, fp, tn, fn] = cm.as_f32();
    const float recall_positive = tp / (tp + fn);
    const float recall_negative = tn / (tn + fp);
    const float precision_positive = tp / (tp + fp);
    const float precision_negative = tn / (tn + fn);
    const float balanced_accuracy = (recall_positive + recall_negative) * 0.5f;
    const float accuracy = (tp + tn) / (tn + (fn + (tp + fp)));
    const float f1 = ((recall_positive + recall_positive) * precision_positive) / (recall_positive + precision_positive);
    return {balanced_accuracy, precision_positive, precision_negative, recall_positive,
            recall_negative,   accuracy,           f1};
}

// Inserts m with its degradation when the rule holds; a repeated metric keeps one entry.
template <class M>
void note(MetricMap<M>& failed, M m, bool fails, float degradation) {
    if (fails) failed.insert_or_assign(m, degradation);
}

}  // namespace

BinaryClassificationRuntime BinaryClassificationRuntime::from_confusion(const ConfusionMatrix& cm) {
    return {ratio_metrics(cm)};
}

Result<BinaryClassificationRuntime, ModelPerformanceError> BinaryClassificationRuntime::from_map(const MetricValues& map) {
    auto v = values_from_map<CM, 7>(map);
    if (!v) return unexpected(v.error());
    return BinaryClassificationRuntime{*v};
}

MetricMap<CM> BinaryClassificationRuntime::to_map() const { return values_to_map<CM>(values); }

std::optional<LogLossClamp> LogLossClamp::from_stability_eps() {
    const float eps = static_cast<float>(static_cast<double>(STABILITIY_EPS));
    const float upper = 1.0f - eps;
    if (!(eps <= upper)) return std::nullopt;
    return LogLossClamp{eps, upper};
}

Result<LogisticAccumulator, ModelPerformanceError> LogisticAccumulator::start(std::size_t n, double threshold) {
    LogisticAccumulator acc;
    acc.n = n;
    acc.threshold = threshold;
    if (n != 0) {
        const auto clamp = LogLossClamp::from_stability_eps();
        if (!clamp) return unexpected(ModelPerformanceError::of(PerfKind::InvalidData));
        acc.clamp = *clamp;
    }
    return acc;
}

void LogisticAccumulator::add(std::span<const float> y_true, std::span<const float> y_pred) {
    // Both sides are thresholded, compared as 64-bit values; NaN is negative.
    const double th = threshold;
    counts.push_pairs(y_true, y_pred, [th](float v) { return static_cast<double>(v) >= th; });
    // Each term in 32 bits; the terms accumulate in 64 bits so long inputs do not
    // stagnate, and the sum is narrowed once.
    double sum = log_loss_sum;
    for (std::size_t i = 0; i < y_true.size(); ++i) sum += clamp.term(y_true[i], y_pred[i]);
    log_loss_sum = sum;
}

Result<LogisticRegressionRuntime, ModelPerformanceError> LogisticAccumulator::finish() const {
    const float log_loss = -static_cast<float>(log_loss_sum) / static_cast<float>(n);
    if (std::isnan(log_loss)) return unexpected(ModelPerformanceError::of(PerfKind::InvalidData));
    return LogisticRegressionRuntime::from_parts(counts, log_loss);
}

Result<LogisticRegressionRuntime, ModelPerformanceError> LogisticRegressionRuntime::make(std::span<const float> y_true,
                                                                                       std::span<const float> y_pred,
                                                                                       double threshold) {
    if (y_true.size() != y_pred.size()) return unexpected(ModelPerformanceError::of(PerfKind::DataVectorLengthMismatch));
    auto acc = LogisticAccumulator::start(y_true.size(), threshold);
    if (!acc) return unexpected(acc.error());
    acc->add(y_true, y_pred);
    return acc->finish();
}

LogisticRegressionRuntime LogisticRegressionRuntime::from_parts(const ConfusionMatrix& cm, float log_loss) {
    const auto ratios = ratio_metrics(cm);
    LogisticRegressionRuntime r;
    for (std::size_t i = 0; i < ratios.size(); ++i) r.values[i] = ratios[i];
    r.values[static_cast<std::size_t>(CM::LogLoss)] = log_loss;
    return r;
}

Result<LogisticRegressionRuntime, ModelPerformanceError> LogisticRegressionRuntime::from_map(const MetricValues& map) {
    auto v = values_from_map<CM, 8>(map);
    if (!v) return unexpected(v.error());
    return LogisticRegressionRuntime{*v};
}

MetricMap<CM> LogisticRegressionRuntime::to_map() const { return values_to_map<CM>(values); }

Result<LinearRegressionRuntime, ModelPerformanceError> linear_regression_from_map(const MetricValues& map) {
    auto v = values_from_map<LM, 8>(map);
    if (!v) return unexpected(v.error());
    return LinearRegressionRuntime{*v};
}

MetricMap<LM> compare_to_baseline(const LinearRegressionRuntime& latest, std::span<const LM> metrics,
                                  const LinearRegressionRuntime& baseline, float threshold) {
    const float above = 1.0f + threshold;
    const float below = 1.0f - threshold;
    MetricMap<LM> failed;
    for (const LM m : metrics) {
        const float l = latest.get(m), b = baseline.get(m);
        // R² is better higher; every other regression metric is an error, better lower.
        if (m == LM::RSquared)
            note(failed, m, l < below * b, b - l);
        else
            note(failed, m, l > above * b, l - b);
    }
    return failed;
}

MetricMap<CM> compare_to_baseline(const LogisticRegressionRuntime& latest, std::span<const CM> metrics,
                                  const LogisticRegressionRuntime& baseline, float threshold) {
    const float above = 1.0f + threshold;
    const float below = 1.0f - threshold;
    MetricMap<CM> failed;
    for (const CM m : metrics) {
        const float l = latest.get(m), b = baseline.get(m);
        if (m == CM::LogLoss)
            note(failed, m, l > above * b, l - b);
        else
            note(failed, m, l < below * b, b - l);
    }
    return failed;
}

MetricMap<CM> compare_to_baseline(const BinaryClassificationRuntime& latest, std::span<const CM> metrics,
                                  const BinaryClassificationRuntime& baseline, float threshold) {
    const float above = 1.0f + threshold;
    MetricMap<CM> failed;
    for (const CM m : metrics) {
        // The binary record has no LogLoss; its parser refuses the name.
        if (m == CM::LogLoss) throw std::logic_error("LogLoss is not a binary classification metric");
        const float l = latest.get(m), b = baseline.get(m);
        note(failed, m, above * l < b, b - l);
    }
    return failed;
}

MetricMap<LM> runtime_drift_report(const LinearRegressionRuntime& runtime, const LinearRegressionRuntime& baseline) {
    MetricMap<LM> map;
    map.reserve(8);
    for (std::size_t i = 0; i < 8; ++i) map.emplace(static_cast<LM>(i), std::fabs(baseline.values[i] - runtime.values[i]));
    return map;
}

MetricMap<CM> runtime_drift_report(const LogisticRegressionRuntime& runtime, const LogisticRegressionRuntime& baseline) {
    MetricMap<CM> map;
    map.reserve(8);
    for (std::size_t i = 0; i < 8; ++i) map.emplace(static_cast<CM>(i), baseline.values[i] - runtime.values[i]);
    return map;
}

MetricMap<CM> runtime_drift_report(const BinaryClassificationRuntime& runtime, const BinaryClassificationRuntime& baseline) {
    MetricMap<CM> map;
    map.reserve(7);
    for (std::size_t i = 0; i < 7; ++i) map.emplace(static_cast<CM>(i), baseline.values[i] - runtime.values[i]);
    return map;
}

}  // namespace morvane
