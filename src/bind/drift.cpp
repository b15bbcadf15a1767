// The drift family: the two one-shot functions, the batch drift classes, and the four
// streaming classes (continuous or categorical data, decay or flush mode).
#include <Python.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bind/families.hpp"
#include "core/drift/baseline.hpp"
#include "core/drift/batch.hpp"
#include "core/drift/scores.hpp"
#include "core/drift/streaming.hpp"
#include "py/call.hpp"
#include "py/object.hpp"
#include "py/to_python.hpp"

// Conversions shared by the drift classes: metric names, heuristic names, and the
// result containers that cross back into Python.
namespace morvane::py::drift {

// The paragraph every compute_drift docstring ends with.
#define MORVANE_DRIFT_TYPE_PARAGRAPH                                                                    \
    "`drift_type` must be one of `\"JensenShannon\"`, `\"PopulationStabilityIndex\"`,\n"                \
    "`\"WassersteinDistance\"` or `\"KullbackLeibler\"`."

// Every name parsed in order; nullopt with "Unsupported drift type" raised on the first unknown one.
inline std::optional<std::vector<DriftType>> parse_types(const std::vector<std::string>& names) {
    return take(parse_drift_types(names));
}
inline std::optional<DriftType> parse_type(const std::string& name) { return take(parse_drift_type(name)); }
// None selects no heuristic; unknown text raises "Unsupported drift type".
inline std::optional<std::optional<QuantileType>> parse_quantile(const std::optional<std::string>& text) {
    return take(coerce_quantile_type(text));
}

// A core step without a value: true, or false with its error raised.
inline bool done(Result<void, DriftError>&& r) {
    if (r) return true;
    fail(r.error());
    return false;
}

inline PyObject* float_list(std::span<const double> values) { return to_py_list(values); }

// {label: value} in the order given.
inline PyObject* label_dict(const std::vector<std::pair<std::string_view, double>>& entries) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [label, value] : entries)
        if (!set_item(dict.get(), label, to_py(value))) return nullptr;
    return dict.release();
}

}  // namespace morvane::py::drift


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


namespace morvane::py {

namespace {

using namespace drift;
using Labels = std::vector<std::string>;

inline std::span<const double> values_of(const F64Array& a) { return a.values(); }
inline std::span<const std::string> values_of(const Labels& l) { return l; }
inline bool readable(const F64Array& a) { return require_contiguous(a); }
inline bool readable(const Labels&) { return true; }

// What distinguishes the four classes: name, core type, argument types and texts.
template <class M>
struct ContinuousTraits {
    using State = StreamingContinuousDataDrift<M>;
    using Batch = F64Array;
    using Sample = double;
    static constexpr bool FLUSH = std::is_same_v<M, FlushModeMark>;
    static constexpr const char* NAME = FLUSH ? "PyStreamingContinuousDataDriftFlush" : "PyStreamingContinuousDataDriftDecay";
    static constexpr const char* RESET_PARAM = "baseline_data";
    static constexpr const char* RESET_DOC = "Replace the baseline distribution with a new data slice and clear the stream.";
    static constexpr const char* BATCH_DOC = "Add a batch of runtime samples to the stream buffer.";
    static constexpr const char* SAMPLE_DOC = "Add a single runtime sample to the stream buffer.";
    static constexpr const char* FLUSH_DOC = "Flush the stream, resetting accumulated runtime bins.";
    static constexpr const char* N_BINS_DOC = "Number of histogram bins.";
    static constexpr const char* SNAPSHOT_DOC = "Export the current stream histogram as a map of bin label to bin values.";
    static constexpr const char* BASELINE_DOC = "Return the baseline as a normalized probability distribution (sums to 1.0).";
};

template <class M>
struct CategoricalTraits {
    using State = StreamingCategoricalDataDrift<M>;
    using Batch = Labels;
    using Sample = std::string;
    static constexpr bool FLUSH = std::is_same_v<M, FlushModeMark>;
    static constexpr const char* NAME = FLUSH ? "PyStreamingCategoricalDataDriftFlush" : "PyStreamingCategoricalDataDriftDecay";
    static constexpr const char* RESET_PARAM = "new_baseline";
    static constexpr const char* RESET_DOC = "Replace the baseline distribution with a new set of labels and clear the stream.";
    static constexpr const char* BATCH_DOC = "Add a batch of runtime labels to the stream buffer.";
    static constexpr const char* SAMPLE_DOC = "Add a single runtime label to the stream buffer.";
    static constexpr const char* FLUSH_DOC = "Flush the stream, resetting accumulated runtime label counts.";
    static constexpr const char* N_BINS_DOC = "Number of distinct label bins.";
    static constexpr const char* SNAPSHOT_DOC = "Export the current stream label counts as a map of label to count.";
    static constexpr const char* BASELINE_DOC = "Return the baseline label frequencies as a normalized distribution.";
};

constexpr const char* DECAY_COMPUTE_DOC =
    "Apply decay to stream bins and compute a single drift metric.\n\n" MORVANE_DRIFT_TYPE_PARAGRAPH;
constexpr const char* FLUSH_COMPUTE_DOC =
    "Compute a single drift metric against the current stream bins. Triggers a\n"
    "flush if the configured flush cadence or rate has been reached.\n\n" MORVANE_DRIFT_TYPE_PARAGRAPH;
constexpr const char* DECAY_MULTIPLE_DOC =
    "Apply decay and compute multiple drift metrics in a single pass. Returns\n"
    "scores in the same order as `drift_types`.";
constexpr const char* FLUSH_MULTIPLE_DOC =
    "Compute multiple drift metrics in a single pass. Returns scores in the same\n"
    "order as `drift_types`.";
constexpr const char* DECAY_TOTAL_DOC = "Effective sample count after decay weighting.";
constexpr const char* FLUSH_TOTAL_DOC = "Total number of runtime samples accumulated since the last flush.";
constexpr const char* LAST_FLUSH_DOC = "Unix timestamp (seconds) of the last flush.";

// The members every streaming class shares, generated per class.
template <class T>
struct Members {
    using State = typename T::State;
    using Cls = Class<State>;

