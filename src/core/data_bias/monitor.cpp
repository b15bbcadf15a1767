#include "core/data_bias/monitor.hpp"

#include <algorithm>

namespace morvane {

namespace {

Result<PreTraining, ModelPerformanceError> baseline_counts(std::span<const std::int8_t> feature,
                                                           std::span<const std::int8_t> ground_truth) {
    auto counts = PreTraining::new_from_labels(feature, ground_truth);
    if (!counts) return unexpected(ModelPerformanceError::of(counts.error()));
    return *counts;
}

Result<DataBiasRecord, ModelPerformanceError> metrics_of(const PreTraining& counts) {
    auto r = data_bias_metrics(counts);
    if (!r) return unexpected(ModelPerformanceError::of(r.error()));
    return *r;
}

}  // namespace

Result<StreamingDataBias, ModelPerformanceError> StreamingDataBias::make(std::span<const std::int8_t> feature,
                                                                         std::span<const std::int8_t> ground_truth) {
    StreamingDataBias s;
    const auto counts = baseline_counts(feature, ground_truth);
    if (!counts) return unexpected(counts.error());
    const auto metrics = metrics_of(*counts);
    if (!metrics) return unexpected(metrics.error());
    s.baseline_metrics = *metrics;
    return s;
}

void StreamingDataBias::push(std::int8_t feature, std::int8_t ground_truth) {
    runtime_counts.push(in_group(feature), in_group(ground_truth));
}

Result<void, ModelPerformanceError> StreamingDataBias::push_batch(std::span<const std::int8_t> feature,
                                                                  std::span<const std::int8_t> ground_truth) {
    if (feature.size() != ground_truth.size() || feature.empty())
        return unexpected(ModelPerformanceError::of(BiasError::DataLengthError));
    runtime_counts.accumulate(feature, ground_truth);
    return {};
}

Result<void, ModelPerformanceError> StreamingDataBias::reset_baseline(std::span<const std::int8_t> feature,
                                                                      std::span<const std::int8_t> ground_truth) {
    const auto counts = baseline_counts(feature, ground_truth);
    if (!counts) return unexpected(counts.error());
    const auto metrics = metrics_of(*counts);
    if (!metrics) return unexpected(metrics.error());
    baseline_metrics = *metrics;
    runtime_counts = {};
    return {};
}

Result<DataBiasRecord, ModelPerformanceError> StreamingDataBias::window() const {
    if (runtime_counts.total() == 0) return unexpected(ModelPerformanceError::of(PerfKind::EmptyDataVector));
    return metrics_of(runtime_counts);
}

}  // namespace morvane
