// The pure side of segmentation: comparison kinds, the distribution heuristic, the
// distinct-value decision between categorical and continuous columns, and the loops
// that turn typed elements into 16-bit membership flags. Elements are read through
// small accessors so that the same loops serve array memory and copied vectors.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace morvane {

// Comparison kinds of the explicit segmentation, parsed from their exact names.
enum class ThresholdType : std::uint8_t {
    GreaterThan,
    GreaterThanEqualTo,
    LessThan,
    LessThanEqualTo,
};

std::optional<ThresholdType> parse_threshold_type(std::string_view text);

inline constexpr float DEFAULT_DISTRIBUTION_HEURISTIC = 0.05f;

// The share of distinct values above which a numeric column is continuous: read from
// MORVANE_DISTRIBUTION_HEURISTIC on first use (0.05 when unset or unparsable), then
// fixed for the process. Reads as a float wherever one is expected.
float distribution_type_heuristic();
inline constexpr struct DistributionTypeHeuristic {
    operator float() const { return distribution_type_heuristic(); }
} DISTRIBUTION_TYPE_HEURISTIC{};

using Flags = std::vector<std::int16_t>;

// Typed elements: contiguous, or at a byte stride (possibly unaligned).
template <class T, bool CONTIGUOUS>
struct Elements {
    using value_type = T;
    const char* data;
    std::ptrdiff_t stride;
    std::size_t size;
    T operator[](std::size_t i) const {
        T v;
        std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * (CONTIGUOUS ? std::ptrdiff_t(sizeof(T)) : stride), sizeof(T));
        return v;
    }
};

// Calls f with the contiguous accessor when the stride allows it, else the strided one.
template <class T, class F>
decltype(auto) with_elements(const char* data, std::ptrdiff_t stride, std::size_t size, F&& f) {
    if (stride == static_cast<std::ptrdiff_t>(sizeof(T))) return f(Elements<T, true>{data, stride, size});
    return f(Elements<T, false>{data, stride, size});
}

template <class T, class F>
decltype(auto) with_elements(const std::vector<T>& v, F&& f) {
    return f(Elements<T, true>{reinterpret_cast<const char*>(v.data()), sizeof(T), v.size()});
}

// Open-addressing set of distinct-value keys, sized up front for the most keys it
// will be asked to hold, so it never grows.
class DistinctSet {
public:
    explicit DistinctSet(std::size_t max_keys);
    // True when the key was not present.
    bool insert(std::uint64_t key) {
        std::size_t i = (key * 0x9E3779B97F4A7C15ull) >> shift_;
        while (true) {
            const std::uint64_t s = slots_[i];
            if (s == key) return false;
            if (s == EMPTY) {
                slots_[i] = key;
                return true;
            }
            i = (i + 1) & mask_;
        }
    }

private:
    // A NaN pattern: NaN is never a key, so it can mark an empty slot.
    static constexpr std::uint64_t EMPTY = 0x7FF8000000000001ull;
    std::vector<std::uint64_t> slots_;
    std::size_t mask_;
    unsigned shift_;
};

// The key of a value for distinct counting: equal values share a key (so +0.0 and
// -0.0 do), and a NaN has none, since it equals nothing, not even another NaN.
inline std::optional<std::uint64_t> distinct_key(double v) {
    if (v != v) return std::nullopt;
    if (v == 0.0) v = 0.0;
    return std::bit_cast<std::uint64_t>(v);
}

// The heuristic's verdict for d distinct values among n: continuous when the 32-bit
// ratio is above the heuristic or unordered with it.
inline bool share_is_continuous(std::size_t d, std::size_t n, float heuristic) {
    const float ratio = static_cast<float>(d) / static_cast<float>(n);
    return !(ratio <= heuristic);
}

// Smallest d in [4, n] for which share_is_continuous holds, if any. The ratio only
// grows with d, so a binary search finds it.
std::optional<std::size_t> continuous_distinct_bound(std::size_t n, float heuristic);

