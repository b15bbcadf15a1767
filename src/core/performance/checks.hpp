// The performance runtime checks: rebuild the baseline and latest records from their
// stored dicts, apply each metric's check rule and report the failed metrics.
#pragma once

#include <optional>
#include <span>

#include "core/common/check_report.hpp"
#include "core/common/metric_tables.hpp"
#include "core/performance/records.hpp"
#include "core/performance/regression.hpp"

namespace morvane {

// The baseline is read first: a missing key there fails before the latest is read.
// Absent threshold: DEFAULT_THRESHOLD.
template <class Record>
Result<DriftReport<typename Record::Metric>, ModelPerformanceError> performance_check(
    const MetricValues& baseline_map, const MetricValues& latest_map, std::span<const typename Record::Metric> metrics,
    std::optional<float> threshold) {
    const auto baseline = performance_record<Record>(baseline_map);
    if (!baseline) return unexpected(baseline.error());
    const auto latest = performance_record<Record>(latest_map);
    if (!latest) return unexpected(latest.error());
    return DriftReport<typename Record::Metric>::from_runtime(
        latest->check(*baseline, metrics, threshold.value_or(DEFAULT_THRESHOLD)));
}

}  // namespace morvane
