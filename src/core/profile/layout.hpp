// The layout of a feature, built from its values before any counting: exact
// order-statistic quantile edges, the fixed module's equal-width rules, or the sorted
// distinct categories.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/profile/column.hpp"
#include "core/profile/exact_sum.hpp"

namespace morvane::profile {

// The distinct values among v[floor(k·m / n_bins)], k = 1 .. n_bins−1, of the m sorted
// present values; no edges when m = 0.
std::vector<double> quantile_edges(const Column& c, std::int64_t n_bins);

// The exact values at the given ranks (0-based, ascending) of the sorted present values
// (finite ones only if asked); `ranks_for` gets their count m and names the ranks.
std::vector<double> order_statistics(const Column& c, bool finite_only,
                                     const std::function<std::vector<std::int64_t>(std::int64_t)>& ranks_for);

// What the equal-width rules (Freedman-Diaconis, Scott, Sturges) need of the finite
// values: count, range, the two quartile order statistics, exact sum and sum of squares.
// Every part merges across shards, so engines build the same edges distributedly.
struct RuleSummary {
    std::int64_t n = 0;
    double min = 0.0, max = 0.0, q1 = 0.0, q3 = 0.0;
    ExactSum sum, sum_sq;
};
RuleSummary rule_summary(const Column& c);

// Sorted (by UTF-8 bytes) distinct category texts of the present values.
std::vector<std::string> distinct_categories(const Column& c);

}  // namespace morvane::profile
