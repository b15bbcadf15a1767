// Loads for the metric kernels from 32- or 64-bit floats: a 64-bit element is narrowed to
// 32 bits (cvtpd2ps rounds as the scalar cast does, NaN included), so both give the
// 32-bit values the metrics are defined on.
#pragma once

#include "core/common/log_avx2.hpp"

namespace morvane::log_detail {

// Four elements as 32-bit floats, widened to 64 bits.
MORVANE_AVX2 __m256d widened4(const float* x) { return _mm256_cvtps_pd(_mm_loadu_ps(x)); }
MORVANE_AVX2 __m256d widened4(const double* x) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_loadu_pd(x))); }

// Eight elements as 32-bit floats.
MORVANE_AVX2 __m256 floats8(const float* x) { return _mm256_loadu_ps(x); }
MORVANE_AVX2 __m256 floats8(const double* x) {
    return _mm256_set_m128(_mm256_cvtpd_ps(_mm256_loadu_pd(x + 4)), _mm256_cvtpd_ps(_mm256_loadu_pd(x)));
}

}  // namespace morvane::log_detail
