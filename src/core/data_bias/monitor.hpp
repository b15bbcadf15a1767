// The streaming data-bias monitor: the baseline's seven metrics and four counters of
// the runtime stream, whose elements are already labels (1 = facet a / positive).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/data_bias/checks.hpp"
#include "core/data_bias/pre_training.hpp"
#include "core/common/errors.hpp"
#include "core/common/metrics.hpp"
#include "core/common/monitor_surface.hpp"

namespace morvane {

struct StreamingDataBias : MonitorSurface<StreamingDataBias, DataBiasRecord> {
    PreTraining runtime_counts;
    DataBiasRecord baseline_metrics;

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
    Result<DataBiasRecord, ModelPerformanceError> window() const;
    const DataBiasRecord& baseline() const { return baseline_metrics; }
    // The snapshots and reports are the monitor surface's: the relative change either
    // way, with the stability epsilon as the floor of the divisor.
};

}  // namespace morvane
