#include "core/profile/unicode_texts.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "core/common/utf8.hpp"

namespace morvane::profile {

namespace {

std::uint64_t load(const std::uint8_t* p, std::size_t n) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, n);
    return w;
}

std::uint64_t fold(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

// A hash of one element's raw bytes: one multiply per 16 bytes, each with its own salt
// and none waiting on another, then one to mix them.
inline std::uint64_t element_hash(const std::uint8_t* p, std::size_t width) {
    std::uint64_t h = width, salt = 0xA0761D6478BD642Full;
    std::size_t i = 0;
    for (; i + 16 <= width; i += 16, salt += 0x9E3779B97F4A7C15ull) h ^= fold(load(p + i, 8) ^ salt, load(p + i + 8, 8) ^ 0xE7037ED1A0B428DBull);
    if (i < width) {  // 4, 8 or 12 bytes left
        const std::size_t left = width - i;
        const std::uint64_t a = load(p + i, left >= 8 ? 8 : 4), b = left == 12 ? load(p + i + 8, 4) : 0;
        h ^= fold(a ^ salt, b ^ 0x8EBC6AF09C88C6E3ull);
    }
    return fold(h ^ 0x589965CC75374CC3ull, 0x1D8E4E27C47D124Full);
}

inline bool same_element(const std::uint8_t* a, const std::uint8_t* b, std::size_t width) {
    std::uint64_t differ = 0;
    std::size_t i = 0;
    for (; i + 8 <= width; i += 8) differ |= load(a + i, 8) ^ load(b + i, 8);
    if (i < width) differ |= load(a + i, 4) ^ load(b + i, 4);
    return differ == 0;
}

// One element as UTF-8, trailing NUL code points dropped; false for a code point UTF-8
// cannot carry.
bool append_utf8(const std::uint8_t* p, std::size_t n_points, bool swap, std::string& out) {
    auto point = [&](std::size_t k) {
        std::uint32_t u;
        std::memcpy(&u, p + 4 * k, 4);
        return swap ? std::byteswap(u) : u;
    };
    while (n_points > 0 && point(n_points - 1) == 0) --n_points;
    for (std::size_t k = 0; k < n_points; ++k) {
        const std::uint32_t u = point(k);
        if ((u >= 0xD800 && u <= 0xDFFF) || u > 0x10FFFF) return false;
        morvane::append_utf8(out, static_cast<char32_t>(u));
    }
    return true;
}

// The rows to codes. WIDTH is the element size when it is a compile-time constant (the
// hash and compare then unroll into a few loads), 0 for any other size.
template <std::size_t WIDTH>
void encode_rows(const std::uint8_t* data, std::int64_t length, std::int64_t stride, std::size_t width,
                 std::vector<std::int32_t>& codes, std::vector<const std::uint8_t*>& first) {
    const std::size_t w = WIDTH ? WIDTH : width;
    // Open addressing over (hash, code) pairs, at most an eighth full so that a row almost
    // always settles on its first slot; each code keeps the first row that had it.
    struct Slot {
        std::uint64_t hash = 0;
        std::int32_t code = -1;
    };
    std::vector<Slot> table(256);
    std::size_t mask = table.size() - 1;
    for (std::int64_t i = 0; i < length; ++i) {
        const std::uint8_t* p = data + i * stride;
        const std::uint64_t h = element_hash(p, w);
        std::size_t s = h & mask;
        while (table[s].code >= 0 && !(table[s].hash == h && same_element(first[static_cast<std::size_t>(table[s].code)], p, w)))
            s = (s + 1) & mask;
        std::int32_t code = table[s].code;
        if (code < 0) {
            code = static_cast<std::int32_t>(first.size());
            first.push_back(p);
            table[s] = Slot{h, code};
            if (first.size() * 8 > table.size()) {
                std::vector<Slot> old(table.size() * 2);
                old.swap(table);
                mask = table.size() - 1;
                for (const Slot& o : old) {
                    if (o.code < 0) continue;
                    std::size_t t = o.hash & mask;
                    while (table[t].code >= 0) t = (t + 1) & mask;
                    table[t] = o;
                }
            }
        }
        codes[static_cast<std::size_t>(i)] = code;
    }
}

template <std::size_t... Ks>
void encode_dispatch(const std::uint8_t* data, std::int64_t length, std::int64_t stride, std::size_t width,
                     std::vector<std::int32_t>& codes, std::vector<const std::uint8_t*>& first, std::index_sequence<Ks...>) {
    // Elements of 4 to 64 bytes (1 to 16 code points) get their own loop.
    const bool fixed = ((width == 4 * (Ks + 1) ? (encode_rows<4 * (Ks + 1)>(data, length, stride, width, codes, first), true) : false) || ...);
    if (!fixed) encode_rows<0>(data, length, stride, width, codes, first);
}

}  // namespace

bool encode_ucs4(const std::uint8_t* data, std::int64_t length, std::int64_t stride, std::int64_t width, bool swap,
                 DictionaryTexts& out) {
    if (length < 0 || length > std::numeric_limits<std::int32_t>::max() || width < 0 || width % 4 != 0) return false;
    const auto w = static_cast<std::size_t>(width);
    out.codes.resize(static_cast<std::size_t>(length));
    std::vector<const std::uint8_t*> first;
    encode_dispatch(data, length, stride, w, out.codes, first, std::make_index_sequence<16>{});
    out.chars.clear();
    out.offsets.assign(1, 0);
    for (const std::uint8_t* p : first) {
        if (!append_utf8(p, w / 4, swap, out.chars)) return false;
        out.offsets.push_back(static_cast<std::int64_t>(out.chars.size()));
    }
    return true;
}

}  // namespace morvane::profile
