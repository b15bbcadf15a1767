// The layout of a feature, built from its values before any counting: exact
// order-statistic quantile edges, the fixed module's equal-width rules, or the sorted
// distinct categories.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/profile/column.hpp"
#include "drift/core_baseline.hpp"

namespace morvane::profile {

// Non-missing values (NaN and nulls dropped; infinities kept) as doubles.
std::vector<double> present_values(const Column& c);

// The distinct values among v[floor(k·m / n_bins)], k = 1 .. n_bins−1, of the m sorted
// present values; no edges when m = 0.
std::vector<double> quantile_edges(const Column& c, std::int64_t n_bins);

// The fixed module's equal-width edges for the present values; fewer than two values
// give the single value as the one edge, or no edge at all.
std::vector<double> rule_edges(const Column& c, QuantileType rule);

// Sorted (by UTF-8 bytes) distinct category texts of the present values.
std::vector<std::string> distinct_categories(const Column& c);

}  // namespace morvane::profile
