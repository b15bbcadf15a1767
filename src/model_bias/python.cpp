// The model-bias family's Python functions and the PyModelBiasStreaming class.
#include "model_bias/python.hpp"

#include "model_bias/core_runtime.hpp"
#include "model_bias/core_streaming.hpp"
#include "py/call.hpp"
#include "py/object.hpp"
#include "py/to_python.hpp"

namespace morvane::py {

namespace {

// ---- Runtime checks against a stored baseline dict -------------------------------

// The latest record is built first, so its missing metric is the one reported.
PyObject* check(const FloatDict& baseline, const FloatDict& latest, std::span<const ModelBiasMetric> metrics,
                float threshold) {
    auto l = ModelBiasRuntime::from_map(latest);
    if (!l) return fail(l.error());
    auto b = ModelBiasRuntime::from_map(baseline);
    if (!b) return fail(b.error());
    return into_py_dict(DriftReport<ModelBiasMetric>::from_runtime(l->runtime_check(*b, metrics, threshold)));
}

const Signature RUNTIME_CHECK = function_signature("py_model_bias_runtime_check", {"baseline", "latest", "threshold=0.10"});

PyObject* runtime_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(RUNTIME_CHECK, args, nargs, kwnames, [](FloatDict baseline, FloatDict latest, Threshold t) {
        static constexpr auto ALL = [] {
            std::array<ModelBiasMetric, 12> all{};
            for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<ModelBiasMetric>(i);
            return all;
        }();
        return check(baseline, latest, ALL, t.value);
    });
}

const Signature PARTIAL_CHECK =
    function_signature("py_model_bias_partial_check", {"baseline", "latest", "metrics", "threshold=0.10"});

PyObject* partial_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(PARTIAL_CHECK, args, nargs, kwnames,
                [](FloatDict baseline, FloatDict latest, std::vector<std::string> names, Threshold t) -> PyObject* {
                    auto metrics = parse_model_bias_metrics(names);
                    if (!metrics) return fail(metrics.error());
                    return check(baseline, latest, *metrics, t.value);
                });
}

// ---- PyModelBiasStreaming --------------------------------------------------------

using Streaming = Class<StreamingModelBias>;
using Labels = Seq<std::int8_t>;

const Signature STREAMING = class_signature("PyModelBiasStreaming", {"features", "predictions", "ground_truth"});
const Signature PUSH = method_signature("PyModelBiasStreaming", "push", {"feature", "pred", "gt"});
const Signature PUSH_BATCH = method_signature("PyModelBiasStreaming", "push_batch", {"feature", "pred", "gt"});
const Signature FLUSH = method_signature("PyModelBiasStreaming", "flush", {});
const Signature RESET_BASELINE = method_signature("PyModelBiasStreaming", "reset_baseline", {"feature", "pred", "gt"});
const Signature DRIFT_SNAPSHOT = method_signature("PyModelBiasStreaming", "drift_snapshot", {});
const Signature DRIFT_REPORT = method_signature("PyModelBiasStreaming", "drift_report", {"drift_threshold"});
const Signature DRIFT_REPORT_PARTIAL =
    method_signature("PyModelBiasStreaming", "drift_report_partial_metrics", {"metrics", "drift_threshold"});
const Signature PERFORMANCE_SNAPSHOT = method_signature("PyModelBiasStreaming", "performance_snapshot", {});

PyObject* streaming_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    return Streaming::construct(STREAMING, tp, args, kwargs, [](Labels f, Labels p, Labels g) {
        return StreamingModelBias::make(f.values, p.values, g.values);
    });
}

PyObject* unit(const Result<void, ModelPerformanceError>& r) {
    if (!r) return fail(r.error());
    Py_RETURN_NONE;
}

PyObject* push(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return Streaming::method<Access::Exclusive>(
        PUSH, self, a, n, kw, [](StreamingModelBias& s, std::int8_t f, std::int8_t p, std::int8_t g) -> PyObject* {
            s.push(f, p, g);
            Py_RETURN_NONE;
        });
}

PyObject* push_batch(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return Streaming::method<Access::Exclusive>(PUSH_BATCH, self, a, n, kw,
                                                [](StreamingModelBias& s, Labels f, Labels p, Labels g) {
                                                    return unit(s.push_batch(f.values, p.values, g.values));
                                                });
}

PyObject* flush(PyObject* self, PyObject*) {
    return Streaming::simple<Access::Exclusive>(self, &FLUSH, [](StreamingModelBias& s) -> PyObject* {
        s.flush();
        Py_RETURN_NONE;
    });
}

PyObject* reset_baseline(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return Streaming::method<Access::Exclusive>(RESET_BASELINE, self, a, n, kw,
                                                [](StreamingModelBias& s, Labels f, Labels p, Labels g) {
                                                    return unit(s.reset_baseline(f.values, p.values, g.values));
                                                });
}

PyObject* drift_snapshot(PyObject* self, PyObject*) {
    return Streaming::simple<Access::Shared>(self, &DRIFT_SNAPSHOT, [](StreamingModelBias& s) -> PyObject* {
        auto changes = s.drift_snapshot();
        if (!changes) return fail(changes.error());
        return report_to_py_dict(*changes);
    });
}

PyObject* drift_report(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return Streaming::method<Access::Shared>(DRIFT_REPORT, self, a, n, kw,
                                             [](StreamingModelBias& s, float threshold) -> PyObject* {
                                                 auto report = s.drift_report(threshold);
                                                 if (!report) return fail(report.error());
                                                 return into_py_dict(*report);
                                             });
}

PyObject* drift_report_partial(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return Streaming::method<Access::Shared>(
        DRIFT_REPORT_PARTIAL, self, a, n, kw,
        [](StreamingModelBias& s, std::vector<std::string> names, float threshold) -> PyObject* {
            auto metrics = parse_model_bias_metrics(names);
            if (!metrics) return fail(metrics.error());
            auto report = s.drift_report_partial_metrics(*metrics, threshold);
            if (!report) return fail(report.error());
            return into_py_dict(*report);
        });
}

PyObject* performance_snapshot(PyObject* self, PyObject*) {
    return Streaming::simple<Access::Shared>(self, &PERFORMANCE_SNAPSHOT, [](StreamingModelBias& s) -> PyObject* {
        auto record = s.runtime_record();
        if (!record) return fail(record.error());
        return report_to_py_dict(record->to_map());
    });
}

}  // namespace

const FunctionDef PY_MODEL_BIAS_RUNTIME_CHECK{&RUNTIME_CHECK, runtime_check};
const FunctionDef PY_MODEL_BIAS_PARTIAL_CHECK{&PARTIAL_CHECK, partial_check};

PyTypeObject* py_model_bias_streaming_type() {
    static const ClassDef DEF = Streaming::def(
        "PyModelBiasStreaming", STREAMING, streaming_new,
        {fastcall(PUSH, push), fastcall(PUSH_BATCH, push_batch), noargs(FLUSH, flush),
         fastcall(RESET_BASELINE, reset_baseline), noargs(DRIFT_SNAPSHOT, drift_snapshot),
         fastcall(DRIFT_REPORT, drift_report), fastcall(DRIFT_REPORT_PARTIAL, drift_report_partial),
         noargs(PERFORMANCE_SNAPSHOT, performance_snapshot)});
    return Streaming::create(DEF);
}

}  // namespace morvane::py
