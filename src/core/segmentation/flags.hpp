// Membership flags as bits (1 = in the group: facet a, or a positive label), the one
// form both bias analyzers take. Flag i is bit i % 64 of word i / 64, and bits past the
// last element are 0: a column takes an eighth of a byte per element and stays in
// cache, and counts are population counts of whole words.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace morvane {

struct Flags {
    std::vector<std::uint64_t> words;
    std::size_t size = 0;
};

// The streaming bias monitors take values already labelled: exactly 1 is in the group.
constexpr bool in_group(std::int8_t x) { return x == 1; }

inline std::size_t word_count(std::size_t n) { return (n + 63) / 64; }

// Over the pairs up to the shorter length: how many tests hold (`tests`), how many
// hold where the other flag is set (`both`), how many other flags are set (`flags`).
struct BitCounts {
    std::uint64_t tests = 0;
    std::uint64_t both = 0;
    std::uint64_t flags = 0;
};

// Adds the word of tests t and the word of flags w, of which the first `left` bits
// (all 64 when left >= 64) are pairs.
inline void add_words(BitCounts& c, std::uint64_t t, std::uint64_t w, std::size_t left) {
    if (left < 64) {
        const std::uint64_t keep = (std::uint64_t{1} << left) - 1;
        t &= keep;
        w &= keep;
    }
    c.tests += static_cast<std::uint64_t>(std::popcount(t));
    c.both += static_cast<std::uint64_t>(std::popcount(t & w));
    c.flags += static_cast<std::uint64_t>(std::popcount(w));
}

// The counts of two flag columns, `tests` from the first and `flags` from the second.
inline BitCounts count_flag_pairs(const Flags& first, const Flags& second) {
    BitCounts c;
    const std::size_t n = first.size < second.size ? first.size : second.size;
    for (std::size_t i = 0; i < n; i += 64) add_words(c, first.words[i / 64], second.words[i / 64], n - i);
    return c;
}

}  // namespace morvane
