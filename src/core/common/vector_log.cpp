#include "core/common/vector_log.hpp"

#include "core/common/log_avx2.hpp"
#include "core/common/log_constants.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

namespace morvane {
namespace {

using namespace log_detail;


// Where x lies: k, z and its table row.
struct Reduced {
    double k, z;
    const LogRow* row;
};

Reduced reduce(double x) {
    const std::uint64_t ix = std::bit_cast<std::uint64_t>(x);
    const std::uint64_t tmp = ix - OFF;
    return {static_cast<double>(static_cast<std::int64_t>(tmp) >> 52),
            std::bit_cast<double>(ix - (tmp & (0xfffull << 52))),
            &TABLE[(tmp >> (52 - TABLE_BITS)) & ((1u << TABLE_BITS) - 1)]};
}

// a·b − fl(a·b) exactly, without a fused multiply-add (Dekker's product).
double product_error(double a, double b, double p) {
    constexpr double SPLIT = 0x1p27 + 1.0;
    const double ca = SPLIT * a, cb = SPLIT * b;
    const double ah = ca - (ca - a), al = a - ah;
    const double bh = cb - (cb - b), bl = b - bh;
    return ((ah * bh - p) + ah * bl + al * bh) + al * bl;
}

// The correctly rounded log of a positive normal x != 1 when the bound decides it with
// the library's margin.
bool log_scalar(double x, double& out) {
    const auto [k, z, row] = reduce(x);
    // r = z·invc − 1 exactly, as r_hi + r_lo: the product's error is exact, p_hi − 1 is
    // exact (p_hi is within 2^-7 of 1), and t is 0 or a multiple of ulp(p_hi) > |p_lo|.
    const double p_hi = z * row->invc;
    const double p_lo = product_error(z, row->invc, p_hi);
    const double t = p_hi - 1.0;
    const double r_hi = t + p_lo;
    const double r_lo = p_lo - (r_hi - t);
    const double r2 = r_hi * r_hi;
    double q = Q[6];
    for (int j = 5; j >= 0; --j) q = q * r_hi + Q[j];
    // k·ln 2 + log c, then + r_hi, both with their exact rounding errors.
    const double kh = k * LN2_HI;
    const double a_hi = kh + row->logc_hi;
    const double a_lo = row->logc_hi - (a_hi - kh);  // |kh| > |log c|, or kh = 0
    const double s_hi = a_hi + r_hi;
    const double bv = s_hi - a_hi;
    const double s_lo = (a_hi - (s_hi - bv)) + (r_hi - bv);
    const double lo = s_lo + (a_lo + (row->logc_lo + (k * LN2_LO + ((r_lo - r_hi * r_lo) + r2 * q))));
    const double eps = EPS_R2 * r2 + EPS_Y * std::fabs(s_hi);
    // y = fl(s_hi + lo) and its exact error e; log x is within |e| + eps of y.
    const double y = s_hi + lo;
    const double yv = y - s_hi;
    const double e = (s_hi - (y - yv)) + (lo - yv);
    // The spacing below |y| (half an ulp at a power of two, where the neighbour below is
    // closer).
    const std::uint64_t below = (std::bit_cast<std::uint64_t>(y) & 0x7fffffffffffffff) - 1;
    const double ulp = std::bit_cast<double>(below & 0x7ff0000000000000) * 0x1p-52;
    out = y;
    return std::fabs(e) + eps <= DOUBLE_ACCEPT_ULP * ulp;
}

bool log_scalar(float x, float& out) {
    const auto [k, z, row] = reduce(x);
    const double r = z * row->invc - 1.0;
    const double q = ((QF[3] * r + QF[2]) * r + QF[1]) * r + QF[0];
    const double y = (k * LN2 + row->logc_hi) + (r + (r * r) * q);
    const float f = static_cast<float>(y);
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
    out = f;
    // f is normal: |log x| >= 2^-24 for every float x != 1.
    const std::uint32_t field = (bits >> 23) & 0xff;
    const std::uint32_t binade = std::min<std::uint32_t>(field - 127 - FLOAT_BAND_E0, FLOAT_BAND_BINADES);
    const double ulp = std::bit_cast<double>(static_cast<std::uint64_t>(field + 1023 - 150) << 52);
    const double accept = FLOAT_ACCEPT[binade * 32 + static_cast<std::uint32_t>(row - TABLE) / 4] * ulp;
    return (bits & 0x007fffff) != 0 && std::fabs(y - f) <= accept;
}

bool is_plain(double x) {
    const std::uint64_t ix = std::bit_cast<std::uint64_t>(x);
    return ix >= 0x0010000000000000 && ix < 0x7ff0000000000000 && x != 1.0;
}

bool is_plain(float x) {
    const std::uint32_t ix = std::bit_cast<std::uint32_t>(x);
    return ix >= 0x00800000 && ix < 0x7f800000 && x != 1.0f;
}

// Arguments left to the library within one chunk: offsets and values (the output may be
// the input's own memory).
constexpr std::size_t CHUNK = 1024;
template <class T>
struct Pending {
    std::uint32_t at[CHUNK + 8];  // room for collect's writes past the last kept lane
    T value[CHUNK + 8];
    std::size_t n = 0;
    void add(std::size_t j, T v) {
        at[n] = static_cast<std::uint32_t>(j);
        value[n++] = v;
    }
};

// Elements [from, len) of one chunk, one at a time.
template <class T>
void portable(const T* x, T* out, std::size_t from, std::size_t len, Pending<T>& pending) {
    for (std::size_t j = from; j < len; ++j) {
        const T v = x[j];
        T y;
        if (is_plain(v) && log_scalar(v, y))
            out[j] = y;
        else
            pending.add(j, v);
    }
}

// Appends the lanes of v (arguments x[j ..]) missing from the 8-bit mask `ok`.
MORVANE_AVX2 void collect8(__m256 v, std::size_t j, unsigned ok, Pending<float>& pending) {
    const unsigned miss = ~ok & 0xff;
    const __m256i lanes = _mm256_load_si256(reinterpret_cast<const __m256i*>(PACK[miss].data()));
    _mm256_storeu_ps(pending.value + pending.n, _mm256_permutevar8x32_ps(v, lanes));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(pending.at + pending.n),
                        _mm256_add_epi32(lanes, _mm256_set1_epi32(static_cast<int>(j))));
    pending.n += static_cast<std::size_t>(std::popcount(miss));
}

// The same for four doubles and a 4-bit mask.
MORVANE_AVX2 void collect4(__m256d v, std::size_t j, unsigned ok, Pending<double>& pending) {
    const unsigned miss = ~ok & 0xf;
    const __m128i lanes = _mm_load_si128(reinterpret_cast<const __m128i*>(PACK[miss].data()));
    // Each double is two 32-bit halves: lane l moves as halves 2l and 2l + 1.
    const __m256i wide = _mm256_cvtepu32_epi64(lanes);
    const __m256i halves = _mm256_or_si256(_mm256_slli_epi64(wide, 1), _mm256_slli_epi64(_mm256_add_epi64(
        _mm256_slli_epi64(wide, 1), _mm256_set1_epi64x(1)), 32));
    _mm256_storeu_pd(pending.value + pending.n,
                     _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(v), halves)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pending.at + pending.n),
                     _mm_add_epi32(lanes, _mm_set1_epi32(static_cast<int>(j))));
    pending.n += static_cast<std::size_t>(std::popcount(miss));
}

