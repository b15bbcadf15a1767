// The performance family's Python functions.
#include "model_perf/python.hpp"

#include <cstring>

#include "data_handler/arrays.hpp"
#include "data_handler/core_confusion.hpp"
#include "model_perf/core_regression.hpp"
#include "model_perf/core_runtime.hpp"
#include "py/array_read.hpp"
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

// Two numeric one-dimensional arrays of native byte order are read straight from their
// memory in blocks of 32-bit floats, converted exactly as convert_f32 converts them
// (through a double), so no whole-array vectors are allocated: `begin(n)` is told the
// common length (and may decline by returning false), then `block(t, p)` sees
// consecutive equal-length blocks in order. Any other pair of arrays is NotEligible,
// with nothing called: those take the convert_f32 path with its errors.
enum class Direct { NotEligible, LengthMismatch, Done };

template <class Begin, class Block>
Direct read_blocks(AnyArray y_true, AnyArray y_pred, Begin&& begin, Block&& block) {
    auto eligible = [](PyArrayObject* a) {
        const InputDataType kind = determine_type(a);
        return (kind == InputDataType::Float || kind == InputDataType::Integer) && visit_numeric(a, [](auto) {});
    };
    if (!eligible(y_true.array) || !eligible(y_pred.array)) return Direct::NotEligible;
    const npy_intp n = PyArray_DIM(y_true.array, 0);
    // The room of the two converted vectors, before anything else, as convert_f32 takes it.
    reserve_as_copy(static_cast<std::size_t>(n) + static_cast<std::size_t>(PyArray_DIM(y_pred.array, 0)), sizeof(float));
    if (PyArray_DIM(y_pred.array, 0) != n) return Direct::LengthMismatch;
    if (!begin(static_cast<std::size_t>(n))) return Direct::Done;
    // Two blocks of 8 KiB stay in the first-level cache while the core reads them.
    constexpr npy_intp BLOCK = 2048;
    float t[BLOCK], p[BLOCK];
    auto fill = [](PyArrayObject* a, npy_intp start, npy_intp k, float* out) {
        visit_numeric(a, [&](auto view) {
            using T = typename decltype(view)::value_type;
            if (view.stride == static_cast<npy_intp>(sizeof(T))) {
                // Contiguous: a fixed stride the compiler can vectorise.
                const char* base = view.data + start * static_cast<npy_intp>(sizeof(T));
                for (npy_intp j = 0; j < k; ++j) {
                    T v;
                    std::memcpy(&v, base + j * static_cast<npy_intp>(sizeof(T)), sizeof(T));
                    out[j] = static_cast<float>(static_cast<double>(v));
                }
            } else {
                for (npy_intp j = 0; j < k; ++j) out[j] = static_cast<float>(static_cast<double>(view[start + j]));
            }
        });
    };
    for (npy_intp start = 0; start < n; start += BLOCK) {
        const npy_intp k = std::min(BLOCK, n - start);
        fill(y_true.array, start, k, t);
        fill(y_pred.array, start, k, p);
        block(std::span<const float>(t, static_cast<std::size_t>(k)), std::span<const float>(p, static_cast<std::size_t>(k)));
    }
    return Direct::Done;
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
        ConfusionMatrix cm;
        const Direct direct = read_blocks(
            y_true, y_pred, [](std::size_t) { return true; }, [&](auto t, auto p) { (void)cm.push_dataset(t, p, 1.0f); });
        if (direct == Direct::LengthMismatch) return fail(ModelPerformanceError::of(PerfKind::DataVectorLengthMismatch));
        if (direct == Direct::NotEligible) {
            auto data = read_pair_raw(y_true, y_pred);
            if (!data) return nullptr;
            if (auto ok = cm.push_dataset(data->first, data->second, 1.0f); !ok) return fail(ok.error());
        }
        return report_to_py_dict(BinaryClassificationRuntime::from_confusion(cm).to_map());
    });
}

// The logistic computation straight from array memory, or nullopt when the arrays
// need the converting path.
std::optional<Result<LogisticRegressionRuntime, ModelPerformanceError>> logistic_direct(AnyArray y_true, AnyArray y_pred,
                                                                                        double threshold) {
    Result<LogisticAccumulator, ModelPerformanceError> acc = unexpected(ModelPerformanceError::of(PerfKind::InvalidData));
    const Direct direct = read_blocks(
        y_true, y_pred,
        [&](std::size_t n) {
            acc = LogisticAccumulator::start(n, threshold);
            return acc.has_value();
        },
        [&](auto t, auto p) { acc->add(t, p); });
    if (direct == Direct::NotEligible) return std::nullopt;
    if (direct == Direct::LengthMismatch) return unexpected(ModelPerformanceError::of(PerfKind::DataVectorLengthMismatch));
    if (!acc) return unexpected(acc.error());
    return acc->finish();
}

const Signature LOGISTIC_REGRESSION =
    function_signature("py_model_perf_logistic_regression", {"y_true_src", "y_pred_src", "threshold"});

PyObject* logistic_regression(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(LOGISTIC_REGRESSION, args, nargs, kwnames,
                [](AnyArray y_true, AnyArray y_pred, float threshold) -> PyObject* {
                    auto rt = logistic_direct(y_true, y_pred, threshold);
                    if (!rt) {
                        auto data = read_pair_raw(y_true, y_pred);
                        if (!data) return nullptr;
                        rt = LogisticRegressionRuntime::make(data->first, data->second, threshold);
                    }
                    if (!*rt) return fail(rt->error());
                    return report_to_py_dict((*rt)->to_map());
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
