#include "core/common/edge_bins.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "core/common/cpu_dispatch.hpp"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(MORVANE_SANITIZE_BUILD)
#include <immintrin.h>
#define MORVANE_EDGE_BINS_AVX2 1
#endif

namespace morvane {

namespace {

// Up to this many edges a value is compared with each of them.
constexpr std::size_t COMPARE_MAX = 15;
// The grid is trusted only when every edge lies this close to its grid line; the
// margin added to the largest distance found covers the rounding of the fraction test.
constexpr double SLACK_MAX = 0.25;
constexpr double SLACK_MARGIN = 0x1p-20;

// The rule itself: NaN, above the last edge, or the number of edges at or below v.
std::uint32_t search(const double* e, std::size_t ne, double v, std::uint32_t nan_slot, std::uint32_t above_slot) {
    if (v != v) return nan_slot;
    if (v > e[ne - 1]) return above_slot;
    return static_cast<std::uint32_t>(std::upper_bound(e, e + ne, v) - e);
}

}  // namespace

EdgeBins::EdgeBins(std::span<const double> edges, std::uint32_t nan_slot, std::uint32_t above_slot)
    : edges_(edges.begin(), edges.end()), nan_slot_(nan_slot), above_slot_(above_slot) {
    const std::size_t e = edges_.size();
    slot_count_ = std::max<std::size_t>({e, nan_slot, above_slot}) + 1;
    method_ = e <= COMPARE_MAX ? Method::Compare : Method::Search;
    // A handful of edges compares faster than the grid arithmetic.
    if (e <= 4) return;
    e0_ = edges_.front();
    inv_ = static_cast<double>(e - 1) / (edges_.back() - e0_);
    if (!(inv_ > 0.0 && std::isfinite(inv_))) return;
    // The distance of each edge's grid value from its index (exact in doubles: the two
    // are within a factor of two of each other whenever the distance is below a half).
    double slack = 0.0;
    for (std::size_t k = 0; k < e; ++k) {
        slack = std::max(slack, std::fabs(static_cast<double>(grid(edges_[k])) - static_cast<double>(k)));
        if (!(slack < SLACK_MAX)) return;
    }
    top_ = grid(edges_.back());
    // Rounded down into a float, so the test stays as strict as the margin makes it.
    const double half = 0.5 - (slack + SLACK_MARGIN);
    half_ = static_cast<float>(half);
    if (static_cast<double>(half_) > half) half_ = std::nextafter(half_, 0.0f);
    method_ = Method::Grid;
}

std::uint32_t EdgeBins::search_slot(double v) const { return search(edges_.data(), edges_.size(), v, nan_slot_, above_slot_); }

std::uint32_t EdgeBins::grid_slot(double v) const {
    const float g = grid(v);
    if (g < 0.0f) return 0;
    if (g <= top_) {
        const auto k = static_cast<std::int32_t>(g);
        if (std::fabs((g - static_cast<float>(k)) - 0.5f) < half_) return static_cast<std::uint32_t>(k) + 1;
    } else if (g > top_) {
        return above_slot_;
    }
    return search_slot(v);  // near a grid line, or NaN
}

void EdgeBins::slots_portable(const double* x, std::size_t n, std::uint32_t* out) const {
    switch (method_) {
        case Method::Grid:
            for (std::size_t j = 0; j < n; ++j) out[j] = grid_slot(x[j]);
            return;
        case Method::Compare: {
            const double* e = edges_.data();
            const std::size_t ne = edges_.size();
            const double last = edges_.back();
            for (std::size_t j = 0; j < n; ++j) {
                const double v = x[j];
                std::uint32_t c = 0;
                for (std::size_t k = 0; k < ne; ++k) c += v >= e[k];
                out[j] = v != v ? nan_slot_ : v > last ? above_slot_ : c;
            }
            return;
        }
        case Method::Search:
            for (std::size_t j = 0; j < n; ++j) out[j] = search_slot(x[j]);
            return;
    }
}

#if defined(MORVANE_EDGE_BINS_AVX2)
namespace {

// Compare with E edges (held in registers), eight values at a time, in floats: narrowing
// is monotone, so a value whose float differs from every edge's float is above exactly
// the edges whose floats it exceeds. The count c of edge floats at or below the value's
// float has a tie exactly when the c-th of them equals it (looked up in the register
// table {NaN, f[0], ..., f[E-1]}); tied values take the search. Then the step from E to
// above_slot past the last edge, nan_slot for NaN, and each value's tally lane offset.
// Returns how many values it did (a multiple of 8).
template <std::size_t E>
[[gnu::target("avx2")]] std::size_t compare_block(const double* x, std::size_t n, std::uint32_t* out, const double* e,
                                                  std::uint32_t nan_slot, std::uint32_t above_slot, std::uint32_t lane) {
    static_assert(E < 16);
    __m256 ev[E];
    alignas(32) float table[16];
    table[0] = std::numeric_limits<float>::quiet_NaN();
    for (std::size_t q = 0; q < E; ++q) {
        table[q + 1] = static_cast<float>(e[q]);
        ev[q] = _mm256_set1_ps(table[q + 1]);
    }
    for (std::size_t q = E + 1; q < 16; ++q) table[q] = table[0];
    const __m256 table_lo = _mm256_load_ps(table), table_hi = _mm256_load_ps(table + 8);
    const __m256i count_e = _mm256_set1_epi32(static_cast<int>(E));
    const __m256i above_step = _mm256_set1_epi32(static_cast<int>(above_slot) - static_cast<int>(E));
    const __m256i nan_v = _mm256_set1_epi32(static_cast<int>(nan_slot));
    const auto l1 = static_cast<int>(lane), l2 = static_cast<int>(2 * lane), l3 = static_cast<int>(3 * lane);
    const __m256i offsets = _mm256_setr_epi32(0, l1, l2, l3, 0, l1, l2, l3);
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const __m256 v = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(_mm256_loadu_pd(x + j))),
                                              _mm256_cvtpd_ps(_mm256_loadu_pd(x + j + 4)), 1);
        __m256i c = _mm256_setzero_si256();
        for (std::size_t q = 0; q < E; ++q) c = _mm256_sub_epi32(c, _mm256_castps_si256(_mm256_cmp_ps(v, ev[q], _CMP_GE_OQ)));
        const __m256 reached = _mm256_blendv_ps(_mm256_permutevar8x32_ps(table_lo, c), _mm256_permutevar8x32_ps(table_hi, c),
                                                _mm256_castsi256_ps(_mm256_slli_epi32(c, 28)));
        const int tied = _mm256_movemask_ps(_mm256_cmp_ps(reached, v, _CMP_EQ_OQ));
        c = _mm256_add_epi32(c, _mm256_and_si256(_mm256_cmpeq_epi32(c, count_e), above_step));
        c = _mm256_blendv_epi8(c, nan_v, _mm256_castps_si256(_mm256_cmp_ps(v, v, _CMP_UNORD_Q)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), _mm256_add_epi32(c, offsets));
        if (tied) [[unlikely]] {
            for (std::size_t l = 0; l < 8; ++l)
                if ((tied >> l) & 1) out[j + l] = search(e, E, x[j + l], nan_slot, above_slot) + lane * static_cast<std::uint32_t>(l & 3);
        }
    }
    return j;
}