// Categorical or continuous, by the count of distinct values (each as its nearest
// 64-bit float, every NaN a new value): continuous when there are at least four and
// their share passes the heuristic. The heuristic is read only once four are found.
template <class E>
bool is_continuous(const E& x) {
    using T = typename E::value_type;
    const std::size_t n = x.size;
    // First: up to four distinct values. Whole blocks whose elements all equal a value
    // already seen are skipped with a loop that vectorises; raw equality implies equal
    // keys, and anything else (a NaN, a new value) is looked at element by element.
    T raw[4]{};
    std::uint64_t keys[4]{};
    std::size_t k = 0, d = 0, i = 0;
    auto look = [&](T v) {
        const auto key = distinct_key(static_cast<double>(v));
        if (!key) {
            ++d;
            return;
        }
        for (std::size_t j = 0; j < k; ++j)
            if (keys[j] == *key) return;
        raw[k] = v;
        keys[k] = *key;
        ++k;
        ++d;
    };
    constexpr std::size_t BLOCK = 64;
    while (i < n && d < 4) {
        if (k > 0 && i + BLOCK <= n) {
            const T r0 = raw[0], r1 = k > 1 ? raw[1] : r0, r2 = k > 2 ? raw[2] : r0;
            bool unseen = false;
            for (std::size_t j = 0; j < BLOCK; ++j) {
                const T v = x[i + j];
                unseen |= (v != r0) & (v != r1) & (v != r2);
            }
            if (!unseen) {
                i += BLOCK;
                continue;
            }
        }
        for (const std::size_t end = std::min(n, i + BLOCK); i < end && d < 4; ++i) look(x[i]);
    }
    if (d < 4) return false;

    const float heuristic = DISTRIBUTION_TYPE_HEURISTIC;
    if (share_is_continuous(d, n, heuristic)) return true;
    const auto bound = continuous_distinct_bound(n, heuristic);
    if (!bound) return false;  // even n distinct values would not be enough
    // Then count on until the bound is reached or the column ends.
    DistinctSet set(*bound);
    for (std::size_t j = 0; j < k; ++j) set.insert(keys[j]);
    for (; i < n; ++i) {
        const auto key = distinct_key(static_cast<double>(x[i]));
        if (!key || set.insert(*key)) {
            if (++d >= *bound) return true;
        }
    }
    return false;
}

// flags[i] = pred(x[i]) for every element.
template <class E, class P>
Flags flags_where(const E& x, P&& pred) {
    Flags out(x.size);
    std::int16_t* o = out.data();
    for (std::size_t i = 0; i < x.size; ++i) o[i] = pred(x[i]) ? 1 : 0;
    return out;
}

// Comparison of the explicit segmentation; every comparison with NaN is false.
template <class T>
bool threshold_holds(ThresholdType t, T v, T threshold) {
    switch (t) {
        case ThresholdType::GreaterThan: return v > threshold;
        case ThresholdType::GreaterThanEqualTo: return v >= threshold;
        case ThresholdType::LessThan: return v < threshold;
        case ThresholdType::LessThanEqualTo: return v <= threshold;
    }
    return false;
}

template <class E>
Flags threshold_flags(const E& x, ThresholdType t, double threshold) {
    switch (t) {
        case ThresholdType::GreaterThan: return flags_where(x, [=](auto v) { return static_cast<double>(v) > threshold; });
        case ThresholdType::GreaterThanEqualTo: return flags_where(x, [=](auto v) { return static_cast<double>(v) >= threshold; });
        case ThresholdType::LessThan: return flags_where(x, [=](auto v) { return static_cast<double>(v) < threshold; });
        case ThresholdType::LessThanEqualTo: return flags_where(x, [=](auto v) { return static_cast<double>(v) <= threshold; });
    }
    return Flags(x.size, 0);
}

// A float value applied to integer elements, compared exactly: "at least v" is "at
// least ceil(v)", and only an integral v can be equal to an element.
struct IntegerCut {
    enum class Mode : std::uint8_t { Value, All, None };
    Mode mode;
    std::int64_t value;
};
IntegerCut integer_at_least(double v);
IntegerCut integer_equal_to(double v);
inline IntegerCut integer_cut(std::int64_t v) { return {IntegerCut::Mode::Value, v}; }

template <class E>
Flags integer_flags(const E& x, IntegerCut cut, bool continuous) {
    switch (cut.mode) {
        case IntegerCut::Mode::All: return Flags(x.size, 1);
        case IntegerCut::Mode::None: return Flags(x.size, 0);
        case IntegerCut::Mode::Value: break;
    }
    const std::int64_t c = cut.value;
    if (continuous) return flags_where(x, [=](auto v) { return static_cast<std::int64_t>(v) >= c; });
    return flags_where(x, [=](auto v) { return static_cast<std::int64_t>(v) == c; });
}

}  // namespace morvane
