// The streaming performance monitors: a baseline record computed once, and a window of
// production pairs reduced to fixed sums or counts, so memory never grows with the
// stream. Every failing operation leaves the monitor as it was.
#pragma once

#include <algorithm>
#include <optional>
#include <span>

#include "core/common/check_report.hpp"
#include "core/performance/records.hpp"

namespace morvane {

// Keeps the drift entries at or above the threshold (NaN never), optionally only
// those of the listed metrics, as a report.
template <class M>
DriftReport<M> threshold_drift(const MetricMap<M>& drift, float threshold, std::optional<std::span<const M>> only) {
    MetricMap<M> failed;
    for (const auto& [m, v] : drift) {
        if (!(v >= threshold)) continue;
        if (only && std::find(only->begin(), only->end(), m) == only->end()) continue;
        failed.emplace(m, v);
    }
    return DriftReport<M>::from_runtime(std::move(failed));
}

class LinearRegressionStreaming {
public:
    using Metric = LinearRegressionEvaluationMetric;
    using Error = ModelPerformanceError;

    static Result<LinearRegressionStreaming, Error> make(std::span<const float> y_true, std::span<const float> y_pred);

    void push(float t, float p) { window_.push(t, p); }
    Result<void, Error> push_batch(std::span<const float> y_true, std::span<const float> y_pred);
    void flush() { window_ = {}; }
    // Replaces the baseline only; the window stays.
    Result<void, Error> reset_baseline(std::span<const float> y_true, std::span<const float> y_pred);

    // The window's metrics; the square roots are taken after narrowing to 32 bits.
    Result<LinearRegressionRuntime, Error> runtime() const;
    Result<MetricMap<Metric>, Error> drift_snapshot() const;
    Result<DriftReport<Metric>, Error> drift_report(float threshold, std::optional<std::span<const Metric>> only) const;

    const LinearRegressionRuntime& baseline() const { return baseline_; }

private:
    LinearRegressionRuntime baseline_;
    LinearRegressionErrorBuckets window_;
};

class LogisticRegressionStreaming {
public:
    using Metric = ClassificationEvaluationMetric;
    using Error = ModelPerformanceError;

    static Result<LogisticRegressionStreaming, Error> make(std::span<const float> y_true, std::span<const float> y_pred,
                                                           float threshold);

    // Fails with InvalidData, adding nothing, when the epsilon cannot clamp.
    Result<void, Error> push(float t, float p);
    Result<void, Error> push_batch(std::span<const float> y_true, std::span<const float> y_pred);
    void flush();
    // With the stored decision threshold; replaces the baseline only.
    Result<void, Error> reset_baseline(std::span<const float> y_true, std::span<const float> y_pred);
    // The new threshold is kept even when the baseline computation fails.
    Result<void, Error> reset_baseline_and_decision_threshold(std::span<const float> y_true,
                                                              std::span<const float> y_pred, float threshold);

    Result<LogisticRegressionRuntime, Error> runtime() const;
    Result<MetricMap<Metric>, Error> drift_snapshot() const;
    Result<DriftReport<Metric>, Error> drift_report(float threshold, std::optional<std::span<const Metric>> only) const;

    float decision_threshold() const { return decision_threshold_; }

private:
    void add(const LogLossClamp& clamp, float t, float p) {
        log_loss_sum_ += clamp.term(t, p);
        // Ground truth is positive only when exactly 1; the prediction is thresholded
        // unclamped (NaN negative).
        window_.push(t == 1.0f, p >= decision_threshold_);
    }
    // The clamp from the stored epsilon, or InvalidData when its bounds cross.
    Result<LogLossClamp, Error> clamp() const;

    LogisticRegressionRuntime baseline_;
    ConfusionMatrix window_;
    double log_loss_sum_ = 0.0;  // 32-bit terms, accumulated in 64 bits
    float eps_;
    float decision_threshold_;
};

class BinaryClassificationStreaming {
public:
    using Metric = ClassificationEvaluationMetric;
    using Error = ModelPerformanceError;
    static constexpr std::int32_t LABEL = 1;

    static Result<BinaryClassificationStreaming, Error> make(std::span<const std::int32_t> y_true,
                                                             std::span<const std::int32_t> y_pred);

    void push(std::int32_t t, std::int32_t p) { window_.push(t == LABEL, p == LABEL); }
    // An empty batch is accepted and adds nothing.
    Result<void, Error> push_batch(std::span<const std::int32_t> y_true, std::span<const std::int32_t> y_pred) {
        return window_.push_dataset(y_true, y_pred, LABEL);
    }
    void flush() { window_ = {}; }
    // Replaces the baseline and empties the window; empty input gives a NaN baseline.
    Result<void, Error> reset_baseline(std::span<const std::int32_t> y_true, std::span<const std::int32_t> y_pred);

    Result<BinaryClassificationRuntime, Error> runtime() const;
    Result<MetricMap<Metric>, Error> drift_snapshot() const;
    Result<DriftReport<Metric>, Error> drift_report(float threshold, std::optional<std::span<const Metric>> only) const;

private:
    BinaryClassificationRuntime baseline_;
    ConfusionMatrix window_;
};

}  // namespace morvane
