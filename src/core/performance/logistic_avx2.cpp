// The logistic accumulation with AVX2, a block of pairs at a time. A vector pass counts
// both thresholded sides and evaluates the 32-bit log-loss terms eight pairs at a time
// into a buffer, where the truths are labels (0 or 1) and one logarithm per pair settles
// the term; the pairs it cannot settle (other truths, or a logarithm the bound leaves
// undecided) take the scalar formula after the loop. Then the terms are added to the
// 64-bit sum in input order, so the sum is bit for bit that of the scalar loop. 64-bit
// inputs are narrowed in registers as they are loaded.
#include <bit>
#include <cmath>

#include "core/common/log_avx2.hpp"
#include "core/performance/narrow_avx2.hpp"
#include "core/performance/vector_kernels.hpp"

namespace morvane {

namespace {

using namespace log_detail;

constexpr std::size_t BLOCK = 1024;

struct Terms {
    alignas(32) float value[BLOCK];
    // Per group of eight pairs: the lanes left to the scalar formula.
    std::uint8_t undecided[BLOCK / 8];
};

// The least float f with (double)f >= threshold, so that v >= f is the comparison of
// the widened value (both false for NaN).
float float_threshold(double threshold) {
    float f = static_cast<float>(threshold);
    if (static_cast<double>(f) < threshold) f = std::nextafter(f, INFINITY);
    return f;
}

struct Tally {
    std::uint64_t truth = 0, prediction = 0, both = 0;
};

// The vector pass over len pairs (a multiple of eight).
template <class T, class P>
MORVANE_AVX2 void evaluate(const LogLossClamp& clamp, float threshold, const T* t, const P* p, std::size_t len,
                           Terms& out, Tally& tally) {
    const __m256 eps = _mm256_set1_ps(clamp.eps), upper = _mm256_set1_ps(clamp.upper);
    const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f), th = _mm256_set1_ps(threshold);
    for (std::size_t j = 0; j < len; j += 8) {
        const __m256 tv = floats8(t + j), pv = floats8(p + j);
        const unsigned truth = static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(tv, th, _CMP_GE_OQ)));
        const unsigned prediction = static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(pv, th, _CMP_GE_OQ)));
        tally.truth += static_cast<unsigned>(std::popcount(truth));
        tally.prediction += static_cast<unsigned>(std::popcount(prediction));
        tally.both += static_cast<unsigned>(std::popcount(truth & prediction));
        // c = p clamped to [eps, upper]; both comparisons are false for NaN, which stays.
        __m256 c = _mm256_blendv_ps(pv, upper, _mm256_cmp_ps(pv, upper, _CMP_GT_OQ));
        c = _mm256_blendv_ps(c, eps, _mm256_cmp_ps(pv, eps, _CMP_LT_OQ));
        const __m256 t_zero = _mm256_cmp_ps(tv, zero, _CMP_EQ_OQ);
        const __m256 t_label = _mm256_or_ps(t_zero, _mm256_cmp_ps(tv, one, _CMP_EQ_OQ));
        // For t = 0 or 1, t·ln c + (1 − t)·ln(1 − c) is ln(1 − c) for t = 0 and ln c for
        // t = 1, exactly, whenever that argument is a positive normal other than 1: the
        // other logarithm is then finite (c and 1 − c lie in (0, 1]), its product with 0 is
        // a zero, and a zero added to a non-zero value leaves it.
        // Groups with other truths go to the scalar formula whole.
        unsigned ok = 0;
        if (_mm256_movemask_ps(t_label) == 0xff) {
            __m256 term;
            ok = logf8(_mm256_blendv_ps(c, _mm256_sub_ps(one, c), t_zero), term);
            _mm256_store_ps(out.value + j, term);
        }
        out.undecided[j / 8] = static_cast<std::uint8_t>(~ok);
    }
}

bool is_plain(float x) {
    const std::uint32_t ix = std::bit_cast<std::uint32_t>(x);
    return ix >= 0x00800000 && ix < 0x7f800000 && x != 1.0f;
}

// The undecided terms: the library's logf of the one argument where the truth is a label
// and that argument is plain (as above), else the whole scalar formula. Compiled for the
// baseline and entered with clean upper halves (the library's SSE code runs three times
// slower otherwise).
template <class T, class P>
[[gnu::noinline]] void settle(const LogLossClamp& clamp, const T* t, const P* p, std::size_t len, Terms& out) {
    for (std::size_t g = 0; g < len / 8; ++g) {
        // A whole group (other truths): the formula itself, as the scalar loop runs it.
        if (out.undecided[g] == 0xff) {
            for (std::size_t j = g * 8; j < g * 8 + 8; ++j)
                out.value[j] = clamp.term(static_cast<float>(t[j]), static_cast<float>(p[j]));
            continue;
        }
        for (unsigned miss = out.undecided[g]; miss != 0; miss &= miss - 1) {
            const std::size_t j = g * 8 + static_cast<std::size_t>(std::countr_zero(miss));
            const float tj = static_cast<float>(t[j]), pj = static_cast<float>(p[j]);
            const float c = pj < clamp.eps ? clamp.eps : (pj > clamp.upper ? clamp.upper : pj);
            const float arg = tj == 0.0f ? 1.0f - c : c;
            const bool label = tj == 0.0f || tj == 1.0f;
            out.value[j] = label && is_plain(arg) ? std::log(arg) : clamp.term(tj, pj);
        }
    }
}

}  // namespace

template <class T, class P>
[[gnu::target("avx2,fma")]] std::size_t add_logistic_avx2(LogisticAccumulator& acc, const T* t, const P* p, std::size_t n) {
    Terms terms;
    Tally tally;
    const float threshold = float_threshold(acc.threshold);
    double sum = acc.log_loss_sum;
    const std::size_t whole = n - n % 8;
    for (std::size_t start = 0; start < whole; start += BLOCK) {
        const std::size_t len = std::min(BLOCK, whole - start);
        evaluate(acc.clamp, threshold, t + start, p + start, len, terms, tally);
        _mm256_zeroupper();
        settle(acc.clamp, t + start, p + start, len, terms);
        for (std::size_t j = 0; j < len; ++j) sum += terms.value[j];
    }
    acc.log_loss_sum = sum;
    ConfusionMatrix& cm = acc.counts;
    cm.true_positive += tally.both;
    cm.false_positive += tally.prediction - tally.both;
    cm.false_negative += tally.truth - tally.both;
    cm.true_negative += whole - (tally.truth + tally.prediction - tally.both);
    return whole;
}

template std::size_t add_logistic_avx2(LogisticAccumulator&, const float*, const float*, std::size_t);
template std::size_t add_logistic_avx2(LogisticAccumulator&, const float*, const double*, std::size_t);
template std::size_t add_logistic_avx2(LogisticAccumulator&, const double*, const float*, std::size_t);
template std::size_t add_logistic_avx2(LogisticAccumulator&, const double*, const double*, std::size_t);

}  // namespace morvane
