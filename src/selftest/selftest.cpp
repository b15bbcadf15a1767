// _morvane_selftest: a module built only for the test suite. It exercises the binding
// toolkit (binder, converters, borrow flag, panic guard) on its own, through a tiny
// class and a few functions, without touching the registered surface of _morvane.
#include <Python.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "core/common/vector_log.hpp"
#include "py/arrays.hpp"
#include "py/numpy.hpp"
#include "py/call.hpp"
#include "py/label_column.hpp"
#include "py/module_def.hpp"
#include "py/object.hpp"
#include "core/common/configuration.hpp"
#include "core/common/edge_bins.hpp"
#include "py/to_python.hpp"

namespace morvane::py {
namespace {

// A counter whose `add` converts a sequence (so an element's __float__ can call back
// into the same object while it is exclusively borrowed).
struct Counter {
    double total = 0.0;
    std::size_t pushes = 0;
};
using CounterClass = Class<Counter>;

const Signature COUNTER = class_signature("Counter", {"start", "scale=0.10"}, "A test counter.");
const Signature ADD = method_signature("Counter", "add", {"values"});
const Signature TOTAL = method_signature("Counter", "total", {});
const Signature PANIC = method_signature("Counter", "panic", {});

PyObject* counter_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    return CounterClass::construct(COUNTER, tp, args, kwargs, [](double start, Threshold scale) -> std::optional<Counter> {
        if (start < 0) {
            value_error("negative start");
            return std::nullopt;
        }
        return Counter{start * scale.value, 0};
    });
}

PyObject* counter_add(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return CounterClass::method<Access::Exclusive>(ADD, self, a, n, kw, [](Counter& c, Seq<double> values) -> PyObject* {
        for (double v : values.values) c.total += v;
        ++c.pushes;
        Py_RETURN_NONE;
    });
}

PyObject* counter_total(PyObject* self, PyObject*) {
    return CounterClass::simple<Access::Shared>(self, &TOTAL, [](Counter& c) { return to_py(c.total); });
}

PyObject* counter_panic(PyObject* self, PyObject*) {
    return CounterClass::simple<Access::Shared>(self, &PANIC, [](Counter&) -> PyObject* {
        throw std::logic_error("Invalid error conversion");
    });
}

PyObject* counter_pushes(PyObject* self, void*) {
    return CounterClass::simple<Access::Shared>(self, &TOTAL, [](Counter& c) { return PyLong_FromSize_t(c.pushes); });
}

PyTypeObject* counter_type() {
    static const ClassDef DEF = CounterClass::def(
        "Counter", COUNTER, counter_new,
        {fastcall(ADD, counter_add), noargs(TOTAL, counter_total), noargs(PANIC, counter_panic)},
        {{"pushes", counter_pushes, "Number of add calls."}});
    return CounterClass::create(DEF);
}

// Each converter, by name: convert(kind, value) returns the converted value.
const Signature CONVERT = function_signature("convert", {"kind", "value"});
PyObject* convert(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(CONVERT, a, n, kw, [](std::string kind, Object value) -> PyObject* {
        PyObject* o = value.object;
        auto one = [&]<class T>(T v, auto&& out) -> PyObject* {
            if (!From<T>::convert(o, v)) {
                wrap_argument_error("value");
                return nullptr;
            }
            return out(v);
        };
        auto list = [](const auto& xs) {
            Ref l = Ref::steal(PyList_New(0));
            for (const auto& x : xs) {
                Ref item;
                if constexpr (std::is_same_v<std::decay_t<decltype(x)>, std::string>)
                    item = Ref::steal(to_py(std::string_view(x)));
                else if constexpr (std::is_floating_point_v<std::decay_t<decltype(x)>>)
                    item = Ref::steal(to_py(x));
                else
                    item = Ref::steal(PyLong_FromLongLong(x));
                PyList_Append(l.get(), item.get());
            }
            return l.release();
        };
        if (kind == "f32") return one(float{}, [](float v) { return to_py(v); });
        if (kind == "f64") return one(double{}, [](double v) { return to_py(v); });
        if (kind == "i8") return one(std::int8_t{}, [](std::int8_t v) { return PyLong_FromLong(v); });
        if (kind == "i32") return one(std::int32_t{}, [](std::int32_t v) { return PyLong_FromLong(v); });
        if (kind == "i64") return one(std::int64_t{}, [](std::int64_t v) { return PyLong_FromLongLong(v); });
        if (kind == "u64") return one(std::uint64_t{}, [](std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); });
        if (kind == "str") return one(std::string{}, [](const std::string& v) { return to_py(std::string_view(v)); });
        if (kind == "strs") return one(std::vector<std::string>{}, list);
        if (kind == "labels")
            return one(LabelColumn{}, [&](const LabelColumn& v) { return Py_BuildValue("(NN)", list(v.codes), list(v.texts)); });
        if (kind == "dict")
            return one(FloatDict{}, [](const FloatDict& d) {
                Ref out = Ref::steal(PyDict_New());
                for (const auto& [k, v] : d) set_item(out.get(), k, to_py(v));
                return out.release();
            });
        if (kind == "opt_f32")
            return one(std::optional<float>{}, [](std::optional<float> v) { return v ? to_py(*v) : Py_NewRef(Py_None); });
        if (kind == "f64array")
            return one(F64Array{}, [&](F64Array v) { return require_contiguous(v) ? to_py_list(v.values()) : nullptr; });
        if (kind == "seq_f32") return one(Seq<float>{}, [&](const Seq<float>& v) { return list(v.values); });
        if (kind == "seq_f64") return one(Seq<double>{}, [&](const Seq<double>& v) { return list(v.values); });
        if (kind == "seq_i32") return one(Seq<std::int32_t>{}, [&](const Seq<std::int32_t>& v) { return list(v.values); });
        if (kind == "seq_i8") return one(Seq<std::int8_t>{}, [&](const Seq<std::int8_t>& v) { return list(v.values); });
        return value_error("unknown kind");
    });
}

