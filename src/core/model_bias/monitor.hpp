// The streaming model-bias monitor: a baseline of twelve metric values and a runtime
// window reduced to counts, so memory stays constant however long the stream.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/common/errors.hpp"
#include "core/common/metrics.hpp"
#include "core/model_bias/post_training.hpp"
#include "core/model_bias/checks.hpp"
#include "core/common/check_report.hpp"

namespace morvane {

struct StreamingModelBias {
    PostTraining runtime_post_training;
    ModelBiasRuntime baseline_metrics;
    BucketGeneralizedEntropy runtime_entropy;
    SegmentRule feature_segment;
    SegmentRule prediction_segment;
    SegmentRule gt_segment;

    using Slice = std::span<const std::int8_t>;

    // A monitor whose three rules are all "equals 1".
    static Result<StreamingModelBias, ModelPerformanceError> make(Slice features, Slice predictions,
                                                                  Slice ground_truth);

    void push(std::int8_t feature, std::int8_t prediction, std::int8_t ground_truth);
    // Unequal or empty slices change nothing.
    Result<void, ModelPerformanceError> push_batch(Slice feature, Slice prediction, Slice ground_truth);
    void flush();
    // Replaces only the baseline; the runtime window is kept.
    Result<void, ModelPerformanceError> reset_baseline(Slice feature, Slice prediction, Slice ground_truth);

    // The metrics of the runtime window.
    Result<ModelBiasRuntime, ModelPerformanceError> runtime_record() const;
    Result<MetricMap<ModelBiasMetric>, ModelPerformanceError> drift_snapshot() const;
    // Metrics whose relative change is at least the threshold (0.10 when absent).
    Result<DriftReport<ModelBiasMetric>, ModelPerformanceError> drift_report(std::optional<float> threshold) const;
    Result<DriftReport<ModelBiasMetric>, ModelPerformanceError> drift_report_partial_metrics(
        std::span<const ModelBiasMetric> metrics, std::optional<float> threshold) const;

private:
    Result<ModelBiasRuntime, ModelPerformanceError> baseline_from_sample(Slice feature, Slice prediction,
                                                                         Slice ground_truth) const;
    Result<DriftReport<ModelBiasMetric>, ModelPerformanceError> report_over(std::span<const ModelBiasMetric> metrics,
                                                                            std::optional<float> threshold) const;
};

}  // namespace morvane
