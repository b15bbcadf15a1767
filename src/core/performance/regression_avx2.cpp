// The regression sums with AVX2, a block of pairs at a time: the two logarithms of the
// block four at a time (the ones the bound leaves undecided marked and taken from the
// library after the loop), then the other terms four pairs at a time (widening, d, d²,
// |d|, |d / t|, t², p², t·p), each pair's terms added to the sums in input order, so the
// sums are bit for bit those of push(). 64-bit inputs are narrowed in registers as they
// are loaded.
#include <bit>
#include <cmath>
#include <type_traits>

#include "core/common/log_avx2.hpp"
#include "core/performance/narrow_avx2.hpp"
#include "core/performance/vector_kernels.hpp"

namespace morvane {

namespace {

using namespace log_detail;

constexpr std::size_t BLOCK = 512;

// A block's logarithms of x + 1 (x = t or p, widened) and the pairs the bound left to the
// library.
struct Logs {
    alignas(32) double value[BLOCK];
    alignas(32) double x[BLOCK];  // x itself, narrowed and widened (64-bit inputs only)
    // Per group of four: the mask of its decided lanes (0xf when all are), and whether any
    // group of the block has undecided ones.
    alignas(16) std::uint8_t decided[BLOCK / 4];
    unsigned all = 0xf;
};

// Four elements of x widened, plus 1: the logarithms' arguments. A 64-bit x, narrowed
// and widened, is kept for the term pass: a store and a load cost less than converting
// it twice again (a 32-bit x is widened in one step).
template <class T>
MORVANE_AVX2 __m256d argument(const T* x, double* keep) {
    const __m256d w = widened4(x);
    if constexpr (std::is_same_v<T, double>) _mm256_store_pd(keep, w);
    return _mm256_add_pd(w, splat(1.0));
}

// Four elements of x for the term pass, widened: kept by argument(), or read again.
template <class T>
MORVANE_AVX2 __m256d term_input(const T* x, const double* kept) {
    if constexpr (std::is_same_v<T, double>) return _mm256_load_pd(kept);
    else return widened4(x);
}

// log(t + 1) and log(p + 1) for len pairs (a multiple of four). Each step reduces the
// next group's arguments (their table rows loaded) while it evaluates this group's: the
// evaluation is a long chain, and the overlap keeps more of it in flight.
template <class T, class P>
MORVANE_AVX2 void logs_of(const T* t, const P* p, std::size_t len, Logs& lt, Logs& lp) {
    lt.all = lp.all = 0xf;
    __m256d a = argument(t, lt.x), b = argument(p, lp.x);
    Reduced4 ra = reduce4(a), rb = reduce4(b);
    for (std::size_t j = 0; j < len; j += 4) {
        // The last step reduces its own group again rather than read past the block.
        const std::size_t next = j + 4 < len ? j + 4 : j;
        const __m256d a_next = argument(t + next, lt.x + next), b_next = argument(p + next, lp.x + next);
        const Reduced4 ra_next = reduce4(a_next), rb_next = reduce4(b_next);
        __m256d ya, yb;
        const unsigned oka = log4(ra, ya, plus_one_accept(a)) & plain4(a);
        const unsigned okb = log4(rb, yb, plus_one_accept(b)) & plain4(b);
        lt.decided[j / 4] = static_cast<std::uint8_t>(oka);
        lp.decided[j / 4] = static_cast<std::uint8_t>(okb);
        lt.all &= oka, lp.all &= okb;
        _mm256_store_pd(lt.value + j, ya);
        _mm256_store_pd(lp.value + j, yb);
        a = a_next, b = b_next, ra = ra_next, rb = rb_next;
    }
}

// The library's log for the undecided arguments. Compiled for the baseline and entered
// with clean upper halves (the library's SSE code runs three times slower otherwise).
template <class T>
[[gnu::noinline]] void settle(const T* x, std::size_t len, Logs& logs) {
    // Sixteen groups at a time (SSE2, part of the baseline): the groups not all decided.
    for (std::size_t g0 = 0; g0 < len / 4; g0 += 16) {
        const __m128i ok = _mm_load_si128(reinterpret_cast<const __m128i*>(logs.decided + g0));
        unsigned open = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(ok, _mm_set1_epi8(0xf)))) & 0xffff;
        if (len / 4 - g0 < 16) open &= (1u << (len / 4 - g0)) - 1;
        for (; open != 0; open &= open - 1) {
            const std::size_t g = g0 + static_cast<std::size_t>(std::countr_zero(open));
            for (unsigned miss = ~logs.decided[g] & 0xfu; miss != 0; miss &= miss - 1) {
                const std::size_t i = 4 * g + static_cast<std::size_t>(std::countr_zero(miss));
                logs.value[i] = std::log(static_cast<double>(static_cast<float>(x[i])) + 1.0);
            }
        }
    }
}

// Four registers of four pairs each into four registers of one pair each: pair l's terms
// end up in r[l], in the order of the inputs a, b, c, d.
MORVANE_AVX2 void transpose4(__m256d a, __m256d b, __m256d c, __m256d d, __m256d& r0, __m256d& r1, __m256d& r2,
                             __m256d& r3) {
    const __m256d ab_lo = _mm256_unpacklo_pd(a, b), ab_hi = _mm256_unpackhi_pd(a, b);
    const __m256d cd_lo = _mm256_unpacklo_pd(c, d), cd_hi = _mm256_unpackhi_pd(c, d);
    r0 = _mm256_permute2f128_pd(ab_lo, cd_lo, 0x20);
    r1 = _mm256_permute2f128_pd(ab_hi, cd_hi, 0x20);
    r2 = _mm256_permute2f128_pd(ab_lo, cd_lo, 0x31);
    r3 = _mm256_permute2f128_pd(ab_hi, cd_hi, 0x31);
}

