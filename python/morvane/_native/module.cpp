// morvane._native: the package's binding. Each row converts its arguments, runs a core
// with the GIL released, and converts the result back; nothing here computes.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <limits>

#include "columns.hpp"
#include "core/profile/counting.hpp"
#include "core/profile/facets.hpp"
#include "core/profile/joint.hpp"
#include "core/profile/outcomes.hpp"
#include "core/profile/layout.hpp"
#include "core/profile/parallel.hpp"
#include "core/profile/score_bins.hpp"
#include "core/profile/task.hpp"
#include "core/profile/tie_edges.hpp"
#include "metrics.hpp"
#include "quality.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace morvane;
using namespace morvane::profile;
using native::Columns;

namespace {

using Ints = std::vector<std::int64_t>;
using Limbs = std::tuple<Ints, std::uint64_t, std::uint64_t, std::uint64_t>;  // limbs, +inf, -inf, NaN

Limbs limbs_of(ExactSum s) {
    s.normalize();
    return {Ints(s.limbs().begin(), s.limbs().end()), s.pos_inf, s.neg_inf, s.nan};
}

Label label_of(std::optional<double> number, const std::string& text) {
    return Label{number.has_value(), number.value_or(0.0), text};
}

std::vector<const Column*> columns_at(const Columns& cols, const std::vector<std::size_t>& idx) {
    std::vector<const Column*> out;
    for (std::size_t i : idx) out.push_back(&cols.at(i));
    return out;
}

// Runs one job per column on n_threads threads with the GIL released.
template <class R, class F>
std::vector<R> per_column(const Columns& cols, const std::vector<std::size_t>& idx, std::size_t n_threads, F f) {
    const auto c = columns_at(cols, idx);
    std::vector<R> out(c.size());
    nb::gil_scoped_release release;
    parallel_for(c.size(), n_threads, [&](std::size_t j) { out[j] = f(*c[j], j); });
    return out;
}

// What to count of one feature: its column index, and its edges (continuous) or categories.
using CountPlan = std::tuple<std::size_t, std::optional<std::vector<double>>, std::optional<std::vector<std::string>>>;

std::vector<std::pair<Ints, std::int64_t>> count(const Columns& cols, const std::vector<CountPlan>& plans, std::size_t n_threads) {
    std::vector<std::size_t> idx;
    for (const CountPlan& s : plans) idx.push_back(std::get<0>(s));
    auto counts = per_column<FeatureCounts>(cols, idx, n_threads, [&](const Column& c, std::size_t j) {
        const CountPlan& s = plans[j];
        return std::get<1>(s) ? count_continuous(c, *std::get<1>(s)) : count_categorical(c, *std::get<2>(s));
    });
    std::vector<std::pair<Ints, std::int64_t>> out;
    for (auto& f : counts) out.emplace_back(std::move(f.counts), f.missing);
    return out;
}

// The same with each feature's range: (counts, missing, least, greatest) (the range of a
// categorical feature is (+inf, -inf)).
std::vector<nb::tuple> count_ranged(const Columns& cols, const std::vector<CountPlan>& plans, std::size_t n_threads) {
    std::vector<std::size_t> idx;
    for (const CountPlan& s : plans) idx.push_back(std::get<0>(s));
    auto counts = per_column<FeatureCounts>(cols, idx, n_threads, [&](const Column& c, std::size_t j) {
        const CountPlan& s = plans[j];
        if (std::get<1>(s)) return count_continuous(c, *std::get<1>(s));
        FeatureCounts f = count_categorical(c, *std::get<2>(s));
        f.low = std::numeric_limits<double>::infinity();
        f.high = -f.low;
        return f;
    });
    std::vector<nb::tuple> out;
    for (auto& f : counts) out.push_back(nb::make_tuple(std::move(f.counts), f.missing, f.low, f.high));
    return out;
}

void same_length(const Columns& cols, std::initializer_list<std::size_t> idx) {
    for (std::size_t i : idx)
        if (cols.length(i) != cols.length(*idx.begin())) throw nb::value_error("columns of a table must have the same length");
}

nb::tuple binary(const Columns& cols, std::size_t target, std::size_t prediction, std::optional<double> number,
                 const std::string& text, bool has_proba, double threshold, std::optional<std::size_t> score) {
    same_length(cols, {target, prediction});
    if (score) same_length(cols, {target, *score});
    const Column* q = score ? &cols.at(*score) : nullptr;
    BinaryStats s;
    {
        nb::gil_scoped_release release;
        s = binary_stats(cols.at(target), cols.at(prediction), BinaryRule{label_of(number, text), has_proba, threshold}, q);
    }
    return nb::make_tuple(Ints(s.confusion.begin(), s.confusion.end()), s.n, s.missing, limbs_of(s.log_loss),
                          limbs_of(s.log_loss_sq));
}

nb::tuple multiclass(const Columns& cols, std::size_t target, const std::vector<std::size_t>& prediction,
                     const std::vector<std::string>& classes, bool has_proba, const std::vector<std::size_t>& score) {
    for (std::size_t p : prediction) same_length(cols, {target, p});
    for (std::size_t p : score) same_length(cols, {target, p});
    const auto pred = columns_at(cols, prediction), scores = columns_at(cols, score);
    MulticlassStats s;
    {
        nb::gil_scoped_release release;
        s = multiclass_stats(cols.at(target), pred, classes, has_proba, scores);
    }
    return nb::make_tuple(s.confusion, s.n, s.missing, limbs_of(s.log_loss), limbs_of(s.log_loss_sq));
}

nb::tuple regression(const Columns& cols, std::size_t target, std::size_t prediction) {
    same_length(cols, {target, prediction});
    RegressionStats s;
    {
        nb::gil_scoped_release release;
        s = regression_stats(cols.at(target), cols.at(prediction));
    }
    nb::dict sums;
    for (std::size_t r = 0; r < REGRESSION_SUMS.size(); ++r) sums[REGRESSION_SUMS[r].name] = limbs_of(s.sums[r]);
    return nb::make_tuple(s.n, s.missing, sums, s.max_abs_error);
}

nb::tuple facet(const Columns& cols, std::size_t column, const std::string& op, const std::vector<std::tuple<std::optional<double>, std::string>>& values,
                const std::vector<std::string>& groups, std::size_t target, std::size_t prediction,
                std::optional<double> number, const std::string& text, bool has_proba, double threshold) {
    same_length(cols, {column, target, prediction});
    struct Row { const char* name; RuleOp op; };
    static constexpr Row OPS[] = {{"==", RuleOp::Equal}, {">=", RuleOp::AtLeast}, {">", RuleOp::Above}, {"<=", RuleOp::AtMost},
                                  {"<", RuleOp::Below}, {"in", RuleOp::OneOf}, {"each", RuleOp::PerValue}};
    FacetRule rule;
    bool known = false;
    for (const Row& r : OPS)
        if (op == r.name) { rule.op = r.op; known = true; }
    if (!known) throw nb::value_error("unknown facet rule");
    for (const auto& [num, txt] : values) rule.values.push_back(label_of(num, txt));
    rule.groups = groups;
    FacetCounts s;
    {
        nb::gil_scoped_release release;
        s = facet_counts(cols.at(column), rule, cols.at(target), cols.at(prediction),
                         BinaryRule{label_of(number, text), has_proba, threshold});
    }
    return nb::make_tuple(s.counts, s.missing);
}

// A NumPy int64 array that takes over a vector's memory.
nb::ndarray<nb::numpy, std::int64_t> int64_array(std::vector<std::int64_t>&& v, std::initializer_list<std::size_t> shape) {
    auto* owned = new std::vector<std::int64_t>(std::move(v));
    nb::capsule free(owned, [](void* p) noexcept { delete static_cast<std::vector<std::int64_t>*>(p); });
    return nb::ndarray<nb::numpy, std::int64_t>(owned->data(), shape, free);
}

// A target of None: the window's labels are not known yet.
nb::tuple binary_scores(const Columns& cols, std::optional<std::size_t> target, std::size_t score, std::size_t decision,
                        std::optional<double> number, const std::string& text, bool decision_is_proba,
                        double threshold) {
    same_length(cols, {score, decision});
    if (target) same_length(cols, {score, *target});
    const Column* truth = target ? &cols.at(*target) : nullptr;
    BinaryScoreCounts s;
    {
        nb::gil_scoped_release release;
        s = binary_score_counts(truth, cols.at(score), cols.at(decision),
                                BinaryRule{label_of(number, text), decision_is_proba, threshold});
    }
    return nb::make_tuple(int64_array(std::move(s.counts), {3, 2, SCORE_BINS}), s.missing, s.out_of_range,
                          s.first_out_of_range);
}

nb::tuple multiclass_scores(const Columns& cols, std::optional<std::size_t> target, const std::vector<std::size_t>& scores,
                            std::optional<std::size_t> decision, const std::vector<std::string>& classes) {
    if (scores.empty() || scores.size() != classes.size()) throw nb::value_error("one score column per class");
    for (std::size_t p : scores) same_length(cols, {scores[0], p});
    if (target) same_length(cols, {scores[0], *target});
    if (decision) same_length(cols, {scores[0], *decision});
    const auto columns = columns_at(cols, scores);
    const Column* decided = decision ? &cols.at(*decision) : nullptr;
    MulticlassScoreCounts s;
    {
        nb::gil_scoped_release release;
        s = multiclass_score_counts(target ? &cols.at(*target) : nullptr, columns, decided, classes);
    }
    const std::size_t k = classes.size();
    return nb::make_tuple(int64_array(std::move(s.by_class), {k + 1, k, SCORE_BINS}),
                          int64_array(std::move(s.by_decision), {k, k, SCORE_COARSE_BINS}), s.missing,
                          s.out_of_range, s.first_out_of_range);
}

// Joint moments: each 128-bit sum as its low 64 bits and its high 64 bits (signed).
nb::tuple wide(const std::vector<__int128>& v) {
    std::vector<std::uint64_t> lo;
    Ints hi;
    for (__int128 x : v) {
        lo.push_back(static_cast<std::uint64_t>(x));
        hi.push_back(static_cast<std::int64_t>(x >> 64));
    }
    return nb::make_tuple(lo, hi);
}

// An exponent sum as (positions, their sums' low and high 64 bits, +inf, -inf, NaN), the
// positions with a non-zero sum only.
nb::tuple by_exponent(const ExponentSum& s) {
    std::vector<std::size_t> positions;
    std::vector<__int128> sums;
    for (std::size_t p = 0; p < s.by_position.size(); ++p)
        if (s.by_position[p] != 0) { positions.push_back(p); sums.push_back(s.by_position[p]); }
    return nb::make_tuple(positions, wide(sums), s.pos_inf, s.neg_inf, s.nan);
}

nb::tuple joint_sums_of(const Columns& cols, const std::vector<std::size_t>& idx, const std::vector<double>& centre,
                        const std::vector<double>& scale, std::size_t n_threads) {
    const auto c = columns_at(cols, idx);
    JointSums s;
    {
        nb::gil_scoped_release release;
        s = joint_sums(c, centre, scale, n_threads);
    }
    return nb::make_tuple(s.n, wide(s.first), wide(s.second), wide(s.fourth), limbs_of(s.norm_fourth));
}

nb::ndarray<nb::numpy, std::int32_t> int32_array(std::vector<std::int32_t>&& v) {
    auto* owned = new std::vector<std::int32_t>(std::move(v));
    nb::capsule free(owned, [](void* p) noexcept { delete static_cast<std::vector<std::int32_t>*>(p); });
    return nb::ndarray<nb::numpy, std::int32_t>(owned->data(), {owned->size()}, free);
}

// Each row's slot on a feature's edges (continuous) or categories.
nb::ndarray<nb::numpy, std::int32_t> row_slots(const Columns& cols, std::size_t column, std::optional<std::vector<double>> edges,
                                               std::optional<std::vector<std::string>> categories) {
    const Column& c = cols.at(column);
    std::vector<std::int32_t> out;
    {
        nb::gil_scoped_release release;
        out = edges ? row_slots_continuous(c, *edges) : row_slots_categorical(c, categories.value_or(std::vector<std::string>{}));
    }
    return int32_array(std::move(out));
}

nb::ndarray<nb::numpy, std::int32_t> binary_cells_of(const Columns& cols, std::size_t target, std::size_t decision,
                                                     std::optional<double> number, const std::string& text, bool has_proba,
                                                     double threshold) {
    same_length(cols, {target, decision});
    std::vector<std::int32_t> out;
    {
        nb::gil_scoped_release release;
        out = binary_cells(cols.at(target), cols.at(decision), BinaryRule{label_of(number, text), has_proba, threshold});
    }
    return int32_array(std::move(out));
}

nb::ndarray<nb::numpy, std::int32_t> multiclass_cells_of(const Columns& cols, std::size_t target, const std::vector<std::size_t>& prediction,
                                                         const std::vector<std::string>& classes, bool has_proba) {
    for (std::size_t p : prediction) same_length(cols, {target, p});
    const auto pred = columns_at(cols, prediction);
    std::vector<std::int32_t> out;
    {
        nb::gil_scoped_release release;
        out = multiclass_cells(cols.at(target), pred, classes, has_proba);
    }
    return int32_array(std::move(out));
}

nb::tuple slot_errors_of(nb::ndarray<const std::int32_t, nb::ndim<1>, nb::c_contig> slots,
                         nb::ndarray<const double, nb::ndim<1>, nb::c_contig> errors, std::size_t n_slots) {
    SlotErrors s;
    {
        nb::gil_scoped_release release;
        s = slot_errors(std::span<const std::int32_t>(slots.data(), slots.shape(0)),
                        std::span<const double>(errors.data(), errors.shape(0)), n_slots);
    }
    std::vector<nb::tuple> sums;
    for (std::size_t i = 0; i < n_slots; ++i) sums.push_back(nb::make_tuple(limbs_of(s.abs[i]), limbs_of(s.sq[i]), limbs_of(s.fourth[i])));
    return nb::make_tuple(s.n, sums);
}

}  // namespace

