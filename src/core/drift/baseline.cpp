#include "core/drift/baseline.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace morvane {

namespace {

// The 64-bit constant the heuristics raise n to.
constexpr double MINUS_ONE_THIRD = -0.3333333333333333;

// Float-to-count conversion that saturates: NaN and negatives become 0, values past
// the unsigned range its maximum.
std::size_t saturate_count(double x) {
    if (!(x > 0.0)) return 0;
    if (x >= 18446744073709551616.0) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(x);
}

double raw_bin_count(QuantileType q, std::span<const double> x) {
    const std::size_t len = x.size();
    const double n = static_cast<double>(len);
    switch (q) {
        case QuantileType::FreedmanDiaconis: {
            const std::size_t i3 = std::min(saturate_count(std::floor(0.75 * n)), len - 1);
            const std::size_t i1 = saturate_count(std::floor(0.25 * n));
            const double iqr = x[i3] - x[i1];
            if (iqr == 0.0) return 3.0;
            const double h = 2.0 * iqr * std::pow(n, MINUS_ONE_THIRD);
            return std::ceil((x[len - 1] - x[0]) / h);
        }
        case QuantileType::Scott: {
            double sum = 0.0;
            for (double v : x) sum += v;
            const double mean = sum / n;
            double squares = 0.0;
            for (double v : x) squares += (v - mean) * (v - mean);
            const double s = std::sqrt((1.0 / (n - 1.0)) * squares);
            if (x[len - 1] == x[0]) return 3.0;
            const double h = std::pow(n, MINUS_ONE_THIRD) * (3.49 * s);
            return std::ceil((x[len - 1] - x[0]) / h);
        }
        case QuantileType::Sturges:
            return std::floor(std::log2(n)) + 1.0;
    }
    return 3.0;
}

// Ascending sort of NaN-free doubles. Large samples go through an LSD radix sort on
// order-preserving keys (random data costs std::sort a branch miss per comparison);
// -0.0 lands before +0.0, which compare equal anyway.
void sort_values(std::vector<double>& x) {
    constexpr std::size_t RADIX_FROM = 2048;
    if (x.size() < RADIX_FROM) {
        std::sort(x.begin(), x.end());
        return;
    }
    constexpr int BITS = 11;
    constexpr std::size_t BUCKETS = std::size_t{1} << BITS;
    constexpr std::uint64_t SIGN = std::uint64_t{1} << 63;
    const std::size_t n = x.size();
    std::vector<std::uint64_t> keys(n), scratch(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t u;
        std::memcpy(&u, &x[i], sizeof u);
        keys[i] = (u & SIGN) ? ~u : (u | SIGN);
    }
    std::vector<std::size_t> count(BUCKETS);
    for (int shift = 0; shift < 64; shift += BITS) {
        std::fill(count.begin(), count.end(), 0);
        for (std::uint64_t k : keys) ++count[(k >> shift) & (BUCKETS - 1)];
        if (count[(keys[0] >> shift) & (BUCKETS - 1)] == n) continue;  // one digit value: nothing to move
        std::size_t sum = 0;
        for (std::size_t& c : count) sum += std::exchange(c, sum);
        for (std::uint64_t k : keys) scratch[count[(k >> shift) & (BUCKETS - 1)]++] = k;
        keys.swap(scratch);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = keys[i];
        const std::uint64_t u = (k & SIGN) ? (k & ~SIGN) : ~k;
        std::memcpy(&x[i], &u, sizeof u);
    }
}

}  // namespace

Result<QuantileType, DriftError> parse_quantile_type(std::string_view text) {
    if (text == "FreedmanDiaconis") return QuantileType::FreedmanDiaconis;
    if (text == "Scott") return QuantileType::Scott;
    if (text == "Sturges") return QuantileType::Sturges;
    return unexpected(DriftError::UnsupportedDriftType);
}

Result<std::optional<QuantileType>, DriftError> coerce_quantile_type(const std::optional<std::string>& text) {
    Result<std::optional<QuantileType>, DriftError> out{std::in_place, std::nullopt};
    if (text) {
        auto q = parse_quantile_type(*text);
        if (!q) return unexpected(q.error());
        out->emplace(*q);
    }
    return out;
}

std::size_t compute_num_bins(QuantileType q, std::span<const double> sorted) {
    const std::size_t bins = saturate_count(raw_bin_count(q, sorted));
    return std::clamp(bins, MIN_BINS, MAX_BINS);
}