// Array reading: kind(array) -> "Float" | ..., copy(kind, array, slow) -> list.
const Signature ARRAY_KIND = function_signature("array_kind", {"array"});
PyObject* array_kind(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(ARRAY_KIND, a, n, kw, [](AnyArray arr) -> PyObject* {
        static constexpr const char* NAMES[] = {"Float", "Integer", "String", "Boolean"};
        return to_py(std::string_view(NAMES[static_cast<int>(determine_type(arr.array))]));
    });
}

const Signature COPY = function_signature("copy", {"kind", "array"});
PyObject* copy(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(COPY, a, n, kw, [](std::string kind, AnyArray arr) -> PyObject* {
        auto out = [](auto&& v) -> PyObject* {
            if (!v) return nullptr;
            Ref l = Ref::steal(PyList_New(0));
            for (const auto& x : *v) {
                Ref item;
                using T = std::decay_t<decltype(x)>;
                if constexpr (std::is_same_v<T, std::string>) item = Ref::steal(to_py(std::string_view(x)));
                else if constexpr (std::is_floating_point_v<T>) item = Ref::steal(to_py(x));
                else if constexpr (std::is_same_v<T, bool>) item = Ref::steal(PyBool_FromLong(x));
                else item = Ref::steal(PyLong_FromLongLong(x));
                PyList_Append(l.get(), item.get());
            }
            return l.release();
        };
        if (kind == "f64") return out(copy_to_f64(arr.array));
        if (kind == "f32") return out(convert_f32(arr.array, determine_type(arr.array)));
        if (kind == "i64") return out(copy_to_i64(arr.array));
        if (kind == "bool") {
            auto v = copy_to_bool(arr.array);
            if (!v) return nullptr;
            return out(std::optional<std::vector<int>>(std::vector<int>(v->begin(), v->end())));
        }
        if (kind == "str") return out(copy_to_strings(arr.array));
        return value_error("unknown kind");
    });
}

// The missing-metric errors by the member numbers the boundary tests raise them with.
using DM = DataBiasMetric;
using BM = ModelBiasMetric;
constexpr std::array DATA_BIAS_MISSING{DM::ClassImbalance, DM::DifferenceInProportionOfLabels, DM::KlDivergence,
                                       DM::JsDivergence,   DM::TotalVariationDistance,         DM::KolmogorovSmirnov,
                                       DM::LpNorm};