    static inline const Signature COMPUTE =
        method_signature(T::NAME, "compute_drift", {"drift_type"}, T::FLUSH ? FLUSH_COMPUTE_DOC : DECAY_COMPUTE_DOC);
    static inline const Signature MULTIPLE = method_signature(T::NAME, "compute_drift_multiple_criteria", {"drift_types"},
                                                              T::FLUSH ? FLUSH_MULTIPLE_DOC : DECAY_MULTIPLE_DOC);
    static inline const Signature RESET = method_signature(T::NAME, "reset_baseline", {T::RESET_PARAM}, T::RESET_DOC);
    static inline const Signature BATCH = method_signature(T::NAME, "update_stream_batch", {"runtime_data"}, T::BATCH_DOC);
    static inline const Signature SAMPLE = method_signature(T::NAME, "update_stream", {"runtime_example"}, T::SAMPLE_DOC);
    static inline const Signature FLUSH_NOW = method_signature(T::NAME, "flush", {}, T::FLUSH_DOC);
    static inline const Signature TOTAL = method_signature(T::NAME, "total_samples", {});
    static inline const Signature LAST_FLUSH = method_signature(T::NAME, "last_flush", {});
    static inline const Signature N_BINS = method_signature(T::NAME, "n_bins", {});
    static inline const Signature SNAPSHOT = method_signature(T::NAME, "export_snapshot", {}, T::SNAPSHOT_DOC);
    static inline const Signature BASELINE = method_signature(T::NAME, "export_baseline", {}, T::BASELINE_DOC);

    static PyObject* compute(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
        return Cls::template method<Access::Exclusive>(COMPUTE, self, a, n, kw, [](State& s, std::string name) -> PyObject* {
            auto type = parse_type(name);
            if (!type) return nullptr;
            auto score = take(s.compute_drift(*type));
            return score ? to_py(*score) : nullptr;
        });
    }

    static PyObject* multiple(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
        return Cls::template method<Access::Exclusive>(MULTIPLE, self, a, n, kw, [](State& s, Labels names) -> PyObject* {
            auto types = parse_types(names);
            if (!types) return nullptr;
            auto scores = take(s.compute_drift_multiple_criteria(*types));
            return scores ? float_list(*scores) : nullptr;
        });
    }

    static PyObject* reset(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
        return Cls::template method<Access::Exclusive>(RESET, self, a, n, kw, [](State& s, typename T::Batch data) -> PyObject* {
            if (!readable(data)) return nullptr;
            if (!done(s.reset_baseline(values_of(data)))) return nullptr;
            Py_RETURN_NONE;
        });
    }

