// The performance family: the one-shot functions, the runtime checks and the three
// streaming monitors. Mutating monitor methods take the object exclusively, snapshots
// and reports share it.
#include <cstring>

#include "bind/families.hpp"
#include "core/common/confusion_counts.hpp"
#include "core/performance/checks.hpp"
#include "core/performance/monitors.hpp"
#include "core/performance/regression.hpp"
#include "py/array_read.hpp"
#include "py/arrays.hpp"
#include "py/batch_values.hpp"
#include "py/call.hpp"
#include "py/monitor_methods.hpp"
#include "py/object.hpp"
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

const Signature LINEAR_REGRESSION = function_signature("py_model_perf_linear_regression", {"y_true_src", "y_pred_src"});

PyObject* linear_regression(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(LINEAR_REGRESSION, args, nargs, kwnames, [](AnyArray y_true, AnyArray y_pred) -> PyObject* {
        // Numeric arrays are summed straight from their memory.
        LinearRegressionErrorBuckets sums;
        const Direct direct =
            read_views(y_true.array, y_pred.array, [&](const ArrayView& t, const ArrayView& p) { sums.push_views(t, p); });
        if (direct == Direct::LengthMismatch) return fail(ModelPerformanceError::of(PerfKind::DataVectorLengthMismatch));
        if (direct == Direct::Done) {
            if (sums.count == 0.0) return fail(ModelPerformanceError::of(PerfKind::EmptyDataVector));
            return report_to_py_dict(regression_metrics(sums, sums.count).to_map());
        }
        auto data = read_pair(y_true, y_pred);
        if (!data) return nullptr;
        auto rt = regression_metrics(data->first, data->second);
        if (!rt) return fail(rt.error());
        return report_to_py_dict(rt->to_map());
    });
}

const Signature CLASSIFICATION = function_signature("py_model_perf_classification", {"y_true_src", "y_pred_src"});

PyObject* classification(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(CLASSIFICATION, args, nargs, kwnames, [](AnyArray y_true, AnyArray y_pred) -> PyObject* {
        ConfusionMatrix cm;
        // Arrays read_views can read in place are counted from their memory at once.
        const Direct direct =
            read_views(y_true.array, y_pred.array, [&](const ArrayView& t, const ArrayView& p) { cm.push_views(t, p, 1.0f); });
        if (direct == Direct::LengthMismatch) return fail(ModelPerformanceError::of(PerfKind::DataVectorLengthMismatch));
        if (direct == Direct::NotEligible) {
            auto data = read_pair_raw(y_true, y_pred);
            if (!data) return nullptr;
            if (auto ok = cm.push_dataset(data->first, data->second, 1.0f); !ok) return fail(ok.error());
        }
        return report_to_py_dict(classification_metrics(cm).to_map());
    });
}

// The logistic computation straight from array memory, or nullopt when the arrays
// need the converting path.
std::optional<Result<LogisticRegressionRecord, ModelPerformanceError>> logistic_direct(AnyArray y_true, AnyArray y_pred,
                                                                                        double threshold) {
    Result<LogisticAccumulator, ModelPerformanceError> acc = unexpected(ModelPerformanceError::of(PerfKind::InvalidData));
    const Direct direct = read_views(y_true.array, y_pred.array, [&](const ArrayView& t, const ArrayView& p) {
        acc = LogisticAccumulator::start(t.length, threshold);
        if (acc) acc->add_views(t, p);
    });
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
                        rt = logistic_metrics(data->first, data->second, threshold);
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
        return report_or_fail(Check(baseline, latest, ALL, threshold.value));
    });
}

template <auto Check, auto Parse>
PyObject* rt_partial(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(sig, args, nargs, kwnames,
                [](FloatDict baseline, FloatDict latest, std::vector<std::string> names, Threshold threshold) -> PyObject* {
                    auto metrics = Parse(names);
                    if (!metrics) return fail(metrics.error());
                    return report_or_fail(Check(baseline, latest, *metrics, threshold.value));
                });
}

