// The model-bias family's Python functions and the PyModelBiasStreaming class.
#include "bind/families.hpp"

#include "py/columns.hpp"
#include "core/model_bias/post_training.hpp"
#include "core/model_bias/checks.hpp"
#include "core/model_bias/monitor.hpp"
#include "py/call.hpp"
#include "py/monitor_methods.hpp"
#include "py/object.hpp"
#include "py/to_python.hpp"

namespace morvane::py {

namespace {

// ---- One-shot analyzers -----------------------------------------------------------

// Counts and metrics of three flag vectors; BiasErrors are raised as ValueError.
PyObject* analyze(const Flags& facet, const Flags& prediction, const Flags& label) {
    auto record = DiscretePostTraining::make(facet, prediction, label);
    if (!record) return fail(record.error());
    auto metrics = model_bias::post_training_bias(*record);
    if (!metrics) return fail(metrics.error());
    return report_to_py_dict(*metrics);
}

const Signature ANALYZER = function_signature(
    "py_model_bias_analyzer", {"feature_array", "ground_truth_array", "prediction_array", "feature_label_or_threshold",
                               "ground_truth_label_or_threshold", "prediction_label_or_threshold"});

PyObject* analyzer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(ANALYZER, args, nargs, kwnames,
                [](AnyArray feature, AnyArray ground_truth, AnyArray prediction, Object feature_value,
                   Object gt_value, Object prediction_value) -> PyObject* {
                    // Predictions are labelled first, then ground truth, then features.
                    auto pred = apply_label(prediction.array, prediction_value.object);
                    if (!pred) return nullptr;
                    auto label = apply_label(ground_truth.array, gt_value.object);
                    if (!label) return nullptr;
                    auto facet = apply_label(feature.array, feature_value.object);
                    if (!facet) return nullptr;
                    return analyze(*facet, *pred, *label);
                });
}

const Signature ANALYZER_EXPLICIT_SEG = function_signature(
    "py_model_bias_analyzer_explicit_seg",
    {"feature_array", "feat_segmentation_threshold", "feat_segmentation_label", "feat_threshold_type",
     "ground_truth_array", "gt_segmentation_threshold", "gt_segmentation_label", "gt_threshold_type",
     "prediction_array", "pred_segmentation_threshold", "pred_segmentation_label", "pred_threshold_type"});

using OptF64 = std::optional<double>;
using OptStr = std::optional<std::string>;

PyObject* analyzer_explicit_seg(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(ANALYZER_EXPLICIT_SEG, args, nargs, kwnames,
                [](AnyArray feature, OptF64 feat_threshold, OptStr feat_label, OptStr feat_type, AnyArray ground_truth,
                   OptF64 gt_threshold, OptStr gt_label, OptStr gt_type, AnyArray prediction, OptF64 pred_threshold,
                   OptStr pred_label, OptStr pred_type) -> PyObject* {
                    // Features first, then ground truth, then predictions.
                    auto facet = label_python_bias_explicit_seg(feature.array, feat_threshold, feat_label, feat_type);
                    if (!facet) return fail(facet.error());
                    auto label = label_python_bias_explicit_seg(ground_truth.array, gt_threshold, gt_label, gt_type);
                    if (!label) return fail(label.error());
                    auto pred = label_python_bias_explicit_seg(prediction.array, pred_threshold, pred_label, pred_type);
                    if (!pred) return fail(pred.error());
                    return analyze(*facet, *pred, *label);
                });
}

// ---- Runtime checks against a stored baseline dict -------------------------------

// The latest record is built first, so its missing metric is the one reported.
PyObject* check(const FloatDict& baseline, const FloatDict& latest, std::span<const ModelBiasMetric> metrics,
                float threshold) {
    auto l = ModelBiasRecord::from_names(latest);
    if (!l) return fail(ModelBiasRuntimeError{l.error()});
    auto b = ModelBiasRecord::from_names(baseline);
    if (!b) return fail(ModelBiasRuntimeError{b.error()});
    return into_py_dict(DriftReport<ModelBiasMetric>::from_runtime(l->check(*b, metrics, threshold)));
}

const Signature RUNTIME_CHECK = function_signature("py_model_bias_runtime_check", {"baseline", "latest", "threshold=0.10"});

PyObject* runtime_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(RUNTIME_CHECK, args, nargs, kwnames, [](FloatDict baseline, FloatDict latest, Threshold t) {
        return check(baseline, latest, ALL_METRICS_OF<tables::MODEL_BIAS>, t.value);
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

using Streaming = MonitorMethods<StreamingModelBias, parse_model_bias_metrics>;
using Labels = Seq<std::int8_t>;

constexpr const char* CLASS = "PyModelBiasStreaming";
const Signature STREAMING = class_signature(CLASS, {"features", "predictions", "ground_truth"});
const Signature PUSH = method_signature(CLASS, "push", {"feature", "pred", "gt"});
const Signature PUSH_BATCH = method_signature(CLASS, "push_batch", {"feature", "pred", "gt"});
const Signature RESET_BASELINE = method_signature(CLASS, "reset_baseline", {"feature", "pred", "gt"});
MORVANE_MONITOR_SURFACE_SIGNATURES(STREAMING, CLASS)

PyObject* streaming_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    return Streaming::C::construct(STREAMING, tp, args, kwargs, [](Labels f, Labels p, Labels g) {
        return StreamingModelBias::make(f.values, p.values, g.values);
    });
}

PyObject* push(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return Streaming::C::method<Access::Exclusive>(
        PUSH, self, a, n, kw, [](StreamingModelBias& s, std::int8_t f, std::int8_t p, std::int8_t g) -> PyObject* {
            s.push(f, p, g);
            Py_RETURN_NONE;
        });
}

}  // namespace

const FunctionDef PY_MODEL_BIAS_ANALYZER{&ANALYZER, analyzer};
const FunctionDef PY_MODEL_BIAS_ANALYZER_EXPLICIT_SEG{&ANALYZER_EXPLICIT_SEG, analyzer_explicit_seg};
const FunctionDef PY_MODEL_BIAS_RUNTIME_CHECK{&RUNTIME_CHECK, runtime_check};
const FunctionDef PY_MODEL_BIAS_PARTIAL_CHECK{&PARTIAL_CHECK, partial_check};

PyTypeObject* py_model_bias_streaming_type() {
    using S = Streaming;
    static const ClassDef DEF = S::C::def(
        CLASS, STREAMING, streaming_new,
        {fastcall(PUSH, push), fastcall(PUSH_BATCH, S::push_batch<PUSH_BATCH, Labels, Labels, Labels>),
         noargs(STREAMING_FLUSH, S::flush<STREAMING_FLUSH>),
         fastcall(RESET_BASELINE, S::reset_baseline<RESET_BASELINE, Labels, Labels, Labels>),
         noargs(STREAMING_DRIFT, S::drift_snapshot<STREAMING_DRIFT>), fastcall(STREAMING_REPORT, S::drift_report<STREAMING_REPORT>),
         fastcall(STREAMING_PARTIAL, S::drift_report_partial_metrics<STREAMING_PARTIAL>),
         noargs(STREAMING_PERF, S::performance_snapshot<STREAMING_PERF>)});
    return S::C::create(DEF);
}

}  // namespace morvane::py
