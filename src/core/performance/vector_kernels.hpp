// The vector kernels behind the regression sums and the logistic accumulation: AVX2 and FMA,
// which the caller has checked (log_detail::use_block_logs). Each handles a prefix of its
// pairs and returns its length; the caller finishes the rest one pair at a time. The
// inputs are 32-bit floats, or 64-bit floats each narrowed to 32 bits first (T and P are
// float or double).
#pragma once

#include <cstddef>

#include "core/common/log_avx2.hpp"
#include "core/performance/records.hpp"
#include "core/performance/regression.hpp"

namespace morvane {

// Adds the pairs [0, n − n % 4) of t and p to s exactly as push() would. The same code
// compiled for AVX-512 VL has 32 vector registers instead of 16, which the pipelined
// logarithm loop needs (no spills); push_pairs_vector picks the one the processor runs.
template <class T, class P>
[[gnu::target("avx2,fma")]] std::size_t push_pairs_avx2(LinearRegressionErrorBuckets& s, const T* t, const P* p, std::size_t n);
template <class T, class P>
[[gnu::target("avx2,fma,avx512f,avx512vl")]] std::size_t push_pairs_avx512(LinearRegressionErrorBuckets& s, const T* t, const P* p,
                                                                           std::size_t n);
template <class T, class P>
std::size_t push_pairs_vector(LinearRegressionErrorBuckets& s, const T* t, const P* p, std::size_t n) {
    return cpu_has_avx512vl() ? push_pairs_avx512(s, t, p, n) : push_pairs_avx2(s, t, p, n);
}

// Adds the pairs [0, n − n % 8) of t and p to acc exactly as LogisticAccumulator::add
// would: their thresholded counts, and their log-loss terms one by one in order.
template <class T, class P>
[[gnu::target("avx2,fma")]] std::size_t add_logistic_avx2(LogisticAccumulator& acc, const T* t, const P* p, std::size_t n);

}  // namespace morvane
