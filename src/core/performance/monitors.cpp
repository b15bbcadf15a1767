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

float stored_eps() { return static_cast<float>(static_cast<double>(STABILITIY_EPS)); }

}  // namespace

// ---- linear regression ----

Result<LinearRegressionStreaming, E> LinearRegressionStreaming::make(std::span<const float> y_true,
                                                                    std::span<const float> y_pred) {
    auto baseline = regression_metrics(y_true, y_pred);
    if (!baseline) return unexpected(baseline.error());
    LinearRegressionStreaming m;
    m.baseline_ = *baseline;
    return m;
}

Result<void, E> LinearRegressionStreaming::push_batch(const ArrayView& y_true, const ArrayView& y_pred) {
    if (auto ok = check_batch(y_true.length, y_pred.length); !ok) return ok;
    window_.push_views(y_true, y_pred);
    return {};
}

Result<void, E> LinearRegressionStreaming::reset_baseline(std::span<const float> y_true, std::span<const float> y_pred) {
    auto baseline = regression_metrics(y_true, y_pred);
    if (!baseline) return unexpected(baseline.error());
    baseline_ = *baseline;
    return {};
}

Result<LinearRegressionRecord, E> LinearRegressionStreaming::window() const {
    if (window_.count == 0.0) return unexpected(E::of(PerfKind::EmptyDataVector));
    return regression_metrics(window_, window_.count, RootOf::NarrowedMean);
}

// ---- logistic regression ----

Result<LogisticRegressionStreaming, E> LogisticRegressionStreaming::make(std::span<const float> y_true,
                                                                        std::span<const float> y_pred, float threshold) {
    auto baseline = logistic_metrics(y_true, y_pred, threshold);
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

Result<void, E> LogisticRegressionStreaming::push_batch(const ArrayView& y_true, const ArrayView& y_pred) {
    if (auto ok = check_batch(y_true.length, y_pred.length); !ok) return ok;
    // The clamp is the same for every pair: checked once, before anything is added.
    const auto c = clamp();
    if (!c) return unexpected(c.error());
    for_blocks<float>(y_true, y_pred, [&](auto t, auto p) {
        for (std::size_t i = 0; i < t.size(); ++i) add(*c, t[i], p[i]);
    });
    return {};
}

void LogisticRegressionStreaming::flush() {
    window_ = {};
    log_loss_sum_ = 0.0;
    eps_ = stored_eps();
}

Result<void, E> LogisticRegressionStreaming::reset_baseline(std::span<const float> y_true, std::span<const float> y_pred) {
    auto baseline = logistic_metrics(y_true, y_pred, decision_threshold_);
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

Result<LogisticRegressionRecord, E> LogisticRegressionStreaming::window() const {
    const auto total = window_total(window_);
    if (!total) return unexpected(total.error());
    const float log_loss = -static_cast<float>(log_loss_sum_) / *total;
    return logistic_metrics(window_, log_loss);
}

// ---- binary classification ----

Result<BinaryClassificationStreaming, E> BinaryClassificationStreaming::make(std::span<const std::int32_t> y_true,
                                                                            std::span<const std::int32_t> y_pred) {
    if (auto ok = check_batch(y_true.size(), y_pred.size()); !ok) return unexpected(ok.error());
    ConfusionMatrix cm;
    if (auto ok = cm.push_dataset(y_true, y_pred, LABEL); !ok) return unexpected(ok.error());
    BinaryClassificationStreaming m;
    m.baseline_ = classification_metrics(cm);
    return m;
}

Result<void, E> BinaryClassificationStreaming::push_batch(const ArrayView& y_true, const ArrayView& y_pred) {
    if (y_true.length != y_pred.length) return unexpected(E::of(PerfKind::DataVectorLengthMismatch));
    for_blocks<std::int32_t>(y_true, y_pred, [&](auto t, auto p) { window_.push_pairs(t, p, [](std::int32_t v) { return v == LABEL; }); });
    return {};
}

Result<void, E> BinaryClassificationStreaming::reset_baseline(std::span<const std::int32_t> y_true,
                                                              std::span<const std::int32_t> y_pred) {
    ConfusionMatrix cm;
    if (auto ok = cm.push_dataset(y_true, y_pred, LABEL); !ok) return ok;
    baseline_ = classification_metrics(cm);
    window_ = {};
    return {};
}

Result<BinaryClassificationRecord, E> BinaryClassificationStreaming::window() const {
    if (const auto total = window_total(window_); !total) return unexpected(total.error());
    return classification_metrics(window_);
}

}  // namespace morvane
