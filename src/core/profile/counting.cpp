#include "core/profile/counting.hpp"

#include <algorithm>
#include <limits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define MORVANE_AVX2_DISPATCH 1
#endif
#include <utility>

namespace morvane::profile {

namespace {

// Branch-free search for up to 15 edges: the edges padded with +inf to 2^s − 1 entries,
// s halving steps, and a clamp for +inf itself (which would pass the padding).
struct SmallEdges {
    double e[16];
    int steps = 0;
    std::size_t n = 0;

    explicit SmallEdges(std::span<const double> edges) : n(edges.size()) {
        std::size_t size = 1;
        while (size - 1 < edges.size()) { size *= 2; ++steps; }
        std::fill(e, e + 16, std::numeric_limits<double>::infinity());
        std::copy(edges.begin(), edges.end(), e);
    }
    std::size_t bin(double v) const {
        std::size_t b = 0;
        for (int s = steps - 1; s >= 0; --s) {
            const std::size_t step = std::size_t{1} << s;
            b += (v >= e[b + step - 1]) ? step : 0;
        }
        return std::min(b, n);
    }
};

struct LargeEdges {
    std::span<const double> e;
    std::size_t n = e.size();
    std::size_t bin(double v) const { return static_cast<std::size_t>(std::upper_bound(e.begin(), e.end(), v) - e.begin()); }
};

// Bins of a block by counting the edges each value reaches: E independent compares
// per value instead of a search whose steps wait on each other, two values per SSE2
// compare (the x86-64 baseline), about five times the scalar loop. NaN and nulls get
// slot 255. Then four interleaved tallies, so runs of one bin do not wait on their own
// increments.
constexpr std::uint8_t MISSING_SLOT = 255;

template <class T, int E>
void block_bins(const T* xs, std::int64_t len, const double* e, std::uint8_t* bins) {
    std::int64_t j = 0;
#if defined(__SSE2__)
    if constexpr (std::is_same_v<T, double> || std::is_same_v<T, float>) {
        __m128d ev[E > 0 ? E : 1];
        for (int k = 0; k < E; ++k) ev[k] = _mm_set1_pd(e[k]);
        auto load2 = [](const T* p) {
            if constexpr (std::is_same_v<T, double>) return _mm_loadu_pd(p);
            else return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
        };
        for (; j + 4 <= len; j += 4) {
            const __m128d v0 = load2(xs + j), v1 = load2(xs + j + 2);
            __m128i a0 = _mm_setzero_si128(), a1 = _mm_setzero_si128();
            for (int k = 0; k < E; ++k) {
                a0 = _mm_sub_epi64(a0, _mm_castpd_si128(_mm_cmpge_pd(v0, ev[k])));
                a1 = _mm_sub_epi64(a1, _mm_castpd_si128(_mm_cmpge_pd(v1, ev[k])));
            }
            a0 = _mm_or_si128(a0, _mm_castpd_si128(_mm_cmpunord_pd(v0, v0)));
            a1 = _mm_or_si128(a1, _mm_castpd_si128(_mm_cmpunord_pd(v1, v1)));
            alignas(16) std::int64_t out[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(out), a0);
            _mm_store_si128(reinterpret_cast<__m128i*>(out + 2), a1);
            for (int q = 0; q < 4; ++q) bins[j + q] = static_cast<std::uint8_t>(out[q]);
        }
    }
#endif
    for (; j < len; ++j) {
        const double v = static_cast<double>(xs[j]);
        int b = 0;
        for (int k = 0; k < E; ++k) b += v >= e[k];
        bins[j] = v == v ? static_cast<std::uint8_t>(b) : MISSING_SLOT;
    }
}

#if defined(MORVANE_AVX2_DISPATCH)
// The same compares four doubles at a time, for processors that have AVX2 (checked once
// at run time; the build itself targets the x86-64 baseline).
__attribute__((target("avx2"))) void block_bins_avx2(const double* xs, std::int64_t len, const double* e, int n_edges,
                                                     std::uint8_t* bins) {
    __m256d ev[16];
    for (int k = 0; k < n_edges; ++k) ev[k] = _mm256_set1_pd(e[k]);
    std::int64_t j = 0;
    for (; j + 4 <= len; j += 4) {
        const __m256d v = _mm256_loadu_pd(xs + j);
        __m256i acc = _mm256_setzero_si256();
        for (int k = 0; k < n_edges; ++k) acc = _mm256_sub_epi64(acc, _mm256_castpd_si256(_mm256_cmp_pd(v, ev[k], _CMP_GE_OQ)));
        acc = _mm256_or_si256(acc, _mm256_castpd_si256(_mm256_cmp_pd(v, v, _CMP_UNORD_Q)));
        alignas(32) std::int64_t out[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(out), acc);
        for (int q = 0; q < 4; ++q) bins[j + q] = static_cast<std::uint8_t>(out[q]);
    }
    for (; j < len; ++j) {
        const double v = xs[j];
        int b = 0;
        for (int k = 0; k < n_edges; ++k) b += v >= e[k];
        bins[j] = v == v ? static_cast<std::uint8_t>(b) : MISSING_SLOT;
    }
}

const bool HAS_AVX2 = __builtin_cpu_supports("avx2");
#endif

template <class T, int E>
void count_small_fixed(const T* x, std::int64_t n, const std::uint8_t* validity, std::int64_t bit0, const double* edges,
                       std::int64_t* counts, std::int64_t& missing) {
    constexpr std::int64_t BLOCK = 512;
    std::int64_t tally[4][256] = {};
    std::uint8_t bins[BLOCK];
    for (std::int64_t start = 0; start < n; start += BLOCK) {
        const std::int64_t len = std::min(BLOCK, n - start);
#if defined(MORVANE_AVX2_DISPATCH)
        if constexpr (std::is_same_v<T, double>) {
            if (HAS_AVX2) block_bins_avx2(x + start, len, edges, E, bins);
            else block_bins<T, E>(x + start, len, edges, bins);
        } else {
            block_bins<T, E>(x + start, len, edges, bins);
        }
#else
        block_bins<T, E>(x + start, len, edges, bins);
#endif
        // Arrow nulls: whatever their slot holds, they are missing.
        if (validity) {
            for (std::int64_t j = 0; j < len; ++j) {
                const std::int64_t bit = bit0 + start + j;
                if (!((validity[bit >> 3] >> (bit & 7)) & 1)) bins[j] = MISSING_SLOT;
            }
        }
        std::int64_t j = 0;
        for (; j + 4 <= len; j += 4) {
            ++tally[0][bins[j]];
            ++tally[1][bins[j + 1]];
            ++tally[2][bins[j + 2]];
            ++tally[3][bins[j + 3]];
        }
        for (; j < len; ++j) ++tally[0][bins[j]];
    }
    for (int l = 0; l < 4; ++l) {
        for (int b = 0; b <= E; ++b) counts[b] += tally[l][b];
        missing += tally[l][MISSING_SLOT];
    }
}

template <class T, int... Es>
void count_small_dispatch(const T* x, std::int64_t n, const std::uint8_t* validity, std::int64_t bit0, const double* edges,
                          std::size_t e, std::int64_t* counts, std::int64_t& missing, std::integer_sequence<int, Es...>) {
    ((e == static_cast<std::size_t>(Es) ? (count_small_fixed<T, Es>(x, n, validity, bit0, edges, counts, missing), true)
                                        : false) || ...);
}

// One loop per value type and search; the contiguous, all-valid, native-order case is
// the branch that runs on ordinary NumPy and Arrow columns.
template <class T, class Search>
void count_chunk(const Chunk& ch, const Search& search, std::int64_t* counts, std::int64_t& missing) {
    const std::uint8_t* base = ch.data + ch.offset * ch.stride;
    if constexpr (std::is_same_v<Search, SmallEdges>) {
        if (!ch.swap && ch.stride == static_cast<std::int64_t>(sizeof(T)) &&
            reinterpret_cast<std::uintptr_t>(base) % alignof(T) == 0) {
            count_small_dispatch<T>(reinterpret_cast<const T*>(base), ch.length, ch.validity, ch.offset, search.e,
                                    search.n, counts, missing, std::make_integer_sequence<int, 16>{});
            return;
        }
    }
    if (!ch.validity && !ch.swap && ch.stride == static_cast<std::int64_t>(sizeof(T))) {
        const T* x = reinterpret_cast<const T*>(base);
        if (reinterpret_cast<std::uintptr_t>(x) % alignof(T) == 0) {
            std::int64_t nan = 0;
            for (std::int64_t i = 0; i < ch.length; ++i) {
                const double v = static_cast<double>(x[i]);
                if constexpr (std::is_floating_point_v<T>) {
                    if (v != v) { ++nan; continue; }
                }
                ++counts[search.bin(v)];
            }
            missing += nan;
            return;
        }
    }
    for (std::int64_t i = 0; i < ch.length; ++i) {
        if (!ch.valid(i)) { ++missing; continue; }
        const double v = static_cast<double>(load<T>(base + i * ch.stride, ch.swap));
        if (v != v) { ++missing; continue; }
        ++counts[search.bin(v)];
    }
}

template <class Search>
void count_column(const Column& c, const Search& search, FeatureCounts& out) {
    for (const Chunk& ch : c.chunks) {
        if (ch.phys == Phys::Null) { out.missing += ch.length; continue; }
        if (ch.is_numeric() && !ch.dictionary) {
            dispatch_numeric(ch.phys, [&](auto tag) { count_chunk<decltype(tag)>(ch, search, out.counts.data(), out.missing); });
            continue;
        }
        for (std::int64_t i = 0; i < ch.length; ++i) {
            const double v = ch.valid(i) && ch.is_bool() ? ch.number(i) : std::nan("");
            if (v != v) ++out.missing;
            else ++out.counts[search.bin(v)];
        }
    }
}

}  // namespace

FeatureCounts count_continuous(const Column& c, std::span<const double> edges) {
    FeatureCounts out;
    out.counts.assign(edges.size() + 1, 0);
    if (edges.size() <= 15) count_column(c, SmallEdges(edges), out);
    else count_column(c, LargeEdges{edges}, out);
    return out;
}

}  // namespace morvane::profile
