#include "core/profile/category_table.hpp"

#include "core/profile/text_index.hpp"

namespace morvane::profile {

namespace {

constexpr int MAX_BITS = 12;  // 4,096 slots of 32 bytes: the table stays in L2 at worst
constexpr int SEEDS_PER_SIZE = 24;

std::uint64_t splitmix(std::uint64_t& x) {
    std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

void CategoryTable::key(const char* p, std::uint64_t n, std::uint64_t& w0, std::uint64_t& w1) {
    w0 = w1 = 0;
    if (n >= 8) {
        std::uint64_t a = 0, b = 0;
        for (int i = 0; i < 8; ++i) {
            a |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
            b |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[n - 8 + static_cast<std::uint64_t>(i)])) << (8 * i);
        }
        w0 = a;
        w1 = b;
        return;
    }
    for (std::uint64_t i = 0; i < n; ++i) w0 |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
}

CategoryTable::CategoryTable(std::span<const std::string> categories) : other_(categories.size()) {
    if (categories.size() > (std::size_t{1} << (MAX_BITS - 1))) return;
    TextIndex distinct;
    for (const std::string& c : categories)
        if (distinct.insert(c) == texts_.size()) texts_.emplace_back(c);
    int bits = 4;
    while ((std::size_t{1} << bits) < 2 * texts_.size()) ++bits;
    std::uint64_t seed = 0x243F6A8885A308D3ull;
    for (; bits <= MAX_BITS; ++bits)
        for (int t = 0; t < SEEDS_PER_SIZE; ++t)
            if (place(bits, seed++)) return;
    slots_.clear();
}

bool CategoryTable::place(int bits, std::uint64_t seed) {
    slots_.assign(std::size_t{1} << bits, Slot{});
    mask_ = (std::uint64_t{1} << bits) - 1;
    s0_ = splitmix(seed);
    s1_ = splitmix(seed);
    for (std::size_t j = 0; j < texts_.size(); ++j) {
        std::uint64_t w0, w1;
        const std::uint64_t n = texts_[j].size();
        key(texts_[j].data(), n, w0, w1);
        Slot& s = slots_[fold(w0 ^ s0_, w1 ^ s1_ ^ n) & mask_];
        if (s.size != ~std::uint64_t{0}) return false;
        s = Slot{w0, w1, n, j};
    }
    return true;
}

}  // namespace morvane::profile
