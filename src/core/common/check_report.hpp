// The verdict of every runtime check: passed, or the metrics that moved too far.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "core/common/metrics.hpp"

namespace morvane {

template <class M>
struct DriftReport {
    bool passed = true;
    // Present, and non-empty, exactly when passed is false: (deviation, metric) pairs.
    std::optional<std::vector<std::pair<float, M>>> failed_report;

    static DriftReport from_runtime(MetricMap<M> failed) {
        DriftReport r;
        if (failed.empty()) return r;
        r.passed = false;
        auto& entries = r.failed_report.emplace();
        entries.reserve(failed.size());
        // Enumeration order, so that reports read the same from run to run.
        for (std::size_t i = 0; i < METRIC_COUNT<M>; ++i) {
            const auto it = failed.find(static_cast<M>(i));
            if (it != failed.end()) entries.emplace_back(it->second, it->first);
        }
        return r;
    }
};

}  // namespace morvane