constexpr std::array MODEL_BIAS_MISSING{BM::DifferenceInPositivePredictedLabels,
                                        BM::DisparateImpact,
                                        BM::AccuracyDifference,
                                        BM::RecallDifference,
                                        BM::DifferenceInConditionalAcceptance,
                                        BM::DifferenceInAcceptanceRate,
                                        BM::SpecialityDifference,
                                        BM::DifferenceInConditionalRejection,
                                        BM::TreatmentEquity,
                                        BM::ConditionalDemographicDesparityPredictedLabels,
                                        BM::DifferenceInRejectionRate,
                                        BM::GeneralizedEntropy};

const Signature RAISE_ERROR = function_signature("raise_error", {"family", "member"});
PyObject* raise_error(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(RAISE_ERROR, a, n, kw, [](std::string family, std::int32_t m) -> PyObject* {
        if (family == "BiasError") return fail(static_cast<BiasError>(m));
        if (family == "DriftError") return fail(static_cast<DriftError>(m));
        if (family == "DataBiasRuntimeError") return fail(DataBiasRuntimeError{DATA_BIAS_MISSING.at(static_cast<std::size_t>(m))});
        if (family == "ModelBiasRuntimeError") return fail(ModelBiasRuntimeError{MODEL_BIAS_MISSING.at(static_cast<std::size_t>(m))});
        if (family == "ModelPerformanceError") return fail(ModelPerformanceError::of(static_cast<PerfKind>(m)));
        if (family == "PerfBias") return fail(ModelPerformanceError::of(static_cast<BiasError>(m)));
        if (family == "ToBias") return fail(to_bias_error(ModelPerformanceError::of(static_cast<PerfKind>(m))));
        return value_error("unknown family");
    });
}

// Runs `body` with the metric enumeration named by `family` as a type tag.
template <class F>
PyObject* with_family(const std::string& family, F&& body) {
    if (family == "data_bias") return body(DataBiasMetric{});
    if (family == "model_bias") return body(ModelBiasMetric{});
    if (family == "classification") return body(ClassificationEvaluationMetric{});
    if (family == "regression") return body(LinearRegressionEvaluationMetric{});
    return value_error("unknown family");
}

template <class M>
PyObject* names_list(const std::vector<M>& ms) {
    Ref l = Ref::steal(PyList_New(0));
    for (M m : ms) {
        Ref item = Ref::steal(to_py(metric_name(m)));
        if (!item || PyList_Append(l.get(), item.get()) < 0) return nullptr;
    }
    return l.release();
}

// parse_metrics(parser, names): the five list parsers by name.
const Signature PARSE_METRICS = function_signature("parse_metrics", {"parser", "names"});
PyObject* parse_metrics(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(PARSE_METRICS, a, n, kw, [](std::string parser, std::vector<std::string> names) -> PyObject* {
        auto out = [](auto&& r) -> PyObject* { return r ? names_list(*r) : fail(r.error()); };
        if (parser == "data_bias") return out(parse_data_bias_metrics(names));
        if (parser == "model_bias") return out(parse_model_bias_metrics(names));
        if (parser == "classification") return out(parse_classification_metrics(names));
        if (parser == "logistic_regression") return out(parse_logistic_regression_metrics(names));
        if (parser == "linear_regression") return out(parse_linear_regression_metrics(names));
        return value_error("unknown parser");
    });
}

const Signature PARSE_CLASSIFICATION = function_signature("parse_classification_metric", {"name"});
PyObject* parse_classification(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(PARSE_CLASSIFICATION, a, n, kw, [](std::string name) -> PyObject* {
        auto r = parse_classification_metric(name);
        return r ? to_py(metric_name(*r)) : value_error(r.error());
    });
}

// metric_dict(family, {name: value}) and drift_report(family, {name: deviation}):
// a metric map built from the dict, through report_to_py_dict / DriftReport.
template <class M>
std::optional<MetricMap<M>> map_from(const FloatDict& d) {
    MetricMap<M> map;
    for (const auto& [k, v] : d) {
        auto m = parse_metric<M>(k);
        if (!m) {
            value_error("unknown metric " + k);
            return std::nullopt;
        }
        map.emplace(*m, v);
    }
    return map;
}

