// AVX2 evaluation of the block logarithms, four lanes at a time: inline pieces for the
// kernels compiled with target("avx2,fma") (vector_log.cpp and the metric kernels). Each
// returns the mask of the lanes whose result is proven equal to the library's.
#pragma once

#include <immintrin.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#ifdef __GLIBC__
#include <gnu/libc-version.h>
#endif

#include "core/common/cpu_dispatch.hpp"
#include "core/common/log_constants.hpp"

namespace morvane::log_detail {

#define MORVANE_AVX2 [[gnu::target("avx2,fma"), gnu::always_inline]] inline

MORVANE_AVX2 __m256d splat(double v) { return _mm256_set1_pd(v); }
MORVANE_AVX2 __m256i splat64(std::uint64_t v) { return _mm256_set1_epi64x(static_cast<long long>(v)); }
MORVANE_AVX2 __m256d fabs4(__m256d v) { return _mm256_andnot_pd(splat(-0.0), v); }

// The table row at a byte offset.
MORVANE_AVX2 __m256d table_row(long long offset) {
    return _mm256_load_pd(reinterpret_cast<const double*>(reinterpret_cast<const char*>(TABLE) + offset));
}

// invc and logc_hi of the table row at a byte offset.
MORVANE_AVX2 __m128d table_pair(int offset) {
    return _mm_load_pd(reinterpret_cast<const double*>(reinterpret_cast<const char*>(TABLE) + offset));
}

// The reduction of log_scalar(double) for four lanes (k, z and the table row of x); the
// rows come back transposed: invc, logc_hi, logc_lo.
MORVANE_AVX2 void reduce4(__m256d x, __m256d& k, __m256d& z, __m256d& invc, __m256d& logc_hi, __m256d& logc_lo) {
    const __m256i ix = _mm256_castpd_si256(x);
    const __m256i tmp = _mm256_sub_epi64(ix, splat64(OFF));
    // k = tmp >> 52 (arithmetic, 12 bits), converted exactly through 1.5·2^52.
    const __m256i k12 = _mm256_sub_epi64(_mm256_xor_si256(_mm256_srli_epi64(tmp, 52), splat64(0x800)), splat64(0x800));
    k = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(k12, splat64(0x4338000000000000))), splat(0x1.8p52));
    z = _mm256_castsi256_pd(_mm256_sub_epi64(ix, _mm256_and_si256(tmp, splat64(0xfffull << 52))));
    // The rows' byte offsets (a row is 32 bytes) through registers: a wide store read back
    // in parts stalls.
    const __m256i at = _mm256_and_si256(_mm256_srli_epi64(tmp, 52 - TABLE_BITS - 5), splat64(((1u << TABLE_BITS) - 1) << 5));
    const __m128i a01 = _mm256_castsi256_si128(at), a23 = _mm256_extracti128_si256(at, 1);
    const __m256d r0 = table_row(_mm_cvtsi128_si64(a01)), r1 = table_row(_mm_extract_epi64(a01, 1));
    const __m256d r2 = table_row(_mm_cvtsi128_si64(a23)), r3 = table_row(_mm_extract_epi64(a23, 1));
    const __m256d lo01 = _mm256_unpacklo_pd(r0, r1), hi01 = _mm256_unpackhi_pd(r0, r1);
    const __m256d lo23 = _mm256_unpacklo_pd(r2, r3), hi23 = _mm256_unpackhi_pd(r2, r3);
    invc = _mm256_permute2f128_pd(lo01, lo23, 0x20);
    logc_hi = _mm256_permute2f128_pd(hi01, hi23, 0x20);
    logc_lo = _mm256_permute2f128_pd(lo01, lo23, 0x31);
}

// log_scalar(double) for four lanes, the same steps with fused products; the bit mask
// of the decided lanes.
// x reduced: what log4 needs of the table, loaded ahead of the evaluation so that a
// loop can overlap one group's loads with the previous group's arithmetic.
struct Reduced4 {
    __m256d k, z, invc, logc_hi, logc_lo;
};

