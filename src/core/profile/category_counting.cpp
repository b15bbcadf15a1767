// Counting a categorical feature on its layout's categories: Arrow text from its offsets
// through the collision-free category table, dictionaries and booleans by their codes.
#include <cstring>

#include "core/profile/category_table.hpp"
#include "core/profile/counting.hpp"
#include "core/profile/text_index.hpp"
#include "core/profile/text_rows.hpp"

namespace morvane::profile {

namespace {

// Categories the table cannot hold (hundreds of them): the probing index instead.
struct IndexLookup {
    const TextIndex& index;
    std::size_t other;
    const IndexLookup& probe() const { return *this; }
    std::size_t find(const char* p, std::uint64_t n, bool overread) const {
        const std::string_view text(p, n);
        const std::size_t j = index.find(TextIndex::key(text, overread), text);
        return j == TextIndex::NONE ? other : j;
    }
};

// Dictionary indices of one integer width: an index outside the dictionary, or a null
// row, goes to slot `n_codes`. Lanes as in text_rows.hpp, or one lane for a large dictionary.
template <class T, bool VALIDITY>
void tally_indices(const Chunk& ch, std::uint64_t n_codes, std::int64_t* tally, std::size_t lanes) {
    const std::uint8_t* const base = ch.data + ch.offset * ch.stride;
    const std::uint8_t* const validity = ch.validity;
    const std::int64_t n_rows = ch.length, stride = ch.stride, bit0 = ch.offset;
    const std::size_t lane_mask = lanes - 1;
    auto run = [&](auto swap) {
        for (std::int64_t i = 0; i < n_rows; ++i) {
            // Negative indices wrap to huge unsigned values, which the clamp sends to n_codes.
            std::uint64_t code = static_cast<std::uint64_t>(load<T>(base + i * stride, decltype(swap)::value));
            code = code < n_codes ? code : n_codes;
            if constexpr (VALIDITY) {
                const std::int64_t bit = bit0 + i;
                code = (validity[bit >> 3] >> (bit & 7)) & 1 ? code : n_codes;
            }
            ++tally[code * lanes + (static_cast<std::size_t>(i) & lane_mask)];
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
                    if constexpr (std::is_floating_point_v<T>) tally[n_codes * lanes] += ch.length;
                    else if (ch.validity) tally_indices<T, true>(ch, n_codes, tally.data(), lanes);
                    else tally_indices<T, false>(ch, n_codes, tally.data(), lanes);
                });
            } else {
                for_each_code(ch, [&](std::int64_t code) { ++tally[(code < 0 ? n_codes : static_cast<std::size_t>(code)) * lanes]; });
            }
            for (std::size_t j = 0; j < width; ++j)
                for (std::size_t l = 1; l < lanes; ++l) tally[j * lanes] += tally[j * lanes + l];
            out.missing += tally[n_codes * lanes];
            for (std::size_t j = 0; j < n_codes; ++j) {
                const std::int64_t t = tally[j * lanes];
                if (t == 0) continue;
                bool missing = false;
                const std::string_view key = ch.dictionary ? category_key(*ch.dictionary, static_cast<std::int64_t>(j), scratch, missing)
                                                           : std::string_view(j ? "True" : "False");
                if (missing) out.missing += t;
                else out.counts[lookup.probe().find(key.data(), key.size(), false)] += t;
            }
            continue;
        }
        if (ch.length == 0) continue;  // an empty chunk may come without any buffer
        if (ch.phys == Phys::Utf8 || ch.phys == Phys::LargeUtf8) {
            tally.assign(LANES * (k + 2), 0);
            const bool large = ch.phys == Phys::LargeUtf8;
            const auto probe = lookup.probe();
            if (ch.validity) {
                if (large) tally_text_rows<std::int64_t, true, false>(ch, probe, tally.data(), k + 1, 0);
                else tally_text_rows<std::int32_t, true, false>(ch, probe, tally.data(), k + 1, 0);
            } else {
                if (large) tally_text_rows<std::int64_t, false, false>(ch, probe, tally.data(), k + 1, 0);
                else tally_text_rows<std::int32_t, false, false>(ch, probe, tally.data(), k + 1, 0);
            }
            for (std::size_t l = 0; l < LANES; ++l) {
                for (std::size_t j = 0; j <= k; ++j) out.counts[j] += tally[j * LANES + l];
                out.missing += tally[(k + 1) * LANES + l];
            }
            continue;
        }
        visit_keys(ch, scratch, [&](std::int64_t, std::string_view text, bool overread) {
            ++out.counts[lookup.probe().find(text.data(), text.size(), overread)];
        }, [&](std::int64_t) { ++out.missing; });
    }
    return out;
}

}  // namespace

FeatureCounts count_categorical(const Column& c, std::span<const std::string> categories) {
    const std::vector<std::string_view> texts(categories.begin(), categories.end());
    const CategoryTable table(texts);
    if (table.ok()) return count_with(c, table, categories.size());
    const TextIndex index(categories);
    return count_with(c, IndexLookup{index, categories.size()}, categories.size());
}

}  // namespace morvane::profile