using CompareBlock = std::size_t (*)(const double*, std::size_t, std::uint32_t*, const double*, std::uint32_t, std::uint32_t,
                                     std::uint32_t);
template <std::size_t... Es>
constexpr std::array<CompareBlock, sizeof...(Es) + 1> compare_blocks(std::index_sequence<Es...>) {
    return {nullptr, compare_block<Es + 1>...};
}
constexpr auto COMPARE_BLOCKS = compare_blocks(std::make_index_sequence<COMPARE_MAX>{});

}  // namespace

// The grid eight values at a time: slot floor(G) + 1, or 0 below, above_slot above,
// nan_slot for NaN; lanes near a grid line go through the search. Compare: see
// compare_block.
[[gnu::target("avx2")]] void EdgeBins::slots_avx2(const double* x, std::size_t n, std::uint32_t* out,
                                                   std::uint32_t lane) const {
    std::size_t j = 0;
    if (method_ == Method::Grid) {
        // The slot less one goes through the float lanes; the one comes back with the
        // tally lane's offset.
        const int l0 = 1, l1 = static_cast<int>(lane) + 1, l2 = static_cast<int>(2 * lane) + 1, l3 = static_cast<int>(3 * lane) + 1;
        const __m256i offsets = _mm256_setr_epi32(l0, l1, l2, l3, l0, l1, l2, l3);
        const __m256d e0 = _mm256_set1_pd(e0_), inv = _mm256_set1_pd(inv_);
        const __m256 top = _mm256_set1_ps(top_), half = _mm256_set1_ps(half_), mid = _mm256_set1_ps(0.5f);
        const __m256 minus_one = _mm256_set1_ps(-1.0f);
        const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
        const __m256 nan_slot = _mm256_set1_ps(static_cast<float>(nan_slot_) - 1.0f);
        const __m256 above_slot = _mm256_set1_ps(static_cast<float>(above_slot_) - 1.0f);
        for (; j + 8 <= n; j += 8) {
            const __m128 lo = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(x + j), e0), inv));
            const __m128 hi = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(x + j + 4), e0), inv));
            const __m256 g = _mm256_insertf128_ps(_mm256_castps128_ps256(lo), hi, 1);
            const __m256 k = _mm256_round_ps(g, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
            // Near a grid line (NaN is not): settled by the search. Below 0 or above top_
            // such a lane would be settled already; it is rare enough to search anyway.
            const __m256 near =
                _mm256_cmp_ps(_mm256_and_ps(_mm256_sub_ps(_mm256_sub_ps(g, k), mid), abs_mask), half, _CMP_GE_OQ);
            __m256 s = _mm256_max_ps(k, minus_one);
            s = _mm256_blendv_ps(s, above_slot, _mm256_cmp_ps(g, top, _CMP_GT_OQ));
            s = _mm256_blendv_ps(s, nan_slot, _mm256_cmp_ps(g, g, _CMP_UNORD_Q));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), _mm256_add_epi32(_mm256_cvttps_epi32(s), offsets));
            if (const int unsettled = _mm256_movemask_ps(near)) [[unlikely]] {
                for (std::size_t l = 0; l < 8; ++l)
                    if ((unsettled >> l) & 1) out[j + l] = search_slot(x[j + l]) + lane * static_cast<std::uint32_t>(l & 3);
            }
        }
        for (; j < n; ++j) out[j] = grid_slot(x[j]) + lane * static_cast<std::uint32_t>(j & 3);
        return;
    }
    if (method_ == Method::Compare) j = COMPARE_BLOCKS[edges_.size()](x, n, out, edges_.data(), nan_slot_, above_slot_, lane);
    slots_portable(x, n, out, lane, j);
}
#else
void EdgeBins::slots_avx2(const double* x, std::size_t n, std::uint32_t* out, std::uint32_t lane) const {
    slots_portable(x, n, out, lane, 0);
}
#endif

