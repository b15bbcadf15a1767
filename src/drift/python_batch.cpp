// The batch drift classes and the two one-shot drift functions.
#include <Python.h>

#include "drift/core_batch.hpp"
#include "drift/python.hpp"
#include "drift/python_common.hpp"
#include "py/object.hpp"

namespace morvane::py {

namespace {

using namespace drift;
using Labels = std::vector<std::string>;

// ---- PyContinuousDataDrift ----

using ContinuousClass = Class<ContinuousDataDrift>;
constexpr const char* CONTINUOUS = "PyContinuousDataDrift";

const Signature CONTINUOUS_NEW = class_signature(
    CONTINUOUS, {"baseline_data", "quantile_type_str"},
    "Batch continuous data drift detector. Computes drift metrics between a fixed\n"
    "baseline histogram and a runtime data slice on each call.");
const Signature CONTINUOUS_COMPUTE = method_signature(CONTINUOUS, "compute_drift", {"runtime_data", "drift_type"},
                                                      "Compute a single drift metric against `runtime_data`.\n\n"
                                                      MORVANE_DRIFT_TYPE_PARAGRAPH);
const Signature CONTINUOUS_MULTIPLE =
    method_signature(CONTINUOUS, "compute_drift_mutliple_criteria", {"runtime_data", "drift_types"});
const Signature CONTINUOUS_RESET = method_signature(CONTINUOUS, "reset_baseline", {"baseline_data"},
                                                    "Replace the baseline with a new data slice, recomputing the histogram.");
const Signature CONTINUOUS_EXPORT = method_signature(
    CONTINUOUS, "export_baseline", {}, "Return the baseline as a normalized probability distribution (sums to 1.0).");
const Signature CONTINUOUS_NUM_BINS = method_signature(CONTINUOUS, "num_bins", {});

PyObject* continuous_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    return ContinuousClass::construct(
        CONTINUOUS_NEW, tp, args, kwargs,
        [](F64Array baseline, std::optional<std::string> quantile) -> std::optional<ContinuousDataDrift> {
            if (!require_contiguous(baseline)) return std::nullopt;
            auto q = parse_quantile(quantile);
            if (!q) return std::nullopt;
            return take(ContinuousDataDrift::new_from_baseline(*q, baseline.values()));
        });
}

PyObject* continuous_compute(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return ContinuousClass::method<Access::Exclusive>(
        CONTINUOUS_COMPUTE, self, a, n, kw, [](ContinuousDataDrift& d, F64Array data, std::string name) -> PyObject* {
            if (!require_contiguous(data)) return nullptr;
            auto type = parse_type(name);
            if (!type) return nullptr;
            auto score = take(d.compute_drift(data.values(), *type));
            return score ? to_py(*score) : nullptr;
        });
}

PyObject* continuous_multiple(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return ContinuousClass::method<Access::Exclusive>(
        CONTINUOUS_MULTIPLE, self, a, n, kw, [](ContinuousDataDrift& d, F64Array data, Labels names) -> PyObject* {
            if (!require_contiguous(data)) return nullptr;
            auto types = parse_types(names);
            if (!types) return nullptr;
            auto scores = take(d.compute_drift_multiple_criteria(data.values(), *types));
            return scores ? float_list(*scores) : nullptr;
        });
}

PyObject* continuous_reset(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return ContinuousClass::method<Access::Exclusive>(CONTINUOUS_RESET, self, a, n, kw,
                                                      [](ContinuousDataDrift& d, F64Array data) -> PyObject* {
                                                          if (!require_contiguous(data)) return nullptr;
                                                          if (!done(d.reset_baseline(data.values()))) return nullptr;
                                                          Py_RETURN_NONE;
                                                      });
}

PyObject* continuous_export(PyObject* self, PyObject*) {
    return ContinuousClass::simple<Access::Shared>(self, &CONTINUOUS_EXPORT, [](ContinuousDataDrift& d) {
        return float_list(d.baseline().baseline_bins());
    });
}

PyObject* continuous_num_bins(PyObject* self, void*) {
    return ContinuousClass::simple<Access::Shared>(self, &CONTINUOUS_NUM_BINS, [](ContinuousDataDrift& d) {
        return PyLong_FromSize_t(d.num_bins());
    });
}

// ---- PyCategoricalDataDrift ----

using CategoricalClass = Class<CategoricalDataDrift>;
constexpr const char* CATEGORICAL = "PyCategoricalDataDrift";

const Signature CATEGORICAL_NEW = class_signature(
    CATEGORICAL, {"baseline_data"},
    "Batch categorical data drift detector. Computes drift metrics between a fixed\n"
    "baseline label distribution and a runtime label slice on each call.");
const Signature CATEGORICAL_COMPUTE = method_signature(CATEGORICAL, "compute_drift", {"runtime_data", "drift_type"},
                                                       "Compute a single drift metric against `runtime_data`.\n\n"
                                                       MORVANE_DRIFT_TYPE_PARAGRAPH);
const Signature CATEGORICAL_MULTIPLE =
    method_signature(CATEGORICAL, "compute_drift_mutliple_criteria", {"runtime_data", "drift_types"});
const Signature CATEGORICAL_RESET = method_signature(
    CATEGORICAL, "reset_baseline", {"new_baseline"}, "Replace the baseline with a new set of labels, recomputing the distribution.");
const Signature CATEGORICAL_EXPORT = method_signature(CATEGORICAL, "export_baseline", {},
                                                      "Return the baseline label frequencies as a normalized distribution.");
const Signature CATEGORICAL_NUM_BINS = method_signature(CATEGORICAL, "num_bins", {});

PyObject* categorical_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    return CategoricalClass::construct(CATEGORICAL_NEW, tp, args, kwargs,
                                       [](Labels baseline) { return CategoricalDataDrift::make(baseline); });
}

