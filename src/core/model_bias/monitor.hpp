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
#include "core/common/monitor_surface.hpp"

namespace morvane {

struct StreamingModelBias : MonitorSurface<StreamingModelBias, ModelBiasRecord> {
    PostTraining runtime_post_training;
    ModelBiasRecord baseline_metrics;
    BucketGeneralizedEntropy runtime_entropy;

    using Slice = std::span<const std::int8_t>;

    // Values are labels already: 1 is facet a, a positive prediction, a positive label.
    static Result<StreamingModelBias, ModelPerformanceError> make(Slice features, Slice predictions,
                                                                  Slice ground_truth);

    void push(std::int8_t feature, std::int8_t prediction, std::int8_t ground_truth);
    // Unequal or empty slices change nothing.
    Result<void, ModelPerformanceError> push_batch(Slice feature, Slice prediction, Slice ground_truth);
    void flush();
    // Replaces only the baseline; the runtime window is kept.
    Result<void, ModelPerformanceError> reset_baseline(Slice feature, Slice prediction, Slice ground_truth);

    // The metrics of the runtime window (EmptyDataVector while it is empty); snapshots
    // and reports are the monitor surface's: the relative change, without a floor.
    Result<ModelBiasRecord, ModelPerformanceError> window() const;
    const ModelBiasRecord& baseline() const { return baseline_metrics; }

private:
    Result<ModelBiasRecord, ModelPerformanceError> baseline_from_sample(Slice feature, Slice prediction,
                                                                         Slice ground_truth) const;
};

}  // namespace morvane
