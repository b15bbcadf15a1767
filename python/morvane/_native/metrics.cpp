// The metric formulas of the fixed module, fed with counts and sums from a profile
// instead of raw rows: one row per formula family.
#include "metrics.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "core/data_bias/pre_training.hpp"
#include "core/drift/scores.hpp"
#include "core/model_bias/post_training.hpp"
#include "core/performance/records.hpp"
#include "core/performance/regression.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace nb = nanobind;

namespace morvane::native {

namespace {

using U = std::uint64_t;

std::array<float, 7> binary_metrics(U tp, U fp, U tn, U fn) {
    ConfusionMatrix cm{tp, fp, tn, fn};
    return classification_metrics(cm).values;
}

std::array<float, 8> regression_metrics(double n, double squared_error, double absolute_error, double max_error,
                                        double squared_log_error, double absolute_percent_error, double y_sum,
                                        double y2_sum, double p2_sum, double yp_sum) {
    LinearRegressionErrorBuckets b;
    b.squared_error_sum = squared_error;
    b.absolute_error_sum = absolute_error;
    b.max_error = max_error;
    b.squared_log_error_sum = squared_log_error;
    b.absolute_percent_error_sum = absolute_percent_error;
    b.y_true_sum = y_sum;
    b.count = n;
    b.y_true_squared_sum = y2_sum;
    b.y_pred_squared_sum = p2_sum;
    b.y_true_y_pred_sum = yp_sum;
    return regression_metrics(b, n).values;
}

std::optional<std::array<float, 7>> pre_training(U a_positive, U a_count, U d_positive, U d_count) {
    const PreTraining p = PreTraining::from_facet_counts(a_positive, a_count, d_positive, d_count);
    if (!p.has_both_facets()) return std::nullopt;
    return data_bias::core::pre_training_values(p);
}

// Counts per facet as [label][prediction]: tn, fp, fn, tp.
std::optional<std::array<float, 12>> post_training(const std::array<U, 4>& a, const std::array<U, 4>& d) {
    PostTraining t;
    BucketGeneralizedEntropy ge;
    for (int facet = 0; facet < 2; ++facet) {
        const auto& c = facet == 0 ? a : d;
        for (int label = 0; label < 2; ++label)
            for (int pred = 0; pred < 2; ++pred) {
                const U n = c[static_cast<std::size_t>(label * 2 + pred)];
                t.add_combination(facet == 0, pred == 1, label == 1, n);
                if (!label) ge.benefit_two += n;
                else if (pred) ge.benefit_one += n;
                else ge.benefit_zero += n;
            }
    }
    if (model_bias::check_guards(t) != model_bias::GuardFailure::None) return std::nullopt;
    return model_bias::bias_values(t, ge.generalized_entropy());
}

double drift(const std::vector<double>& baseline, const std::vector<double>& runtime, double total, bool continuous,
             const std::string& type) {
    auto t = parse_drift_type(type);
    if (!t) throw nb::value_error("Unsupported drift type");
    if (baseline.size() != runtime.size()) throw nb::value_error("histograms of different lengths");
    return global_compute_drift(baseline, runtime, total, continuous ? HistogramKind::Continuous : HistogramKind::Categorical, *t);
}

// Rows of counts in, one row of formula values out per row: the formulas of many tables
// (expected, drawn or shifted counts, whole or fractional) in one call.
using Counts = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

template <class T>
nb::ndarray<nb::numpy, T, nb::ndim<2>> owned_rows(std::vector<T>&& v, std::size_t rows, std::size_t width) {
    auto* owned = new std::vector<T>(std::move(v));
    nb::capsule free(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return nb::ndarray<nb::numpy, T, nb::ndim<2>>(owned->data(), {rows, width}, free);
}

// Each row of `counts` (width columns) through `formula`, into rows of `Width` values.
template <class T, std::size_t Width, class F>
nb::ndarray<nb::numpy, T, nb::ndim<2>> per_row(const Counts& counts, std::size_t width, F formula) {
    if (counts.shape(1) != width) throw nb::value_error("counts of the wrong width");
    const std::size_t rows = counts.shape(0);
    std::vector<T> out(rows * Width);
    {
        nb::gil_scoped_release release;
        for (std::size_t r = 0; r < rows; ++r) {
            const std::array<T, Width> v = formula(counts.data() + r * width);
            std::copy(v.begin(), v.end(), out.begin() + static_cast<std::ptrdiff_t>(r * Width));
        }
    }
    return owned_rows(std::move(out), rows, Width);
}

// Rows of tp, fp, tn, fn: the seven ratio metrics, in 32 bits as the core reads counts.
nb::object binary_metrics_many(const Counts& counts) {
    return nb::cast(per_row<float, 7>(counts, 4, [](const double* c) {
        return ratio_metrics(static_cast<float>(c[0]), static_cast<float>(c[1]), static_cast<float>(c[2]),
                             static_cast<float>(c[3]));
    }));
}

// Rows of a_positive, a_count, d_positive, d_count: the data-bias metrics, unguarded. The
// gap and total are formed in 64 bits and converted once, as from whole counts.
template <class T>
std::array<T, 7> pre_training_row(const double* c) {
    return data_bias::core::pre_training_formulas<T>({static_cast<T>(c[0]), static_cast<T>(c[1]), static_cast<T>(c[2]),
                                                     static_cast<T>(c[3]), static_cast<T>(std::fabs(c[1] - c[3])),
                                                     static_cast<T>(c[1] + c[3])});
}

// One facet's [label][prediction] cells tn, fp, fn, tp; sums formed in 64 bits, converted once.
template <class T>
model_bias::FacetCounts<T> facet_row(const double* c) {
    const double tn = c[0], fp = c[1], fn = c[2], tp = c[3], n = tn + fp + fn + tp;
    const auto t = [](double v) { return static_cast<T>(v); };
    return {t(tp), t(fp), t(tn), t(fn), t(n), t(fn + tp), t(fp + tp), t(tn + fp), t(tn + fn)};
}

// Rows of both facets' cells (a then d, each tn, fp, fn, tp): the model-bias count
// formulas, unguarded.
template <class T>
std::array<T, 11> post_training_row(const double* c) {
    const double total = c[0] + c[1] + c[2] + c[3] + c[4] + c[5] + c[6] + c[7];
    const double pred_negative = c[0] + c[2] + c[4] + c[6];
    return model_bias::post_training_formulas<T>(
        {facet_row<T>(c), facet_row<T>(c + 4), static_cast<T>(total), static_cast<T>(pred_negative)});
}

// 32-bit values as the metrics have them, or 64-bit ones for derivatives of the formulas.
template <std::size_t Width, class Row32, class Row64>
nb::object in_precision(const Counts& counts, std::size_t width, bool wide, Row32 f32, Row64 f64) {
    if (wide) return nb::cast(per_row<double, Width>(counts, width, f64));
    return nb::cast(per_row<float, Width>(counts, width, f32));
}

nb::object pre_training_many(const Counts& counts, bool wide) {
    return in_precision<7>(counts, 4, wide, pre_training_row<float>, pre_training_row<double>);
}

nb::object post_training_many(const Counts& counts, bool wide) {
    return in_precision<11>(counts, 8, wide, post_training_row<float>, post_training_row<double>);
}

// Elements by benefit 0, 1, 2: the unnormalised generalized entropy.
float generalized_entropy(U zero, U one, U two) { return BucketGeneralizedEntropy{zero, one, two}.generalized_entropy(); }

template <class M>
std::vector<std::string> names() {
    std::vector<std::string> out;
    for (const auto& row : MetricTable<M>::rows) out.emplace_back(row.name);
    return out;
}

}  // namespace

void bind_metrics(nb::module_& m) {
    m.def("binary_metrics", &binary_metrics);
    m.def("regression_metrics", &regression_metrics);
    m.def("pre_training", &pre_training);
    m.def("post_training", &post_training);
    m.def("drift", &drift);
    m.def("binary_metrics_many", &binary_metrics_many);
    m.def("pre_training_many", &pre_training_many);
    m.def("post_training_many", &post_training_many);
    m.def("generalized_entropy", &generalized_entropy);
    m.def("classification_names", &names<ClassificationEvaluationMetric>);
    m.def("regression_names", &names<LinearRegressionEvaluationMetric>);
    m.def("data_bias_names", &names<DataBiasMetric>);
    m.def("model_bias_names", &names<ModelBiasMetric>);
}

}  // namespace morvane::native