Result<BaselineContinuousBins, DriftError> BaselineContinuousBins::make(const Input& values, Options options) {
    const QuantileType q = options.value_or(QuantileType::FreedmanDiaconis);
    if (values.length < 2) return unexpected(DriftError::EmptyBaselineData);
    std::vector<double> sorted(values.length);
    const bool has_nan = with_elements<double>(values, [&](const auto& x) {
        bool nan = false;
        for (std::size_t i = 0; i < x.size; ++i) {
            sorted[i] = x[i];
            nan |= std::isnan(sorted[i]);
        }
        return nan;
    });
    if (has_nan) return unexpected(DriftError::NaNValueError);
    sort_values(sorted);

    // The grid is laid over the finite values only; infinite baseline values are then
    // binned like any runtime value beyond the edges (-inf in bin 0, +inf in the last).
    const auto lo_it = std::upper_bound(sorted.begin(), sorted.end(), -std::numeric_limits<double>::infinity());
    const auto hi_it = std::lower_bound(lo_it, sorted.end(), std::numeric_limits<double>::infinity());
    const std::span<const double> finite(lo_it, hi_it);

    BaselineContinuousBins b;
    b.quantile_type_ = q;
    if (finite.size() >= 2 && finite.front() != finite.back()) {
        b.n_bins_ = compute_num_bins(q, finite);
        const std::size_t edges = b.n_bins_ - 2;
        const double lo = finite.front(), hi = finite.back();
        const double count = static_cast<double>(edges);
        double width = (hi - lo) / count;
        // A range wider than the largest double: split the division so the width stays finite.
        if (std::isinf(width)) width = hi / count - lo / count;
        b.bin_edges_.resize(edges);
        b.bin_edges_[0] = lo;
        // Repeated addition, as the edges are defined; the product form differs in the last bits.
        for (std::size_t i = 1; i < edges; ++i) b.bin_edges_[i] = b.bin_edges_[i - 1] + width;
    } else {
        // No spread: one edge at the value, so below / equal / above get bins 0 / 1 / 2.
        b.n_bins_ = MIN_BINS;
        b.bin_edges_.assign(1, finite.empty() ? sorted.front() : finite.front());
    }
    // NaN in bin 0, above the last edge in the last bin.
    b.bins_ = EdgeBins(b.bin_edges_, 0, static_cast<std::uint32_t>(b.n_bins_ - 1));

    std::vector<double> counts(b.n_bins_, 0.0);
    b.accumulate(view_of(sorted), counts);
    const double n = static_cast<double>(values.length);
    for (double& c : counts) c /= n;
    b.baseline_bins_ = std::move(counts);
    return b;
}

std::size_t BaselineContinuousBins::bin_index_single(double v) const {
    if (v < bin_edges_.front()) return 0;
    if (v <= bin_edges_.back()) {
        const auto k = static_cast<std::size_t>(std::upper_bound(bin_edges_.begin(), bin_edges_.end(), v) -
                                                bin_edges_.begin());
        return std::min(k, n_bins_ - 1);
    }
    return n_bins_ - 1;
}

void BaselineContinuousBins::accumulate(const Input& values, std::span<double> counts) const {
    std::vector<std::uint64_t> tally(n_bins_, 0);
    const std::size_t n = values.length;
    if (values.stride == static_cast<std::ptrdiff_t>(sizeof(double)) && reinterpret_cast<std::uintptr_t>(values.data) % alignof(double) == 0) {
        bins_.count(reinterpret_cast<const double*>(values.data), n, tally.data());
    } else {
        // Strided or misaligned values are copied out a block at a time.
        constexpr std::size_t BLOCK = 1024;
        double block[BLOCK];
        with_elements<double>(values, [&](const auto& x) {
            for (std::size_t start = 0; start < n; start += BLOCK) {
                const std::size_t m = std::min(BLOCK, n - start);
                for (std::size_t j = 0; j < m; ++j) block[j] = x[start + j];
                bins_.count(block, m, tally.data());
            }
        });
    }
    // Whole counts below 2^53 add up exactly in doubles: the same as adding 1.0 per value.
    for (std::size_t b = 0; b < n_bins_; ++b) counts[b] += static_cast<double>(tally[b]);
}

namespace {

// Rows per distinct label. Four interleaved tallies: consecutive rows of one label do
// not wait on each other's increment.
std::vector<std::uint64_t> rows_per_code(const LabelCodes& labels) {
    const std::size_t k = labels.texts.size();
    std::vector<std::uint64_t> lanes(4 * k, 0);
    const std::uint32_t* c = labels.codes.data();
    const std::size_t n = labels.codes.size();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        ++lanes[c[i]];
        ++lanes[k + c[i + 1]];
        ++lanes[2 * k + c[i + 2]];
        ++lanes[3 * k + c[i + 3]];
    }
    for (; i < n; ++i) ++lanes[c[i]];
    for (std::size_t t = 0; t < k; ++t) lanes[t] += lanes[k + t] + lanes[2 * k + t] + lanes[3 * k + t];
    lanes.resize(k);
    return lanes;
}

}  // namespace

Result<BaselineCategoricalBins, DriftError> BaselineCategoricalBins::make(Input labels, Options) {
    if (labels.codes.empty()) return unexpected(DriftError::EmptyBaselineData);
    const std::vector<std::uint64_t> rows = rows_per_code(labels);
    // The labels a row holds, ordered by their bytes (std::string compares them as
    // unsigned char, the shorter first on a common prefix).
    std::vector<std::uint32_t> order;
    order.reserve(rows.size());
    for (std::size_t t = 0; t < rows.size(); ++t)
        if (rows[t] != 0) order.push_back(static_cast<std::uint32_t>(t));
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return labels.texts[a] < labels.texts[b]; });

    BaselineCategoricalBins b;
    // Whole counts below 2^53 convert exactly, so each fraction equals the one of a
    // count kept by adding 1.0 per row.
    const double n = static_cast<double>(labels.codes.size());
    b.label_index_.reserve(order.size());
    b.baseline_bins_.reserve(order.size() + 1);
    for (std::size_t i = 0; i < order.size(); ++i) {
        b.label_index_.emplace(labels.texts[order[i]], i);
        b.baseline_bins_.push_back(static_cast<double>(rows[order[i]]) / n);
    }
    b.baseline_bins_.push_back(0.0);
    return b;
}

std::vector<std::size_t> BaselineCategoricalBins::bins_of(std::span<const std::string> texts) const {
    std::vector<std::size_t> bins(texts.size());
    for (std::size_t t = 0; t < texts.size(); ++t) bins[t] = bin_index(texts[t]);
    return bins;
}

void BaselineCategoricalBins::accumulate(Input labels, std::span<double> counts) const {
    const std::vector<std::uint64_t> rows = rows_per_code(labels);
    const std::vector<std::size_t> bins = bins_of(labels.texts);
    for (std::size_t t = 0; t < rows.size(); ++t) counts[bins[t]] += static_cast<double>(rows[t]);
}

}  // namespace morvane