MORVANE_AVX2 Reduced4 reduce4(__m256d x) {
    Reduced4 r;
    reduce4(x, r.k, r.z, r.invc, r.logc_hi, r.logc_lo);
    return r;
}

// accept: per lane, the accepted share of the spacing below |y|, times 2^-52.
MORVANE_AVX2 unsigned log4(const Reduced4& reduced, __m256d& y, __m256d accept = splat(DOUBLE_ACCEPT_ULP * 0x1p-52)) {
    const auto [k, z, invc, logc_hi, logc_lo] = reduced;
    const __m256d p_hi = _mm256_mul_pd(z, invc);
    const __m256d p_lo = _mm256_fmsub_pd(z, invc, p_hi);
    const __m256d t = _mm256_sub_pd(p_hi, splat(1.0));
    const __m256d r_hi = _mm256_add_pd(t, p_lo);
    const __m256d r_lo = _mm256_sub_pd(p_lo, _mm256_sub_pd(r_hi, t));
    const __m256d r2 = _mm256_mul_pd(r_hi, r_hi);
    // Q by Estrin's scheme: a shorter chain than Horner's, the same error bound.
    const __m256d q01 = _mm256_fmadd_pd(splat(Q[1]), r_hi, splat(Q[0]));
    const __m256d q23 = _mm256_fmadd_pd(splat(Q[3]), r_hi, splat(Q[2]));
    const __m256d q45 = _mm256_fmadd_pd(splat(Q[5]), r_hi, splat(Q[4]));
    const __m256d q = _mm256_fmadd_pd(_mm256_fmadd_pd(_mm256_fmadd_pd(splat(Q[6]), r2, q45), r2, q23), r2, q01);
    const __m256d kh = _mm256_mul_pd(k, splat(LN2_HI));
    const __m256d a_hi = _mm256_add_pd(kh, logc_hi);
    const __m256d a_lo = _mm256_sub_pd(logc_hi, _mm256_sub_pd(a_hi, kh));
    const __m256d s_hi = _mm256_add_pd(a_hi, r_hi);
    const __m256d bv = _mm256_sub_pd(s_hi, a_hi);
    const __m256d s_lo = _mm256_add_pd(_mm256_sub_pd(a_hi, _mm256_sub_pd(s_hi, bv)), _mm256_sub_pd(r_hi, bv));
    // The low part as a tree of the same terms.
    const __m256d tails = _mm256_add_pd(_mm256_fmadd_pd(k, splat(LN2_LO), logc_lo), a_lo);
    const __m256d series = _mm256_fmadd_pd(r2, q, _mm256_fnmadd_pd(r_hi, r_lo, r_lo));  // + r_lo − r_hi·r_lo
    const __m256d lo = _mm256_add_pd(_mm256_add_pd(s_lo, tails), series);
    const __m256d eps = _mm256_fmadd_pd(splat(EPS_R2), r2, _mm256_mul_pd(splat(EPS_Y), fabs4(s_hi)));
    y = _mm256_add_pd(s_hi, lo);
    const __m256d yv = _mm256_sub_pd(y, s_hi);
    const __m256d e = _mm256_add_pd(_mm256_sub_pd(s_hi, _mm256_sub_pd(y, yv)), _mm256_sub_pd(lo, yv));
    // The spacing below |y| (half an ulp at a power of two), times the accepted share.
    const __m256i below = _mm256_sub_epi64(_mm256_castpd_si256(fabs4(y)), splat64(1));
    const __m256d limit = _mm256_mul_pd(_mm256_castsi256_pd(_mm256_and_si256(below, splat64(0x7ff0000000000000))),
                                        accept);
    return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(_mm256_add_pd(fabs4(e), eps), limit, _CMP_LE_OQ)));
}

MORVANE_AVX2 unsigned log4(__m256d x, __m256d& y) { return log4(reduce4(x), y); }

