// An exact sum of doubles: a fixed-point accumulator wide enough for every finite
// double (bits 2^-1074 .. 2^1024), kept as 32-bit digits in int64 limbs so additions
// never carry; the result does not depend on the order of the terms, which is what
// makes merged shards equal to the whole. Infinities and NaN are counted apart.
#pragma once

#include <array>
#include <cstdint>

namespace morvane::profile {

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
