// Natural logarithms of whole blocks, equal bit for bit to the C library's std::log
// (double) and std::log (float, logf). Four doubles or eight floats are evaluated at a
// time with AVX2 when the processor has it; each result is returned only when its error
// bound proves it is the correctly rounded logarithm and far enough from a rounding
// boundary that the library's own error cannot round it differently. Every other
// argument (0, negatives, subnormals, inf, NaN, 1.0, and the rare undecided ones) is
// handed to the library call itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace morvane {

// Which code evaluates the blocks: AVX2 when the processor has it (else the library call
// for every element, which is faster than the scalar evaluation), or the portable scalar
// evaluation of the same bound (for tests and benchmarks).
enum class LogIsa { Best, Portable };

// out[i] = std::log(x[i]) bit for bit; x and out have the same length and may be the
// same memory. Returns the number of elements that went to the library call.
std::size_t vector_log(std::span<const double> x, std::span<double> out, LogIsa isa = LogIsa::Best);
std::size_t vector_log(std::span<const float> x, std::span<float> out, LogIsa isa = LogIsa::Best);

// The comparison behind PLUS_ONE_ACCEPT_ULP: for the float bit patterns [begin, end)
// (end <= 2^32), x = f + 1 evaluated as the regression kernel evaluates it, against
// std::log(x): how many the kernel decides, and how many of those differ (must be 0).
// Nothing is decided without AVX2.
struct PlusOneSweep {
    std::uint64_t decided = 0, mismatched = 0;
};
PlusOneSweep log_plus_one_sweep(std::uint64_t begin, std::uint64_t end);

}  // namespace morvane
