#include "core/model_bias/monitor.hpp"

#include <cmath>

namespace morvane {

Result<ModelBiasRecord, ModelPerformanceError> StreamingModelBias::baseline_from_sample(Slice feature,
                                                                                         Slice prediction,
                                                                                         Slice ground_truth) const {
    PostTraining counts;
    if (auto added = counts.accumulate_batch(feature, prediction, ground_truth); !added)
        return unexpected(ModelPerformanceError::of(added.error()));
    BucketGeneralizedEntropy buckets;
    buckets.accumulate(ground_truth, prediction);
    return model_bias_metrics(counts, buckets.generalized_entropy());
}

Result<StreamingModelBias, ModelPerformanceError> StreamingModelBias::make(Slice features, Slice predictions,
                                                                           Slice ground_truth) {
    StreamingModelBias s;
    auto baseline = s.baseline_from_sample(features, predictions, ground_truth);
    if (!baseline) return unexpected(baseline.error());
    s.baseline_metrics = *baseline;
    return s;
}

void StreamingModelBias::push(std::int8_t feature, std::int8_t prediction, std::int8_t ground_truth) {
    const bool predicted = in_group(prediction);
    const bool label = in_group(ground_truth);
    runtime_post_training.accumulate_single(in_group(feature), predicted, label);
    runtime_entropy.add(label, predicted);
}

Result<void, ModelPerformanceError> StreamingModelBias::push_batch(Slice feature, Slice prediction,
                                                                   Slice ground_truth) {
    if (auto added = runtime_post_training.accumulate_batch(feature, prediction, ground_truth); !added)
        return unexpected(ModelPerformanceError::of(added.error()));
    runtime_entropy.accumulate(ground_truth, prediction);
    return {};
}

void StreamingModelBias::flush() {
    runtime_post_training = {};
    runtime_entropy = {};
}

Result<void, ModelPerformanceError> StreamingModelBias::reset_baseline(Slice feature, Slice prediction,
                                                                       Slice ground_truth) {
    auto baseline = baseline_from_sample(feature, prediction, ground_truth);
    if (!baseline) return unexpected(baseline.error());
    baseline_metrics = *baseline;
    return {};
}

Result<ModelBiasRecord, ModelPerformanceError> StreamingModelBias::window() const {
    if (runtime_entropy.total() == 0) return unexpected(ModelPerformanceError::of(PerfKind::EmptyDataVector));
    return model_bias_metrics(runtime_post_training, runtime_entropy.generalized_entropy());
}

}  // namespace morvane
