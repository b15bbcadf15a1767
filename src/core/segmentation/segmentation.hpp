// The pure side of segmentation: comparison kinds, the distribution heuristic, the
// distinct-value decision between categorical and continuous columns, and the loops
// that turn typed elements into membership flags (16-bit, or packed bits) or count
// them. Elements are read through the array layer's accessor (array_view.hpp), so that
// the same loops serve array memory and copied vectors.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <immintrin.h>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/common/array_view.hpp"
#include "core/common/configuration.hpp"
#include "core/common/cpu_dispatch.hpp"
#include "core/segmentation/flags.hpp"

namespace morvane {

// Comparison kinds of the explicit segmentation, parsed from their exact names.
enum class ThresholdType : std::uint8_t {
    GreaterThan,
    GreaterThanEqualTo,
    LessThan,
    LessThanEqualTo,
};

std::optional<ThresholdType> parse_threshold_type(std::string_view text);



// Open-addressing set of distinct-value keys, sized up front for the most keys it
// will be asked to hold, so it never grows.
class DistinctSet {
public:
    explicit DistinctSet(std::size_t max_keys);
    // True when the key was not present.
    bool insert(std::uint64_t key) {
        std::size_t i = slot(key);
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
    std::size_t slot(std::uint64_t key) const { return (key * 0x9E3779B97F4A7C15ull) >> shift_; }

    // A NaN pattern: NaN is never a key, so it can mark an empty slot.
    static constexpr std::uint64_t EMPTY = 0x7FF8000000000001ull;
    std::vector<std::uint64_t> slots_;
    std::size_t mask_;
    unsigned shift_;
};

// A bitmap of hashed keys. The buckets it has seen are never more than the distinct
// keys behind them, so their count is a lower bound on the distinct values, kept
// without a branch or a probe: it can prove a column continuous, never categorical.
class BucketBitmap {
public:
    explicit BucketBitmap(std::size_t max_keys);
    // 1 when the key's bucket was not seen yet.
    std::size_t add(std::uint64_t key) {
        const std::size_t b = (key * 0x9E3779B97F4A7C15ull) >> shift_;
        std::uint64_t& w = words_[b >> 6];
        const std::uint64_t bit = std::uint64_t{1} << (b & 63);
        const std::size_t fresh = (w & bit) == 0;
        w |= bit;
        return fresh;
    }

private:
    std::vector<std::uint64_t> words_;
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

// "Equals one of the values already seen" (up to three; fewer are repeated).
template <class T>
struct SeenValues {
    T r0, r1, r2;
    bool operator()(T v) const { return (v == r0) | (v == r1) | (v == r2); }
};

// What the distinct-value search does with the blocks it reads: scan(x, begin, end,
// seen) tells whether every element passes `seen`, touch(x, begin, end) is told of a
// block read element by element. Written without early exit so that it vectorises;
// a NaN equals nothing.
struct JustLook {
    template <class E, class Seen>
    bool scan(const E x, std::size_t begin, std::size_t end, const Seen seen) const {
        unsigned unseen = 0;
        for (std::size_t i = begin; i < end; ++i) unseen |= !seen(x[i]);
        return unseen == 0;
    }
    template <class E>
    void touch(const E&, std::size_t, std::size_t) const {}
};

// Whether the implicit labelling treats a numeric column as continuous: by the count
// of distinct values, each taken as its nearest 64-bit float and every NaN a new
// value, it needs at least four and a share above the heuristic. The heuristic is
// read only once four are found.
//
// The search for the first four passes whole blocks whose elements all equal a value
// already seen (raw equality implies equal keys) and looks at any other block element
// by element; then a hash set counts on until the share is certain or the column ends.
// The policy sees each block of the first search while it is in cache (see JustLook).
template <class E, class Policy>
bool numeric_is_continuous(const E& x, Policy& policy) {
    using T = typename E::value_type;
    const std::size_t n = x.size;
    T raw[3]{};
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
        if (k < 3) raw[k] = v;
        keys[k++] = *key;
        ++d;
    };
    constexpr std::size_t BLOCK = 2048;
    while (i < n && d < 4) {
        const std::size_t begin = i, end = std::min(n, i + BLOCK);
        if (k > 0 && end - begin == BLOCK) {
            if (policy.scan(x, begin, end, SeenValues<T>{raw[0], raw[k > 1 ? 1 : 0], raw[k > 2 ? 2 : 0]})) {
                i = end;
                continue;
            }
        } else {
            policy.touch(x, begin, end);
        }
        for (; i < end && d < 4; ++i) look(x[i]);
    }
    if (d < 4) return false;

