#include "core/profile/facets.hpp"

#include <algorithm>
#include "core/profile/text_index.hpp"

namespace morvane::profile {

FacetCounts facet_counts(const Column& facet, const FacetRule& rule, const Column& target, const Column& prediction,
                         const BinaryRule& binary) {
    const std::size_t groups = rule.op == RuleOp::PerValue ? rule.groups.size() : 2;
    FacetCounts out;
    out.counts.assign(groups * 4, 0);
    const TextIndex index(rule.groups);
    std::string scratch_f, scratch_t, scratch_p;
    // The group of a row: 0 (a) or 1 (d), a value's group, or −1 when missing.
    auto group_of = [&](const Chunk& c, std::int64_t i) -> std::int64_t {
        bool missing = false;
        switch (rule.op) {
            case RuleOp::PerValue: {
                const std::string_view key = category_key(c, i, scratch_f, missing);
                if (missing) return -1;
                const std::size_t i = index.find(key);
                return i == TextIndex::NONE ? -1 : static_cast<std::int64_t>(i);
            }
            case RuleOp::Equal:
            case RuleOp::OneOf: {
                bool hit = false;
                for (const Label& v : rule.values) {
                    hit = matches(c, i, v, scratch_f, missing);
                    if (missing) return -1;
                    if (hit) break;
                }
                return hit ? 0 : 1;
            }
            default: {
                if (!c.valid(i) || c.dictionary || !(c.is_numeric() || c.is_bool())) return -1;
                const double v = c.number(i), x = rule.values.empty() ? 0.0 : rule.values[0].number;
                if (std::isnan(v)) return -1;
                const bool hit = rule.op == RuleOp::AtLeast ? v >= x
                               : rule.op == RuleOp::Above   ? v > x
                               : rule.op == RuleOp::AtMost  ? v <= x
                                                            : v < x;
                return hit ? 0 : 1;
            }
        }
    };
    RowCursor f{&facet}, t{&target}, p{&prediction};
    f.start();
    t.start();
    p.start();
    for (std::int64_t row = 0; row < facet.length; ++row, f.advance(), t.advance(), p.advance()) {
        const std::int64_t g = group_of(f.current(), f.at);
        bool miss_t, miss_p;
        const bool truth = matches(t.current(), t.at, binary.positive, scratch_t, miss_t);
        bool pred;
        if (binary.has_proba) {
            const Chunk& c = p.current();
            const double q = c.valid(p.at) && (c.is_numeric() || c.is_bool()) && !c.dictionary ? c.number(p.at) : std::nan("");
            miss_p = std::isnan(q);
            pred = q >= binary.threshold;
        } else {
            pred = matches(p.current(), p.at, binary.positive, scratch_p, miss_p);
        }
        if (g < 0 || miss_t || miss_p) { ++out.missing; continue; }
        ++out.counts[static_cast<std::size_t>(g) * 4 + static_cast<std::size_t>(truth) * 2 + pred];
    }
    return out;
}

}  // namespace morvane::profile
