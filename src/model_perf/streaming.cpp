// The three streaming performance monitors as Python classes. Mutating methods take
// the object exclusively, snapshots and reports share it.
#include "model_perf/core_streaming.hpp"
#include "model_perf/python.hpp"
#include "py/object.hpp"
#include "py/to_python.hpp"

namespace morvane::py {

namespace {

using E = ModelPerformanceError;

PyObject* none_or_fail(Result<void, E>&& r) {
    if (!r) return fail(r.error());
    Py_RETURN_NONE;
}

template <class M>
PyObject* dict_or_fail(Result<MetricMap<M>, E>&& r) {
    if (!r) return fail(r.error());
    return report_to_py_dict(*r);
}

template <class M>
PyObject* report_or_fail(Result<DriftReport<M>, E>&& r) {
    if (!r) return fail(r.error());
    return into_py_dict(*r);
}

// The methods every monitor shares, written once over the monitor type, its element
// type, and its metric-list parser.
template <class Monitor, class Elem, auto Parse>
struct Monitors {
    using C = Class<Monitor>;
    using M = typename Monitor::Metric;

    template <const Signature& SIG>
    static PyObject* push_batch(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
        return C::template method<Access::Exclusive>(SIG, self, a, n, kw,
                                                     [](Monitor& m, Seq<Elem> y_true, Seq<Elem> y_pred) -> PyObject* {
                                                         return none_or_fail(m.push_batch(y_true.values, y_pred.values));
                                                     });
    }

    template <const Signature& SIG>
    static PyObject* flush(PyObject* self, PyObject*) {
        return C::template simple<Access::Exclusive>(self, &SIG, [](Monitor& m) -> PyObject* {
            m.flush();
            Py_RETURN_NONE;
        });
    }

    template <const Signature& SIG>
    static PyObject* reset_baseline(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
        return C::template method<Access::Exclusive>(SIG, self, a, n, kw,
                                                     [](Monitor& m, Seq<Elem> y_true, Seq<Elem> y_pred) -> PyObject* {
                                                         return none_or_fail(m.reset_baseline(y_true.values, y_pred.values));
                                                     });
    }

    template <const Signature& SIG>
    static PyObject* performance_snapshot(PyObject* self, PyObject*) {
        return C::template simple<Access::Shared>(self, &SIG, [](Monitor& m) -> PyObject* {
            auto rt = m.runtime();
            if (!rt) return fail(rt.error());
            return report_to_py_dict(rt->to_map());
        });
    }

    template <const Signature& SIG>
    static PyObject* drift_snapshot(PyObject* self, PyObject*) {
        return C::template simple<Access::Shared>(self, &SIG, [](Monitor& m) { return dict_or_fail(m.drift_snapshot()); });
    }

    template <const Signature& SIG>
    static PyObject* drift_report(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
        return C::template method<Access::Shared>(SIG, self, a, n, kw, [](Monitor& m, float threshold) -> PyObject* {
            return report_or_fail(m.drift_report(threshold, std::nullopt));
        });
    }

    template <const Signature& SIG>
    static PyObject* drift_report_partial_metrics(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
        return C::template method<Access::Shared>(
            SIG, self, a, n, kw, [](Monitor& m, std::vector<std::string> names, float threshold) -> PyObject* {
                auto metrics = Parse(names);
                if (!metrics) return fail(metrics.error());
                return report_or_fail(m.drift_report(threshold, std::span<const M>(*metrics)));
            });
    }
};

// Signatures of the methods common to the three classes.
#define MORVANE_MONITOR_SIGNATURES(P, CLS)                                                                    \
    const Signature P##_PUSH_BATCH = method_signature(CLS, "push_batch", {"y_true", "y_pred"});               \
    const Signature P##_FLUSH = method_signature(CLS, "flush", {});                                           \
    const Signature P##_RESET = method_signature(CLS, "reset_baseline", {"y_true", "y_pred"});                \
    const Signature P##_PERF = method_signature(CLS, "performance_snapshot", {});                             \
    const Signature P##_DRIFT = method_signature(CLS, "drift_snapshot", {});                                  \
    const Signature P##_REPORT = method_signature(CLS, "drift_report", {"drift_threshold"});                  \
    const Signature P##_PARTIAL = method_signature(CLS, "drift_report_partial_metrics", {"metrics", "drift_threshold"});

// ---- PyLinearRegressionStreaming ----

using Linear = Monitors<LinearRegressionStreaming, float, parse_linear_regression_metrics>;
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

using Logistic = Monitors<LogisticRegressionStreaming, float, parse_logistic_regression_metrics>;
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
                                                      return none_or_fail(m.push(t, p));
                                                  });
}