    const float heuristic = DISTRIBUTION_TYPE_HEURISTIC;
    if (share_is_continuous(d, n, heuristic)) return true;
    const auto bound = continuous_distinct_bound(n, heuristic);
    if (!bound) return false;  // even n distinct values would not be enough
    // A continuous column usually shows enough distinct buckets soon after the bound,
    // which settles it cheaply; only when they do not, within twice the bound, are the
    // values counted exactly.
    {
        BucketBitmap buckets(*bound);
        std::size_t lower = d - k;  // the NaNs seen so far
        for (std::size_t j = 0; j < k; ++j) lower += buckets.add(keys[j]);
        const std::size_t stop = std::min(n, i + 2 * *bound);
        for (std::size_t j = i; j < stop; ++j) {
            const auto key = distinct_key(static_cast<double>(x[j]));
            lower += key ? buckets.add(*key) : 1;
            if (lower >= *bound) return true;
        }
    }
    DistinctSet set(*bound);
    for (std::size_t j = 0; j < k; ++j) set.insert(keys[j]);
    for (; i < n; ++i) {
        const auto key = distinct_key(static_cast<double>(x[i]));
        if ((!key || set.insert(*key)) && ++d >= *bound) return true;
    }
    return false;
}

template <class E>
bool numeric_is_continuous(const E& x) {
    JustLook policy;
    return numeric_is_continuous(x, policy);
}

// The integers an integer element must lie in to be a member: [lo, hi], empty when
// lo > hi.
struct IntegerRange {
    std::int64_t lo;
    std::int64_t hi;
};
IntegerRange integer_at_least(std::int64_t v);
IntegerRange integer_equal_to(std::int64_t v);

// A float label or threshold on an integer column: truncated toward zero, saturating
// at the 64-bit limits, NaN giving 0.
std::int64_t saturating_trunc(double v);

// Tests of membership in an equality range (lo == hi) or a lower-bound range (hi at
// the maximum) on elements of type T, compared in T itself so that narrow columns are
// compared in narrow lanes, with one comparison each. Elements are signed 64-bit values
// (unsigned 64-bit columns hold no value above the signed maximum), so the range is
// first cut to what T can hold; a range left empty clears `any`.
template <class T>
struct TypedEqual {
    T value;
    bool any;
    bool operator()(T v) const { return (v == value) & any; }
};
template <class T>
struct TypedAtLeast {
    T bound;
    bool any;
    bool operator()(T v) const { return (v >= bound) & any; }
};

template <class T>
constexpr std::int64_t TYPE_MIN = std::is_signed_v<T> ? static_cast<std::int64_t>(std::numeric_limits<T>::min()) : 0;
template <class T>
constexpr std::int64_t TYPE_MAX = std::in_range<std::int64_t>(std::numeric_limits<T>::max())
                                      ? static_cast<std::int64_t>(std::numeric_limits<T>::max())
                                      : std::numeric_limits<std::int64_t>::max();

template <class T>
TypedEqual<T> typed_equal(IntegerRange r) {
    if (r.lo != r.hi || r.lo < TYPE_MIN<T> || r.lo > TYPE_MAX<T>) return {T(0), false};
    return {static_cast<T>(r.lo), true};
}

template <class T>
TypedAtLeast<T> typed_at_least(IntegerRange r) {
    if (r.lo > r.hi || r.lo > TYPE_MAX<T>) return {T(0), false};
    return {static_cast<T>(std::max(r.lo, TYPE_MIN<T>)), true};
}

// The membership tests of numeric columns, as types of their own so that the common
// cases below can be recognised.
struct FloatEqual {
    double value;
    template <class T>
    bool operator()(T e) const {
        return static_cast<double>(e) == value;
    }
};
struct FloatAtLeast {
    double value;
    template <class T>
    bool operator()(T e) const {
        return static_cast<double>(e) >= value;
    }
};

// Words of 64 contiguous float64 or int64 elements straight from AVX2 comparison masks
// (one bit per lane): the most common columns, and the ones whose 64-bit lanes cost the
// most to narrow otherwise. Comparisons with NaN are false, as in C++.
namespace avx2 {
[[gnu::target("avx2")]] inline std::uint64_t float64_word(const char* p, double v, bool at_least) {
    const __m256d c = _mm256_set1_pd(v);
    std::uint64_t w = 0;
    for (int k = 0; k < 16; ++k) {
        const __m256d e = _mm256_loadu_pd(reinterpret_cast<const double*>(p) + 4 * k);
        const __m256d m = at_least ? _mm256_cmp_pd(e, c, _CMP_GE_OQ) : _mm256_cmp_pd(e, c, _CMP_EQ_OQ);
        w |= static_cast<std::uint64_t>(_mm256_movemask_pd(m)) << (4 * k);
    }
    return w;
}
[[gnu::target("avx2")]] inline std::uint64_t int64_word(const char* p, std::int64_t v, bool at_least) {
    const __m256i c = _mm256_set1_epi64x(v);
    std::uint64_t w = 0;
    for (int k = 0; k < 16; ++k) {
        const __m256i e = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p) + k);
        // at least v: not (v > e)
        const __m256i m = at_least ? _mm256_cmpgt_epi64(c, e) : _mm256_cmpeq_epi64(e, c);
        std::uint64_t bits = static_cast<std::uint64_t>(_mm256_movemask_pd(_mm256_castsi256_pd(m)));
        if (at_least) bits ^= 0xF;
        w |= bits << (4 * k);
    }
    return w;
}
}  // namespace avx2