    static PyObject* update_batch(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
        return Cls::template method<Access::Exclusive>(BATCH, self, a, n, kw, [](State& s, typename T::Batch data) -> PyObject* {
            if (!readable(data)) return nullptr;
            if (!done(s.update_stream_batch(values_of(data)))) return nullptr;
            Py_RETURN_NONE;
        });
    }

    static PyObject* update_one(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
        return Cls::template method<Access::Exclusive>(SAMPLE, self, a, n, kw, [](State& s, typename T::Sample v) -> PyObject* {
            s.update_stream(v);
            Py_RETURN_NONE;
        });
    }

    static PyObject* flush(PyObject* self, PyObject*) {
        return Cls::template simple<Access::Exclusive>(self, &FLUSH_NOW, [](State& s) -> PyObject* {
            s.flush();
            Py_RETURN_NONE;
        });
    }

    // The decayed total is fractional; it reads truncated toward zero.
    static PyObject* total_samples(PyObject* self, void*) {
        return Cls::template simple<Access::Shared>(self, &TOTAL, [](State& s) {
            return PyLong_FromUnsignedLongLong(saturate_u64(s.window().total_samples()));
        });
    }

    static PyObject* last_flush(PyObject* self, void*) {
        return Cls::template simple<Access::Shared>(self, &LAST_FLUSH, [](State& s) {
            return PyLong_FromUnsignedLongLong(s.window().seconds_since_flush());
        });
    }

    static PyObject* n_bins(PyObject* self, void*) {
        return Cls::template simple<Access::Shared>(self, &N_BINS, [](State& s) { return PyLong_FromSize_t(s.n_bins()); });
    }

    static PyObject* snapshot(PyObject* self, PyObject*) {
        return Cls::template simple<Access::Shared>(self, &SNAPSHOT, [](State& s) -> PyObject* {
            if constexpr (std::is_same_v<typename T::Batch, F64Array>) {
                auto entries = take(s.export_snapshot());
                if (!entries) return nullptr;
                Ref dict = Ref::steal(PyDict_New());
                if (!dict) return nullptr;
                for (const auto& [key, values] : *entries)
                    if (!set_item(dict.get(), key, float_list(values))) return nullptr;
                return dict.release();
            } else {
                return label_dict(s.export_snapshot());
            }
        });
    }

    static PyObject* baseline(PyObject* self, PyObject*) {
        return Cls::template simple<Access::Shared>(self, &BASELINE, [](State& s) -> PyObject* {
            if constexpr (std::is_same_v<typename T::Batch, F64Array>)
                return float_list(s.export_baseline());
            else
                return label_dict(s.export_baseline());
        });
    }

