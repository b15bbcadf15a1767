#include "core/profile/outcomes.hpp"

#include <cmath>
#include <stdexcept>

#include "core/common/edge_bins.hpp"
#include "core/profile/class_of.hpp"

namespace morvane::profile {

std::vector<std::int32_t> row_slots_continuous(const Column& c, std::span<const double> edges) {
    const auto missing = static_cast<std::uint32_t>(edges.size() + 1);
    std::vector<std::int32_t> out(static_cast<std::size_t>(c.length), static_cast<std::int32_t>(missing));
    const double none = INFINITY;  // no edges: one bin for every present value
    const std::span<const double> e = edges.empty() ? std::span<const double>(&none, 1) : edges;
    const EdgeBins bins(e, missing, static_cast<std::uint32_t>(edges.size()));
    std::size_t row = 0;
    for (const Chunk& ch : c.chunks) {
        const bool usable = !ch.dictionary && (ch.is_numeric() || ch.is_bool());
        for (std::int64_t i = 0; i < ch.length; ++i, ++row) {
            if (!usable || !ch.valid(i)) continue;
            const std::uint32_t s = bins.slot(ch.number(i));
            out[row] = static_cast<std::int32_t>(edges.empty() && s != missing ? 0 : s);
        }
    }
    return out;
}

std::vector<std::int32_t> row_slots_categorical(const Column& c, std::span<const std::string> categories) {
    const std::size_t k = categories.size();
    std::vector<std::int32_t> out(static_cast<std::size_t>(c.length), static_cast<std::int32_t>(k + 1));
    const TextIndex index(categories);
    std::string scratch;
    std::size_t row = 0;
    for (const Chunk& ch : c.chunks) {
        for (std::int64_t i = 0; i < ch.length; ++i, ++row) {
            if (ch.phys == Phys::Null) continue;
            bool missing = false;
            const std::string_view key = category_key(ch, i, scratch, missing);
            if (missing) continue;
            const std::size_t at = index.find(key);
            out[row] = static_cast<std::int32_t>(at == TextIndex::NONE ? k : at);
        }
    }
    return out;
}

std::vector<std::int32_t> binary_cells(const Column& target, const Column& decision, const BinaryRule& rule) {
    std::vector<std::int32_t> out(static_cast<std::size_t>(target.length), -1);
    RowCursor t{&target}, p{&decision};
    t.start();
    p.start();
    std::string scratch_t, scratch_p;
    for (std::size_t row = 0; row < out.size(); ++row, t.advance(), p.advance()) {
        bool miss_t, miss_p;
        const bool truth = matches(t.current(), t.at, rule.positive, scratch_t, miss_t);
        bool pred;
        if (rule.has_proba) {
            const Chunk& ch = p.current();
            const bool usable = ch.valid(p.at) && !ch.dictionary && (ch.is_numeric() || ch.is_bool());
            const double prob = usable ? ch.number(p.at) : std::nan("");
            miss_p = std::isnan(prob);
            pred = prob >= rule.threshold;
        } else {
            pred = matches(p.current(), p.at, rule.positive, scratch_p, miss_p);
        }
        if (!miss_t && !miss_p) out[row] = static_cast<std::int32_t>(truth) * 2 + static_cast<std::int32_t>(pred);
    }
    return out;
}

std::vector<std::int32_t> multiclass_cells(const Column& target, std::span<const Column* const> prediction,
                                           std::span<const std::string> classes, bool has_proba) {
    const std::size_t k = classes.size();
    std::vector<std::int32_t> out(static_cast<std::size_t>(target.length), -1);
    const TextIndex index(classes);
    if (prediction.empty() || (has_proba && prediction.size() != k)) throw std::invalid_argument("one probability column per class");
    RowCursor t{&target};
    t.start();
    std::vector<RowCursor> p;
    for (const Column* c : prediction) { p.push_back(RowCursor{c}); p.back().start(); }
    std::string scratch_t, scratch_p;
    for (std::size_t row = 0; row < out.size(); ++row) {
        const std::int64_t truth = class_of(index, t.current(), t.at, scratch_t);
        std::int64_t pred = -1;
        if (has_proba) {
            double best = -INFINITY;
            bool bad = false;
            for (std::size_t j = 0; j < k; ++j) {
                const Chunk& ch = p[j].current();
                const bool usable = ch.valid(p[j].at) && !ch.dictionary && (ch.is_numeric() || ch.is_bool());
                const double v = usable ? ch.number(p[j].at) : std::nan("");
                bad |= std::isnan(v);
                if (v > best) { best = v; pred = static_cast<std::int64_t>(j); }
            }
            if (bad) pred = -1;
        } else {
            pred = class_of(index, p[0].current(), p[0].at, scratch_p);
        }
        t.advance();
        for (auto& c : p) c.advance();
        if (truth >= 0 && pred >= 0) out[row] = static_cast<std::int32_t>(truth * static_cast<std::int64_t>(k) + pred);
    }
    return out;
}

SlotErrors slot_errors(std::span<const std::int32_t> slots, std::span<const double> errors, std::size_t n_slots) {
    if (slots.size() != errors.size()) throw std::invalid_argument("one error per row");
    SlotErrors s;
    s.n.assign(n_slots, 0);
    s.abs.resize(n_slots);
    s.sq.resize(n_slots);
    s.fourth.resize(n_slots);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const double e = errors[i];
        const auto at = static_cast<std::size_t>(slots[i]);
        if (e != e || slots[i] < 0 || at >= n_slots) continue;
        const double e2 = e * e;
        ++s.n[at];
        s.abs[at].add(std::fabs(e));
        s.sq[at].add(e2);
        s.fourth[at].add(e2 * e2);
    }
    return s;
}

}  // namespace morvane::profile
