#include "core/profile/score_bins.hpp"

#include <algorithm>
#include <cmath>

#include "core/profile/text_index.hpp"

namespace morvane::profile {

namespace {

constexpr double TAIL = 1.0 / 1024.0;
constexpr int LOWEST_EXPONENT = -30;  // frexp exponent of the lowest tail bin's upper edge, 2^-30 ... 2^-29

// A score or NaN when the element is missing or not a number.
double score_at(const Chunk& c, std::int64_t i) {
    if (!c.valid(i) || c.dictionary || !(c.is_numeric() || c.is_bool())) return std::nan("");
    return c.number(i);
}

}  // namespace

int score_grid_bin(double s) {
    if (s < TAIL) {
        // [2^(e-1), 2^e) for e = -29 .. -10 are bins 1 .. 20; below 2^-30 (and 0) bin 0.
        if (s <= 0.0) return 0;
        int e;
        std::frexp(s, &e);
        return std::max(0, e - LOWEST_EXPONENT);
    }
    if (s < 1.0 - TAIL) return SCORE_TAIL_BINS - 1 + static_cast<int>(s * 1024.0);
    // The upper tail mirrors the lower one on u = 1 − s (exact for s ≥ 1/2): s in
    // [1 − 2^e, 1 − 2^(e-1)) is u in (2^(e-1), 2^e].
    const double u = 1.0 - s;
    const int first = SCORE_TAIL_BINS + SCORE_MIDDLE_BINS;
    if (u <= 0.0) return SCORE_GRID_BINS - 1;
    int e;
    const double m = std::frexp(u, &e);
    if (m == 0.5) --e;  // u = 2^(e-1) exactly belongs to the interval closed above at it
    return first + std::min(SCORE_TAIL_BINS - 1, -10 - e);
}

int score_bin_threshold(double threshold) { return score_grid_bin(threshold); }

int score_bin(double s, double threshold) {
    const int b = score_grid_bin(s), t = score_grid_bin(threshold);
    return b > t || (b == t && s >= threshold) ? b + 1 : b;
}

int score_coarse_bin(double s) { return std::clamp(static_cast<int>(s * 64.0), 0, SCORE_COARSE_BINS - 1); }

BinaryScoreCounts binary_score_counts(const Column* target, const Column& score, const Column& decision,
                                      const BinaryRule& rule) {
    BinaryScoreCounts out;
    out.counts.assign(3 * 2 * SCORE_BINS, 0);
    RowCursor t{target ? target : &score}, p{&score}, d{&decision};
    t.start();
    p.start();
    d.start();
    std::string scratch, scratch_d;
    for (std::int64_t row = 0; row < score.length; ++row, t.advance(), p.advance(), d.advance()) {
        const double s = score_at(p.current(), p.at);
        if (std::isnan(s)) { ++out.missing; continue; }
        if (s < 0.0 || s > 1.0) {
            if (out.out_of_range++ == 0) out.first_out_of_range = s;
            continue;
        }
        bool decided, missing_decision;
        if (rule.has_proba) {
            const double q = score_at(d.current(), d.at);
            missing_decision = std::isnan(q);
            decided = q >= rule.threshold;
        } else {
            decided = matches(d.current(), d.at, rule.positive, scratch_d, missing_decision);
        }
        if (missing_decision) { ++out.missing; continue; }
        bool missing = true;
        const bool truth = target && matches(t.current(), t.at, rule.positive, scratch, missing);
        const std::size_t r = missing ? 2 : static_cast<std::size_t>(truth);
        ++out.counts[(r * 2 + static_cast<std::size_t>(decided)) * SCORE_BINS +
                     static_cast<std::size_t>(score_bin(s, rule.threshold))];
    }
    return out;
}

MulticlassScoreCounts multiclass_score_counts(const Column* target, std::span<const Column* const> scores,
                                              const Column* decision, std::span<const std::string> classes) {
    const std::size_t k = classes.size();
    MulticlassScoreCounts out;
    out.by_class.assign((k + 1) * k * SCORE_BINS, 0);
    out.by_decision.assign(k * k * SCORE_COARSE_BINS, 0);
    if (scores.size() != k || k == 0) return out;
    const TextIndex index(classes);
    RowCursor t{target ? target : scores[0]};
    t.start();
    std::vector<RowCursor> p;
    for (const Column* c : scores) { p.push_back(RowCursor{c}); p.back().start(); }
    RowCursor d{decision ? decision : scores[0]};
    d.start();
    std::string scratch, scratch_d;
    std::vector<double> s(k);
    std::vector<int> bins(k);
    for (std::int64_t row = 0; row < scores[0]->length; ++row) {
        bool bad = false, outside = false;
        for (std::size_t j = 0; j < k; ++j) {
            s[j] = score_at(p[j].current(), p[j].at);
            bad |= std::isnan(s[j]);
            if (!std::isnan(s[j]) && (s[j] < 0.0 || s[j] > 1.0)) {
                if (!outside && out.out_of_range == 0) out.first_out_of_range = s[j];
                outside = true;
            }
        }
        bool missing = true, missing_decision = false;
        const std::string_view key = target ? category_key(t.current(), t.at, scratch, missing) : std::string_view();
        std::size_t given = TextIndex::NONE;
        if (decision) {
            const std::string_view label = category_key(d.current(), d.at, scratch_d, missing_decision);
            if (!missing_decision) given = index.find(label);
        }
        t.advance();
        d.advance();
        for (auto& c : p) c.advance();
        if (bad || (decision && given == TextIndex::NONE)) { ++out.missing; continue; }
        if (outside) { ++out.out_of_range; continue; }
        std::size_t truth = k;  // the row of rows without a target
        if (!missing) {
            const std::size_t at = index.find(key);
            if (at == TextIndex::NONE) { ++out.missing; continue; }
            truth = at;
        }
        const std::size_t decided =
            decision ? given : static_cast<std::size_t>(std::max_element(s.begin(), s.end()) - s.begin());
        std::int64_t* by_class = out.by_class.data() + truth * k * SCORE_BINS;
        std::int64_t* by_decision = out.by_decision.data() + decided * k * SCORE_COARSE_BINS;
        for (std::size_t j = 0; j < k; ++j) {
            ++by_class[j * SCORE_BINS + static_cast<std::size_t>(score_bin(s[j], 0.5))];
            ++by_decision[j * SCORE_COARSE_BINS + static_cast<std::size_t>(score_coarse_bin(s[j]))];
        }
    }
    return out;
}

}  // namespace morvane::profile
