#include "core/performance/monitors.hpp"

#include <cmath>

#include "core/common/configuration.hpp"

namespace morvane {

namespace {

using E = ModelPerformanceError;

Result<void, E> check_batch(std::size_t n_true, std::size_t n_pred) {
    if (n_true != n_pred) return unexpected(E::of(PerfKind::DataVectorLengthMismatch));
    if (n_true == 0) return unexpected(E::of(PerfKind::EmptyDataVector));
    return {};
}

// The window total in the order the formulas use; zero means nothing was pushed.
Result<float, E> window_total(const ConfusionMatrix& cm) {
    const auto [tp, fp, tn, fn] = cm.as_f32();
    const float total = ((tp + fp) + fn) + tn;
    if (total == 0.0f) return unexpected(E::of(PerfKind::EmptyDataVector));
    return total;
}

template <class Monitor, class Record>
auto drift_of(const Monitor& monitor, const Record& baseline) -> Result<decltype(runtime_drift_report(baseline, baseline)), E> {
    const auto rt = monitor.runtime();
    if (!rt) return unexpected(rt.error());
    return runtime_drift_report(*rt, baseline);
}

template <class M>
Result<DriftReport<M>, E> report_of(Result<MetricMap<M>, E> drift, float threshold, std::optional<std::span<const M>> only) {
    if (!drift) return unexpected(drift.error());
    return threshold_drift(*drift, threshold, only);
}

float stored_eps() { return static_cast<float>(static_cast<double>(STABILITIY_EPS)); }

}  // namespace

// ---- linear regression ----

Result<LinearRegressionStreaming, E> LinearRegressionStreaming::make(std::span<const float> y_true,
                                                                    std::span<const float> y_pred) {
    auto baseline = LinearRegressionRuntime::make(y_true, y_pred);
    if (!baseline) return unexpected(baseline.error());
    LinearRegressionStreaming m;
    m.baseline_ = *baseline;
    return m;
}

Result<void, E> LinearRegressionStreaming::push_batch(std::span<const float> y_true, std::span<const float> y_pred) {
    if (auto ok = check_batch(y_true.size(), y_pred.size()); !ok) return ok;
    for (std::size_t i = 0; i < y_true.size(); ++i) window_.push(y_true[i], y_pred[i]);
    return {};
}

Result<void, E> LinearRegressionStreaming::reset_baseline(std::span<const float> y_true, std::span<const float> y_pred) {
    auto baseline = LinearRegressionRuntime::make(y_true, y_pred);
    if (!baseline) return unexpected(baseline.error());
    baseline_ = *baseline;
    return {};
}

Result<LinearRegressionRuntime, E> LinearRegressionStreaming::runtime() const {
    const LinearRegressionErrorBuckets& b = window_;
    if (b.count == 0.0) return unexpected(E::of(PerfKind::EmptyDataVector));
    const double n = b.count;
    const float mse = static_cast<float>(b.squared_error_sum / n);
    const float msle = static_cast<float>(b.squared_log_error_sum / n);
    LinearRegressionRuntime r;
    r.values = {std::sqrt(mse),
                mse,
                static_cast<float>(b.absolute_error_sum / n),
                static_cast<float>(b.r_squared()),
                static_cast<float>(b.max_error),
                msle,
                std::sqrt(msle),
                static_cast<float>(b.absolute_percent_error_sum / n)};
    return r;
}

Result<MetricMap<LinearRegressionEvaluationMetric>, E> LinearRegressionStreaming::drift_snapshot() const {
    return drift_of(*this, baseline_);
}

Result<DriftReport<LinearRegressionEvaluationMetric>, E> LinearRegressionStreaming::drift_report(
    float threshold, std::optional<std::span<const Metric>> only) const {
    return report_of(drift_snapshot(), threshold, only);
}

// ---- logistic regression ----

Result<LogisticRegressionStreaming, E> LogisticRegressionStreaming::make(std::span<const float> y_true,
                                                                        std::span<const float> y_pred, float threshold) {
    auto baseline = LogisticRegressionRuntime::make(y_true, y_pred, threshold);
    if (!baseline) return unexpected(baseline.error());
    LogisticRegressionStreaming m;
    m.baseline_ = *baseline;
    m.eps_ = stored_eps();
    m.decision_threshold_ = threshold;
    return m;
}

Result<LogLossClamp, E> LogisticRegressionStreaming::clamp() const {
    const float upper = 1.0f - eps_;
    if (!(eps_ <= upper)) return unexpected(E::of(PerfKind::InvalidData));
    return LogLossClamp{eps_, upper};
}

Result<void, E> LogisticRegressionStreaming::push(float t, float p) {
    const auto c = clamp();
    if (!c) return unexpected(c.error());
    add(*c, t, p);
    return {};
}

Result<void, E> LogisticRegressionStreaming::push_batch(std::span<const float> y_true, std::span<const float> y_pred) {
    if (auto ok = check_batch(y_true.size(), y_pred.size()); !ok) return ok;
    // The clamp is the same for every pair: checked once, before anything is added.
    const auto c = clamp();
    if (!c) return unexpected(c.error());
    for (std::size_t i = 0; i < y_true.size(); ++i) add(*c, y_true[i], y_pred[i]);
    return {};
}

void LogisticRegressionStreaming::flush() {
    window_ = {};
    log_loss_sum_ = 0.0;
    eps_ = stored_eps();
}

Result<void, E> LogisticRegressionStreaming::reset_baseline(std::span<const float> y_true, std::span<const float> y_pred) {
    auto baseline = LogisticRegressionRuntime::make(y_true, y_pred, decision_threshold_);
    if (!baseline) return unexpected(baseline.error());
    baseline_ = *baseline;
    return {};
}

Result<void, E> LogisticRegressionStreaming::reset_baseline_and_decision_threshold(std::span<const float> y_true,
                                                                                   std::span<const float> y_pred,
                                                                                   float threshold) {
    decision_threshold_ = threshold;
    return reset_baseline(y_true, y_pred);
}

Result<LogisticRegressionRuntime, E> LogisticRegressionStreaming::runtime() const {
    const auto total = window_total(window_);
    if (!total) return unexpected(total.error());
    const float log_loss = -static_cast<float>(log_loss_sum_) / *total;
    return LogisticRegressionRuntime::from_parts(window_, log_loss);
}

Result<MetricMap<ClassificationEvaluationMetric>, E> LogisticRegressionStreaming::drift_snapshot() const {
    return drift_of(*this, baseline_);
}

Result<DriftReport<ClassificationEvaluationMetric>, E> LogisticRegressionStreaming::drift_report(
    float threshold, std::optional<std::span<const Metric>> only) const {
    return report_of(drift_snapshot(), threshold, only);
}

// ---- binary classification ----

Result<BinaryClassificationStreaming, E> BinaryClassificationStreaming::make(std::span<const std::int32_t> y_true,
                                                                            std::span<const std::int32_t> y_pred) {
    if (auto ok = check_batch(y_true.size(), y_pred.size()); !ok) return unexpected(ok.error());
    ConfusionMatrix cm;
    if (auto ok = cm.push_dataset(y_true, y_pred, LABEL); !ok) return unexpected(ok.error());
    BinaryClassificationStreaming m;
    m.baseline_ = BinaryClassificationRuntime::from_confusion(cm);
    return m;
}

Result<void, E> BinaryClassificationStreaming::reset_baseline(std::span<const std::int32_t> y_true,
                                                              std::span<const std::int32_t> y_pred) {
    ConfusionMatrix cm;
    if (auto ok = cm.push_dataset(y_true, y_pred, LABEL); !ok) return ok;
    baseline_ = BinaryClassificationRuntime::from_confusion(cm);
    window_ = {};
    return {};
}

Result<BinaryClassificationRuntime, E> BinaryClassificationStreaming::runtime() const {
    if (const auto total = window_total(window_); !total) return unexpected(total.error());
    return BinaryClassificationRuntime::from_confusion(window_);
}

Result<MetricMap<ClassificationEvaluationMetric>, E> BinaryClassificationStreaming::drift_snapshot() const {
    return drift_of(*this, baseline_);
}

Result<DriftReport<ClassificationEvaluationMetric>, E> BinaryClassificationStreaming::drift_report(
    float threshold, std::optional<std::span<const Metric>> only) const {
    return report_of(drift_snapshot(), threshold, only);
}

}  // namespace morvane
