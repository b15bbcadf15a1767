#include "core/profile/exact_sum.hpp"

#include <cmath>
#include <cstring>

namespace morvane::profile {

void ExactSum::add(double x) {
    const DoubleBits b = double_bits(x);
    if (b.nan || b.infinite) {
        ++(b.nan ? nan : b.negative ? neg_inf : pos_inf);
        return;
    }
    if (b.mant == 0) return;
    const std::uint64_t mant = b.mant;
    const int pos = b.pos;
    const unsigned __int128 shifted = static_cast<unsigned __int128>(mant) << (pos & 31);
    const int d = pos >> 5;
    const std::int64_t p0 = static_cast<std::int64_t>(static_cast<std::uint64_t>(shifted) & 0xffffffffu);
    const std::int64_t p1 = static_cast<std::int64_t>(static_cast<std::uint64_t>(shifted >> 32) & 0xffffffffu);
    const std::int64_t p2 = static_cast<std::int64_t>(static_cast<std::uint64_t>(shifted >> 64));
    if (b.negative) { limbs_[d] -= p0; limbs_[d + 1] -= p1; limbs_[d + 2] -= p2; }
    else { limbs_[d] += p0; limbs_[d + 1] += p1; limbs_[d + 2] += p2; }
    // Each addition moves a limb by less than 2^32: normalise long before 2^63.
    if (++pending_ >= (1u << 30)) normalize();
}

void ExactSum::normalize() {
    for (int i = 0; i + 1 < LIMBS; ++i) {
        const std::int64_t carry = limbs_[i] >> 32;  // arithmetic shift: floor division
        limbs_[i] -= carry * (std::int64_t{1} << 32);
        limbs_[i + 1] += carry;
    }
    pending_ = 0;
}

void ExactSum::merge(const ExactSum& other) {
    normalize();
    ExactSum o = other;
    o.normalize();
    for (int i = 0; i < LIMBS; ++i) limbs_[i] += o.limbs_[i];
    normalize();
    pos_inf += o.pos_inf;
    neg_inf += o.neg_inf;
    nan += o.nan;
}

}  // namespace morvane::profile