PyObject* lin_reg_rt_full(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return rt_full<performance_check<LinearRegressionRecord>, ALL_METRICS_OF<tables::REGRESSION>>(LIN_REG_RT_FULL, a, n, kw);
}
PyObject* log_reg_rt_full(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return rt_full<performance_check<LogisticRegressionRecord>, ALL_METRICS_OF<tables::LOGISTIC>>(LOG_REG_RT_FULL, a, n, kw);
}
PyObject* class_rt_full(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return rt_full<performance_check<BinaryClassificationRecord>, ALL_METRICS_OF<tables::CLASSIFICATION>>(CLASS_RT_FULL, a, n, kw);
}
PyObject* lin_reg_rt_partial(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return rt_partial<performance_check<LinearRegressionRecord>, parse_linear_regression_metrics>(LIN_REG_RT_PARTIAL, a, n, kw);
}
PyObject* log_reg_rt_partial(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return rt_partial<performance_check<LogisticRegressionRecord>, parse_logistic_regression_metrics>(LOG_REG_RT_PARTIAL, a, n, kw);
}
PyObject* class_rt_partial(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return rt_partial<performance_check<BinaryClassificationRecord>, parse_classification_metrics>(CLASS_RT_PARTIAL, a, n, kw);
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


namespace morvane::py {

namespace {

// Signatures of the methods common to the three classes.
#define MORVANE_MONITOR_SIGNATURES(P, CLS)                                                                    \
    const Signature P##_PUSH_BATCH = method_signature(CLS, "push_batch", {"y_true", "y_pred"});               \
    const Signature P##_RESET = method_signature(CLS, "reset_baseline", {"y_true", "y_pred"});                \
    MORVANE_MONITOR_SURFACE_SIGNATURES(P, CLS)

// push_batch of a monitor whose batches are read as E, from views where they can be.
template <class Monitor, class E, const Signature& SIG>
PyObject* push_batch(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return Class<Monitor>::template method<Access::Exclusive>(SIG, self, a, n, kw, [](Monitor& m, Object t, Object p) -> PyObject* {
        std::array<BatchValues<E>, 2> values;
        if (!read_batch(SIG, std::array{t.object, p.object}, values)) return nullptr;
        return done(m.push_batch(values[0].get(), values[1].get()));
    });
}

// ---- PyLinearRegressionStreaming ----

using Linear = MonitorMethods<LinearRegressionStreaming, parse_linear_regression_metrics>;
const Signature LIN_CLASS = class_signature("PyLinearRegressionStreaming", {"y_true", "y_pred"});
const Signature LIN_PUSH = method_signature("PyLinearRegressionStreaming", "push", {"t", "p"});
MORVANE_MONITOR_SIGNATURES(LIN, "PyLinearRegressionStreaming")

PyObject* lin_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    return Linear::C::construct(LIN_CLASS, tp, args, kwargs, [](Seq<float> y_true, Seq<float> y_pred) {
        return LinearRegressionStreaming::make(y_true.values, y_pred.values);
    });
}

PyObject* lin_push(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return Linear::C::method<Access::Exclusive>(LIN_PUSH, self, a, n, kw,
                                                [](LinearRegressionStreaming& m, float t, float p) -> PyObject* {
                                                    m.push(t, p);
                                                    Py_RETURN_NONE;
                                                });
}

// ---- PyLogisticRegressionStreaming ----

using Logistic = MonitorMethods<LogisticRegressionStreaming, parse_logistic_regression_metrics>;
const Signature LOG_CLASS = class_signature("PyLogisticRegressionStreaming", {"y_true", "y_pred", "threshold"});
const Signature LOG_PUSH = method_signature("PyLogisticRegressionStreaming", "push", {"y_true", "y_pred"});
const Signature LOG_RESET_THRESHOLD = method_signature("PyLogisticRegressionStreaming", "reset_baseline_and_decision_threshold",
                                                       {"y_true", "y_pred", "threshold"});
MORVANE_MONITOR_SIGNATURES(LOG, "PyLogisticRegressionStreaming")

PyObject* log_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    return Logistic::C::construct(LOG_CLASS, tp, args, kwargs, [](Seq<float> y_true, Seq<float> y_pred, float threshold) {
        return LogisticRegressionStreaming::make(y_true.values, y_pred.values, threshold);
    });
}

PyObject* log_push(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return Logistic::C::method<Access::Exclusive>(LOG_PUSH, self, a, n, kw,
                                                  [](LogisticRegressionStreaming& m, float t, float p) -> PyObject* {
                                                      return done(m.push(t, p));
                                                  });
}

PyObject* log_reset_threshold(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return Logistic::C::method<Access::Exclusive>(
        LOG_RESET_THRESHOLD, self, a, n, kw,
        [](LogisticRegressionStreaming& m, Seq<float> y_true, Seq<float> y_pred, float threshold) -> PyObject* {
            return done(m.reset_baseline_and_decision_threshold(y_true.values, y_pred.values, threshold));
        });
}

// ---- PyBinaryClassificationStreaming ----

using Binary = MonitorMethods<BinaryClassificationStreaming, parse_classification_metrics>;
const Signature BIN_CLASS = class_signature("PyBinaryClassificationStreaming", {"y_true", "y_pred"});
const Signature BIN_PUSH = method_signature("PyBinaryClassificationStreaming", "push", {"y_true", "y_pred"});
MORVANE_MONITOR_SIGNATURES(BIN, "PyBinaryClassificationStreaming")

PyObject* bin_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    return Binary::C::construct(BIN_CLASS, tp, args, kwargs, [](Seq<std::int32_t> y_true, Seq<std::int32_t> y_pred) {
        return BinaryClassificationStreaming::make(y_true.values, y_pred.values);
    });
}

