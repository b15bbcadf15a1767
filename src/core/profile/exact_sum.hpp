// An exact sum of doubles: a fixed-point accumulator wide enough for every finite
// double (bits 2^-1074 .. 2^1024), kept as 32-bit digits in int64 limbs so additions
// never carry; the result does not depend on the order of the terms, which is what
// makes merged shards equal to the whole. Infinities and NaN are counted apart.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace morvane::profile {

// A double as an integer and a power of two: value = ±mant · 2^(pos − 1074), pos counted from the
// smallest subnormal; NaN and the infinities flagged apart. The exact accumulators start here.
struct DoubleBits {
    std::uint64_t mant;
    int pos;
    bool negative, nan, infinite;
};

inline DoubleBits double_bits(double x) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const int exp_field = static_cast<int>((bits >> 52) & 0x7ff);
    std::uint64_t mant = bits & ((std::uint64_t{1} << 52) - 1);
    const bool negative = (bits >> 63) != 0;
    if (exp_field == 0x7ff) return {mant, 0, negative, mant != 0, mant == 0};
    if (exp_field) mant |= std::uint64_t{1} << 52;
    return {mant, exp_field ? exp_field - 1 : 0, negative, false, false};
}

class ExactSum {
public:
    static constexpr int LIMBS = 68;         // 68 * 32 bits > 1074 + 1024 + headroom
    static constexpr int SCALE_BITS = 1074;  // value = integer / 2^1074

    void add(double x);
    void merge(const ExactSum& other);
    // Carries propagated: digits 0..LIMBS-2 in [0, 2^32), the top limb signed.
    void normalize();

    const std::array<std::int64_t, LIMBS>& limbs() const { return limbs_; }
    std::uint64_t pos_inf = 0, neg_inf = 0, nan = 0;

private:
    std::array<std::int64_t, LIMBS> limbs_{};
    std::uint32_t pending_ = 0;  // additions since the last normalisation
};

}  // namespace morvane::profile