// The same for equality, while also noting whether any element differs from all of
// three values seen (the distinct-value search of a categorical column).
namespace avx2 {
[[gnu::target("avx2")]] inline std::uint64_t float64_equal_word_seen(const char* p, double v, const double* seen,
                                                                    bool& unseen) {
    const __m256d c = _mm256_set1_pd(v), a = _mm256_set1_pd(seen[0]), b = _mm256_set1_pd(seen[1]),
                  d = _mm256_set1_pd(seen[2]);
    __m256d hit_all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    std::uint64_t w = 0;
    for (int k = 0; k < 16; ++k) {
        const __m256d e = _mm256_loadu_pd(reinterpret_cast<const double*>(p) + 4 * k);
        w |= static_cast<std::uint64_t>(_mm256_movemask_pd(_mm256_cmp_pd(e, c, _CMP_EQ_OQ))) << (4 * k);
        const __m256d hit = _mm256_or_pd(_mm256_or_pd(_mm256_cmp_pd(e, a, _CMP_EQ_OQ), _mm256_cmp_pd(e, b, _CMP_EQ_OQ)),
                                         _mm256_cmp_pd(e, d, _CMP_EQ_OQ));
        hit_all = _mm256_and_pd(hit_all, hit);
    }
    unseen |= _mm256_movemask_pd(hit_all) != 0xF;
    return w;
}
[[gnu::target("avx2")]] inline std::uint64_t int64_equal_word_seen(const char* p, std::int64_t v, const std::int64_t* seen,
                                                                  bool& unseen) {
    const __m256i c = _mm256_set1_epi64x(v), a = _mm256_set1_epi64x(seen[0]), b = _mm256_set1_epi64x(seen[1]),
                  d = _mm256_set1_epi64x(seen[2]);
    __m256i hit_all = _mm256_set1_epi64x(-1);
    std::uint64_t w = 0;
    for (int k = 0; k < 16; ++k) {
        const __m256i e = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p) + k);
        w |= static_cast<std::uint64_t>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(e, c)))) << (4 * k);
        const __m256i hit =
            _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi64(e, a), _mm256_cmpeq_epi64(e, b)), _mm256_cmpeq_epi64(e, d));
        hit_all = _mm256_and_si256(hit_all, hit);
    }
    unseen |= _mm256_movemask_pd(_mm256_castsi256_pd(hit_all)) != 0xF;
    return w;
}
}  // namespace avx2

