#include "core/common/edge_bins.hpp"

#include <algorithm>
#include <cmath>

#include "core/common/cpu_dispatch.hpp"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(MORVANE_SANITIZE_BUILD)
#include <immintrin.h>
#define MORVANE_EDGE_BINS_AVX2 1
#endif

namespace morvane {

namespace {

// Up to this many edges a value is compared with each of them.
constexpr std::size_t COMPARE_MAX = 16;
// The grid is trusted only when every edge lies this close to its grid line; the
// margin added to the largest distance found covers the rounding of the fraction test.
constexpr double SLACK_MAX = 0.25;
constexpr double SLACK_MARGIN = 0x1p-30;

}  // namespace

EdgeBins::EdgeBins(std::span<const double> edges, std::uint32_t nan_slot, std::uint32_t above_slot)
    : edges_(edges.begin(), edges.end()), nan_slot_(nan_slot), above_slot_(above_slot) {
    const std::size_t e = edges_.size();
    slot_count_ = std::max<std::size_t>({e, nan_slot, above_slot}) + 1;
    method_ = e <= COMPARE_MAX ? Method::Compare : Method::Search;
    if (e < 2) return;
    e0_ = edges_.front();
    inv_ = static_cast<double>(e - 1) / (edges_.back() - e0_);
    if (!(inv_ > 0.0 && std::isfinite(inv_))) return;
    // The distance of each edge's grid value from its index (exact: the two are within
    // a factor of two of each other whenever the distance is below a half).
    double slack = 0.0;
    for (std::size_t k = 0; k < e; ++k) {
        const double g = (edges_[k] - e0_) * inv_;
        slack = std::max(slack, std::fabs(g - static_cast<double>(k)));
        if (!(slack < SLACK_MAX)) return;
    }
    top_ = (edges_.back() - e0_) * inv_;
    half_ = 0.5 - (slack + SLACK_MARGIN);
    last_cell_ = static_cast<double>(e - 1);
    // A handful of edges compares faster than the grid arithmetic.
    if (e > 4) method_ = Method::Grid;
}

std::uint32_t EdgeBins::search_slot(double v) const {
    if (v != v) return nan_slot_;
    if (v > edges_.back()) return above_slot_;
    return static_cast<std::uint32_t>(std::upper_bound(edges_.begin(), edges_.end(), v) - edges_.begin());
}

std::uint32_t EdgeBins::grid_slot(double v) const {
    const double g = (v - e0_) * inv_;
    if (g < 0.0) return 0;
    if (g > top_) return above_slot_;
    if (g < last_cell_) {
        const double k = static_cast<double>(static_cast<std::int64_t>(g));
        if (std::fabs((g - k) - 0.5) < half_) return static_cast<std::uint32_t>(k) + 1;
    }
    return search_slot(v);
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
// Four values at a time. The grid: slot floor(G) + 1, or 0 below, above_slot above,
// nan_slot for NaN; lanes none of these tests settles go through the search. Compare: the
// count of edges reached, then the NaN and above-the-last-edge slots.
[[gnu::target("avx2")]] void EdgeBins::slots_avx2(const double* x, std::size_t n, std::uint32_t* out) const {
    std::size_t j = 0;
    if (method_ == Method::Grid) {
        const __m256d nan_slot = _mm256_set1_pd(static_cast<double>(nan_slot_));
        const __m256d above_slot = _mm256_set1_pd(static_cast<double>(above_slot_));
        const __m256d e0 = _mm256_set1_pd(e0_), inv = _mm256_set1_pd(inv_), top = _mm256_set1_pd(top_);
        const __m256d last_cell = _mm256_set1_pd(last_cell_), half = _mm256_set1_pd(half_);
        const __m256d zero = _mm256_setzero_pd(), one = _mm256_set1_pd(1.0), mid = _mm256_set1_pd(0.5);
        const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
        for (; j + 4 <= n; j += 4) {
            const __m256d v = _mm256_loadu_pd(x + j);
            const __m256d g = _mm256_mul_pd(_mm256_sub_pd(v, e0), inv);
            const __m256d k = _mm256_round_pd(g, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
            const __m256d dist = _mm256_and_pd(_mm256_sub_pd(_mm256_sub_pd(g, k), mid), abs_mask);
            const __m256d inner = _mm256_and_pd(_mm256_cmp_pd(g, last_cell, _CMP_LT_OQ), _mm256_cmp_pd(dist, half, _CMP_LT_OQ));
            const __m256d below = _mm256_cmp_pd(g, zero, _CMP_LT_OQ);
            const __m256d above = _mm256_cmp_pd(g, top, _CMP_GT_OQ);
            const __m256d nan = _mm256_cmp_pd(v, v, _CMP_UNORD_Q);
            __m256d s = _mm256_blendv_pd(_mm256_add_pd(k, one), zero, below);
            s = _mm256_blendv_pd(s, above_slot, above);
            s = _mm256_blendv_pd(s, nan_slot, nan);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), _mm256_cvttpd_epi32(s));
            const int settled = _mm256_movemask_pd(_mm256_or_pd(_mm256_or_pd(inner, below), _mm256_or_pd(above, nan)));
            if (settled != 0xF) [[unlikely]] {
                for (std::size_t l = 0; l < 4; ++l)
                    if (!((settled >> l) & 1)) out[j + l] = search_slot(x[j + l]);
            }
        }
        for (; j < n; ++j) out[j] = grid_slot(x[j]);
        return;
    }
    if (method_ == Method::Compare) {
        const std::size_t ne = edges_.size();
        const double* e = edges_.data();
        const __m256d last = _mm256_set1_pd(edges_.back());
        const __m256i above_step = _mm256_set1_epi64x(static_cast<long long>(above_slot_) - static_cast<long long>(ne));
        const __m256i low_halves = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
        for (; j + 4 <= n; j += 4) {
            const __m256d v = _mm256_loadu_pd(x + j);
            __m256i c = _mm256_setzero_si256();
            for (std::size_t q = 0; q < ne; ++q)
                c = _mm256_sub_epi64(c, _mm256_castpd_si256(_mm256_cmp_pd(v, _mm256_broadcast_sd(e + q), _CMP_GE_OQ)));
            c = _mm256_add_epi64(c, _mm256_and_si256(_mm256_castpd_si256(_mm256_cmp_pd(v, last, _CMP_GT_OQ)), above_step));
            c = _mm256_blendv_epi8(c, _mm256_set1_epi64x(nan_slot_), _mm256_castpd_si256(_mm256_cmp_pd(v, v, _CMP_UNORD_Q)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j),
                             _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(c, low_halves)));
        }
    }
    slots_portable(x + j, n - j, out + j);
}
#else
void EdgeBins::slots_avx2(const double* x, std::size_t n, std::uint32_t* out) const { slots_portable(x, n, out); }
#endif

void EdgeBins::slots(const double* x, std::size_t n, std::uint32_t* out) const {
    if (method_ != Method::Search && cpu_has_avx2()) slots_avx2(x, n, out);
    else slots_portable(x, n, out);
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
        slots(x + start, m, buf);
        if (!lanes) {
            for (std::size_t j = 0; j < m; ++j) ++counts[buf[j]];
            continue;
        }
        std::uint32_t* t = tally.data();
        std::size_t j = 0;
        for (; j + 4 <= m; j += 4) {
            ++t[buf[j]];
            ++t[ns + buf[j + 1]];
            ++t[2 * ns + buf[j + 2]];
            ++t[3 * ns + buf[j + 3]];
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
