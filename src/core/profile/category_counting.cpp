// Counting a categorical feature on its layout's categories: Arrow text from its offsets
// through the collision-free category table, dictionaries and booleans by their codes.
#include <cstring>

#include "core/profile/category_table.hpp"
#include "core/profile/counting.hpp"
#include "core/profile/text_index.hpp"

namespace morvane::profile {

namespace {

// Categories the table cannot hold (hundreds of them): the probing index instead.
struct IndexLookup {
    const TextIndex& index;
    std::size_t other_slot;
    std::size_t other() const { return other_slot; }
    std::size_t find(const char* p, std::uint64_t n, bool overread) const {
        const std::string_view text(p, n);
        const std::size_t j = index.find(TextIndex::key(text, overread), text);
        return j == TextIndex::NONE ? other_slot : j;
    }
};

// Rows are tallied in four interleaved lanes (row i in lane i mod 4) of `width` slots,
// so a run of one value does not wait on its own increments; the lanes are summed at the end.
constexpr std::size_t LANES = 4;

// Arrow strings straight from their offsets: the slot of a null row is `width - 1`.
template <class O, bool VALIDITY, class Lookup>
void tally_offsets(const Chunk& ch, const Lookup& lookup, std::int64_t* tally, std::size_t width) {
    const O* off = reinterpret_cast<const O*>(ch.data) + ch.offset;
    O a, end;  // eight bytes from a text that starts before end - 8 are inside the chunk's bytes
    std::memcpy(&a, off, sizeof a);
    std::memcpy(&end, off + ch.length, sizeof end);
    for (std::int64_t i = 0; i < ch.length; ++i) {
        O b;
        std::memcpy(&b, off + i + 1, sizeof b);
        std::size_t j = lookup.find(ch.chars + a, static_cast<std::uint64_t>(b - a), a <= end - 8);
        if constexpr (VALIDITY) j = ch.valid(i) ? j : width - 1;
        ++tally[static_cast<std::size_t>(i & (LANES - 1)) * width + j];
        a = b;
    }
}

// Dictionary indices of one integer width: an index outside the dictionary, or a null
// row, goes to slot `n_codes`.
template <class T, bool VALIDITY>
void tally_indices(const Chunk& ch, std::uint64_t n_codes, std::int64_t* tally, std::size_t lanes) {
    const std::uint8_t* base = ch.data + ch.offset * ch.stride;
    const std::size_t width = n_codes + 1, lane_mask = lanes - 1;
    auto run = [&](auto swap) {
        for (std::int64_t i = 0; i < ch.length; ++i) {
            const T v = load<T>(base + i * ch.stride, decltype(swap)::value);
            // Negative indices wrap to huge unsigned values, which the clamp sends to n_codes.
            std::uint64_t code = static_cast<std::uint64_t>(v);
            code = code < n_codes ? code : n_codes;
            if constexpr (VALIDITY) code = ch.valid(i) ? code : n_codes;
            ++tally[(static_cast<std::size_t>(i) & lane_mask) * width + code];
        }
    };
    if (ch.swap) run(std::true_type{});
    else run(std::false_type{});
}

template <class Lookup>
FeatureCounts count_with(const Column& c, const Lookup& lookup, std::size_t k) {
    FeatureCounts out;
    out.counts.assign(k + 1, 0);
    std::string scratch;
    std::vector<std::int64_t> tally;
    for (const Chunk& ch : c.chunks) {
        if (ch.phys == Phys::Null) { out.missing += ch.length; continue; }
        if (ch.dictionary || ch.is_bool()) {
            // Codes first (dictionary indices, or 0/1), then each code that occurs is mapped
            // to its category once: no text work per row.
            const std::uint64_t n_codes = ch.dictionary ? static_cast<std::uint64_t>(ch.dictionary->length) : 2;
            const std::size_t width = n_codes + 1, lanes = n_codes < 4096 ? LANES : 1;
            tally.assign(lanes * width, 0);
            if (ch.dictionary) {
                dispatch_numeric(ch.phys, [&](auto tag) {
                    using T = decltype(tag);
                    if constexpr (std::is_floating_point_v<T>) tally[n_codes] += ch.length;
                    else if (ch.validity) tally_indices<T, true>(ch, n_codes, tally.data(), lanes);
                    else tally_indices<T, false>(ch, n_codes, tally.data(), lanes);
                });
            } else {
                for_each_code(ch, [&](std::int64_t code) { ++tally[code < 0 ? n_codes : static_cast<std::size_t>(code)]; });
            }
            for (std::size_t l = 1; l < lanes; ++l)
                for (std::size_t j = 0; j < width; ++j) tally[j] += tally[l * width + j];
            out.missing += tally[n_codes];
            for (std::size_t j = 0; j < n_codes; ++j) {
                if (tally[j] == 0) continue;
                bool missing = false;
                const std::string_view key = ch.dictionary ? category_key(*ch.dictionary, static_cast<std::int64_t>(j), scratch, missing)
                                                           : std::string_view(j ? "True" : "False");
                if (missing) out.missing += tally[j];
                else out.counts[lookup.find(key.data(), key.size(), false)] += tally[j];
            }
            continue;
        }
        if (ch.length == 0) continue;  // an empty chunk may come without any buffer
        if (ch.phys == Phys::Utf8 || ch.phys == Phys::LargeUtf8) {
            const std::size_t width = k + 2;
            tally.assign(LANES * width, 0);
            const bool large = ch.phys == Phys::LargeUtf8;
            if (ch.validity) {
                if (large) tally_offsets<std::int64_t, true>(ch, lookup, tally.data(), width);
                else tally_offsets<std::int32_t, true>(ch, lookup, tally.data(), width);
            } else {
                if (large) tally_offsets<std::int64_t, false>(ch, lookup, tally.data(), width);
                else tally_offsets<std::int32_t, false>(ch, lookup, tally.data(), width);
            }
            for (std::size_t l = 0; l < LANES; ++l) {
                for (std::size_t j = 0; j <= k; ++j) out.counts[j] += tally[l * width + j];
                out.missing += tally[l * width + k + 1];
            }
            continue;
        }
        visit_keys(ch, scratch, [&](std::int64_t, std::string_view text, bool overread) {
            ++out.counts[lookup.find(text.data(), text.size(), overread)];
        }, [&](std::int64_t) { ++out.missing; });
    }
    return out;
}

}  // namespace

FeatureCounts count_categorical(const Column& c, std::span<const std::string> categories) {
    const CategoryTable table(categories);
    if (table.ok()) return count_with(c, table, categories.size());
    const TextIndex index(categories);
    return count_with(c, IndexLookup{index, categories.size()}, categories.size());
}

}  // namespace morvane::profile