inline std::uint64_t fast_word(const Elements<double, true>& x, std::size_t i, const FloatEqual& t) {
    return avx2::float64_word(x.data + i * sizeof(double), t.value, false);
}
inline std::uint64_t fast_word(const Elements<double, true>& x, std::size_t i, const FloatAtLeast& t) {
    return avx2::float64_word(x.data + i * sizeof(double), t.value, true);
}
inline std::uint64_t fast_word(const Elements<std::int64_t, true>& x, std::size_t i, const TypedEqual<std::int64_t>& t) {
    return t.any ? avx2::int64_word(x.data + i * sizeof(std::int64_t), t.value, false) : 0;
}
inline std::uint64_t fast_word(const Elements<std::int64_t, true>& x, std::size_t i, const TypedAtLeast<std::int64_t>& t) {
    return t.any ? avx2::int64_word(x.data + i * sizeof(std::int64_t), t.bound, true) : 0;
}

inline std::uint64_t fast_word_seen(const Elements<double, true>& x, std::size_t i, const FloatEqual& t,
                                    const SeenValues<double>& s, bool& unseen) {
    const double seen[3] = {s.r0, s.r1, s.r2};
    return avx2::float64_equal_word_seen(x.data + i * sizeof(double), t.value, seen, unseen);
}
inline std::uint64_t fast_word_seen(const Elements<std::int64_t, true>& x, std::size_t i,
                                    const TypedEqual<std::int64_t>& t, const SeenValues<std::int64_t>& s, bool& unseen) {
    const std::int64_t seen[3] = {s.r0, s.r1, s.r2};
    const std::uint64_t w = avx2::int64_equal_word_seen(x.data + i * sizeof(std::int64_t), t.value, seen, unseen);
    return t.any ? w : 0;
}

// The word of pred over x[i, min(i + 64, n)), i a multiple of 64. Wide elements are
// shifted into place in 64-bit lanes; narrow ones are compared in their own lanes into
// bytes, and each eight bytes of 0 or 1 gathered into eight bits by one multiplication
// (byte k lands on bit 56 + k, and no two partial products meet).
template <class E, class P>
std::uint64_t flag_word(const E& x, std::size_t i, const P& pred) {
    using T = typename E::value_type;
    const std::size_t m = std::min<std::size_t>(64, x.size - i);
    if constexpr (requires { fast_word(x, i, pred); }) {
        if (m == 64 && cpu_has_avx2()) return fast_word(x, i, pred);
    }
    std::uint64_t w = 0;
    if constexpr (sizeof(T) > 2) {
        if (m == 64) {
            for (std::size_t j = 0; j < 64; ++j) w |= static_cast<std::uint64_t>(pred(x[i + j])) << j;
        } else {
            for (std::size_t j = 0; j < m; ++j) w |= static_cast<std::uint64_t>(pred(x[i + j])) << j;
        }
    } else {
        std::uint8_t b[64] = {};
        if (m == 64) {
            for (std::size_t j = 0; j < 64; ++j) b[j] = pred(x[i + j]) ? 1 : 0;
        } else {
            for (std::size_t j = 0; j < m; ++j) b[j] = pred(x[i + j]) ? 1 : 0;
        }
        for (std::size_t k = 0; k < 8; ++k) {
            std::uint64_t chunk;
            std::memcpy(&chunk, b + 8 * k, 8);
            w |= ((chunk * 0x0102040810204080ull) >> 56) << (8 * k);
        }
    }
    return w;
}