// Sums of four terms per pair in one register: lane l only ever adds term l of each pair,
// in order, as the scalar sums do.
MORVANE_AVX2 __m256d add_pairs(__m256d sums, __m256d a, __m256d b, __m256d c, __m256d d) {
    __m256d r0, r1, r2, r3;
    transpose4(a, b, c, d, r0, r1, r2, r3);
    return _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(_mm256_add_pd(sums, r0), r1), r2), r3);
}

// The kernel itself, inlined into the two entries below.
template <class T, class P>
MORVANE_AVX2 std::size_t push_pairs(LinearRegressionErrorBuckets& s, const T* t, const P* p, std::size_t n) {
    __m256d errors = _mm256_setr_pd(s.squared_error_sum, s.absolute_error_sum, s.squared_log_error_sum,
                                    s.absolute_percent_error_sum);
    __m256d moments = _mm256_setr_pd(s.y_true_sum, s.y_true_squared_sum, s.y_pred_squared_sum, s.y_true_y_pred_sum);
    // The maximum ignores NaN (max keeps its second operand when the first is NaN) and does
    // not depend on order: every |d| is a non-negative number or NaN.
    __m256d max = _mm256_setzero_pd();
    Logs log_t, log_p;
    const std::size_t whole = n - n % 4;
    for (std::size_t start = 0; start < whole; start += BLOCK) {
        const std::size_t len = std::min(BLOCK, whole - start);
        const T* tb = t + start;
        const P* pb = p + start;
        logs_of(tb, pb, len, log_t, log_p);
        if ((log_t.all & log_p.all) != 0xf) {
            alignas(32) double keep[3][4];
            _mm256_store_pd(keep[0], errors);
            _mm256_store_pd(keep[1], moments);
            _mm256_store_pd(keep[2], max);
            _mm256_zeroupper();
            settle(tb, len, log_t);
            settle(pb, len, log_p);
            errors = _mm256_load_pd(keep[0]);
            moments = _mm256_load_pd(keep[1]);
            max = _mm256_load_pd(keep[2]);
        }
        for (std::size_t j = 0; j < len; j += 4) {
            const __m256d tv = term_input(tb + j, log_t.x + j), pv = term_input(pb + j, log_p.x + j);
            const __m256d d = _mm256_sub_pd(tv, pv);
            const __m256d ad = fabs4(d);
            const __m256d ld = _mm256_sub_pd(_mm256_load_pd(log_t.value + j), _mm256_load_pd(log_p.value + j));
            max = _mm256_max_pd(ad, max);
            errors = add_pairs(errors, _mm256_mul_pd(d, d), ad, _mm256_mul_pd(ld, ld), fabs4(_mm256_div_pd(ad, tv)));
            moments = add_pairs(moments, tv, _mm256_mul_pd(tv, tv), _mm256_mul_pd(pv, pv), _mm256_mul_pd(tv, pv));
        }
    }
    alignas(32) double out[3][4];
    _mm256_store_pd(out[0], errors);
    _mm256_store_pd(out[1], moments);
    _mm256_store_pd(out[2], max);
    _mm256_zeroupper();
    s.squared_error_sum = out[0][0];
    s.absolute_error_sum = out[0][1];
    s.squared_log_error_sum = out[0][2];
    s.absolute_percent_error_sum = out[0][3];
    s.y_true_sum = out[1][0];
    s.y_true_squared_sum = out[1][1];
    s.y_pred_squared_sum = out[1][2];
    s.y_true_y_pred_sum = out[1][3];
    for (int l = 0; l < 4; ++l) s.max_error = std::fmax(s.max_error, out[2][l]);
    // count += 1 per pair: the count is a whole number below 2^53, so adding them at once
    // gives the same value.
    s.count += static_cast<double>(whole);
    return whole;
}

}  // namespace

template <class T, class P>
[[gnu::target("avx2,fma")]] std::size_t push_pairs_avx2(LinearRegressionErrorBuckets& s, const T* t, const P* p, std::size_t n) {
    return push_pairs(s, t, p, n);
}

template <class T, class P>
[[gnu::target("avx2,fma,avx512f,avx512vl")]] std::size_t push_pairs_avx512(LinearRegressionErrorBuckets& s, const T* t, const P* p,
                                                                           std::size_t n) {
    return push_pairs(s, t, p, n);
}

#define MORVANE_PUSH_PAIRS(T, P)                                                                             \
    template std::size_t push_pairs_avx2(LinearRegressionErrorBuckets&, const T*, const P*, std::size_t); \
    template std::size_t push_pairs_avx512(LinearRegressionErrorBuckets&, const T*, const P*, std::size_t);
MORVANE_PUSH_PAIRS(float, float)
MORVANE_PUSH_PAIRS(float, double)
MORVANE_PUSH_PAIRS(double, float)
MORVANE_PUSH_PAIRS(double, double)
#undef MORVANE_PUSH_PAIRS

}  // namespace morvane
