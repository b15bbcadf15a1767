#include "core/profile/counting.hpp"

#include <algorithm>
#include <limits>
#include <unordered_map>

namespace morvane::profile {

namespace {

// Branch-free search for up to 15 edges: the edges padded with +inf to 2^s − 1 entries,
// s halving steps, and a clamp for +inf itself (which would pass the padding).
struct SmallEdges {
    double e[16];
    int steps = 0;
    std::size_t n = 0;

    explicit SmallEdges(std::span<const double> edges) : n(edges.size()) {
        std::size_t size = 1;
        while (size - 1 < edges.size()) { size *= 2; ++steps; }
        std::fill(e, e + 16, std::numeric_limits<double>::infinity());
        std::copy(edges.begin(), edges.end(), e);
    }
    std::size_t bin(double v) const {
        std::size_t b = 0;
        for (int s = steps - 1; s >= 0; --s) {
            const std::size_t step = std::size_t{1} << s;
            b += (v >= e[b + step - 1]) ? step : 0;
        }
        return std::min(b, n);
    }
};

struct LargeEdges {
    std::span<const double> e;
    std::size_t n = e.size();
    std::size_t bin(double v) const { return static_cast<std::size_t>(std::upper_bound(e.begin(), e.end(), v) - e.begin()); }
};

// One loop per value type and search; the contiguous, all-valid, native-order case is
// the branch that runs on ordinary NumPy and Arrow columns.
template <class T, class Search>
void count_chunk(const Chunk& ch, const Search& search, std::int64_t* counts, std::int64_t& missing) {
    const std::uint8_t* base = ch.data + ch.offset * ch.stride;
    if (!ch.validity && !ch.swap && ch.stride == static_cast<std::int64_t>(sizeof(T))) {
        const T* x = reinterpret_cast<const T*>(base);
        if (reinterpret_cast<std::uintptr_t>(x) % alignof(T) == 0) {
            // Four interleaved tallies: consecutive values landing in one bin would
            // otherwise wait on each other's increment. Slot `nan_slot` takes NaN.
            constexpr std::size_t LANES = 4, WIDTH = 24;
            const std::size_t n_counts = search.n + 1;
            if (n_counts < WIDTH) {
                std::int64_t tally[LANES][WIDTH] = {};
                const std::size_t nan_slot = WIDTH - 1;
                std::int64_t i = 0;
                auto slot = [&](double v) { return v != v ? nan_slot : search.bin(v); };
                for (; i + 4 <= ch.length; i += 4) {
                    ++tally[0][slot(static_cast<double>(x[i]))];
                    ++tally[1][slot(static_cast<double>(x[i + 1]))];
                    ++tally[2][slot(static_cast<double>(x[i + 2]))];
                    ++tally[3][slot(static_cast<double>(x[i + 3]))];
                }
                for (; i < ch.length; ++i) ++tally[0][slot(static_cast<double>(x[i]))];
                for (std::size_t l = 0; l < LANES; ++l) {
                    for (std::size_t b = 0; b < n_counts; ++b) counts[b] += tally[l][b];
                    missing += tally[l][nan_slot];
                }
                return;
            }
            std::int64_t nan = 0;
            for (std::int64_t i = 0; i < ch.length; ++i) {
                const double v = static_cast<double>(x[i]);
                if constexpr (std::is_floating_point_v<T>) {
                    if (v != v) { ++nan; continue; }
                }
                ++counts[search.bin(v)];
            }
            missing += nan;
            return;
        }
    }
    for (std::int64_t i = 0; i < ch.length; ++i) {
        if (!ch.valid(i)) { ++missing; continue; }
        const double v = static_cast<double>(load<T>(base + i * ch.stride, ch.swap));
        if (v != v) { ++missing; continue; }
        ++counts[search.bin(v)];
    }
}

template <class Search>
void count_column(const Column& c, const Search& search, FeatureCounts& out) {
    for (const Chunk& ch : c.chunks) {
        if (ch.phys == Phys::Null) { out.missing += ch.length; continue; }
        if (ch.is_numeric() && !ch.dictionary) {
            dispatch_numeric(ch.phys, [&](auto tag) { count_chunk<decltype(tag)>(ch, search, out.counts.data(), out.missing); });
            continue;
        }
        for (std::int64_t i = 0; i < ch.length; ++i) {
            const double v = ch.valid(i) && ch.is_bool() ? ch.number(i) : std::nan("");
            if (v != v) ++out.missing;
            else ++out.counts[search.bin(v)];
        }
    }
}

struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

}  // namespace

FeatureCounts count_continuous(const Column& c, std::span<const double> edges) {
    FeatureCounts out;
    out.counts.assign(edges.size() + 1, 0);
    if (edges.size() <= 15) count_column(c, SmallEdges(edges), out);
    else count_column(c, LargeEdges{edges}, out);
    return out;
}

FeatureCounts count_categorical(const Column& c, std::span<const std::string> categories) {
    FeatureCounts out;
    const std::size_t k = categories.size();
    out.counts.assign(k + 1, 0);
    std::unordered_map<std::string, std::size_t, KeyHash, std::equal_to<>> index;
    index.reserve(k * 2);
    for (std::size_t i = 0; i < k; ++i) index.emplace(categories[i], i);
    auto slot = [&](std::string_view key) {
        const auto it = index.find(key);
        return it == index.end() ? k : it->second;
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
            for (std::int64_t i = 0; i < ch.length; ++i) {
                if (!ch.valid(i)) { ++out.missing; continue; }
                const std::int64_t code = ch.dictionary ? ch.index(i) : static_cast<std::int64_t>(ch.number(i) != 0.0);
                const std::int64_t s = code >= 0 && code < n_codes ? code_slot[static_cast<std::size_t>(code)] : -1;
                if (s < 0) ++out.missing;
                else ++out.counts[static_cast<std::size_t>(s)];
            }
            continue;
        }
        std::string_view last;
        std::size_t last_slot = 0;
        bool have_last = false;
        for (std::int64_t i = 0; i < ch.length; ++i) {
            bool missing;
            const std::string_view key = category_key(ch, i, scratch, missing);
            if (missing) { ++out.missing; continue; }
            if (!(have_last && key == last)) {
                last_slot = slot(key);
                // Remember the key only when it lives in the column (not in the scratch text).
                have_last = ch.is_string();
                last = key;
            }
            ++out.counts[last_slot];
        }
    }
    return out;
}

}  // namespace morvane::profile