// Two groups of four per step, so that two independent chains overlap.
[[gnu::target("avx2,fma")]] void avx2(const double* x, double* out, std::size_t len, Pending<double>& pending) {
    std::size_t j = 0;
    for (; j + 8 <= len; j += 8) {
        const __m256d v0 = _mm256_loadu_pd(x + j), v1 = _mm256_loadu_pd(x + j + 4);
        __m256d y0, y1;
        collect4(v0, j, log4(v0, y0) & plain4(v0), pending);
        collect4(v1, j + 4, log4(v1, y1) & plain4(v1), pending);
        _mm256_storeu_pd(out + j, y0);
        _mm256_storeu_pd(out + j + 4, y1);
    }
    // Clean upper halves before scalar code: the compiler leaves them dirty on the tail
    // call, and the library's SSE code then runs three times slower.
    _mm256_zeroupper();
    portable(x, out, j, len, pending);
}

[[gnu::target("avx2,fma")]] void avx2(const float* x, float* out, std::size_t len, Pending<float>& pending) {
    std::size_t j = 0;
    for (; j + 8 <= len; j += 8) {
        const __m256 v = _mm256_loadu_ps(x + j);
        __m256 f;
        const unsigned ok = logf8(v, f);
        collect8(v, j, ok, pending);
        _mm256_storeu_ps(out + j, f);
    }
    // Clean upper halves before scalar code: the compiler leaves them dirty on the tail
    // call, and the library's SSE code then runs three times slower.
    _mm256_zeroupper();
    portable(x, out, j, len, pending);
}

template <class T>
std::size_t run(std::span<const T> x, std::span<T> out, LogIsa isa) {
    if (isa == LogIsa::Best && !use_block_logs()) {
        // Without AVX2 the scalar evaluation is slower than the library itself; with
        // another C library the margins were not measured.
        for (std::size_t i = 0; i < x.size(); ++i) out[i] = std::log(x[i]);
        return x.size();
    }
    Pending<T> pending;
    std::size_t fallbacks = 0;
    for (std::size_t start = 0; start < x.size(); start += CHUNK) {
        const std::size_t len = std::min(CHUNK, x.size() - start);
        pending.n = 0;
        if (isa == LogIsa::Best)
            avx2(x.data() + start, out.data() + start, len, pending);
        else
            portable(x.data() + start, out.data() + start, 0, len, pending);
        // The library call for what the bound could not decide, after the vector loop
        // so that loop keeps its constants in registers.
        for (std::size_t p = 0; p < pending.n; ++p) out[start + pending.at[p]] = std::log(pending.value[p]);
        fallbacks += pending.n;
    }
    return fallbacks;
}

}  // namespace

[[gnu::target("avx2,fma")]] PlusOneSweep log_plus_one_sweep(std::uint64_t begin, std::uint64_t end) {
    PlusOneSweep sweep;
    if (!cpu_has_avx2_fma()) return sweep;
    alignas(32) double x[4], y[4];
    for (std::uint64_t b = begin; b < end; b += 4) {
        // A short last group repeats its first pattern, counted once.
        for (std::uint64_t l = 0; l < 4; ++l)
            x[l] = static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(b + l < end ? b + l : b))) + 1.0;
        const __m256d v = _mm256_load_pd(x);
        __m256d yv;
        const unsigned ok = log4(reduce4(v), yv, plus_one_accept(v)) & plain4(v);
        _mm256_store_pd(y, yv);
        _mm256_zeroupper();
        for (unsigned l = 0; l < 4 && b + l < end; ++l) {
            if (!(ok >> l & 1)) continue;
            ++sweep.decided;
            if (std::bit_cast<std::uint64_t>(std::log(x[l])) != std::bit_cast<std::uint64_t>(y[l])) ++sweep.mismatched;
        }
    }
    return sweep;
}

std::size_t vector_log(std::span<const double> x, std::span<double> out, LogIsa isa) { return run(x, out, isa); }
std::size_t vector_log(std::span<const float> x, std::span<float> out, LogIsa isa) { return run(x, out, isa); }

}  // namespace morvane
