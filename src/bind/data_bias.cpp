// The data-bias family's Python functions and the PyDataBiasStreaming class.
#include "bind/families.hpp"

#include "core/data_bias/pre_training.hpp"
#include "core/data_bias/monitor.hpp"
#include "py/columns.hpp"
#include "py/call.hpp"
#include "py/monitor_methods.hpp"
#include "py/object.hpp"
#include "py/to_python.hpp"
#include "core/data_bias/checks.hpp"

namespace morvane::py {

namespace {

using OptStr = std::optional<std::string>;
using OptF64 = std::optional<double>;

std::nullptr_t fail_keys(std::vector<std::string> names) {
    return fail(InvalidMetricError{InvalidMetricError::Kind::DataBiasMetricError, std::move(names)});
}

PyObject* analysis_dict(const Flags& facets, const Flags& labels) {
    auto map = data_bias_analysis_core(facets, labels);
    if (!map) return fail(map.error());
    return report_to_py_dict(*map);
}

// ---- One-shot analyzers --------------------------------------------------------

const Signature ANALYZER = function_signature(
    "py_data_bias_analyzer",
    {"feature_array", "ground_truth_array", "feature_label_or_threshold", "ground_truth_label_or_threshold"},
    "Method to perform data bias analysis");

PyObject* analyzer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(ANALYZER, args, nargs, kwnames, [](AnyArray feature, AnyArray ground_truth, Object feature_value, Object gt_value) -> PyObject* {
        // The ground truth is labelled before the features. The facet flags are only
        // counted against the label flags, so they are reduced as they are made.
        const auto labels = apply_label(ground_truth.array, gt_value.object);
        if (!labels) return nullptr;
        const auto facets = apply_label_counts(feature.array, feature_value.object, *labels);
        if (!facets) return nullptr;
        // Columns of different lengths cannot be paired element by element.
        if (facets->length != labels->size) return fail(BiasError::DataLengthError);
        auto map = data_bias_analysis_counts(PreTraining::from_flag_counts(facets->counts, facets->length));
        if (!map) return fail(map.error());
        return report_to_py_dict(*map);
    });
}

const Signature ANALYZER_EXPLICIT_SEG = function_signature(
    "py_data_bias_analyzer_explicit_seg",
    {"feature_array", "feat_segmentation_threshold", "feat_segmentation_label", "feat_threshold_type",
     "ground_truth_array", "gt_segmentation_threshold", "gt_segmentation_label", "gt_threshold_type"});

PyObject* analyzer_explicit_seg(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(ANALYZER_EXPLICIT_SEG, args, nargs, kwnames,
                [](AnyArray feature, OptF64 feat_threshold, OptStr feat_label, OptStr feat_type, AnyArray ground_truth,
                   OptF64 gt_threshold, OptStr gt_label, OptStr gt_type) -> PyObject* {
                    // Here the features are segmented first.
                    const auto facets = label_python_bias_explicit_seg(feature.array, feat_threshold, feat_label, feat_type);
                    if (!facets) return fail(facets.error());
                    const auto labels = label_python_bias_explicit_seg(ground_truth.array, gt_threshold, gt_label, gt_type);
                    if (!labels) return fail(labels.error());
                    return analysis_dict(*facets, *labels);
                });
}

// ---- Runtime checks ------------------------------------------------------------

const Signature RUNTIME_CHECK = function_signature("py_data_bias_runtime_check", {"baseline", "latest", "threshold=0.10"});

PyObject* runtime_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(RUNTIME_CHECK, args, nargs, kwnames, [](FloatDict baseline, FloatDict latest, Threshold threshold) -> PyObject* {
        // Every key must name a metric, in the baseline first.
        auto b = convert_db_analysis(baseline);
        if (!b) return fail_keys(std::move(b.error()));
        auto l = convert_db_analysis(latest);
        if (!l) return fail_keys(std::move(l.error()));
        const auto report = data_bias_runtime_check(*b, *l, threshold.value);
        if (!report) return fail(report.error());
        return into_py_dict(*report);
    });
}

