// The streaming performance monitors: a baseline record computed once, and a window of
// production pairs reduced to fixed sums or counts, so memory never grows with the
// stream. Every failing operation leaves the monitor as it was.
#pragma once

#include <optional>
#include <span>

#include "core/common/array_view.hpp"
#include "core/common/monitor_surface.hpp"
#include "core/performance/records.hpp"
#include "core/performance/regression.hpp"

namespace morvane {

class LinearRegressionStreaming : public MonitorSurface<LinearRegressionStreaming, LinearRegressionRecord> {
public:

    static Result<LinearRegressionStreaming, Error> make(std::span<const float> y_true, std::span<const float> y_pred);

    void push(float t, float p) { window_.push(t, p); }
    // Each element read as a 32-bit float.
    Result<void, Error> push_batch(const ArrayView& y_true, const ArrayView& y_pred);
    void flush() { window_ = {}; }
    // Replaces the baseline only; the window stays.
    Result<void, Error> reset_baseline(std::span<const float> y_true, std::span<const float> y_pred);

    // The window's metrics (EmptyDataVector while it is empty); the square roots are
    // taken after narrowing to 32 bits.
    Result<LinearRegressionRecord, Error> window() const;
    const LinearRegressionRecord& baseline() const { return baseline_; }


private:
    LinearRegressionRecord baseline_;
    LinearRegressionErrorBuckets window_;
};

class LogisticRegressionStreaming : public MonitorSurface<LogisticRegressionStreaming, LogisticRegressionRecord> {
public:

    static Result<LogisticRegressionStreaming, Error> make(std::span<const float> y_true, std::span<const float> y_pred,
                                                           float threshold);

    // Fails with InvalidData, adding nothing, when the epsilon cannot clamp.
    Result<void, Error> push(float t, float p);
    Result<void, Error> push_batch(const ArrayView& y_true, const ArrayView& y_pred);
    void flush();
    // With the stored decision threshold; replaces the baseline only.
    Result<void, Error> reset_baseline(std::span<const float> y_true, std::span<const float> y_pred);
    // The new threshold is kept even when the baseline computation fails.
    Result<void, Error> reset_baseline_and_decision_threshold(std::span<const float> y_true,
                                                              std::span<const float> y_pred, float threshold);

    Result<LogisticRegressionRecord, Error> window() const;
    const LogisticRegressionRecord& baseline() const { return baseline_; }

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

    LogisticRegressionRecord baseline_;
    ConfusionMatrix window_;
    double log_loss_sum_ = 0.0;  // 32-bit terms, accumulated in 64 bits
    float eps_;
    float decision_threshold_;
};

class BinaryClassificationStreaming : public MonitorSurface<BinaryClassificationStreaming, BinaryClassificationRecord> {
public:
    static constexpr std::int32_t LABEL = 1;

    static Result<BinaryClassificationStreaming, Error> make(std::span<const std::int32_t> y_true,
                                                             std::span<const std::int32_t> y_pred);

    void push(std::int32_t t, std::int32_t p) { window_.push(t == LABEL, p == LABEL); }
    // Each element read as a 32-bit integer; an empty batch is accepted and adds nothing.
    Result<void, Error> push_batch(const ArrayView& y_true, const ArrayView& y_pred);
    void flush() { window_ = {}; }
    // Replaces the baseline and empties the window; empty input gives a NaN baseline.
    Result<void, Error> reset_baseline(std::span<const std::int32_t> y_true, std::span<const std::int32_t> y_pred);

    Result<BinaryClassificationRecord, Error> window() const;
    const BinaryClassificationRecord& baseline() const { return baseline_; }

private:
    BinaryClassificationRecord baseline_;
    ConfusionMatrix window_;
};

}  // namespace morvane
