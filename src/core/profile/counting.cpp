#include "core/profile/counting.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "core/common/edge_bins.hpp"
#include "core/profile/present_values.hpp"

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
    std::int64_t present;
    value_range<false>(c, out.low, out.high, present);
    out.low += 0.0;
    out.high += 0.0;
    return out;
}

}  // namespace morvane::profile
