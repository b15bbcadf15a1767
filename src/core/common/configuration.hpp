// The two process-wide settings read from the environment: the stability epsilon that
// keeps drift logarithms and ratios finite, and the distribution heuristic that tells
// categorical from continuous columns.
#pragma once

#include <optional>
#include <string_view>

namespace morvane {

inline constexpr double DEFAULT_STABILITY_EPS = 1e-12;

// Read from MORVANE_STABILITY_EPS on first use, 1e-12 when unset or unparsable, then
// fixed for the life of the process. Zero, negative, infinite and NaN values are kept
// as given. Reads as a double wherever one is expected: `float eps = STABILITIY_EPS;`.
double stability_eps();
inline constexpr struct StabilityEps {
    operator double() const { return stability_eps(); }
} STABILITIY_EPS{};

inline constexpr float DEFAULT_DISTRIBUTION_HEURISTIC = 0.05f;

// The share of distinct values above which a numeric column is continuous: read from
// MORVANE_DISTRIBUTION_HEURISTIC on first use (0.05 when unset or unparsable), then
// fixed for the process. Reads as a float wherever one is expected.
float distribution_type_heuristic();
inline constexpr struct DistributionTypeHeuristic {
    operator float() const { return distribution_type_heuristic(); }
} DISTRIBUTION_TYPE_HEURISTIC{};

// The decimal grammar both environment variables use: optional sign, digits with an
// optional fraction and exponent, or inf/infinity/nan in any case; no blanks.
std::optional<double> parse_decimal_f64(std::string_view text);
std::optional<float> parse_decimal_f32(std::string_view text);

}  // namespace morvane