NB_MODULE(_native, m) {
    nb::class_<Columns>(m, "Columns")
        .def(nb::init<>())
        .def("add_buffer", &Columns::add_buffer, "owner"_a, "address"_a, "length"_a, "stride"_a, "type"_a, "swap"_a)
        .def("add_strings", &Columns::add_strings)
        .def("add_texts", &Columns::add_texts)
        .def("add_object_array", &Columns::add_object_array)
        .def("add_unicode", &Columns::add_unicode)
        .def("add_codes", &Columns::add_codes)
        .def("add_time", &Columns::add_time)
        .def("add_masked", &Columns::add_masked)
        .def("add_null", &Columns::add_null)
        .def("as_integers", &Columns::as_integers)
        .def("as_booleans", &Columns::as_booleans)
        .def("type", &Columns::type)
        .def("first_outside", [](const Columns& c, std::size_t i, double lo, double hi) {
            nb::gil_scoped_release release;
            return profile::first_outside(c.at(i), lo, hi);
        })
        .def("first_fraction", [](const Columns& c, std::size_t i) {
            nb::gil_scoped_release release;
            return profile::first_fraction(c.at(i));
        })
        .def("numbers_into", [](const Columns& c, std::size_t i, std::uintptr_t out) {
            nb::gil_scoped_release release;
            profile::column_numbers(c.at(i), reinterpret_cast<double*>(out));
        })
        .def("all_distinct_numbers", [](const Columns& c, std::size_t i) {
            nb::gil_scoped_release release;
            return profile::all_distinct_numbers(c.at(i));
        })
        .def("add_arrow_array", &Columns::add_arrow_array)
        .def("add_arrow_stream", &Columns::add_arrow_stream)
        .def("kind", &Columns::kind)
        .def("is_integer", &Columns::is_integer)
        .def("is_float", &Columns::is_float)
        .def("length", &Columns::length)
        .def("__len__", &Columns::size);

    m.def("quantile_layout", [](const Columns& c, const std::vector<std::size_t>& idx, std::int64_t n_bins, std::size_t threads) {
        auto found = per_column<QuantileCounts>(c, idx, threads, [&](const Column& col, std::size_t) { return quantile_counts(col, n_bins); });
        std::vector<nb::tuple> out;
        for (QuantileCounts& q : found)
            out.push_back(nb::make_tuple(std::move(q.edges), std::move(q.counts), q.missing, q.low, q.high));
        return out;
    });
    m.def("layout_ranks", &layout_ranks, "m"_a, "n_bins"_a);
    m.def("edges_from_ranks", [](std::int64_t rows, std::int64_t n_bins, const std::vector<double>& values) {
        std::vector<double> edges;
        for (const TieEdge& e : tie_aware_edges(rows, n_bins, values)) edges.push_back(e.edge);
        return edges;
    }, "m"_a, "n_bins"_a, "values"_a);
    m.def("rule_summary", [](const Columns& c, const std::vector<std::size_t>& idx, std::size_t threads) {
        auto found = per_column<RuleSummary>(c, idx, threads, [](const Column& col, std::size_t) { return rule_summary(col); });
        std::vector<nb::tuple> out;
        for (const RuleSummary& s : found)
            out.push_back(nb::make_tuple(s.n, s.min, s.max, s.q1, s.q3, limbs_of(s.sum), limbs_of(s.sum_sq)));
        return out;
    });
    m.def("categories", [](const Columns& c, const std::vector<std::size_t>& idx, std::size_t threads) {
        auto found = per_column<CategoryCounts>(c, idx, threads, [](const Column& col, std::size_t) { return distinct_categories(col); });
        std::vector<nb::tuple> out;
        for (CategoryCounts& f : found) out.push_back(nb::make_tuple(std::move(f.categories), std::move(f.counts), f.missing));
        return out;
    });
    m.def("count", &count);
    m.def("count_ranged", &count_ranged);
    m.def("binary", &binary, "columns"_a, "target"_a, "prediction"_a, "number"_a.none(), "text"_a, "has_proba"_a,
          "threshold"_a, "score"_a = nb::none());
    m.def("multiclass", &multiclass, "columns"_a, "target"_a, "prediction"_a, "classes"_a, "has_proba"_a,
          "score"_a = std::vector<std::size_t>{});
    m.def("regression", &regression);
    m.def("facet", &facet);
    m.def("binary_scores", &binary_scores, "columns"_a, "target"_a.none(), "score"_a, "decision"_a, "number"_a.none(),
          "text"_a, "decision_is_proba"_a, "threshold"_a);
    m.def("multiclass_scores", &multiclass_scores, "columns"_a, "target"_a.none(), "scores"_a, "decision"_a.none(),
          "classes"_a);
    m.def("score_bins", [](const std::vector<double>& s, double threshold) {
        std::vector<int> out;
        for (double v : s) out.push_back(score_bin(v, threshold));
        return out;
    });
    m.attr("SCORE_BINS") = SCORE_BINS;
    m.attr("SCORE_COARSE_BINS") = SCORE_COARSE_BINS;
    m.def("joint_scale", [](const Columns& c, const std::vector<std::size_t>& idx, std::size_t threads) {
        const auto cols = columns_at(c, idx);
        std::vector<ScaleSums> found;
        {
            nb::gil_scoped_release release;
            found = scale_sums(cols, threads);
        }
        std::vector<nb::tuple> out;
        for (ScaleSums& f : found) out.push_back(nb::make_tuple(f.n, by_exponent(f.sum), by_exponent(f.sum_sq)));
        return out;
    });
    m.def("joint_sums", &joint_sums_of, "columns"_a, "idx"_a, "centre"_a, "scale"_a, "threads"_a);
    m.attr("JOINT_FRACTION_BITS") = JOINT_FRACTION_BITS;
    m.attr("JOINT_LIMIT") = JOINT_LIMIT;
    m.def("row_slots", &row_slots, "columns"_a, "column"_a, "edges"_a.none(), "categories"_a.none());
    m.def("binary_cells", &binary_cells_of, "columns"_a, "target"_a, "decision"_a, "number"_a.none(), "text"_a,
          "has_proba"_a, "threshold"_a);
    m.def("multiclass_cells", &multiclass_cells_of, "columns"_a, "target"_a, "prediction"_a, "classes"_a, "has_proba"_a);
    m.def("slot_errors", &slot_errors_of, "slots"_a, "errors"_a, "n_slots"_a);
    m.def("regression_sum_names", [] {
        std::vector<std::string> names;
        for (const SumRow& r : REGRESSION_SUMS) names.emplace_back(r.name);
        return names;
    });
    m.def("exact_sum", [](const std::vector<double>& values) {
        ExactSum s;
        for (double v : values) s.add(v);
        return limbs_of(s);
    });
    morvane::native::bind_metrics(m);
    morvane::native::bind_quality(m);
}
