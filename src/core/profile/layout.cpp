#include "core/profile/layout.hpp"

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <cstring>
#include <unordered_set>

namespace morvane::profile {

namespace {

// Calls f(v) for every present value (nulls and NaN skipped), with a tight loop for the
// contiguous, all-valid, native-order case.
template <class F>
void for_each_present(const Column& c, F&& f) {
    for (const Chunk& ch : c.chunks) {
        if (ch.dictionary || !(ch.is_numeric() || ch.is_bool())) continue;
        if (ch.is_bool()) {
            for (std::int64_t i = 0; i < ch.length; ++i)
                if (ch.valid(i)) f(ch.number(i));
            continue;
        }
        dispatch_numeric(ch.phys, [&](auto tag) {
            using T = decltype(tag);
            const std::uint8_t* base = ch.data + ch.offset * ch.stride;
            if (!ch.validity && !ch.swap && ch.stride == static_cast<std::int64_t>(sizeof(T)) &&
                reinterpret_cast<std::uintptr_t>(base) % alignof(T) == 0) {
                const T* x = reinterpret_cast<const T*>(base);
                for (std::int64_t i = 0; i < ch.length; ++i) {
                    const double v = static_cast<double>(x[i]);
                    if (v == v) f(v);
                }
                return;
            }
            for (std::int64_t i = 0; i < ch.length; ++i) {
                if (!ch.valid(i)) continue;
                const double v = static_cast<double>(load<T>(base + i * ch.stride, ch.swap));
                if (v == v) f(v);
            }
        });
    }
}

// An unsigned key with the order of the doubles (-0.0 just below +0.0).
inline std::uint64_t order_key(double v) {
    std::uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    constexpr std::uint64_t SIGN = std::uint64_t{1} << 63;
    return (u & SIGN) ? ~u : (u | SIGN);
}

}  // namespace

// Exact order statistics without copying or sorting the column: one pass counts the
// values per bucket of their top 16 key bits, which places every wanted rank in a
// bucket; a second pass gathers only those buckets, and a selection inside each gives
// the exact values.
std::vector<double> order_statistics(const Column& c, bool finite_only,
                                     const std::function<std::vector<std::int64_t>(std::int64_t)>& ranks_for) {
    constexpr int SHIFT = 48;
    constexpr std::size_t BUCKETS = std::size_t{1} << 16;
    auto keep = [finite_only](double v) { return !finite_only || std::isfinite(v); };
    std::vector<std::int64_t> hist(BUCKETS, 0);
    std::int64_t m = 0;
    for_each_present(c, [&](double v) {
        if (keep(v)) { ++hist[order_key(v) >> SHIFT]; ++m; }
    });
    const std::vector<std::int64_t> ranks = ranks_for(m);
    std::vector<double> out;
    if (ranks.empty()) return out;
    // Each rank's bucket and its rank inside the bucket (ranks ascend, so one walk).
    std::vector<std::int32_t> slot(BUCKETS, -1);
    std::vector<std::size_t> slot_bucket;
    std::vector<std::pair<std::size_t, std::int64_t>> where;  // (slot, rank in bucket)
    std::size_t b = 0;
    std::int64_t below = 0;
    for (std::int64_t r : ranks) {
        if (r < 0 || r >= m) throw std::out_of_range("order statistic rank");
        while (below + hist[b] <= r) below += hist[b++];
        if (slot[b] < 0) {
            slot[b] = static_cast<std::int32_t>(slot_bucket.size());
            slot_bucket.push_back(b);
        }
        where.emplace_back(static_cast<std::size_t>(slot[b]), r - below);
    }
    std::vector<std::vector<double>> gathered(slot_bucket.size());
    for (std::size_t s = 0; s < slot_bucket.size(); ++s) gathered[s].reserve(static_cast<std::size_t>(hist[slot_bucket[s]]));
    for_each_present(c, [&](double v) {
        if (!keep(v)) return;
        const std::int32_t s = slot[order_key(v) >> SHIFT];
        if (s >= 0) gathered[static_cast<std::size_t>(s)].push_back(v);
    });
    std::vector<std::int64_t> from(slot_bucket.size(), 0);
    for (const auto& [s, r] : where) {
        auto& g = gathered[s];
        std::nth_element(g.begin() + from[s], g.begin() + r, g.end());
        from[s] = r;
        out.push_back(g[static_cast<std::size_t>(r)] + 0.0);  // -0.0 and +0.0 read as one value
    }
    return out;
}

std::vector<double> quantile_edges(const Column& c, std::int64_t n_bins) {
    const std::vector<double> values = order_statistics(c, false, [n_bins](std::int64_t m) {
        std::vector<std::int64_t> ranks;
        if (m == 0) return ranks;
        for (std::int64_t k = 1; k < n_bins; ++k)
            ranks.push_back(static_cast<std::int64_t>((static_cast<unsigned __int128>(k) * static_cast<unsigned __int128>(m)) /
                                                      static_cast<unsigned __int128>(n_bins)));
        return ranks;
    });
    std::vector<double> edges;
    for (double e : values)
        if (edges.empty() || e > edges.back()) edges.push_back(e);
    return edges;
}

RuleSummary rule_summary(const Column& c) {
    RuleSummary s;
    for_each_present(c, [&](double v) {
        if (!std::isfinite(v)) return;
        if (s.n == 0 || v < s.min) s.min = v;
        if (s.n == 0 || v > s.max) s.max = v;
        ++s.n;
        s.sum.add(v);
        s.sum_sq.add(v * v);
    });
    const std::vector<double> q = order_statistics(c, true, [](std::int64_t m) {
        std::vector<std::int64_t> ranks;
        if (m == 0) return ranks;
        const double n = static_cast<double>(m);
        // The ranks the fixed module's Freedman-Diaconis rule reads.
        ranks.push_back(static_cast<std::int64_t>(std::floor(0.25 * n)));
        ranks.push_back(std::min<std::int64_t>(static_cast<std::int64_t>(std::floor(0.75 * n)), m - 1));
        return ranks;
    });
    if (q.size() == 2) { s.q1 = q[0]; s.q3 = q[1]; }
    return s;
}

std::vector<std::string> distinct_categories(const Column& c) {
    std::unordered_set<std::string> seen;
    std::string scratch;
    for (const Chunk& ch : c.chunks) {
        // A dictionary is read once; only the entries that occur count.
        if (ch.dictionary) {
            std::vector<char> used(static_cast<std::size_t>(ch.dictionary->length), 0);
            for (std::int64_t i = 0; i < ch.length; ++i) {
                if (!ch.valid(i)) continue;
                const std::int64_t k = ch.index(i);
                if (k >= 0 && k < ch.dictionary->length) used[static_cast<std::size_t>(k)] = 1;
            }
            for (std::int64_t k = 0; k < ch.dictionary->length; ++k) {
                bool missing;
                if (!used[static_cast<std::size_t>(k)]) continue;
                const std::string_view key = category_key(*ch.dictionary, k, scratch, missing);
                if (!missing) seen.emplace(key);
            }
            continue;
        }
        std::string_view last;
        bool have_last = false;
        for (std::int64_t i = 0; i < ch.length; ++i) {
            bool missing;
            const std::string_view key = category_key(ch, i, scratch, missing);
            if (missing) continue;
            // Runs of one value skip the hash (sorted or low-cardinality columns).
            if (have_last && key == last) continue;
            auto it = seen.emplace(key).first;
            last = *it;
            have_last = true;
        }
    }
    std::vector<std::string> out(seen.begin(), seen.end());
    std::sort(out.begin(), out.end());  // std::string compares as unsigned bytes
    return out;
}

}  // namespace morvane::profile
