// The streaming data-bias monitor: the baseline's seven metrics and four counters of
// the runtime stream, whose elements are already labels (1 = facet a / positive).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/data_bias/pre_training.hpp"
#include "core/segmentation/rule.hpp"
#include "core/common/errors.hpp"
#include "core/common/metrics.hpp"
#include "core/common/check_report.hpp"
#include "core/data_bias/checks.hpp"

namespace morvane {

struct StreamingDataBias {
    PreTraining runtime_counts;
    DataBiasRuntime baseline_metrics;
    SegmentRule feature_segment = SegmentRule::label(1);
    SegmentRule gt_segment = SegmentRule::label(1);

    // Unequal or empty samples are a DataLengthError, a sample without both facets
    // NoFacetDeviation, each wrapped in ModelPerformanceError.
    static Result<StreamingDataBias, ModelPerformanceError> make(std::span<const std::int8_t> feature,
                                                                 std::span<const std::int8_t> ground_truth);

    void push(std::int8_t feature, std::int8_t ground_truth);
    // All pairs or none: unequal or empty batches change nothing.
    Result<void, ModelPerformanceError> push_batch(std::span<const std::int8_t> feature,
                                                   std::span<const std::int8_t> ground_truth);
    void flush() { runtime_counts = {}; }
    // A new baseline starts a new runtime window; on failure nothing changes.
    Result<void, ModelPerformanceError> reset_baseline(std::span<const std::int8_t> feature,
                                                       std::span<const std::int8_t> ground_truth);

    // The metrics of the runtime window: EmptyDataVector while it is empty, a wrapped
    // DataLengthError while it holds a single facet.
    Result<DataBiasRuntime, ModelPerformanceError> runtime() const;
    Result<MetricMap<DataBiasMetric>, ModelPerformanceError> performance_snapshot() const;
    Result<MetricMap<DataBiasMetric>, ModelPerformanceError> drift_snapshot() const;
    // Metrics whose relative change reaches the threshold (absent: 0.10), either way.
    Result<DriftReport<DataBiasMetric>, ModelPerformanceError> drift_report(std::optional<float> threshold) const;
    Result<DriftReport<DataBiasMetric>, ModelPerformanceError> drift_report_partial_metrics(
        std::span<const DataBiasMetric> metrics, std::optional<float> threshold) const;
};

}  // namespace morvane
