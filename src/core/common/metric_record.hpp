// A family's metric values as one record, one 32-bit slot per row of its metric table,
// with everything the table derives: dict conversion, the runtime check, and the
// monitor's drift snapshot and drift report.
#pragma once

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "core/common/check_report.hpp"
#include "core/common/configuration.hpp"
#include "core/common/errors.hpp"
#include "core/common/metric_tables.hpp"
#include "core/common/metrics.hpp"

namespace morvane {

// A stored metric set: metric name -> value, exactly as an analysis function returns it.
using MetricValues = std::unordered_map<std::string, float>;

template <const auto& ROWS>
struct MetricRecord {
    using Metric = std::remove_cvref_t<decltype(ROWS[0].metric)>;
    static constexpr std::size_t SIZE = ROWS.size();
    static constexpr const auto& rows = ROWS;

    std::array<float, SIZE> values{};

    float get(Metric m) const { return values[slot(m)]; }

    // A metric's slot; a metric outside the family's table is a broken invariant (the
    // parsers refuse it), not an error value.
    static std::size_t slot(Metric m) {
        const auto i = static_cast<std::size_t>(m);
        if (i >= SIZE) throw std::logic_error("metric outside the family's table");
        return i;
    }

    MetricMap<Metric> to_map() const {
        MetricMap<Metric> map;
        map.reserve(SIZE);
        for (const auto& row : ROWS) map.emplace(row.metric, get(row.metric));
        return map;
    }

    // Every row's name looked up in slot order; the first missing one is the error.
    // Keys of other metrics are ignored.
    static Result<MetricRecord, Metric> from_names(const MetricValues& map) {
        MetricRecord r;
        for (const auto& row : ROWS) {
            const auto it = map.find(std::string(row.name));
            if (it == map.end()) return unexpected(row.metric);
            r.values[static_cast<std::size_t>(row.metric)] = it->second;
        }
        return r;
    }
    static Result<MetricRecord, Metric> from_map(const MetricMap<Metric>& map) {
        MetricRecord r;
        for (const auto& row : ROWS) {
            const auto it = map.find(row.metric);
            if (it == map.end()) return unexpected(row.metric);
            r.values[static_cast<std::size_t>(row.metric)] = it->second;
        }
        return r;
    }

    // The metrics of `metrics` that fail their row's check rule against the baseline,
    // each with its change; a metric named twice is reported once. Never fails.
    MetricMap<Metric> check(const MetricRecord& baseline, std::span<const Metric> metrics, float threshold) const {
        MetricMap<Metric> failed;
        failed.reserve(metrics.size());
        for (const Metric m : metrics) {
            const auto& row = ROWS[slot(m)];
            if (const auto change = check_change(row.check, get(m), baseline.get(m), threshold))
                failed.insert_or_assign(m, *change);
        }
        return failed;
    }

    // Every metric's snapshot value against the baseline (this record is the window).
    MetricMap<Metric> snapshot(const MetricRecord& baseline) const {
        const float eps = floor_eps();
        MetricMap<Metric> map;
        map.reserve(SIZE);
        for (const auto& row : ROWS) map.emplace(row.metric, snapshot_value(row.snapshot, get(row.metric), baseline.get(row.metric), eps));
        return map;
    }

    // The metrics whose report value reaches the threshold (a NaN never does),
    // optionally only the listed ones.
    DriftReport<Metric> report(const MetricRecord& baseline, float threshold,
                               std::optional<std::span<const Metric>> only) const {
        const float eps = floor_eps();
        MetricMap<Metric> failed;
        for (const auto& row : ROWS) {
            if (only && std::find(only->begin(), only->end(), row.metric) == only->end()) continue;
            const float v = report_value(row, get(row.metric), baseline.get(row.metric), eps);
            if (v >= threshold) failed.emplace(row.metric, v);
        }
        return DriftReport<Metric>::from_runtime(std::move(failed));
    }

private:
    // The floor of RelativeFloor divisors: the stability epsilon in 32 bits, read only by
    // the families that use it.
    static float floor_eps() {
        constexpr bool FLOORED = [] {
            for (const auto& row : ROWS)
                if (row.snapshot == SnapshotRule::RelativeFloor) return true;
            return false;
        }();
        if constexpr (FLOORED) return static_cast<float>(static_cast<double>(STABILITIY_EPS));
        return 0.0f;
    }
};

}  // namespace morvane
