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

CategoryTable::Masks CategoryTable::key(const char* p, std::uint64_t n) {
    auto word = [](const char* q, std::uint64_t len) {
        std::uint64_t w = 0;
        for (std::uint64_t i = 0; i < len; ++i) w |= static_cast<std::uint64_t>(static_cast<unsigned char>(q[i])) << (8 * i);
        return w;
    };
    if (n >= 8) return {word(p, 8), word(p + n - 8, 8)};
    return {word(p, n), 0};
}

CategoryTable::CategoryTable(std::span<const std::string_view> categories) : other_(categories.size()) {
    if (categories.size() > (std::size_t{1} << (MAX_BITS - 1))) return;
    TextIndex distinct;
    for (const std::string_view c : categories)
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
        const std::uint64_t n = texts_[j].size();
        const Masks k = key(texts_[j].data(), n);
        Slot& s = slots_[fold(k.first ^ s0_, k.last ^ s1_ ^ n) & mask_];
        if (s.size != ~std::uint64_t{0}) return false;
        s = Slot{k.first, k.last, n, j};
    }
    return true;
}

}  // namespace morvane::profile
