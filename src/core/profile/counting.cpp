#include "core/profile/counting.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "core/common/edge_bins.hpp"
#include "core/profile/text_index.hpp"

namespace morvane::profile {

namespace {

// The numeric chunks through the binning kernel: slots 0..E are the bins, E + 1 the
// missing values (NaN here, nulls added by the caller).
template <class T>
void count_chunk(const Chunk& ch, const EdgeBins& bins, std::uint32_t missing_slot, std::uint64_t* tally) {
    const std::uint8_t* base = ch.data + ch.offset * ch.stride;
    if constexpr (std::is_same_v<T, double>) {
        if (!ch.validity && !ch.swap && ch.stride == static_cast<std::int64_t>(sizeof(T)) &&
            reinterpret_cast<std::uintptr_t>(base) % alignof(T) == 0) {
            bins.count(reinterpret_cast<const double*>(base), static_cast<std::size_t>(ch.length), tally);
            return;
        }
    }
    // Any other layout: converted to doubles a block at a time.
    constexpr std::int64_t BLOCK = 1024;
    double values[BLOCK];
    std::uint32_t slots[BLOCK];
    for (std::int64_t start = 0; start < ch.length; start += BLOCK) {
        const std::int64_t len = std::min(BLOCK, ch.length - start);
        if (!ch.swap && ch.stride == static_cast<std::int64_t>(sizeof(T))) {
            for (std::int64_t j = 0; j < len; ++j) values[j] = static_cast<double>(load<T>(base + (start + j) * ch.stride, false));
        } else {
            for (std::int64_t j = 0; j < len; ++j) values[j] = static_cast<double>(load<T>(base + (start + j) * ch.stride, ch.swap));
        }
        bins.slots(values, static_cast<std::size_t>(len), slots);
        // Arrow nulls: whatever their slot holds, they are missing.
        if (ch.validity) {
            for (std::int64_t j = 0; j < len; ++j)
                if (!ch.valid(start + j)) slots[j] = missing_slot;
        }
        for (std::int64_t j = 0; j < len; ++j) ++tally[slots[j]];
    }
}

// Arrow strings straight from their offsets: one key and one probe a row, the counts
// through a local pointer (a store through the vector would make every row reload it).
template <class O>
void count_strings(const Chunk& ch, const TextIndex& index, std::size_t other, std::int64_t* counts, std::int64_t& missing) {
    const O* off = reinterpret_cast<const O*>(ch.data) + ch.offset;
    O end;  // eight bytes from a text that starts before end - 8 are inside the chunk's bytes
    std::memcpy(&end, off + ch.length, sizeof end);
    std::int64_t nulls = 0;
    for (std::int64_t i = 0; i < ch.length; ++i) {
        if (ch.validity && !ch.valid(i)) { ++nulls; continue; }
        O a, b;
        std::memcpy(&a, off + i, sizeof a);
        std::memcpy(&b, off + i + 1, sizeof b);
        const std::string_view text(ch.chars + a, static_cast<std::size_t>(b - a));
        const std::size_t j = index.find(TextIndex::key(text, a <= end - 8), text);
        ++counts[j == TextIndex::NONE ? other : j];
    }
    missing += nulls;
}

}  // namespace

FeatureCounts count_continuous(const Column& c, std::span<const double> edges) {
    FeatureCounts out;
    out.counts.assign(edges.size() + 1, 0);
    // No edges: every present value is in the one bin (+inf, above no value, is moved
    // there after counting).
    const double none = std::numeric_limits<double>::infinity();
    const std::span<const double> e = edges.empty() ? std::span<const double>(&none, 1) : edges;
    const auto missing_slot = static_cast<std::uint32_t>(e.size() + 1);
    const EdgeBins bins(e, missing_slot, static_cast<std::uint32_t>(edges.size()));
    std::vector<std::uint64_t> tally(e.size() + 2, 0);
    for (const Chunk& ch : c.chunks) {
        if (ch.phys == Phys::Null) { tally[missing_slot] += static_cast<std::uint64_t>(ch.length); continue; }
        if (ch.is_numeric() && !ch.dictionary) {
            dispatch_numeric(ch.phys, [&](auto tag) { count_chunk<decltype(tag)>(ch, bins, missing_slot, tally.data()); });
            continue;
        }
        for (std::int64_t i = 0; i < ch.length; ++i)
            ++tally[ch.valid(i) && ch.is_bool() ? bins.slot(ch.number(i)) : missing_slot];
    }
    if (edges.empty()) tally[0] += std::exchange(tally[1], 0);
    for (std::size_t b = 0; b < out.counts.size(); ++b) out.counts[b] = static_cast<std::int64_t>(tally[b]);
    out.missing = static_cast<std::int64_t>(tally[missing_slot]);
    return out;
}

FeatureCounts count_categorical(const Column& c, std::span<const std::string> categories) {
    FeatureCounts out;
    const std::size_t k = categories.size();
    out.counts.assign(k + 1, 0);
    const TextIndex index(categories);
    auto slot = [&](std::string_view key) {
        const std::size_t i = index.find(key);
        return i == TextIndex::NONE ? k : i;
    };
    std::string scratch;
    for (const Chunk& ch : c.chunks) {
        if (ch.phys == Phys::Null) { out.missing += ch.length; continue; }
        if (ch.dictionary || ch.is_bool()) {
            // Dictionaries and booleans: each distinct code is looked up once.
            const Chunk& d = ch.dictionary ? *ch.dictionary : ch;
            std::vector<std::int64_t> code_slot;
            if (ch.dictionary) {
                code_slot.resize(static_cast<std::size_t>(d.length));
                for (std::int64_t j = 0; j < d.length; ++j) {
                    bool missing;
                    const std::string_view key = category_key(d, j, scratch, missing);
                    code_slot[static_cast<std::size_t>(j)] = missing ? -1 : static_cast<std::int64_t>(slot(key));
                }
            } else {
                code_slot = {static_cast<std::int64_t>(slot("False")), static_cast<std::int64_t>(slot("True"))};
            }
            const auto n_codes = static_cast<std::int64_t>(code_slot.size());
            const std::int64_t* slots = code_slot.data();
            std::int64_t* counts = out.counts.data();
            std::int64_t missing = 0;
            for_each_code(ch, [&](std::int64_t code) {
                const std::int64_t s = code >= 0 && code < n_codes ? slots[code] : -1;
                if (s < 0) ++missing;
                else ++counts[s];
            });
            out.missing += missing;
            continue;
        }
        if (ch.length == 0) continue;  // an empty chunk may come without any buffer
        if (ch.phys == Phys::Utf8 || ch.phys == Phys::LargeUtf8) {
            if (ch.phys == Phys::Utf8) count_strings<std::int32_t>(ch, index, k, out.counts.data(), out.missing);
            else count_strings<std::int64_t>(ch, index, k, out.counts.data(), out.missing);
            continue;
        }
        visit_keys(ch, scratch, [&](std::int64_t, std::string_view text, bool) { ++out.counts[slot(text)]; },
                   [&](std::int64_t) { ++out.missing; });
    }
    return out;
}

}  // namespace morvane::profile
