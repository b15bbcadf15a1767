// The metric formulas of the fixed module, fed with counts and sums from a profile
// instead of raw rows: one row per formula family.
#include "metrics.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <span>

#include "core/data_bias/pre_training.hpp"
#include "core/drift/scores.hpp"
#include "core/model_bias/post_training.hpp"
#include "core/performance/records.hpp"
#include "core/performance/regression.hpp"

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

using Histogram = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// The histograms are read in place (a million categories would cost more to copy than to score).
double drift(Histogram baseline, Histogram runtime, double total, bool continuous, const std::string& type) {
    auto t = parse_drift_type(type);
    if (!t) throw nb::value_error("Unsupported drift type");
    if (baseline.shape(0) != runtime.shape(0)) throw nb::value_error("histograms of different lengths");
    const std::span<const double> b(baseline.data(), baseline.shape(0)), r(runtime.data(), runtime.shape(0));
    nb::gil_scoped_release release;
    return global_compute_drift(b, r, total, continuous ? HistogramKind::Continuous : HistogramKind::Categorical, *t);
}

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
    m.def("classification_names", &names<ClassificationEvaluationMetric>);
    m.def("regression_names", &names<LinearRegressionEvaluationMetric>);
    m.def("data_bias_names", &names<DataBiasMetric>);
    m.def("model_bias_names", &names<ModelBiasMetric>);
}

}  // namespace morvane::native
