// The performance family's Python functions.
#include "model_perf/python.hpp"

#include "data_handler/arrays.hpp"
#include "data_handler/core_confusion.hpp"
#include "model_perf/core_regression.hpp"
#include "model_perf/core_runtime.hpp"
#include "py/call.hpp"
#include "py/to_python.hpp"

namespace morvane::py {

namespace {

// Both arrays through convert_f32; any failure, whatever its cause, is reported as
// the one ValueError the regression function uses.
std::optional<std::pair<std::vector<float>, std::vector<float>>> read_pair(AnyArray y_true, AnyArray y_pred) {
    auto t = convert_f32(y_true.array, determine_type(y_true.array));
    auto p = t ? convert_f32(y_pred.array, determine_type(y_pred.array)) : std::nullopt;
    if (!t || !p) {
        PyErr_Clear();
        value_error("Invalid types passed");
        return std::nullopt;
    }
    return std::pair{std::move(*t), std::move(*p)};
}

// The classification functions raise the conversion error itself.
std::optional<std::pair<std::vector<float>, std::vector<float>>> read_pair_raw(AnyArray y_true, AnyArray y_pred) {
    auto t = convert_f32(y_true.array, determine_type(y_true.array));
    if (!t) return std::nullopt;
    auto p = convert_f32(y_pred.array, determine_type(y_pred.array));
    if (!p) return std::nullopt;
    return std::pair{std::move(*t), std::move(*p)};
}

template <class M, class E>
PyObject* report_dict(Result<DriftReport<M>, E>&& report) {
    if (!report) return fail(report.error());
    return into_py_dict(*report);
}

const Signature LINEAR_REGRESSION = function_signature("py_model_perf_linear_regression", {"y_true_src", "y_pred_src"});

PyObject* linear_regression(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(LINEAR_REGRESSION, args, nargs, kwnames, [](AnyArray y_true, AnyArray y_pred) -> PyObject* {
        auto data = read_pair(y_true, y_pred);
        if (!data) return nullptr;
        auto rt = LinearRegressionRuntime::make(data->first, data->second);
        if (!rt) return fail(rt.error());
        return report_to_py_dict(rt->to_map());
    });
}

const Signature CLASSIFICATION = function_signature("py_model_perf_classification", {"y_true_src", "y_pred_src"});

PyObject* classification(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(CLASSIFICATION, args, nargs, kwnames, [](AnyArray y_true, AnyArray y_pred) -> PyObject* {
        auto data = read_pair_raw(y_true, y_pred);
        if (!data) return nullptr;
        ConfusionMatrix cm;
        if (auto ok = cm.push_dataset(data->first, data->second, 1.0f); !ok) return fail(ok.error());
        return report_to_py_dict(BinaryClassificationRuntime::from_confusion(cm).to_map());
    });
}

const Signature LOGISTIC_REGRESSION =
    function_signature("py_model_perf_logistic_regression", {"y_true_src", "y_pred_src", "threshold"});

PyObject* logistic_regression(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(LOGISTIC_REGRESSION, args, nargs, kwnames,
                [](AnyArray y_true, AnyArray y_pred, float threshold) -> PyObject* {
                    auto data = read_pair_raw(y_true, y_pred);
                    if (!data) return nullptr;
                    auto rt = LogisticRegressionRuntime::make(data->first, data->second, threshold);
                    if (!rt) return fail(rt.error());
                    return report_to_py_dict(rt->to_map());
                });
}

// The six runtime checks: a full one over every metric of the family and a partial
// one over the names the caller lists, parsed before any dict is read.
const Signature LIN_REG_RT_FULL = function_signature("py_model_perf_lin_reg_rt_full", {"baseline", "latest", "threshold=0.10"});
const Signature LOG_REG_RT_FULL = function_signature("py_model_perf_log_reg_rt_full", {"baseline", "latest", "threshold=0.10"});
const Signature CLASS_RT_FULL = function_signature("py_model_perf_class_rt_full", {"baseline", "latest", "threshold=0.10"});
const Signature LIN_REG_RT_PARTIAL = function_signature("py_model_perf_lin_reg_rt_partial",
                                                        {"baseline", "latest", "evaluation_metrics", "threshold=0.10"});
const Signature LOG_REG_RT_PARTIAL = function_signature("py_model_perf_log_reg_rt_partial",
                                                        {"baseline", "latest", "evaluation_metrics", "threshold=0.10"});
const Signature CLASS_RT_PARTIAL = function_signature("py_model_perf_class_rt_partial",
                                                      {"baseline", "latest", "evaluation_metrics", "threshold=0.10"});

template <auto Check, auto& ALL>
PyObject* rt_full(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(sig, args, nargs, kwnames, [](FloatDict baseline, FloatDict latest, Threshold threshold) -> PyObject* {
        return report_dict(Check(baseline, latest, ALL, threshold.value));
    });
}

template <auto Check, auto Parse>
PyObject* rt_partial(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(sig, args, nargs, kwnames,
                [](FloatDict baseline, FloatDict latest, std::vector<std::string> names, Threshold threshold) -> PyObject* {
                    auto metrics = Parse(names);
                    if (!metrics) return fail(metrics.error());
                    return report_dict(Check(baseline, latest, *metrics, threshold.value));
                });
}

PyObject* lin_reg_rt_full(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return rt_full<regression_performance_runtime, ALL_REGRESSION_METRICS>(LIN_REG_RT_FULL, a, n, kw);
}
PyObject* log_reg_rt_full(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return rt_full<logistic_performance_runtime, ALL_LOGISTIC_METRICS>(LOG_REG_RT_FULL, a, n, kw);
}
PyObject* class_rt_full(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return rt_full<classification_performance_runtime, ALL_CLASSIFICATION_METRICS>(CLASS_RT_FULL, a, n, kw);
}
PyObject* lin_reg_rt_partial(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return rt_partial<regression_performance_runtime, parse_linear_regression_metrics>(LIN_REG_RT_PARTIAL, a, n, kw);
}
PyObject* log_reg_rt_partial(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return rt_partial<logistic_performance_runtime, parse_logistic_regression_metrics>(LOG_REG_RT_PARTIAL, a, n, kw);
}
PyObject* class_rt_partial(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return rt_partial<classification_performance_runtime, parse_classification_metrics>(CLASS_RT_PARTIAL, a, n, kw);
}

}  // namespace

const FunctionDef PY_MODEL_PERF_LINEAR_REGRESSION{&LINEAR_REGRESSION, linear_regression};
const FunctionDef PY_MODEL_PERF_CLASSIFICATION{&CLASSIFICATION, classification};
const FunctionDef PY_MODEL_PERF_LOGISTIC_REGRESSION{&LOGISTIC_REGRESSION, logistic_regression};
const FunctionDef PY_MODEL_PERF_LIN_REG_RT_FULL{&LIN_REG_RT_FULL, lin_reg_rt_full};
const FunctionDef PY_MODEL_PERF_LOG_REG_RT_FULL{&LOG_REG_RT_FULL, log_reg_rt_full};
const FunctionDef PY_MODEL_PERF_CLASS_RT_FULL{&CLASS_RT_FULL, class_rt_full};
const FunctionDef PY_MODEL_PERF_LIN_REG_RT_PARTIAL{&LIN_REG_RT_PARTIAL, lin_reg_rt_partial};
const FunctionDef PY_MODEL_PERF_LOG_REG_RT_PARTIAL{&LOG_REG_RT_PARTIAL, log_reg_rt_partial};
const FunctionDef PY_MODEL_PERF_CLASS_RT_PARTIAL{&CLASS_RT_PARTIAL, class_rt_partial};

}  // namespace morvane::py