PyObject* bin_push(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return Binary::C::method<Access::Exclusive>(
        BIN_PUSH, self, a, n, kw, [](BinaryClassificationStreaming& m, std::int32_t t, std::int32_t p) -> PyObject* {
            m.push(t, p);
            Py_RETURN_NONE;
        });
}

}  // namespace

// Methods in the order each class presents them.
PyTypeObject* binary_classification_streaming_type() {
    static const ClassDef DEF = Binary::C::def(
        "PyBinaryClassificationStreaming", BIN_CLASS, bin_new,
        {noargs(BIN_FLUSH, Binary::flush<BIN_FLUSH>), fastcall(BIN_PUSH_BATCH, push_batch<BinaryClassificationStreaming, std::int32_t, BIN_PUSH_BATCH>),
         fastcall(BIN_PUSH, bin_push), fastcall(BIN_RESET, Binary::reset_baseline<BIN_RESET, Seq<std::int32_t>, Seq<std::int32_t>>),
         noargs(BIN_PERF, Binary::performance_snapshot<BIN_PERF>), noargs(BIN_DRIFT, Binary::drift_snapshot<BIN_DRIFT>),
         fastcall(BIN_REPORT, Binary::drift_report<BIN_REPORT>),
         fastcall(BIN_PARTIAL, Binary::drift_report_partial_metrics<BIN_PARTIAL>)});
    return Binary::C::create(DEF);
}

PyTypeObject* linear_regression_streaming_type() {
    static const ClassDef DEF = Linear::C::def(
        "PyLinearRegressionStreaming", LIN_CLASS, lin_new,
        {noargs(LIN_FLUSH, Linear::flush<LIN_FLUSH>), fastcall(LIN_PUSH, lin_push),
         fastcall(LIN_PUSH_BATCH, push_batch<LinearRegressionStreaming, float, LIN_PUSH_BATCH>), fastcall(LIN_RESET, Linear::reset_baseline<LIN_RESET, Seq<float>, Seq<float>>),
         noargs(LIN_PERF, Linear::performance_snapshot<LIN_PERF>), noargs(LIN_DRIFT, Linear::drift_snapshot<LIN_DRIFT>),
         fastcall(LIN_REPORT, Linear::drift_report<LIN_REPORT>),
         fastcall(LIN_PARTIAL, Linear::drift_report_partial_metrics<LIN_PARTIAL>)});
    return Linear::C::create(DEF);
}

PyTypeObject* logistic_regression_streaming_type() {
    static const ClassDef DEF = Logistic::C::def(
        "PyLogisticRegressionStreaming", LOG_CLASS, log_new,
        {fastcall(LOG_PUSH, log_push), fastcall(LOG_PUSH_BATCH, push_batch<LogisticRegressionStreaming, float, LOG_PUSH_BATCH>),
         noargs(LOG_PERF, Logistic::performance_snapshot<LOG_PERF>), noargs(LOG_DRIFT, Logistic::drift_snapshot<LOG_DRIFT>),
         fastcall(LOG_REPORT, Logistic::drift_report<LOG_REPORT>),
         fastcall(LOG_PARTIAL, Logistic::drift_report_partial_metrics<LOG_PARTIAL>),
         noargs(LOG_FLUSH, Logistic::flush<LOG_FLUSH>), fastcall(LOG_RESET, Logistic::reset_baseline<LOG_RESET, Seq<float>, Seq<float>>),
         fastcall(LOG_RESET_THRESHOLD, log_reset_threshold)});
    return Logistic::C::create(DEF);
}

}  // namespace morvane::py