PyObject* categorical_compute(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return CategoricalClass::method<Access::Exclusive>(
        CATEGORICAL_COMPUTE, self, a, n, kw, [](CategoricalDataDrift& d, Labels data, std::string name) -> PyObject* {
            auto type = parse_type(name);
            if (!type) return nullptr;
            auto score = take(d.compute_drift(data, *type));
            return score ? to_py(*score) : nullptr;
        });
}

PyObject* categorical_multiple(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return CategoricalClass::method<Access::Exclusive>(
        CATEGORICAL_MULTIPLE, self, a, n, kw, [](CategoricalDataDrift& d, Labels data, Labels names) -> PyObject* {
            auto types = parse_types(names);
            if (!types) return nullptr;
            auto scores = take(d.compute_drift_multiple_criteria(data, *types));
            return scores ? float_list(*scores) : nullptr;
        });
}

PyObject* categorical_reset(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return CategoricalClass::method<Access::Exclusive>(CATEGORICAL_RESET, self, a, n, kw,
                                                       [](CategoricalDataDrift& d, Labels labels) -> PyObject* {
                                                           if (!done(d.reset_baseline(labels))) return nullptr;
                                                           Py_RETURN_NONE;
                                                       });
}

PyObject* categorical_export(PyObject* self, PyObject*) {
    return CategoricalClass::simple<Access::Shared>(self, &CATEGORICAL_EXPORT, [](CategoricalDataDrift& d) {
        const auto& b = d.baseline();
        std::vector<std::pair<std::string_view, double>> entries;
        entries.reserve(b.label_index().size());
        for (const auto& [label, i] : b.label_index()) entries.emplace_back(label, b.baseline_bins()[i]);
        return label_dict(entries);
    });
}

PyObject* categorical_num_bins(PyObject* self, void*) {
    return CategoricalClass::simple<Access::Shared>(self, &CATEGORICAL_NUM_BINS, [](CategoricalDataDrift& d) {
        return PyLong_FromSize_t(d.num_bins());
    });
}

// ---- module functions ----

const Signature CATEGORICAL_FN =
    function_signature("py_compute_drift_categorical_distribtuion", {"baseline", "candidate", "drift_metrics"});
const Signature CONTINUOUS_FN = function_signature("py_compute_drift_continuous_distribtuion",
                                                   {"baseline", "candidate", "drift_metrics", "quantile_type"});

PyObject* categorical_fn(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(CATEGORICAL_FN, a, n, kw, [](Labels baseline, Labels candidate, Labels names) -> PyObject* {
        auto types = parse_types(names);
        if (!types) return nullptr;
        auto scores = take(compute_drift_categorical_distribution(baseline, candidate, *types));
        return scores ? float_list(*scores) : nullptr;
    });
}

PyObject* continuous_fn(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(CONTINUOUS_FN, a, n, kw,
                [](F64Array baseline, F64Array candidate, Labels names, std::optional<std::string> quantile) -> PyObject* {
                    if (!require_contiguous(baseline, candidate)) return nullptr;
                    auto types = parse_types(names);
                    if (!types) return nullptr;
                    auto q = parse_quantile(quantile);
                    if (!q) return nullptr;
                    auto scores =
                        take(compute_drift_continuous_distribution(baseline.values(), candidate.values(), *types, *q));
                    return scores ? float_list(*scores) : nullptr;
                });
}

}  // namespace

const FunctionDef PY_COMPUTE_DRIFT_CATEGORICAL_DISTRIBTUION{&CATEGORICAL_FN, categorical_fn};
const FunctionDef PY_COMPUTE_DRIFT_CONTINUOUS_DISTRIBTUION{&CONTINUOUS_FN, continuous_fn};

PyTypeObject* py_categorical_data_drift_type() {
    static const ClassDef DEF = CategoricalClass::def(
        CATEGORICAL, CATEGORICAL_NEW, categorical_new,
        {fastcall(CATEGORICAL_COMPUTE, categorical_compute), fastcall(CATEGORICAL_MULTIPLE, categorical_multiple),
         fastcall(CATEGORICAL_RESET, categorical_reset), noargs(CATEGORICAL_EXPORT, categorical_export)},
        {{"num_bins", categorical_num_bins, nullptr}});
    return CategoricalClass::create(DEF);
}

PyTypeObject* py_continuous_data_drift_type() {
    static const ClassDef DEF = ContinuousClass::def(
        CONTINUOUS, CONTINUOUS_NEW, continuous_new,
        {fastcall(CONTINUOUS_COMPUTE, continuous_compute), fastcall(CONTINUOUS_MULTIPLE, continuous_multiple),
         fastcall(CONTINUOUS_RESET, continuous_reset), noargs(CONTINUOUS_EXPORT, continuous_export)},
        {{"num_bins", continuous_num_bins, "Number of histogram bins used for this baseline."}});
    return ContinuousClass::create(DEF);
}

}  // namespace morvane::py