// The accepted share for log4 of arguments x = f + 1, f a float (PLUS_ONE_ACCEPT_ULP).
MORVANE_AVX2 __m256d plus_one_accept(__m256d x) {
    const __m256d band = _mm256_and_pd(_mm256_cmp_pd(x, splat(PLUS_ONE_BAND_LO), _CMP_GE_OQ),
                                       _mm256_cmp_pd(x, splat(PLUS_ONE_BAND_HI), _CMP_LE_OQ));
    return _mm256_blendv_pd(splat(PLUS_ONE_ACCEPT_ULP * 0x1p-52), splat(DOUBLE_ACCEPT_ULP * 0x1p-52), band);
}


// Bit mask of the lanes that hold a positive normal double other than 1.
MORVANE_AVX2 unsigned plain4(__m256d v) {
    const __m256i iv = _mm256_castpd_si256(v);
    const __m256i in_range = _mm256_and_si256(_mm256_cmpgt_epi64(iv, splat64(0x000fffffffffffff)),
                                              _mm256_cmpgt_epi64(splat64(0x7ff0000000000000), iv));
    const __m256i plain = _mm256_andnot_si256(_mm256_cmpeq_epi64(iv, splat64(0x3ff0000000000000)), in_range);
    return static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(plain)));
}

// For each 8-bit mask, the positions of its set bits, in order (then zeros): the lanes to
// keep when packing the undecided arguments to the front of a register.
constexpr std::array<std::array<std::uint32_t, 8>, 256> pack_table() {
    std::array<std::array<std::uint32_t, 8>, 256> t{};
    for (unsigned m = 0; m < 256; ++m) {
        unsigned n = 0;
        for (unsigned l = 0; l < 8; ++l)
            if (m >> l & 1) t[m][n++] = l;
    }
    return t;
}
alignas(32) inline constexpr auto PACK = pack_table();

// Bit mask of the lanes that hold a positive normal float other than 1.
MORVANE_AVX2 unsigned plain8(__m256 v) {
    const __m256i iv = _mm256_castps_si256(v);
    const __m256i plain = _mm256_andnot_si256(
        _mm256_cmpeq_epi32(iv, _mm256_set1_epi32(0x3f800000)),
        _mm256_and_si256(_mm256_cmpgt_epi32(iv, _mm256_set1_epi32(0x007fffff)),
                         _mm256_cmpgt_epi32(_mm256_set1_epi32(0x7f800000), iv)));
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(plain)));
}

