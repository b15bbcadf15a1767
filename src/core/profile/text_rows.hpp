// The walk over Arrow text rows that counting and gathering categories share: each row's
// slot from a probe (a category table, or the probing index), tallied in four interleaved
// lanes (slot j of lane l at 4j + l, row i in lane i mod 4) so that a run of one value does
// not wait on its own increments.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/profile/column.hpp"

namespace morvane::profile {

inline constexpr std::size_t LANES = 4;

// Tallies rows [from, length) of a Utf8 (O = int32) or LargeUtf8 (O = int64) chunk; a null
// row goes to slot `missing`. With STOP_AT_OTHER, the walk stops at the first present row
// whose slot is probe.other (left untallied) and returns its index; otherwise it tallies
// every row and returns the length. Every field the loop reads is a local, so the stores
// to the tally never force a reload.
template <class O, bool VALIDITY, bool STOP_AT_OTHER, class Probe>
std::int64_t tally_text_rows(const Chunk& ch, const Probe& probe, std::int64_t* tally, std::size_t missing, std::int64_t from) {
    const O* const off = reinterpret_cast<const O*>(ch.data) + ch.offset;
    const char* const chars = ch.chars;
    const std::uint8_t* const validity = ch.validity;
    const std::int64_t n_rows = ch.length, bit0 = ch.offset;
    O a, end;  // eight bytes from a text that starts before end - 8 are inside the chunk's bytes
    std::memcpy(&a, off + from, sizeof a);
    std::memcpy(&end, off + n_rows, sizeof end);
    for (std::int64_t i = from; i < n_rows; ++i) {
        O b;
        std::memcpy(&b, off + i + 1, sizeof b);
        std::size_t j = probe.find(chars + a, static_cast<std::uint64_t>(b - a), a <= end - 8);
        if constexpr (VALIDITY) {
            const std::int64_t bit = bit0 + i;
            j = (validity[bit >> 3] >> (bit & 7)) & 1 ? j : missing;
        }
        if constexpr (STOP_AT_OTHER) {
            if (j == probe.other) [[unlikely]] return i;
        }
        ++tally[j * LANES + static_cast<std::size_t>(i & (LANES - 1))];
        a = b;
    }
    return n_rows;
}

}  // namespace morvane::profile
