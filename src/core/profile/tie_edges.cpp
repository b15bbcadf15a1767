#include "core/profile/tie_edges.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace morvane::profile {

namespace {

std::int64_t rank_at(std::int64_t j, std::int64_t m, std::int64_t parts) {
    return static_cast<std::int64_t>((static_cast<unsigned __int128>(j) * static_cast<unsigned __int128>(m)) /
                                     static_cast<unsigned __int128>(parts));
}

}  // namespace

std::vector<std::int64_t> layout_ranks(std::int64_t m, std::int64_t n_bins) {
    std::vector<std::int64_t> ranks;
    if (m <= 0 || n_bins < 1) return ranks;
    const std::int64_t parts = FINE * n_bins;
    for (std::int64_t j = 0; j < parts; ++j) {
        const std::int64_t r = rank_at(j, m, parts);
        if (ranks.empty() || r > ranks.back()) ranks.push_back(r);
    }
    if (ranks.back() < m - 1) ranks.push_back(m - 1);
    return ranks;
}

std::vector<TieEdge> tie_aware_edges(std::int64_t m, std::int64_t n_bins, const std::vector<double>& values) {
    const std::vector<std::int64_t> ranks = layout_ranks(m, n_bins);
    if (values.size() != ranks.size()) throw std::invalid_argument("one value per layout rank");
    std::vector<TieEdge> out;
    if (ranks.empty()) return out;
    const double inf = std::numeric_limits<double>::infinity();
    auto after = [&](double v) {
        // The double after the least negative subnormal is -0.0: edges carry +0.0 only.
        if (v < inf) out.push_back({std::nextafter(v, inf) + 0.0, v, true});
    };
    const double lo = values.front() + 0.0, hi = values.back() + 0.0;
    out.push_back({lo, lo, false});
    after(hi);
    // The quantile ranks are among the fine ranks: j = FINE·k.
    const std::int64_t parts = FINE * n_bins;
    for (std::int64_t k = 1; k < n_bins; ++k) {
        const std::int64_t r = rank_at(FINE * k, m, parts);
        const auto at = std::lower_bound(ranks.begin(), ranks.end(), r) - ranks.begin();
        const double v = values[static_cast<std::size_t>(at)] + 0.0;
        out.push_back({v, v, false});
    }
    for (std::size_t i = 0; i + 1 < values.size(); ++i) {
        const double v = values[i] + 0.0;
        if (v == values[i + 1] + 0.0 && (i == 0 || v != values[i - 1] + 0.0)) {
            out.push_back({v, v, false});
            after(v);
        }
    }
    std::sort(out.begin(), out.end(), [](const TieEdge& a, const TieEdge& b) { return a.edge < b.edge; });
    out.erase(std::unique(out.begin(), out.end(), [](const TieEdge& a, const TieEdge& b) { return a.edge == b.edge; }),
              out.end());
    return out;
}

}  // namespace morvane::profile
