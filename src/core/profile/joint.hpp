// Joint moments of the continuous features: the exact sums of the standardised values and of
// their pairwise products. Each value is standardised with the reference's mean and standard
// deviation, limited to +-JOINT_LIMIT deviations and rounded to a fixed point of
// JOINT_FRACTION_BITS bits, so every product is an integer and the sums are integers too:
// exact, whatever the order, split or thread count. Missing values take the reference's mean
// (a standardised zero).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/profile/column.hpp"
#include "core/profile/exact_sum.hpp"

namespace morvane::profile {

inline constexpr int JOINT_FRACTION_BITS = 12;
inline constexpr double JOINT_LIMIT = 256.0;         // standard deviations: |fixed point| <= 2^20
inline constexpr std::size_t JOINT_MAX_COLUMNS = 4096;  // keeps a row's squared norm inside int64

// An exact sum of doubles kept per binary exponent: the signed significands of the values
// with one exponent add up in a 128-bit integer (never overflowing below 2^74 values), about
// a nanosecond a value. The sum is sum over p of by_position[p] * 2^(p - 1074).
struct ExponentSum {
    std::vector<__int128> by_position = std::vector<__int128>(2047, 0);
    std::uint64_t pos_inf = 0, neg_inf = 0, nan = 0;
    void add(double x);
};

// The sums a standardisation needs: the finite values, their sum and sum of squares.
struct ScaleSums {
    std::int64_t n = 0;
    ExponentSum sum, sum_sq;
};

// Sums of the fixed-point standardised values z (integers, z * 2^12): `first` per column,
// `second` the products of columns i <= j in row-major order of the upper triangle, `fourth`
// the fourth powers per column, and the exact sum of each row's squared norm squared,
// (sum_i z_i^2)^2: the fourth moments the tests' variances need.
struct JointSums {
    std::int64_t n = 0;
    std::vector<__int128> first, second, fourth;
    ExactSum norm_fourth;
};

std::vector<ScaleSums> scale_sums(const std::vector<const Column*>& columns, std::size_t n_threads);

// Throws std::invalid_argument for columns of different lengths or too many columns.
JointSums joint_sums(const std::vector<const Column*>& columns, const std::vector<double>& centre,
                     const std::vector<double>& scale, std::size_t n_threads);

}  // namespace morvane::profile
