#include "core/model_bias/monitor.hpp"

#include <cmath>

namespace morvane {

namespace {

constexpr SegmentRule LABEL_ONE = SegmentRule::label(1);
constexpr float DEFAULT_THRESHOLD = 0.10f;

constexpr std::array<ModelBiasMetric, 12> ALL_METRICS = [] {
    std::array<ModelBiasMetric, 12> all{};
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<ModelBiasMetric>(i);
    return all;
}();

}  // namespace

Result<ModelBiasRuntime, ModelPerformanceError> StreamingModelBias::baseline_from_sample(Slice feature,
                                                                                         Slice prediction,
                                                                                         Slice ground_truth) const {
    PostTraining counts;
    if (auto added = counts.accumulate_batch(feature, feature_segment, prediction, prediction_segment, ground_truth,
                                             gt_segment);
        !added)
        return unexpected(ModelPerformanceError::of(added.error()));
    BucketGeneralizedEntropy buckets;
    buckets.accumulate(ground_truth, gt_segment, prediction, prediction_segment);
    return ModelBiasRuntime::new_from_post_training(counts, buckets.generalized_entropy());
}

Result<StreamingModelBias, ModelPerformanceError> StreamingModelBias::make(Slice features, Slice predictions,
                                                                           Slice ground_truth) {
    StreamingModelBias s{{}, {}, {}, LABEL_ONE, LABEL_ONE, LABEL_ONE};
    auto baseline = s.baseline_from_sample(features, predictions, ground_truth);
    if (!baseline) return unexpected(baseline.error());
    s.baseline_metrics = *baseline;
    return s;
}

void StreamingModelBias::push(std::int8_t feature, std::int8_t prediction, std::int8_t ground_truth) {
    const bool predicted = prediction_segment.passes(prediction);
    const bool label = gt_segment.passes(ground_truth);
    runtime_post_training.accumulate_single(feature_segment.passes(feature), predicted, label);
    runtime_entropy.add(label, predicted);
}

Result<void, ModelPerformanceError> StreamingModelBias::push_batch(Slice feature, Slice prediction,
                                                                   Slice ground_truth) {
    if (auto added = runtime_post_training.accumulate_batch(feature, feature_segment, prediction, prediction_segment,
                                                            ground_truth, gt_segment);
        !added)
        return unexpected(ModelPerformanceError::of(added.error()));
    runtime_entropy.accumulate(ground_truth, gt_segment, prediction, prediction_segment);
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

Result<ModelBiasRuntime, ModelPerformanceError> StreamingModelBias::runtime_record() const {
    if (runtime_entropy.total() == 0) return unexpected(ModelPerformanceError::of(PerfKind::EmptyDataVector));
    return ModelBiasRuntime::new_from_post_training(runtime_post_training, runtime_entropy.generalized_entropy());
}

Result<MetricMap<ModelBiasMetric>, ModelPerformanceError> StreamingModelBias::drift_snapshot() const {
    auto record = runtime_record();
    if (!record) return unexpected(record.error());
    return record->runtime_drift_report(baseline_metrics);
}

Result<DriftReport<ModelBiasMetric>, ModelPerformanceError> StreamingModelBias::report_over(
    std::span<const ModelBiasMetric> metrics, std::optional<float> threshold) const {
    auto record = runtime_record();
    if (!record) return unexpected(record.error());
    const float t = threshold.value_or(DEFAULT_THRESHOLD);
    const MetricMap<ModelBiasMetric> changes = record->runtime_drift_report(baseline_metrics);
    MetricMap<ModelBiasMetric> kept;
    for (const ModelBiasMetric m : metrics) {
        const float d = changes.at(m);
        if (d >= t) kept.insert_or_assign(m, d);  // a NaN change is never kept
    }
    return DriftReport<ModelBiasMetric>::from_runtime(std::move(kept));
}

Result<DriftReport<ModelBiasMetric>, ModelPerformanceError> StreamingModelBias::drift_report(
    std::optional<float> threshold) const {
    return report_over(ALL_METRICS, threshold);
}

Result<DriftReport<ModelBiasMetric>, ModelPerformanceError> StreamingModelBias::drift_report_partial_metrics(
    std::span<const ModelBiasMetric> metrics, std::optional<float> threshold) const {
    return report_over(metrics, threshold);
}

}  // namespace morvane