const Signature PARTIAL_CHECK =
    function_signature("py_data_bias_partial_check", {"baseline", "latest", "metrics", "threshold=0.10"});

PyObject* partial_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(PARTIAL_CHECK, args, nargs, kwnames,
                [](FloatDict baseline, FloatDict latest, std::vector<std::string> metrics, Threshold threshold) -> PyObject* {
                    const auto parsed = parse_data_bias_metrics(metrics);
                    if (!parsed) return fail(parsed.error());
                    // Here the latest record is read first; other keys are ignored.
                    const auto l = DataBiasRecord::from_names(latest);
                    if (!l) return fail(DataBiasRuntimeError{l.error()});
                    const auto b = DataBiasRecord::from_names(baseline);
                    if (!b) return fail(DataBiasRuntimeError{b.error()});
                    return into_py_dict(DriftReport<DataBiasMetric>::from_runtime(l->check(*b, *parsed, threshold.value)));
                });
}

// ---- PyDataBiasStreaming -------------------------------------------------------

using Streaming = MonitorMethods<StreamingDataBias, parse_data_bias_metrics>;
using Labels = Seq<std::int8_t>;

constexpr const char* CLASS = "PyDataBiasStreaming";
const Signature STREAMING = class_signature(CLASS, {"feature_data", "gt_data"});
const Signature PUSH = method_signature(CLASS, "push", {"f", "g"});
const Signature PUSH_BATCH = method_signature(CLASS, "push_batch", {"f", "g"});
const Signature RESET_BASELINE = method_signature(CLASS, "reset_baseline", {"f", "g"});
MORVANE_MONITOR_SURFACE_SIGNATURES(STREAMING, CLASS)

PyObject* streaming_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    return Streaming::C::construct(STREAMING, tp, args, kwargs, [](Labels feature_data, Labels gt_data) {
        return StreamingDataBias::make(feature_data.values, gt_data.values);
    });
}

PyObject* streaming_push(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return Streaming::C::method<Access::Exclusive>(PUSH, self, a, n, kw, [](StreamingDataBias& s, std::int8_t f, std::int8_t g) -> PyObject* {
        s.push(f, g);
        Py_RETURN_NONE;
    });
}

}  // namespace

const FunctionDef PY_DATA_BIAS_ANALYZER{&ANALYZER, analyzer};
const FunctionDef PY_DATA_BIAS_RUNTIME_CHECK{&RUNTIME_CHECK, runtime_check};
const FunctionDef PY_DATA_BIAS_PARTIAL_CHECK{&PARTIAL_CHECK, partial_check};
const FunctionDef PY_DATA_BIAS_ANALYZER_EXPLICIT_SEG{&ANALYZER_EXPLICIT_SEG, analyzer_explicit_seg};

PyTypeObject* py_data_bias_streaming_type() {
    using S = Streaming;
    static const ClassDef DEF = S::C::def(
        CLASS, STREAMING, streaming_new,
        {noargs(STREAMING_FLUSH, S::flush<STREAMING_FLUSH>), fastcall(PUSH, streaming_push),
         fastcall(PUSH_BATCH, S::push_batch<PUSH_BATCH, Labels, Labels>),
         fastcall(RESET_BASELINE, S::reset_baseline<RESET_BASELINE, Labels, Labels>),
         noargs(STREAMING_DRIFT, S::drift_snapshot<STREAMING_DRIFT>), fastcall(STREAMING_REPORT, S::drift_report<STREAMING_REPORT>),
         fastcall(STREAMING_PARTIAL, S::drift_report_partial_metrics<STREAMING_PARTIAL>),
         noargs(STREAMING_PERF, S::performance_snapshot<STREAMING_PERF>)});
    return S::C::create(DEF);
}

}  // namespace morvane::py
