#include "core/segmentation/segmentation.hpp"

#include <cmath>
#include <limits>

#include "core/common/configuration.hpp"

namespace morvane {

namespace {
constexpr double TWO_POW_63 = 9223372036854775808.0;
}

std::optional<ThresholdType> parse_threshold_type(std::string_view text) {
    if (text == "GreaterThan") return ThresholdType::GreaterThan;
    if (text == "GreaterThanEqualTo") return ThresholdType::GreaterThanEqualTo;
    if (text == "LessThan") return ThresholdType::LessThan;
    if (text == "LessThanEqualTo") return ThresholdType::LessThanEqualTo;
    return std::nullopt;
}

DistinctSet::DistinctSet(std::size_t max_keys) {
    // At most half full, so probes stay short.
    unsigned bits = 4;
    while ((std::size_t{1} << bits) < 2 * max_keys) ++bits;
    slots_.assign(std::size_t{1} << bits, EMPTY);
    mask_ = (std::size_t{1} << bits) - 1;
    shift_ = 64 - bits;
}

BucketBitmap::BucketBitmap(std::size_t max_keys) {
    // About sixteen buckets per key, so that few distinct keys share a bucket; at most
    // 32 MiB (more sharing only means the exact count decides more often).
    unsigned bits = 6;
    while (bits < 28 && (std::size_t{1} << bits) < 16 * max_keys) ++bits;
    words_.assign((std::size_t{1} << bits) / 64, 0);
    shift_ = 64 - bits;
}

std::optional<std::size_t> continuous_distinct_bound(std::size_t n, float heuristic) {
    if (n < 4 || !share_is_continuous(n, n, heuristic)) return std::nullopt;
    std::size_t lo = 4, hi = n;  // the verdict is false at lo or lo is the answer; true at hi
    if (share_is_continuous(lo, n, heuristic)) return lo;
    while (hi - lo > 1) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (share_is_continuous(mid, n, heuristic)) hi = mid;
        else lo = mid;
    }
    return hi;
}

namespace {
constexpr std::int64_t MIN = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max();
}  // namespace

std::int64_t saturating_trunc(double v) {
    if (std::isnan(v)) return 0;
    if (v >= TWO_POW_63) return MAX;
    if (v < -TWO_POW_63) return MIN;
    return static_cast<std::int64_t>(v);
}

IntegerRange integer_at_least(std::int64_t v) { return {v, MAX}; }
IntegerRange integer_equal_to(std::int64_t v) { return {v, v}; }

}  // namespace morvane
