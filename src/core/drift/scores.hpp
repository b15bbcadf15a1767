// The four drift scores between a baseline histogram (fractions) and a runtime
// histogram (counts with their normalizer).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/errors.hpp"

namespace morvane {

enum class DriftType : std::uint8_t {
    JensenShannon,
    PopulationStabilityIndex,
    WassersteinDistance,
    KullbackLeibler,
};

// Which Wasserstein form applies: continuous histograms leave out their two outer bins.
enum class HistogramKind : std::uint8_t { Continuous, Categorical };

// Exact, case-sensitive names; anything else is "Unsupported drift type".
Result<DriftType, DriftError> parse_drift_type(std::string_view text);
// Every name in order; the first unknown one fails.
Result<std::vector<DriftType>, DriftError> parse_drift_types(std::span<const std::string> names);

// One score in 64 bits. b: baseline fractions, r: runtime counts, total: the runtime
// normalizer; b and r have the same length. Never fails: degenerate input gives IEEE
// results.
double global_compute_drift(std::span<const double> b, std::span<const double> r, double total, HistogramKind kind,
                            DriftType type);

}  // namespace morvane
