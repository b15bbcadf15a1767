// The layout of a feature, built from its values before any counting: exact
// order-statistic quantile edges, the fixed module's equal-width rules, or the sorted
// distinct categories.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/profile/column.hpp"
#include "core/profile/exact_sum.hpp"

namespace morvane::profile {

// The quantile layout's edges (tie_edges.hpp) of the present values; none when there are none.
std::vector<double> quantile_edges(const Column& c, std::int64_t n_bins);

// The quantile edges with the column's counts on them (as count_continuous gives), and
// the least and greatest present values (+inf and -inf when there are none).
struct QuantileCounts {
    std::vector<double> edges;
    std::vector<std::int64_t> counts;
    std::int64_t missing = 0;
    double low = 0.0, high = 0.0;
};
QuantileCounts quantile_counts(const Column& c, std::int64_t n_bins);

// Exact order statistics without copying or sorting the column: a first pass finds the
// range of the values' order keys, a second counts them per bucket of the top 16 bits of
// that range (so a column of nearby values still spreads over many buckets), which places
// every wanted rank in a bucket; a third gathers only those buckets, and a selection
// inside each gives the exact values. The buckets then also count the values below any
// selected value.
class RankSelection {
public:
    RankSelection(const Column& c, bool finite_only, const std::function<std::vector<std::int64_t>(std::int64_t)>& ranks_for);
    const std::vector<double>& values() const { return values_; }
    std::int64_t present() const { return m_; }
    // How many values lie strictly below e, one of the selected values.
    std::int64_t count_below(double e) const;
    // How many values lie at or below e, one of the selected values.
    std::int64_t count_at_most(double e) const;

    // An unsigned key with the order of the doubles, branch-free.
    static std::uint64_t order_key(double v) {
        std::uint64_t u;
        std::memcpy(&u, &v, sizeof u);
        const std::uint64_t negative = 0 - (u >> 63);
        return u ^ (negative | (std::uint64_t{1} << 63));
    }

private:
    template <bool FINITE>
    void select(const Column& c, const std::function<std::vector<std::int64_t>(std::int64_t)>& ranks_for);
    static constexpr std::size_t BUCKETS = std::size_t{1} << 16;
    std::size_t bucket(double v) const { return static_cast<std::size_t>((order_key(v) - key_lo_) >> shift_); }

    std::int64_t m_ = 0;
    std::uint64_t key_lo_ = ~std::uint64_t{0};
    int shift_ = 0;
    std::vector<std::int64_t> hist_, below_;
    std::vector<std::int32_t> slot_;
    std::vector<std::vector<double>> gathered_;
    std::vector<double> values_;
};

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

// The distinct category texts of the present values, sorted by UTF-8 bytes, with their
// counts ("other" last, zero) and the missing count: a categorical feature's layout and
// its counts in one pass.
struct CategoryCounts {
    std::vector<std::string> categories;
    std::vector<std::int64_t> counts;
    std::int64_t missing = 0;
};
CategoryCounts distinct_categories(const Column& c);

}  // namespace morvane::profile