// words for the elements [begin, end), begin a multiple of 64.
template <class E, class P>
void write_bits(const E x, std::size_t begin, std::size_t end, std::uint64_t* __restrict words, const P pred) {
    for (std::size_t i = begin; i < end; i += 64) words[i / 64] = flag_word(x, i, pred);
}

// The search policy that writes the categorical flags of each block it reads, as bits.
template <class Eq>
struct LabelBitsWhileLooking {
    Eq equal;
    std::uint64_t* words;
    std::size_t written = 0;

    template <class E, class Seen>
    bool scan(const E x, std::size_t begin, std::size_t end, const Seen seen) {
        std::uint64_t* __restrict out = words;
        const Eq eq = equal;
        std::uint64_t unseen = 0;
        for (std::size_t i = begin; i < end; i += 64) {
            if constexpr (requires(bool& u) { fast_word_seen(x, i, eq, seen, u); }) {
                if (cpu_has_avx2()) {
                    bool u = false;
                    out[i / 64] = fast_word_seen(x, i, eq, seen, u);
                    unseen |= u;
                    continue;
                }
            }
            out[i / 64] = flag_word(x, i, eq);
            for (std::size_t j = i; j < i + 64; ++j) unseen |= !seen(x[j]);
        }
        written = end;
        return unseen == 0;
    }
    template <class E>
    void touch(const E& x, std::size_t begin, std::size_t end) {
        write_bits(x, begin, end, words, equal);
        written = end;
    }
};

// The implicit labelling of a numeric column into bits (words must hold
// word_count(x.size) words): equal(x) where categorical, at_least(x) where continuous.
// The categorical flags are written in the same pass as the search for distinct
// values, so a categorical column is read once.
template <class E, class Eq, class Ge>
void label_numeric_bits(const E& x, const Eq& equal, const Ge& at_least, std::uint64_t* words) {
    LabelBitsWhileLooking<Eq> policy{equal, words};
    if (numeric_is_continuous(x, policy)) write_bits(x, 0, x.size, words, at_least);
    else write_bits(x, policy.written, x.size, words, equal);
}

// Counts of test(x[i]) against flags given as bits, over the pairs up to the shorter
// length (see BitCounts).
template <class E, class P>
BitCounts count_against_bits(const E x, const P test, const std::uint64_t* words, std::size_t flag_count) {
    BitCounts c;
    const std::size_t n = std::min(x.size, flag_count);
    for (std::size_t i = 0; i < n; i += 64) add_words(c, flag_word(x, i, test), words[i / 64], n - i);
    return c;
}

// The flags of test(x[i]) for every element.
template <class E, class P>
Flags flags_where(const E& x, const P& test) {
    Flags out{std::vector<std::uint64_t>(word_count(x.size)), x.size};
    write_bits(x, 0, x.size, out.words.data(), test);
    return out;
}

// Comparison of the explicit segmentation; every comparison with NaN is false.
template <class E>
Flags threshold_flags(const E& x, ThresholdType t, double threshold) {
    switch (t) {
        case ThresholdType::GreaterThan: return flags_where(x, [=](auto v) { return static_cast<double>(v) > threshold; });
        case ThresholdType::GreaterThanEqualTo: return flags_where(x, [=](auto v) { return static_cast<double>(v) >= threshold; });
        case ThresholdType::LessThan: return flags_where(x, [=](auto v) { return static_cast<double>(v) < threshold; });
        case ThresholdType::LessThanEqualTo: return flags_where(x, [=](auto v) { return static_cast<double>(v) <= threshold; });
    }
    return flags_where(x, [](auto) { return false; });
}


}  // namespace morvane
