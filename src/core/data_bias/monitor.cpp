#include "core/data_bias/monitor.hpp"

#include <algorithm>

namespace morvane {

namespace {

Result<PreTraining, ModelPerformanceError> baseline_counts(std::span<const std::int8_t> feature, SegmentRule feature_rule,
                                                           std::span<const std::int8_t> ground_truth, SegmentRule gt_rule) {
    auto counts = PreTraining::new_from_segmentation(feature, feature_rule, ground_truth, gt_rule);
    if (!counts) return unexpected(ModelPerformanceError::of(counts.error()));
    return *counts;
}

Result<DataBiasRuntime, ModelPerformanceError> metrics_of(const PreTraining& counts) {
    auto r = DataBiasRuntime::new_from_pre_training(counts);
    if (!r) return unexpected(ModelPerformanceError::of(r.error()));
    return *r;
}

// The changes that reach the threshold, among the metrics `keep` accepts.
template <class Keep>
DriftReport<DataBiasMetric> report_of(const MetricMap<DataBiasMetric>& changes, float threshold, Keep&& keep) {
    MetricMap<DataBiasMetric> failed;
    for (const auto& [m, change] : changes)
        if (change >= threshold && keep(m)) failed.emplace(m, change);  // a NaN change is never kept
    return DriftReport<DataBiasMetric>::from_runtime(std::move(failed));
}

}  // namespace

Result<StreamingDataBias, ModelPerformanceError> StreamingDataBias::make(std::span<const std::int8_t> feature,
                                                                         std::span<const std::int8_t> ground_truth) {
    StreamingDataBias s;
    const auto counts = baseline_counts(feature, s.feature_segment, ground_truth, s.gt_segment);
    if (!counts) return unexpected(counts.error());
    const auto metrics = metrics_of(*counts);
    if (!metrics) return unexpected(metrics.error());
    s.baseline_metrics = *metrics;
    return s;
}

void StreamingDataBias::push(std::int8_t feature, std::int8_t ground_truth) {
    runtime_counts.push(feature_segment.passes(feature), gt_segment.passes(ground_truth));
}

Result<void, ModelPerformanceError> StreamingDataBias::push_batch(std::span<const std::int8_t> feature,
                                                                  std::span<const std::int8_t> ground_truth) {
    if (feature.size() != ground_truth.size() || feature.empty())
        return unexpected(ModelPerformanceError::of(BiasError::DataLengthError));
    runtime_counts.accumulate(feature, feature_segment, ground_truth, gt_segment);
    return {};
}

Result<void, ModelPerformanceError> StreamingDataBias::reset_baseline(std::span<const std::int8_t> feature,
                                                                      std::span<const std::int8_t> ground_truth) {
    const auto counts = baseline_counts(feature, feature_segment, ground_truth, gt_segment);
    if (!counts) return unexpected(counts.error());
    const auto metrics = metrics_of(*counts);
    if (!metrics) return unexpected(metrics.error());
    baseline_metrics = *metrics;
    runtime_counts = {};
    return {};
}

Result<DataBiasRuntime, ModelPerformanceError> StreamingDataBias::runtime() const {
    if (runtime_counts.total() == 0) return unexpected(ModelPerformanceError::of(PerfKind::EmptyDataVector));
    return metrics_of(runtime_counts);
}

Result<MetricMap<DataBiasMetric>, ModelPerformanceError> StreamingDataBias::performance_snapshot() const {
    const auto r = runtime();
    if (!r) return unexpected(r.error());
    return r->to_map();
}

Result<MetricMap<DataBiasMetric>, ModelPerformanceError> StreamingDataBias::drift_snapshot() const {
    const auto r = runtime();
    if (!r) return unexpected(r.error());
    return r->runtime_drift_report(baseline_metrics);
}

Result<DriftReport<DataBiasMetric>, ModelPerformanceError> StreamingDataBias::drift_report(
    std::optional<float> threshold) const {
    const auto changes = drift_snapshot();
    if (!changes) return unexpected(changes.error());
    return report_of(*changes, threshold.value_or(DEFAULT_RUNTIME_THRESHOLD), [](DataBiasMetric) { return true; });
}

Result<DriftReport<DataBiasMetric>, ModelPerformanceError> StreamingDataBias::drift_report_partial_metrics(
    std::span<const DataBiasMetric> metrics, std::optional<float> threshold) const {
    const auto changes = drift_snapshot();
    if (!changes) return unexpected(changes.error());
    return report_of(*changes, threshold.value_or(DEFAULT_RUNTIME_THRESHOLD), [&](DataBiasMetric m) {
        return std::find(metrics.begin(), metrics.end(), m) != metrics.end();
    });
}

}  // namespace morvane
