#include "core/profile/exact_sum.hpp"

#include <cmath>
#include <cstring>

namespace morvane::profile {

void ExactSum::add(double x) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const int exp_field = static_cast<int>((bits >> 52) & 0x7ff);
    std::uint64_t mant = bits & ((std::uint64_t{1} << 52) - 1);
    if (exp_field == 0x7ff) {
        if (mant) ++nan;
        else if (bits >> 63) ++neg_inf;
        else ++pos_inf;
        return;
    }
    // value = mant * 2^(pos - 1074), pos counted from the smallest subnormal.
    int pos;
    if (exp_field == 0) pos = 0;
    else { mant |= std::uint64_t{1} << 52; pos = exp_field - 1; }
    if (mant == 0) return;
    const unsigned __int128 shifted = static_cast<unsigned __int128>(mant) << (pos & 31);
    const int d = pos >> 5;
    const std::int64_t p0 = static_cast<std::int64_t>(static_cast<std::uint64_t>(shifted) & 0xffffffffu);
    const std::int64_t p1 = static_cast<std::int64_t>(static_cast<std::uint64_t>(shifted >> 32) & 0xffffffffu);
    const std::int64_t p2 = static_cast<std::int64_t>(static_cast<std::uint64_t>(shifted >> 64));
    if (bits >> 63) { limbs_[d] -= p0; limbs_[d + 1] -= p1; limbs_[d + 2] -= p2; }
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
