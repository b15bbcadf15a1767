// A layout's categories in a collision-free table, for counting text rows. A text's key is
// its first and last eight bytes and its length (which alone tell texts of up to 16 bytes
// apart); a multiply-fold hash, seeded when the table is built so that every category has
// a slot of its own, sends a key to the one slot it can match. A row is one hash, one load
// and one compare: no probe loop and no branch that depends on the data.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace morvane::profile {

class CategoryTable {
public:
    // ok() is false when no seed separates the categories within the size limit (hundreds
    // of categories, or long texts sharing their first and last eight bytes and length).
    explicit CategoryTable(std::span<const std::string_view> categories);
    bool ok() const { return !slots_.empty(); }
    std::size_t other() const { return other_; }  // the slot after the categories

    struct Slot {
        std::uint64_t w0 = 0, w1 = 0;
        std::uint64_t size = ~std::uint64_t{0};  // no text has this length: an empty slot
        std::uint64_t index = 0;
    };

    // The table's fields as plain values, for a counting loop to keep in registers (a copy
    // cannot alias the counts it writes, so nothing is reloaded per row).
    struct Probe {
        const Slot* slots;
        std::uint64_t mask, s0, s1, other;
        const std::string_view* texts;

        // The category index of a text (its place among the distinct categories), or other.
        // `overread` says eight bytes from the text's start are readable memory (a text
        // inside a larger buffer): the key is then two loads and two masks, whatever the length.
        std::size_t find(const char* p, std::uint64_t n, bool overread) const {
            std::uint64_t w0, w1;
            if (std::endian::native == std::endian::little && overread) {
                const std::uint64_t m = n < 8 ? n : 8;
                w0 = load8(p) & MASKS[m].first;
                w1 = load8(p + (n - m)) & MASKS[m].last;  // the last eight bytes, or the first again
            } else {
                const Masks k = key(p, n);
                w0 = k.first;
                w1 = k.last;
            }
            const Slot& s = slots[fold(w0 ^ s0, w1 ^ s1 ^ n) & mask];
            const std::uint64_t differ = (s.w0 ^ w0) | (s.w1 ^ w1) | (s.size ^ n);
            const std::size_t j = differ == 0 ? s.index : other;
            // Above 16 bytes the key is not the whole text: compare the rest (this branch
            // follows the data's lengths, not its values).
            if (n > 16) [[unlikely]] return long_text(p, n, j);
            return j;
        }
        std::size_t long_text(const char* p, std::uint64_t n, std::size_t j) const {
            return j != other && std::memcmp(p, texts[j].data(), n) == 0 ? j : other;
        }
    };
    Probe probe() const { return {slots_.data(), mask_, s0_, s1_, other_, texts_.data()}; }
    std::size_t find(std::string_view text) const { return probe().find(text.data(), text.size(), false); }

private:
    // Two words: a key's first and last, or (MASKS, by min(length, 8)) the bytes of the
    // first word that belong to the text and whether the last word does (a text under
    // eight bytes is all in the first).
    struct Masks {
        std::uint64_t first, last;
    };
    static constexpr Masks MASKS[9] = {{0, 0}, {0xff, 0}, {0xffff, 0}, {0xffffff, 0}, {0xffffffff, 0}, {0xffffffffff, 0},
                                       {0xffffffffffff, 0}, {0xffffffffffffff, 0}, {~std::uint64_t{0}, ~std::uint64_t{0}}};

    static std::uint64_t load8(const char* p) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        return w;
    }
    // The key read byte by byte, for texts at the end of their buffer.
    static Masks key(const char* p, std::uint64_t n);
    // The two halves of the 128-bit product folded together: every input bit reaches the low bits.
    static std::uint64_t fold(std::uint64_t a, std::uint64_t b) {
        const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
        return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
    }
    bool place(int bits, std::uint64_t seed);

    std::vector<Slot> slots_;
    std::uint64_t mask_ = 0, s0_ = 0, s1_ = 0;
    std::size_t other_ = 0;
    std::vector<std::string_view> texts_;  // distinct categories, first appearance kept
};

}  // namespace morvane::profile
