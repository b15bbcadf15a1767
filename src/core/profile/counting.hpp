// Counting one feature on its layout: values into bins or categories, missing values
// (nulls, NaN) apart. Counts are exact integers, so shards add up to the whole.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/profile/column.hpp"

namespace morvane::profile {

struct FeatureCounts {
    std::vector<std::int64_t> counts;  // edges + 1, or categories + 1 ("other" last)
    std::int64_t missing = 0;
    // Continuous features: the least and greatest present values (+inf and -inf when none).
    double low = 0.0, high = 0.0;
};

// Bin i holds e[i−1] <= v < e[i]; bin 0 below e[0], the last bin v >= e[E−1].
FeatureCounts count_continuous(const Column& c, std::span<const double> edges);
// One count per category, then "other" for values outside them.
FeatureCounts count_categorical(const Column& c, std::span<const std::string> categories);

}  // namespace morvane::profile
