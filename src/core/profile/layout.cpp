#include "core/profile/layout.hpp"

#include <algorithm>
#include <unordered_set>

namespace morvane::profile {

std::vector<double> present_values(const Column& c) {
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(c.length));
    for (const Chunk& ch : c.chunks) {
        if (!ch.is_numeric() && !ch.is_bool()) continue;
        for (std::int64_t i = 0; i < ch.length; ++i) {
            if (!ch.valid(i)) continue;
            const double v = ch.number(i);
            if (!std::isnan(v)) out.push_back(v);
        }
    }
    return out;
}

std::vector<double> quantile_edges(const Column& c, std::int64_t n_bins) {
    std::vector<double> v = present_values(c);
    const auto m = static_cast<std::int64_t>(v.size());
    std::vector<double> edges;
    if (m == 0 || n_bins < 2) return edges;
    // Successive selections over the shrinking tail: ranks ascend, so each one only
    // searches what lies right of the previous.
    std::int64_t from = 0;
    for (std::int64_t k = 1; k < n_bins; ++k) {
        const auto r = static_cast<std::int64_t>((static_cast<unsigned __int128>(k) * static_cast<unsigned __int128>(m)) /
                                                 static_cast<unsigned __int128>(n_bins));
        std::nth_element(v.begin() + from, v.begin() + r, v.end());
        const double e = v[static_cast<std::size_t>(r)];
        if (edges.empty() || e > edges.back()) edges.push_back(e);
        from = r;
    }
    return edges;
}

std::vector<double> rule_edges(const Column& c, QuantileType rule) {
    std::vector<double> v = present_values(c);
    if (v.empty()) return {};
    auto bins = BaselineContinuousBins::make(v, rule);
    if (!bins) return {*std::min_element(v.begin(), v.end())};
    return bins->bin_edges();
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
