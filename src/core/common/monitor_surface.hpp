// The surface the five streaming monitors share. A monitor provides its baseline record
// and the record of its current window (or the error that there is none); the metric
// table then gives the performance snapshot, the drift snapshot and the drift report.
#pragma once

#include <optional>
#include <span>

#include "core/common/check_report.hpp"
#include "core/common/errors.hpp"
#include "core/common/metric_record.hpp"

namespace morvane {

template <class Derived, class Record>
struct MonitorSurface {
    using Metric = typename Record::Metric;
    using Error = ModelPerformanceError;

    // The window's metrics.
    Result<MetricMap<Metric>, Error> performance_snapshot() const {
        const auto w = self().window();
        if (!w) return unexpected(w.error());
        return w->to_map();
    }
    // Every metric's snapshot value against the baseline.
    Result<MetricMap<Metric>, Error> drift_snapshot() const {
        const auto w = self().window();
        if (!w) return unexpected(w.error());
        return w->snapshot(self().baseline());
    }
    // The metrics (all, or only the listed ones) whose report value reaches the threshold.
    Result<DriftReport<Metric>, Error> drift_report(float threshold,
                                                    std::optional<std::span<const Metric>> only = std::nullopt) const {
        const auto w = self().window();
        if (!w) return unexpected(w.error());
        return w->report(self().baseline(), threshold, only);
    }

private:
    const Derived& self() const { return static_cast<const Derived&>(*this); }
};

}  // namespace morvane
