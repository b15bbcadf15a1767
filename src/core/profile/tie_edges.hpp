// The quantile layout of a continuous feature, as a rule over exact order statistics so
// that one machine and an engine (which selects the same ranks across partitions) build
// the same edges.
//
// Of the m sorted present values v, the rule reads the ranks floor(j·m / (FINE·n_bins)),
// j = 0 .. FINE·n_bins − 1, and m − 1. Its edges are:
// - the reference's range: v[0] and the double after v[m − 1], so that the first bin holds
//   values below the reference's minimum and the last bin values above its maximum (both
//   empty in the reference itself);
// - the quantiles v[floor(k·m / n_bins)], k = 1 .. n_bins − 1;
// - for every value found at two or more of the ranks (a tie holding about 1/(FINE·n_bins)
//   of the rows or more), the value and the double after it: a bin of its own. A constant
//   column so gets a bin for its value and one on each side; a 0/1 flag one bin per value.
#pragma once

#include <cstdint>
#include <vector>

namespace morvane::profile {

// Ties are looked for on a grid this many times finer than the bins.
inline constexpr std::int64_t FINE = 4;

// The ranks the rule reads (ascending, distinct), given m present values.
std::vector<std::int64_t> layout_ranks(std::int64_t m, std::int64_t n_bins);

// One edge and how its count is read from the values: below `value` (the edge is the
// value) or at most `value` (the edge is the double after it).
struct TieEdge {
    double edge;
    double value;
    bool after;
};

// The edges, ascending and distinct, from the values at layout_ranks(m, n_bins) (same
// order); -0.0 reads as 0.0.
std::vector<TieEdge> tie_aware_edges(std::int64_t m, std::int64_t n_bins, const std::vector<double>& values);

}  // namespace morvane::profile