PyObject* log_reset_threshold(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return Logistic::C::method<Access::Exclusive>(
        LOG_RESET_THRESHOLD, self, a, n, kw,
        [](LogisticRegressionStreaming& m, Seq<float> y_true, Seq<float> y_pred, float threshold) -> PyObject* {
            return none_or_fail(m.reset_baseline_and_decision_threshold(y_true.values, y_pred.values, threshold));
        });
}

// ---- PyBinaryClassificationStreaming ----

using Binary = Monitors<BinaryClassificationStreaming, std::int32_t, parse_classification_metrics>;
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
        {noargs(BIN_FLUSH, Binary::flush<BIN_FLUSH>), fastcall(BIN_PUSH_BATCH, Binary::push_batch<BIN_PUSH_BATCH>),
         fastcall(BIN_PUSH, bin_push), fastcall(BIN_RESET, Binary::reset_baseline<BIN_RESET>),
         noargs(BIN_PERF, Binary::performance_snapshot<BIN_PERF>), noargs(BIN_DRIFT, Binary::drift_snapshot<BIN_DRIFT>),
         fastcall(BIN_REPORT, Binary::drift_report<BIN_REPORT>),
         fastcall(BIN_PARTIAL, Binary::drift_report_partial_metrics<BIN_PARTIAL>)});
    return Binary::C::create(DEF);
}

PyTypeObject* linear_regression_streaming_type() {
    static const ClassDef DEF = Linear::C::def(
        "PyLinearRegressionStreaming", LIN_CLASS, lin_new,
        {noargs(LIN_FLUSH, Linear::flush<LIN_FLUSH>), fastcall(LIN_PUSH, lin_push),
         fastcall(LIN_PUSH_BATCH, Linear::push_batch<LIN_PUSH_BATCH>), fastcall(LIN_RESET, Linear::reset_baseline<LIN_RESET>),
         noargs(LIN_PERF, Linear::performance_snapshot<LIN_PERF>), noargs(LIN_DRIFT, Linear::drift_snapshot<LIN_DRIFT>),
         fastcall(LIN_REPORT, Linear::drift_report<LIN_REPORT>),
         fastcall(LIN_PARTIAL, Linear::drift_report_partial_metrics<LIN_PARTIAL>)});
    return Linear::C::create(DEF);
}

PyTypeObject* logistic_regression_streaming_type() {
    static const ClassDef DEF = Logistic::C::def(
        "PyLogisticRegressionStreaming", LOG_CLASS, log_new,
        {fastcall(LOG_PUSH, log_push), fastcall(LOG_PUSH_BATCH, Logistic::push_batch<LOG_PUSH_BATCH>),
         noargs(LOG_PERF, Logistic::performance_snapshot<LOG_PERF>), noargs(LOG_DRIFT, Logistic::drift_snapshot<LOG_DRIFT>),
         fastcall(LOG_REPORT, Logistic::drift_report<LOG_REPORT>),
         fastcall(LOG_PARTIAL, Logistic::drift_report_partial_metrics<LOG_PARTIAL>),
         noargs(LOG_FLUSH, Logistic::flush<LOG_FLUSH>), fastcall(LOG_RESET, Logistic::reset_baseline<LOG_RESET>),
         fastcall(LOG_RESET_THRESHOLD, log_reset_threshold)});
    return Logistic::C::create(DEF);
}

}  // namespace morvane::py