// logf of eight lanes, evaluated in double as log_scalar(float) does (the same reduction
// from the float's bits, the same operations with fused products); the mask of the lanes
// equal to the library's logf (the others go to the library).
MORVANE_AVX2 unsigned logf8(__m256 x, __m256& f) {
    const __m256i ix = _mm256_castps_si256(x);
    const __m256i tmp = _mm256_sub_epi32(ix, _mm256_set1_epi32(static_cast<int>(OFF_F)));
    const __m256i row = _mm256_and_si256(_mm256_srli_epi32(tmp, 23 - TABLE_BITS), _mm256_set1_epi32((1 << TABLE_BITS) - 1));
    const __m256i k = _mm256_srai_epi32(tmp, 23);
    const __m256 z = _mm256_castsi256_ps(_mm256_sub_epi32(ix, _mm256_and_si256(tmp, _mm256_set1_epi32(static_cast<int>(0xff800000u)))));
    // The rows' byte offsets (a row is 32 bytes).
    const __m256i at = _mm256_slli_epi32(row, 5);
    __m128 rounded[2], distance[2];
    for (int h = 0; h < 2; ++h) {
        const __m128i at_h = h ? _mm256_extracti128_si256(at, 1) : _mm256_castsi256_si128(at);
        // invc and logc_hi of each row in one load, transposed.
        const __m256d r02 = _mm256_insertf128_pd(_mm256_castpd128_pd256(table_pair(_mm_cvtsi128_si32(at_h))),
                                                 table_pair(_mm_extract_epi32(at_h, 2)), 1);
        const __m256d r13 = _mm256_insertf128_pd(_mm256_castpd128_pd256(table_pair(_mm_extract_epi32(at_h, 1))),
                                                 table_pair(_mm_extract_epi32(at_h, 3)), 1);
        const __m256d invc = _mm256_unpacklo_pd(r02, r13);
        const __m256d logc = _mm256_unpackhi_pd(r02, r13);
        const __m256d zd = _mm256_cvtps_pd(h ? _mm256_extractf128_ps(z, 1) : _mm256_castps256_ps128(z));
        const __m256d kd = _mm256_cvtepi32_pd(h ? _mm256_extracti128_si256(k, 1) : _mm256_castsi256_si128(k));
        const __m256d r = _mm256_fmsub_pd(zd, invc, splat(1.0));
        __m256d q = _mm256_fmadd_pd(splat(QF[3]), r, splat(QF[2]));
        q = _mm256_fmadd_pd(q, r, splat(QF[1]));
        q = _mm256_fmadd_pd(q, r, splat(QF[0]));
        const __m256d y = _mm256_add_pd(_mm256_fmadd_pd(kd, splat(LN2), logc), _mm256_fmadd_pd(_mm256_mul_pd(r, r), q, r));
        rounded[h] = _mm256_cvtpd_ps(y);
        // |y − f| is exact in double; rounding it to float costs 2^-24 of it, which the
        // table's 2^-20 ulp covers.
        distance[h] = _mm256_cvtpd_ps(fabs4(_mm256_sub_pd(y, _mm256_cvtps_pd(rounded[h]))));
    }
    f = _mm256_set_m128(rounded[1], rounded[0]);
    const __m256 d = _mm256_set_m128(distance[1], distance[0]);
    // The margin of the result's binade and x's table row, in units of f's ulp (f is
    // normal with |f| >= 2^-24, so the ulp is a normal float too).
    const __m256i bits = _mm256_castps_si256(f);
    const __m256i field = _mm256_and_si256(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(0xff));
    const __m256i binade = _mm256_min_epu32(_mm256_sub_epi32(field, _mm256_set1_epi32(127 + FLOAT_BAND_E0)),
                                            _mm256_set1_epi32(FLOAT_BAND_BINADES));
    const __m256i cell = _mm256_add_epi32(_mm256_slli_epi32(binade, 5), _mm256_srli_epi32(row, 2));
    const __m256 accept = _mm256_mask_i32gather_ps(_mm256_setzero_ps(), FLOAT_ACCEPT_F.data(), cell,
                                                   _mm256_castsi256_ps(_mm256_set1_epi32(-1)), 4);
    const __m256 ulp = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_sub_epi32(field, _mm256_set1_epi32(23)), 23));
    const unsigned near = static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(d, _mm256_mul_ps(accept, ulp), _CMP_LE_OQ)));
    // A power of two has a closer neighbour below: left to the library.
    const __m256i pow2 = _mm256_cmpeq_epi32(_mm256_and_si256(bits, _mm256_set1_epi32(0x007fffff)), _mm256_setzero_si256());
    return near & ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(pow2))) & plain8(x);
}

// The C library whose logf, and whose log of a float plus one, were compared on every
// argument to set the thin margins (the float table, the log(t + 1) band): another build
// may round differently there, so elsewhere the library is called for every value.
inline bool library_measured() {
#ifdef __GLIBC__
    static const bool YES = std::strcmp(gnu_get_libc_version(), "2.36") == 0;
    return YES;
#else
    return false;
#endif
}

// Whether the block logarithms run: the processor has AVX2 and FMA, and the C library is
// the measured one.
inline bool use_block_logs() { return cpu_has_avx2_fma() && library_measured(); }

}  // namespace morvane::log_detail