const Signature METRIC_DICT = function_signature("metric_dict", {"family", "values"});
PyObject* metric_dict(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(METRIC_DICT, a, n, kw, [](std::string family, FloatDict values) -> PyObject* {
        return with_family(family, [&]<class M>(M) -> PyObject* {
            auto map = map_from<M>(values);
            return map ? report_to_py_dict(*map) : nullptr;
        });
    });
}

const Signature DRIFT_REPORT = function_signature("drift_report", {"family", "failed"});
PyObject* drift_report(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(DRIFT_REPORT, a, n, kw, [](std::string family, FloatDict failed) -> PyObject* {
        return with_family(family, [&]<class M>(M) -> PyObject* {
            auto map = map_from<M>(failed);
            return map ? into_py_dict(DriftReport<M>::from_runtime(std::move(*map))) : nullptr;
        });
    });
}

// The malformed report no producer makes: building its dict is a broken invariant.
const Signature BROKEN_REPORT = function_signature("broken_report", {});
PyObject* broken_report(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(BROKEN_REPORT, a, n, kw, []() -> PyObject* {
        DriftReport<DataBiasMetric> r;
        r.passed = false;
        return into_py_dict(r);
    });
}

const Signature STABILITY = function_signature("stability_eps", {});
PyObject* stability(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(STABILITY, a, n, kw, []() -> PyObject* { return to_py(static_cast<double>(STABILITIY_EPS)); });
}

const Signature PARSE_DECIMAL = function_signature("parse_decimal", {"text", "bits"});
PyObject* parse_decimal(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(PARSE_DECIMAL, a, n, kw, [](std::string text, std::int32_t bits) -> PyObject* {
        if (bits == 32) {
            auto v = parse_decimal_f32(text);
            return v ? to_py(*v) : Py_NewRef(Py_None);
        }
        auto v = parse_decimal_f64(text);
        return v ? to_py(*v) : Py_NewRef(Py_None);
    });
}

const Signature ALLOCATE = function_signature("allocate", {"count"});
PyObject* allocate(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(ALLOCATE, a, n, kw, [](std::uint64_t count) -> PyObject* {
        std::vector<double> v;
        v.reserve(count);
        Py_RETURN_NONE;
    });
}

// The binning kernel on its own: the block slots, the counts and the one-value slots of
// values against ascending edges (the caller keeps to that), as lists of floats.
const Signature EDGE_SLOTS = function_signature("edge_slots", {"edges", "values", "nan_slot", "above_slot"});
PyObject* edge_slots(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(EDGE_SLOTS, a, n, kw, [](Seq<double> edges, Seq<double> values, std::uint64_t nan_slot, std::uint64_t above_slot) -> PyObject* {
        if (edges.values.empty() || nan_slot > 1u << 20 || above_slot > 1u << 20) {
            value_error("edges must not be empty, slots below 2^20");
            return nullptr;
        }
        const std::vector<double>& x = values.values;
        const EdgeBins bins(edges.values, static_cast<std::uint32_t>(nan_slot), static_cast<std::uint32_t>(above_slot));
        std::vector<std::uint32_t> block(x.size());
        bins.slots(x.data(), x.size(), block.data());
        std::vector<std::uint64_t> counts(bins.slot_count());
        bins.count(x.data(), x.size(), counts.data());
        std::vector<double> b(block.begin(), block.end()), c(counts.begin(), counts.end()), one;
        for (double v : x) one.push_back(bins.slot(v));
        return Py_BuildValue("(NNN)", to_py_list<double>(b), to_py_list<double>(c), to_py_list<double>(one));
    });
}