void EdgeBins::slots_portable(const double* x, std::size_t n, std::uint32_t* out, std::uint32_t lane,
                              std::size_t first) const {
    slots_portable(x + first, n - first, out + first);
    if (lane != 0) {
        for (std::size_t i = first; i < n; ++i) out[i] += lane * static_cast<std::uint32_t>(i & 3);
    }
}

void EdgeBins::tagged_slots(const double* x, std::size_t n, std::uint32_t* out, std::uint32_t lane) const {
    if (method_ != Method::Search && cpu_has_avx2()) slots_avx2(x, n, out, lane);
    else slots_portable(x, n, out, lane, 0);
}

void EdgeBins::count(const double* x, std::size_t n, std::uint64_t* counts) const {
    constexpr std::size_t BLOCK = 1024;
    // 32-bit tallies are added into the counts before any can overflow.
    constexpr std::size_t FLUSH = std::size_t{1} << 31;
    std::uint32_t buf[BLOCK];
    const std::size_t ns = slot_count_;
    // Four interleaved tallies, so that runs of one slot do not wait on their own
    // increments, where there are enough values to pay for clearing and adding them.
    const bool lanes = n >= 8 * ns;
    std::vector<std::uint32_t> tally(lanes ? 4 * ns : 0);
    auto flush = [&] {
        for (std::size_t s = 0; s < ns; ++s) {
            counts[s] += std::uint64_t{tally[s]} + tally[ns + s] + tally[2 * ns + s] + tally[3 * ns + s];
            tally[s] = tally[ns + s] = tally[2 * ns + s] = tally[3 * ns + s] = 0;
        }
    };
    std::size_t since_flush = 0;
    for (std::size_t start = 0; start < n; start += BLOCK) {
        const std::size_t m = std::min(BLOCK, n - start);
        if (!lanes) {
            slots(x + start, m, buf);
            for (std::size_t j = 0; j < m; ++j) ++counts[buf[j]];
            continue;
        }
        // Value j of the block is tallied in lane j % 4 (BLOCK is a multiple of 4).
        tagged_slots(x + start, m, buf, static_cast<std::uint32_t>(ns));
        std::uint32_t* t = tally.data();
        std::size_t j = 0;
        for (; j + 4 <= m; j += 4) {
            ++t[buf[j]];
            ++t[buf[j + 1]];
            ++t[buf[j + 2]];
            ++t[buf[j + 3]];
        }
        for (; j < m; ++j) ++t[buf[j]];
        since_flush += m;
        if (since_flush >= FLUSH) {
            flush();
            since_flush = 0;
        }
    }
    if (lanes) flush();
}

}  // namespace morvane
