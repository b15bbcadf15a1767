// The vector kernels behind the regression sums and the logistic accumulation: AVX2 and FMA,
// which the caller has checked (log_detail::has_avx2_fma). Each handles a prefix of its
// pairs and returns its length; the caller finishes the rest one pair at a time.
#pragma once

#include <cstddef>

#include "core/performance/records.hpp"
#include "core/performance/regression.hpp"

namespace morvane {

// Adds the pairs [0, n − n % 4) of t and p to s exactly as push() would.
std::size_t push_pairs_avx2(LinearRegressionErrorBuckets& s, const float* t, const float* p, std::size_t n);

// Adds the pairs [0, n − n % 8) of t and p to acc exactly as LogisticAccumulator::add
// would: their thresholded counts, and their log-loss terms one by one in order.
std::size_t add_logistic_avx2(LogisticAccumulator& acc, const float* t, const float* p, std::size_t n);

}  // namespace morvane
