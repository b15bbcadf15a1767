#include "core/profile/layout.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <stdexcept>
#include <cstring>
#include "core/profile/category_table.hpp"
#include "core/profile/present_values.hpp"
#include "core/profile/text_index.hpp"
#include "core/profile/text_rows.hpp"
#include "core/profile/tie_edges.hpp"

namespace morvane::profile {

namespace {

// Arrow strings straight from their offsets, rows [from, length): one key and one probe a
// row, a new text inserted on its first appearance, counted through a local pointer.
template <class O>
void gather_strings(const Chunk& ch, std::int64_t from, TextIndex& seen, std::vector<std::int64_t>& counts, std::int64_t& missing) {
    const O* off = reinterpret_cast<const O*>(ch.data) + ch.offset;
    O end;  // eight bytes from a text that starts before end - 8 are inside the chunk's bytes
    std::memcpy(&end, off + ch.length, sizeof end);
    counts.resize(seen.size(), 0);
    std::int64_t* tally = counts.data();
    for (std::int64_t i = from; i < ch.length; ++i) {
        if (ch.validity && !ch.valid(i)) { ++missing; continue; }
        O a, b;
        std::memcpy(&a, off + i, sizeof a);
        std::memcpy(&b, off + i + 1, sizeof b);
        const std::string_view text(ch.chars + a, static_cast<std::size_t>(b - a));
        const TextIndex::Key key = TextIndex::key(text, a <= end - 8);
        std::size_t j = seen.find(key, text);
        if (j == TextIndex::NONE) {
            j = seen.insert(key, text);
            counts.resize(seen.size(), 0);
            tally = counts.data();
        }
        ++tally[j];
    }
}

// The same through a category table of the texts seen so far, which counting's row walk
// reads without a branch on the values: the walk stops at a text outside the table (seen
// for the first time), which is inserted before the table is rebuilt and the walk resumes.
// Categories are few, so rebuilds are too; past what a table holds, the rows left go
// through gather_strings.
template <class O, bool VALIDITY>
void gather_strings_by_table(const Chunk& ch, TextIndex& seen, std::vector<std::int64_t>& counts, std::int64_t& missing) {
    std::vector<std::int64_t> tally;
    std::int64_t row = 0;
    while (row < ch.length) {
        const CategoryTable table(seen.texts());
        if (!table.ok()) break;
        const std::size_t k = seen.size();
        tally.assign(LANES * (k + 2), 0);
        const std::int64_t stop = tally_text_rows<O, VALIDITY, true>(ch, table.probe(), tally.data(), k + 1, row);
        counts.resize(k, 0);
        for (std::size_t j = 0; j < k + 2; ++j) {
            std::int64_t t = 0;
            for (std::size_t l = 0; l < LANES; ++l) t += tally[j * LANES + l];
            if (j < k) counts[j] += t;
            else missing += t;  // slot k ("other") is never tallied
        }
        if (stop == ch.length) return;
        O a, b, end;
        const O* off = reinterpret_cast<const O*>(ch.data) + ch.offset;
        std::memcpy(&a, off + stop, sizeof a);
        std::memcpy(&b, off + stop + 1, sizeof b);
        std::memcpy(&end, off + ch.length, sizeof end);
        const std::string_view text(ch.chars + a, static_cast<std::size_t>(b - a));
        const std::size_t j = seen.insert(TextIndex::key(text, a <= end - 8), text);
        counts.resize(seen.size(), 0);
        ++counts[j];
        row = stop + 1;
    }
    gather_strings<O>(ch, row, seen, counts, missing);
}

}  // namespace

RankSelection::RankSelection(const Column& c, bool finite_only,
                             const std::function<std::vector<std::int64_t>(std::int64_t)>& ranks_for)
    : hist_(BUCKETS, 0), slot_(BUCKETS, -1) {
    if (finite_only) select<true>(c, ranks_for);
    else select<false>(c, ranks_for);
}

template <bool FINITE>
void RankSelection::select(const Column& c, const std::function<std::vector<std::int64_t>(std::int64_t)>& ranks_for) {
    // Values enter as v + 0.0, so -0.0 and +0.0 share one key, and key order is value order.
    auto keep = [](double v) { return !FINITE || std::isfinite(v); };
    double lo, hi;
    value_range<FINITE>(c, lo, hi, m_);
    // Locals rather than members in the passes: the counts written through a pointer
    // would otherwise make the compiler reload every member on every value.
    const std::uint64_t key_lo = m_ ? RankSelection::order_key(lo + 0.0) : ~std::uint64_t{0};
    key_lo_ = key_lo;
    const std::uint64_t span = m_ ? RankSelection::order_key(hi + 0.0) - key_lo : 0;
    while ((span >> shift_) >= BUCKETS) ++shift_;
    std::int64_t* const hist = hist_.data();
    const int shift = shift_;
    for_each_present(c, [&, hist, key_lo, shift](double v) {
        if (keep(v)) ++hist[(RankSelection::order_key(v + 0.0) - key_lo) >> shift];
    });
    const std::vector<std::int64_t> ranks = ranks_for(m_);
    if (ranks.empty()) return;
    // Each rank's bucket and its rank inside the bucket (ranks ascend, so one walk).
    std::vector<std::size_t> slot_bucket;
    std::vector<std::pair<std::size_t, std::int64_t>> where;  // (slot, rank in bucket)
    std::size_t b = 0;
    std::int64_t below = 0;
    for (std::int64_t r : ranks) {
        if (r < 0 || r >= m_) throw std::out_of_range("order statistic rank");
        while (below + hist_[b] <= r) below += hist_[b++];
        if (slot_[b] < 0) {
            slot_[b] = static_cast<std::int32_t>(slot_bucket.size());
            slot_bucket.push_back(b);
        }
        where.emplace_back(static_cast<std::size_t>(slot_[b]), r - below);
    }
    gathered_.resize(slot_bucket.size());
    for (std::size_t s = 0; s < slot_bucket.size(); ++s) gathered_[s].reserve(static_cast<std::size_t>(hist_[slot_bucket[s]]));
    const std::int32_t* const slot = slot_.data();
    for_each_present(c, [&, slot, key_lo, shift](double v) {
        if (!keep(v)) return;
        v += 0.0;
        const std::int32_t s = slot[(RankSelection::order_key(v) - key_lo) >> shift];
        if (s >= 0) gathered_[static_cast<std::size_t>(s)].push_back(v);
    });
    std::vector<std::int64_t> from(slot_bucket.size(), 0);
    for (const auto& [s, r] : where) {
        auto& g = gathered_[s];
        std::nth_element(g.begin() + from[s], g.begin() + r, g.end());
        from[s] = r;
        values_.push_back(g[static_cast<std::size_t>(r)]);
    }
    // Running totals of the buckets, for counting below a selected value.
    below_.assign(BUCKETS + 1, 0);
    for (std::size_t k = 0; k < BUCKETS; ++k) below_[k + 1] = below_[k] + hist_[k];
}

std::int64_t RankSelection::count_below(double e) const {
    const std::size_t b = bucket(e + 0.0);
    const std::int32_t s = slot_[b];
    if (s < 0) throw std::logic_error("count_below takes a selected value");
    std::int64_t n = below_[b];
    for (double v : gathered_[static_cast<std::size_t>(s)]) n += v < e;
    return n;
}

std::int64_t RankSelection::count_at_most(double e) const {
    const std::size_t b = bucket(e + 0.0);
    const std::int32_t s = slot_[b];
    if (s < 0) throw std::logic_error("count_at_most takes a selected value");
    std::int64_t n = below_[b];
    for (double v : gathered_[static_cast<std::size_t>(s)]) n += v <= e;
    return n;
}

std::vector<double> order_statistics(const Column& c, bool finite_only,
                                     const std::function<std::vector<std::int64_t>(std::int64_t)>& ranks_for) {
    return RankSelection(c, finite_only, ranks_for).values();
}

QuantileCounts quantile_counts(const Column& c, std::int64_t n_bins) {
    const RankSelection sel(c, false, [n_bins](std::int64_t m) { return layout_ranks(m, n_bins); });
    QuantileCounts out;
    const std::int64_t m = sel.present();
    out.low = m ? sel.values().front() + 0.0 : std::numeric_limits<double>::infinity();
    out.high = m ? sel.values().back() + 0.0 : -std::numeric_limits<double>::infinity();
    // The selection already holds every count the bins need: no pass over the column.
    std::int64_t previous = 0;
    for (const TieEdge& e : tie_aware_edges(m, n_bins, sel.values())) {
        out.edges.push_back(e.edge);
        const std::int64_t below = e.after ? sel.count_at_most(e.value) : sel.count_below(e.value);
        out.counts.push_back(below - previous);
        previous = below;
    }
    out.counts.push_back(m - previous);
    out.missing = c.length - m;
    return out;
}

std::vector<double> quantile_edges(const Column& c, std::int64_t n_bins) { return quantile_counts(c, n_bins).edges; }

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

CategoryCounts distinct_categories(const Column& c) {
    TextIndex seen;
    std::vector<std::int64_t> counts;  // by first appearance
    std::int64_t missing = 0;
    std::string scratch;
    for (const Chunk& ch : c.chunks) {
        if (ch.phys == Phys::Null) { missing += ch.length; continue; }
        // A dictionary's entries are looked up once, then its codes are counted.
        if (ch.dictionary || ch.is_bool()) {
            const Chunk& d = ch.dictionary ? *ch.dictionary : ch;
            std::vector<std::int64_t> code_slot;
            if (ch.dictionary) {
                code_slot.assign(static_cast<std::size_t>(d.length), -1);
                visit_keys(d, scratch, [&](std::int64_t j, std::string_view key, bool overread) {
                    code_slot[static_cast<std::size_t>(j)] = static_cast<std::int64_t>(seen.insert(TextIndex::key(key, overread), key));
                }, [](std::int64_t) {});
            } else {
                code_slot = {static_cast<std::int64_t>(seen.insert("False")), static_cast<std::int64_t>(seen.insert("True"))};
            }
            counts.resize(seen.size(), 0);
            std::vector<std::int64_t> tally(code_slot.size(), 0);
            const auto n_codes = static_cast<std::int64_t>(code_slot.size());
            const std::int64_t* slots = code_slot.data();
            std::int64_t* per_code = tally.data();
            std::int64_t absent = 0;
            for_each_code(ch, [&](std::int64_t code) {
                if (code < 0 || code >= n_codes || slots[code] < 0) ++absent;
                else ++per_code[code];
            });
            missing += absent;
            for (std::size_t j = 0; j < tally.size(); ++j)
                if (tally[j]) counts[static_cast<std::size_t>(code_slot[j])] += tally[j];
            continue;
        }
        if (ch.length == 0) continue;  // an empty chunk may come without any buffer
        if (ch.phys == Phys::Utf8 || ch.phys == Phys::LargeUtf8) {
            const bool large = ch.phys == Phys::LargeUtf8;
            if (ch.validity) {
                if (large) gather_strings_by_table<std::int64_t, true>(ch, seen, counts, missing);
                else gather_strings_by_table<std::int32_t, true>(ch, seen, counts, missing);
            } else {
                if (large) gather_strings_by_table<std::int64_t, false>(ch, seen, counts, missing);
                else gather_strings_by_table<std::int32_t, false>(ch, seen, counts, missing);
            }
            continue;
        }
        visit_keys(ch, scratch,
                   [&](std::int64_t, std::string_view text, bool) {
                       const std::size_t j = seen.insert(text);
                       if (j >= counts.size()) counts.resize(j + 1, 0);
                       ++counts[j];
                   },
                   [&](std::int64_t) { ++missing; });
    }
    // Categories that only a dictionary lists, never a row, are not categories.
    counts.resize(seen.size(), 0);
    std::vector<std::size_t> order;
    for (std::size_t j = 0; j < seen.size(); ++j)
        if (counts[j] > 0) order.push_back(j);
    const auto& texts = seen.texts();
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return texts[a] < texts[b]; });
    CategoryCounts out;
    for (std::size_t j : order) {
        out.categories.emplace_back(texts[j]);
        out.counts.push_back(counts[j]);
    }
    out.counts.push_back(0);  // "other": every value is a category here
    out.missing = missing;
    return out;
}

}  // namespace morvane::profile
