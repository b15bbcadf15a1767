// A small open-addressing index of texts (category names, class labels, group values):
// a cheap word-at-a-time hash and linear probing over a table that, for the usual few
// dozen categories, stays in L1. Looking a text up never allocates.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace morvane::profile {

class TextIndex {
public:
    static constexpr std::size_t NONE = static_cast<std::size_t>(-1);

    TextIndex() { rehash(16); }
    template <class Texts>
    explicit TextIndex(const Texts& texts) {
        rehash(16);
        for (const auto& t : texts) insert(t);
    }

    // A text's first and last eight bytes (zero-padded below eight), its length and hash:
    // texts of up to 16 bytes are told apart by these alone.
    struct Key {
        std::uint64_t w0, w1, hash;
        std::size_t size;
    };
    // `overread` says eight bytes from the text's start are readable memory (a text inside
    // a larger buffer), so a short text is one load and a mask instead of a byte loop.
    static Key key(std::string_view s, bool overread = false) {
        const char* p = s.data();
        const std::size_t n = s.size();
        Key k{0, 0, 0, n};
        if (n >= 8) {
            k.w0 = load8(p);
            k.w1 = load8(p + n - 8);
        } else if (std::endian::native == std::endian::little && overread) {
            k.w0 = n ? load8(p) & (~std::uint64_t{0} >> (64 - 8 * n)) : 0;
        } else {
            for (std::size_t i = 0; i < n; ++i) k.w0 |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
        }
        k.hash = n <= 16 ? mix(mix(k.w0 ^ n) ^ k.w1) : hash(s);
        return k;
    }
    // Equal texts, given their keys.
    static bool same(const Key& a, std::string_view ta, const Key& b, std::string_view tb) {
        return a.size == b.size && a.w0 == b.w0 && a.w1 == b.w1 && (a.size <= 16 || std::memcmp(ta.data(), tb.data(), a.size) == 0);
    }

    std::size_t find(std::string_view key_text) const { return find(key(key_text), key_text); }
    std::size_t find(const Key& w, std::string_view text) const {
        for (std::size_t i = w.hash & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.index == 0) return NONE;
            if (s.w0 == w.w0 && s.w1 == w.w1 && s.size == w.size && (w.size <= 16 || same(views_[s.index - 1], text)))
                return s.index - 1;
        }
    }

    // The text's index, inserting a copy when it is new.
    std::size_t insert(std::string_view text) { return insert(key(text), text); }
    std::size_t insert(const Key& w, std::string_view text) {
        const std::size_t found = find(w, text);
        if (found != NONE) return found;
        if ((views_.size() + 1) * 2 > slots_.size()) rehash(slots_.size() * 2);
        texts_.emplace_back(text);
        views_.emplace_back(texts_.back());
        place(w, static_cast<std::uint32_t>(views_.size()));
        return views_.size() - 1;
    }

    std::size_t size() const { return views_.size(); }
    const std::vector<std::string_view>& texts() const { return views_; }

    static std::uint64_t hash(std::string_view s) {
        const char* p = s.data();
        const std::size_t n = s.size();
        std::uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
        if (n >= 8) {
            std::size_t i = 0;
            for (; i + 8 < n; i += 8) h = mix(h ^ load8(p + i));
            h ^= load8(p + n - 8);  // the last eight bytes, overlapping what came before
        } else {
            std::uint64_t w = 0;
            for (std::size_t i = 0; i < n; ++i) w |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
            h ^= w;
        }
        return mix(h);
    }

    // Equal texts, with fixed-size loads for the short texts categories usually are.
    static bool same(std::string_view a, std::string_view b) {
        const std::size_t n = a.size();
        if (n != b.size()) return false;
        if (n < 8) {
            for (std::size_t i = 0; i < n; ++i)
                if (a[i] != b[i]) return false;
            return true;
        }
        if (n <= 16) return load8(a.data()) == load8(b.data()) && load8(a.data() + n - 8) == load8(b.data() + n - 8);
        return std::memcmp(a.data(), b.data(), n) == 0;
    }

private:
    struct Slot {
        std::uint64_t w0 = 0, w1 = 0;
        std::uint32_t size = 0;
        std::uint32_t index = 0;  // position + 1; 0 marks an empty slot
    };

    static std::uint64_t load8(const char* p) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        return w;
    }
    static std::uint64_t mix(std::uint64_t h) {
        h *= 0xbf58476d1ce4e5b9ull;
        return h ^ (h >> 31);
    }

    void place(const Key& w, std::uint32_t index) {
        std::size_t i = w.hash & mask_;
        while (slots_[i].index != 0) i = (i + 1) & mask_;
        slots_[i] = Slot{w.w0, w.w1, static_cast<std::uint32_t>(views_[index - 1].size()), index};
    }
    void rehash(std::size_t capacity) {
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
        for (std::size_t k = 0; k < views_.size(); ++k) place(key(views_[k]), static_cast<std::uint32_t>(k + 1));
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::deque<std::string> texts_;  // stable addresses for the views
    std::vector<std::string_view> views_;
};

}  // namespace morvane::profile