    static ClassDef def(const Signature& ctor, newfunc tp_new, const char* total_doc) {
        std::vector<MethodEntry> methods = {fastcall(COMPUTE, compute), fastcall(MULTIPLE, multiple),
                                            fastcall(RESET, reset), fastcall(BATCH, update_batch),
                                            fastcall(SAMPLE, update_one)};
        if constexpr (T::FLUSH) methods.push_back(noargs(FLUSH_NOW, flush));
        methods.push_back(noargs(SNAPSHOT, snapshot));
        methods.push_back(noargs(BASELINE, baseline));
        std::vector<GetterEntry> getters = {{"total_samples", total_samples, total_doc}};
        if constexpr (T::FLUSH) getters.push_back({"last_flush", last_flush, LAST_FLUSH_DOC});
        getters.push_back({"n_bins", n_bins, T::N_BINS_DOC});
        return Cls::def(T::NAME, ctor, tp_new, std::move(methods), std::move(getters));
    }
};

// A flush cadence given in whole seconds.
std::optional<FlushCadence> cadence_of(std::optional<std::uint64_t> secs) {
    if (!secs) return std::nullopt;
    return FlushCadence{*secs, 0};
}

// A half-life of 0 is refused; None selects the default factor.
bool half_life_ok(const std::optional<std::uint64_t>& h) {
    if (h && *h == 0) {
        fail(DriftError::UnsupportedConfig);
        return false;
    }
    return true;
}

using ContDecay = ContinuousTraits<DecayModeMark>;
using ContFlush = ContinuousTraits<FlushModeMark>;
using CatDecay = CategoricalTraits<DecayModeMark>;
using CatFlush = CategoricalTraits<FlushModeMark>;

const Signature CONT_FLUSH_NEW = class_signature(
    ContFlush::NAME, {"baseline_data", "quantile_type_str", "flush_rate_opt", "flush_cadence_opt"},
    "Streaming continuous data drift detector in flush mode. Accumulates runtime\n"
    "samples and resets accumulated bins on each flush.");
const Signature CONT_DECAY_NEW = class_signature(
    ContDecay::NAME, {"baseline_data", "quantile_type_str", "decay_opt"},
    "Streaming continuous data drift detector in decay mode. Applies exponential\n"
    "decay to accumulated runtime bins on each drift computation, giving more weight\n"
    "to recent samples.");
const Signature CAT_FLUSH_NEW = class_signature(
    CatFlush::NAME, {"baseline_data", "flush_rate", "flush_cadence"},
    "Streaming categorical data drift detector in flush mode. Accumulates runtime\n"
    "label counts and resets accumulated bins on each flush.");
const Signature CAT_DECAY_NEW = class_signature(
    CatDecay::NAME, {"baseline_data", "half_life_opt"},
    "Streaming categorical data drift detector in decay mode. Applies exponential\n"
    "decay to accumulated label counts on each drift computation, giving more weight\n"
    "to recent samples.");

PyObject* cont_flush_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    using State = ContFlush::State;
    return Class<State>::construct(
        CONT_FLUSH_NEW, tp, args, kwargs,
        [](F64Array baseline, std::optional<std::string> quantile, std::optional<std::uint64_t> rate,
           std::optional<std::uint64_t> cadence) -> std::optional<State> {
            if (!require_contiguous(baseline)) return std::nullopt;
            auto q = parse_quantile(quantile);
            if (!q) return std::nullopt;
            return take(State::new_flush(baseline.values(), *q, rate, cadence_of(cadence)));
        });
}

PyObject* cont_decay_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    using State = ContDecay::State;
    return Class<State>::construct(
        CONT_DECAY_NEW, tp, args, kwargs,
        [](F64Array baseline, std::optional<std::string> quantile, std::optional<std::uint64_t> half_life)
            -> std::optional<State> {
            if (!require_contiguous(baseline)) return std::nullopt;
            auto q = parse_quantile(quantile);
            if (!q || !half_life_ok(half_life)) return std::nullopt;
            return take(State::new_decay(baseline.values(), *q, half_life.value_or(0)));
        });
}

PyObject* cat_flush_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    using State = CatFlush::State;
    return Class<State>::construct(
        CAT_FLUSH_NEW, tp, args, kwargs,
        [](Labels baseline, std::optional<std::uint64_t> rate, std::optional<std::uint64_t> cadence) {
            return State::new_flush(baseline, rate, cadence_of(cadence));
        });
}

PyObject* cat_decay_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    using State = CatDecay::State;
    return Class<State>::construct(CAT_DECAY_NEW, tp, args, kwargs,
                                   [](Labels baseline, std::optional<std::uint64_t> half_life) -> std::optional<State> {
                                       if (!half_life_ok(half_life)) return std::nullopt;
                                       return take(State::new_decay(baseline, half_life.value_or(0)));
                                   });
}

}  // namespace

PyTypeObject* py_streaming_continuous_data_drift_flush_type() {
    static const ClassDef DEF = Members<ContFlush>::def(CONT_FLUSH_NEW, cont_flush_new, FLUSH_TOTAL_DOC);
    return Class<ContFlush::State>::create(DEF);
}

PyTypeObject* py_streaming_continuous_data_drift_decay_type() {
    static const ClassDef DEF = Members<ContDecay>::def(CONT_DECAY_NEW, cont_decay_new, DECAY_TOTAL_DOC);
    return Class<ContDecay::State>::create(DEF);
}

PyTypeObject* py_streaming_categorical_data_drift_flush_type() {
    static const ClassDef DEF = Members<CatFlush>::def(CAT_FLUSH_NEW, cat_flush_new, FLUSH_TOTAL_DOC);
    return Class<CatFlush::State>::create(DEF);
}

PyTypeObject* py_streaming_categorical_data_drift_decay_type() {
    static const ClassDef DEF = Members<CatDecay>::def(CAT_DECAY_NEW, cat_decay_new, DECAY_TOTAL_DOC);
    return Class<CatDecay::State>::create(DEF);
}

}  // namespace morvane::py