// vector_log(array, mode) -> (logs, fallbacks): the block logarithms of a contiguous
// float64 or float32 array, with mode "best" or "portable"; "library" calls std::log on
// each element (the reference and the speed to beat).
const Signature VECTOR_LOG = function_signature("vector_log", {"array", "mode"});
PyObject* vector_log_hook(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(VECTOR_LOG, a, n, kw, [](AnyArray arr, std::string mode) -> PyObject* {
        PyArrayObject* in = arr.array;
        const int type = PyArray_TYPE(in);
        if (PyArray_NDIM(in) != 1 || !PyArray_IS_C_CONTIGUOUS(in) || !PyArray_ISALIGNED(in) ||
            !PyArray_ISNOTSWAPPED(in) || (type != NPY_FLOAT64 && type != NPY_FLOAT32))
            return value_error("a 1-d contiguous float64 or float32 array is required");
        npy_intp size = PyArray_SIZE(in);
        Ref out = Ref::steal(PyArray_SimpleNew(1, &size, type));
        if (!out) return nullptr;
        std::size_t fallbacks = 0;
        auto run = [&]<class T>(T*) -> bool {
            std::span<const T> x(static_cast<const T*>(PyArray_DATA(in)), static_cast<std::size_t>(size));
            std::span<T> y(static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get()))), x.size());
            if (mode == "library") {
                for (std::size_t i = 0; i < x.size(); ++i) y[i] = std::log(x[i]);
                fallbacks = x.size();
            } else if (mode == "best" || mode == "portable") {
                fallbacks = vector_log(x, y, mode == "best" ? LogIsa::Best : LogIsa::Portable);
            } else {
                return false;
            }
            return true;
        };
        const bool known = type == NPY_FLOAT64 ? run(static_cast<double*>(nullptr)) : run(static_cast<float*>(nullptr));
        if (!known) return value_error("unknown mode");
        return Py_BuildValue("(On)", out.get(), static_cast<Py_ssize_t>(fallbacks));
    });
}

// log_plus_one_sweep(begin, end) -> (decided, mismatched): the regression kernel's
// logarithms of f + 1 for the float bit patterns [begin, end) against std::log.
const Signature PLUS_ONE_SWEEP = function_signature("log_plus_one_sweep", {"begin", "end"});
PyObject* plus_one_sweep(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(PLUS_ONE_SWEEP, a, n, kw, [](std::uint64_t begin, std::uint64_t end) -> PyObject* {
        if (end > (std::uint64_t{1} << 32) || begin > end) return value_error("0 <= begin <= end <= 2**32 is required");
        const PlusOneSweep sweep = log_plus_one_sweep(begin, end);
        return Py_BuildValue("(KK)", static_cast<unsigned long long>(sweep.decided),
                             static_cast<unsigned long long>(sweep.mismatched));
    });
}

const FunctionDef FUNCTIONS[] = {
    {&CONVERT, convert},
    {&ARRAY_KIND, array_kind},
    {&COPY, copy},
    {&RAISE_ERROR, raise_error},
    {&PARSE_METRICS, parse_metrics},
    {&PARSE_CLASSIFICATION, parse_classification},
    {&METRIC_DICT, metric_dict},
    {&DRIFT_REPORT, drift_report},
    {&BROKEN_REPORT, broken_report},
    {&STABILITY, stability},
    {&PARSE_DECIMAL, parse_decimal},
    {&ALLOCATE, allocate},
    {&EDGE_SLOTS, edge_slots},
    {&VECTOR_LOG, vector_log_hook},
    {&PLUS_ONE_SWEEP, plus_one_sweep},
};

PyModuleDef MODULE_DEF = {PyModuleDef_HEAD_INIT, "_morvane_selftest", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace morvane::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__morvane_selftest() {
    using namespace morvane::py;
    return guard([]() -> PyObject* {
        if (!import_numpy()) return nullptr;
        static std::vector<PyMethodDef> methods = [] {
            std::vector<PyMethodDef> m;
            for (const auto& f : FUNCTIONS)
                m.push_back({f.sig->name.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f.impl)),
                             METH_FASTCALL | METH_KEYWORDS, f.sig->docstring.c_str()});
            m.push_back({nullptr, nullptr, 0, nullptr});
            return m;
        }();
        MODULE_DEF.m_methods = methods.data();
        Ref module = Ref::steal(PyModule_Create(&MODULE_DEF));
        if (!module) return nullptr;
        PyTypeObject* t = counter_type();
        if (!t || PyModule_AddObjectRef(module.get(), "Counter", reinterpret_cast<PyObject*>(t)) < 0) return nullptr;
        if (PyModule_AddObjectRef(module.get(), "PanicException", panic_exception_type()) < 0) return nullptr;
        return module.release();
    });
}
