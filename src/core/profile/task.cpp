#include "core/profile/task.hpp"

#include <algorithm>
#include <cmath>
#include "core/profile/class_of.hpp"

namespace morvane::profile {

bool matches(const Chunk& c, std::int64_t i, const Label& label, std::string& scratch, bool& missing) {
    if ((c.is_numeric() && !c.dictionary) || c.is_bool()) {
        missing = !c.valid(i);
        if (missing) return false;
        const double v = c.number(i);
        missing = std::isnan(v);
        if (missing) return false;
        if (label.has_number) return v == label.number;
    }
    const std::string_view key = category_key(c, i, scratch, missing);
    return !missing && key == label.text;
}

namespace {

double clamp_probability(double p) { return std::clamp(p, LOG_LOSS_EPS, 1.0 - LOG_LOSS_EPS); }

double number_or_nan(const Chunk& c, std::int64_t i) {
    if (!c.valid(i) || c.dictionary || !(c.is_numeric() || c.is_bool())) return std::nan("");
    return c.number(i);
}

void add_term(ExactSum& sum, ExactSum& sq, double l) {
    sum.add(l);
    sq.add(l * l);
}

}  // namespace

BinaryStats binary_stats(const Column& target, const Column& prediction, const BinaryRule& rule, const Column* score) {
    BinaryStats s;
    RowCursor t{&target}, p{&prediction}, q{score ? score : &prediction};
    t.start();
    p.start();
    q.start();
    std::string scratch_t, scratch_p;
    for (std::int64_t row = 0; row < target.length; ++row, t.advance(), p.advance(), q.advance()) {
        bool miss_t, miss_p;
        const bool truth = matches(t.current(), t.at, rule.positive, scratch_t, miss_t);
        bool pred;
        double prob = 0.0;
        if (rule.has_proba) {
            prob = number_or_nan(p.current(), p.at);
            miss_p = std::isnan(prob);
            pred = prob >= rule.threshold;
        } else {
            pred = matches(p.current(), p.at, rule.positive, scratch_p, miss_p);
        }
        if (score) {
            prob = number_or_nan(q.current(), q.at);
            miss_p |= std::isnan(prob);
        }
        if (miss_t || miss_p) { ++s.missing; continue; }
        ++s.n;
        ++s.confusion[static_cast<std::size_t>(truth) * 2 + pred];
        if (rule.has_proba || score) {
            const double c = clamp_probability(prob);
            add_term(s.log_loss, s.log_loss_sq, truth ? -std::log(c) : -std::log(1.0 - c));
        }
    }
    return s;
}

MulticlassStats multiclass_stats(const Column& target, std::span<const Column* const> prediction,
                                 std::span<const std::string> classes, bool has_proba,
                                 std::span<const Column* const> score) {
    const std::size_t k = classes.size();
    MulticlassStats s;
    s.confusion.assign(k * k, 0);
    s.has_proba = has_proba || !score.empty();
    const bool labels = !has_proba;
    const TextIndex index(classes);
    RowCursor t{&target};
    t.start();
    // The probability columns (the prediction's, or the scores beside label decisions) after
    // the label column, if any.
    std::vector<RowCursor> p;
    for (const Column* c : prediction) { p.push_back(RowCursor{c}); p.back().start(); }
    for (const Column* c : score) { p.push_back(RowCursor{c}); p.back().start(); }
    const std::size_t first_prob = labels ? 1 : 0;
    std::string scratch_t, scratch_p;
    std::vector<double> probs(p.size() - first_prob);
    for (std::int64_t row = 0; row < target.length; ++row) {
        const std::int64_t truth = class_of(index, t.current(), t.at, scratch_t);
        std::int64_t pred = -1;
        bool bad = false;
        if (s.has_proba) {
            for (std::size_t j = 0; j < probs.size(); ++j) {
                probs[j] = number_or_nan(p[first_prob + j].current(), p[first_prob + j].at);
                bad |= std::isnan(probs[j]);
            }
            if (!bad && !labels) pred = std::max_element(probs.begin(), probs.end()) - probs.begin();
        }
        if (labels) pred = bad ? -1 : class_of(index, p[0].current(), p[0].at, scratch_p);
        t.advance();
        for (auto& c : p) c.advance();
        // Labels outside the reference's classes are counted with the missing rows.
        if (truth < 0 || pred < 0) { ++s.missing; continue; }
        ++s.n;
        ++s.confusion[static_cast<std::size_t>(truth) * k + static_cast<std::size_t>(pred)];
        if (s.has_proba) add_term(s.log_loss, s.log_loss_sq, -std::log(clamp_probability(probs[static_cast<std::size_t>(truth)])));
    }
    return s;
}

namespace {

double sle(double y, double p) {
    const double d = std::log1p(y) - std::log1p(p);
    return d * d;
}

}  // namespace

// e = p − y. Each sum is one row: adding a sum is adding a row.
const std::array<SumRow, 18> REGRESSION_SUMS = {{
    {"y", [](double y, double) { return y; }},
    {"y2", [](double y, double) { return y * y; }},
    {"y3", [](double y, double) { return y * y * y; }},
    {"y4", [](double y, double) { return (y * y) * (y * y); }},
    {"p", [](double, double p) { return p; }},
    {"p2", [](double, double p) { return p * p; }},
    {"yp", [](double y, double p) { return y * p; }},
    {"e", [](double y, double p) { return p - y; }},
    {"e2", [](double y, double p) { return (p - y) * (p - y); }},
    {"e3", [](double y, double p) { return (p - y) * (p - y) * (p - y); }},
    {"e4", [](double y, double p) { const double e2 = (p - y) * (p - y); return e2 * e2; }},
    {"abs_e", [](double y, double p) { return std::fabs(p - y); }},
    {"sle", [](double y, double p) { return sle(y, p); }},
    {"sle2", [](double y, double p) { const double s = sle(y, p); return s * s; }},
    {"ape", [](double y, double p) { return std::fabs((p - y) / y); }},
    {"ape2", [](double y, double p) { const double a = (p - y) / y; return a * a; }},
    {"e2y", [](double y, double p) { return (p - y) * (p - y) * y; }},
    {"e2y2", [](double y, double p) { return (p - y) * (p - y) * y * y; }},
}};

RegressionStats regression_stats(const Column& target, const Column& prediction) {
    RegressionStats s;
    RowCursor t{&target}, p{&prediction};
    t.start();
    p.start();
    for (std::int64_t row = 0; row < target.length; ++row, t.advance(), p.advance()) {
        const double y = number_or_nan(t.current(), t.at), q = number_or_nan(p.current(), p.at);
        if (!std::isfinite(y) || !std::isfinite(q)) { ++s.missing; continue; }
        ++s.n;
        for (std::size_t r = 0; r < REGRESSION_SUMS.size(); ++r) s.sums[r].add(REGRESSION_SUMS[r].term(y, q));
        s.max_abs_error = std::max(s.max_abs_error, std::fabs(q - y));
    }
    return s;
}

}  // namespace morvane::profile
