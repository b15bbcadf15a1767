// The drift family: the two one-shot functions, the batch drift classes, and the four
// streaming classes (continuous or categorical data, decay or flush mode).
#include <Python.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "bind/families.hpp"
#include "core/drift/baseline.hpp"
#include "core/drift/batch.hpp"
#include "core/drift/scores.hpp"
#include "core/drift/streaming.hpp"
#include "py/call.hpp"
#include "py/label_column.hpp"
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
using MetricNames = std::vector<std::string>;

// The data as the cores take it: an array's own memory once the entry has checked it
// contiguous (the contiguity rule is the interface's; the core reads any stride).
inline ArrayView values_of(const F64Array& a) { return a.view(); }
inline LabelCodes values_of(const LabelColumn& l) { return l.view(); }
inline bool readable(const F64Array& a) { return require_contiguous(a); }
inline bool readable(const LabelColumn&) { return true; }

// What tells the continuous classes from the categorical ones, batch and streaming
// alike: the data they take and the words of their texts.
template <bool CONTINUOUS>
struct Kind {
    using Data = std::conditional_t<CONTINUOUS, F64Array, LabelColumn>;
    using Sample = std::conditional_t<CONTINUOUS, double, std::string>;
    static constexpr const char* RESET_PARAM = CONTINUOUS ? "baseline_data" : "new_baseline";
    static constexpr const char* BATCH_RESET_DOC =
        CONTINUOUS ? "Replace the baseline with a new data slice, recomputing the histogram."
                   : "Replace the baseline with a new set of labels, recomputing the distribution.";
    static constexpr const char* BASELINE_DOC =
        CONTINUOUS ? "Return the baseline as a normalized probability distribution (sums to 1.0)."
                   : "Return the baseline label frequencies as a normalized distribution.";
    static constexpr const char* NUM_BINS_DOC = CONTINUOUS ? "Number of histogram bins used for this baseline." : nullptr;
    static constexpr const char* RESET_DOC =
        CONTINUOUS ? "Replace the baseline distribution with a new data slice and clear the stream."
                   : "Replace the baseline distribution with a new set of labels and clear the stream.";
    static constexpr const char* BATCH_DOC = CONTINUOUS ? "Add a batch of runtime samples to the stream buffer."
                                                        : "Add a batch of runtime labels to the stream buffer.";
    static constexpr const char* SAMPLE_DOC = CONTINUOUS ? "Add a single runtime sample to the stream buffer."
                                                         : "Add a single runtime label to the stream buffer.";
    static constexpr const char* FLUSH_DOC = CONTINUOUS ? "Flush the stream, resetting accumulated runtime bins."
                                                        : "Flush the stream, resetting accumulated runtime label counts.";
    static constexpr const char* N_BINS_DOC = CONTINUOUS ? "Number of histogram bins." : "Number of distinct label bins.";
    static constexpr const char* SNAPSHOT_DOC =
        CONTINUOUS ? "Export the current stream histogram as a map of bin label to bin values."
                   : "Export the current stream label counts as a map of label to count.";
};

// A fastcall method; the type named, so that the specialisations of a member template resolve.
using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// One metric name scores to a float, a list of names to a list in the same order.
inline std::optional<DriftType> parse(const std::string& name) { return parse_type(name); }
inline std::optional<std::vector<DriftType>> parse(const MetricNames& names) { return parse_types(names); }
inline PyObject* scores_to_py(double s) { return to_py(s); }
inline PyObject* scores_to_py(const std::vector<double>& s) { return float_list(s); }

// The scores of a detector for parsed names, on the given runtime data (batch) or on its
// window (streaming).
template <class D, class... Data>
auto scores_of(D& d, DriftType type, const Data&... data) {
    return d.compute_drift(data..., type);
}
template <class D, class... Data>
auto scores_of(D& d, const std::vector<DriftType>& types, const Data&... data) {
    return d.compute_drift_multiple_criteria(data..., types);
}

// Parses the names, then scores them; nullptr with the first error raised.
template <class D, class Names, class... Data>
PyObject* score_names(D& d, const Names& names, const Data&... data) {
    auto types = parse(names);
    if (!types) return nullptr;
    auto scores = take(scores_of(d, *types, data...));
    return scores ? scores_to_py(*scores) : nullptr;
}

// The baseline as Python sees it: the bins as a list, or {label: fraction}.
PyObject* baseline_to_py(const BaselineContinuousBins& b) { return float_list(b.baseline_bins()); }
PyObject* baseline_to_py(const BaselineCategoricalBins& b) { return label_dict(b.labelled(b.baseline_bins())); }

// ---- PyContinuousDataDrift and PyCategoricalDataDrift ----

// The members of the two batch classes, generated per class; the constructors differ.
template <class State, bool CONTINUOUS>
struct BatchMembers {
    using K = Kind<CONTINUOUS>;
    using Cls = Class<State>;
    static constexpr const char* NAME = CONTINUOUS ? "PyContinuousDataDrift" : "PyCategoricalDataDrift";

    static inline const Signature COMPUTE = method_signature(NAME, "compute_drift", {"runtime_data", "drift_type"},
                                                             "Compute a single drift metric against `runtime_data`.\n\n"
                                                             MORVANE_DRIFT_TYPE_PARAGRAPH);
    static inline const Signature MULTIPLE =
        method_signature(NAME, "compute_drift_mutliple_criteria", {"runtime_data", "drift_types"});
    static inline const Signature RESET = method_signature(NAME, "reset_baseline", {K::RESET_PARAM}, K::BATCH_RESET_DOC);
    static inline const Signature EXPORT = method_signature(NAME, "export_baseline", {}, K::BASELINE_DOC);
    static inline const Signature NUM_BINS = method_signature(NAME, "num_bins", {});

    // compute_drift (one name) and compute_drift_mutliple_criteria (a list of names).
    template <const Signature& SIG, class Names>
    static PyObject* score(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
        return Cls::template method<Access::Exclusive>(SIG, self, a, n, kw, [](State& d, typename K::Data data, Names names) {
            return readable(data) ? score_names(d, names, values_of(data)) : nullptr;
        });
    }

    static PyObject* reset(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
        return Cls::template method<Access::Exclusive>(RESET, self, a, n, kw, [](State& d, typename K::Data data) -> PyObject* {
            if (!readable(data)) return nullptr;
            if (!done(d.reset_baseline(values_of(data)))) return nullptr;
            Py_RETURN_NONE;
        });
    }

    static PyObject* export_baseline(PyObject* self, PyObject*) {
        return Cls::template simple<Access::Shared>(self, &EXPORT, [](State& d) { return baseline_to_py(d.baseline()); });
    }

    static PyObject* num_bins(PyObject* self, void*) {
        return Cls::template simple<Access::Shared>(self, &NUM_BINS, [](State& d) { return PyLong_FromSize_t(d.num_bins()); });
    }

    // The class, made once.
    static PyTypeObject* create(const Signature& ctor, newfunc tp_new) {
        static const ClassDef DEF = Cls::def(NAME, ctor, tp_new,
                        {fastcall(COMPUTE, Fast(&score<COMPUTE, std::string>)), fastcall(MULTIPLE, Fast(&score<MULTIPLE, MetricNames>)),
                         fastcall(RESET, reset),
                         noargs(EXPORT, export_baseline)},
                        {{"num_bins", num_bins, K::NUM_BINS_DOC}});
        return Cls::create(DEF);
    }
};

using ContinuousBatch = BatchMembers<ContinuousDataDrift, true>;
using CategoricalBatch = BatchMembers<CategoricalDataDrift, false>;

const Signature CONTINUOUS_NEW = class_signature(
    ContinuousBatch::NAME, {"baseline_data", "quantile_type_str"},
    "Batch continuous data drift detector. Computes drift metrics between a fixed\n"
    "baseline histogram and a runtime data slice on each call.");
const Signature CATEGORICAL_NEW = class_signature(
    CategoricalBatch::NAME, {"baseline_data"},
    "Batch categorical data drift detector. Computes drift metrics between a fixed\n"
    "baseline label distribution and a runtime label slice on each call.");

PyObject* continuous_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    return Class<ContinuousDataDrift>::construct(
        CONTINUOUS_NEW, tp, args, kwargs,
        [](F64Array baseline, std::optional<std::string> quantile) -> std::optional<ContinuousDataDrift> {
            if (!require_contiguous(baseline)) return std::nullopt;
            auto q = parse_quantile(quantile);
            if (!q) return std::nullopt;
            return take(ContinuousDataDrift::make(values_of(baseline), *q));
        });
}

PyObject* categorical_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    return Class<CategoricalDataDrift>::construct(CATEGORICAL_NEW, tp, args, kwargs,
                                                  [](LabelColumn baseline) { return CategoricalDataDrift::make(values_of(baseline)); });
}

// ---- module functions ----

const Signature CATEGORICAL_FN =
    function_signature("py_compute_drift_categorical_distribtuion", {"baseline", "candidate", "drift_metrics"});
const Signature CONTINUOUS_FN = function_signature("py_compute_drift_continuous_distribtuion",
                                                   {"baseline", "candidate", "drift_metrics", "quantile_type"});

PyObject* categorical_fn(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(CATEGORICAL_FN, a, n, kw, [](LabelColumn baseline, LabelColumn candidate, MetricNames names) -> PyObject* {
        auto types = parse_types(names);
        if (!types) return nullptr;
        auto scores = take(compute_drift_distribution<CategoricalDataDrift>(values_of(baseline), values_of(candidate), *types));
        return scores ? float_list(*scores) : nullptr;
    });
}

PyObject* continuous_fn(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call(CONTINUOUS_FN, a, n, kw,
                [](F64Array baseline, F64Array candidate, MetricNames names, std::optional<std::string> quantile) -> PyObject* {
                    if (!require_contiguous(baseline, candidate)) return nullptr;
                    auto types = parse_types(names);
                    if (!types) return nullptr;
                    auto q = parse_quantile(quantile);
                    if (!q) return nullptr;
                    auto scores = take(compute_drift_distribution<ContinuousDataDrift>(values_of(baseline),
                                                                                       values_of(candidate), *types, *q));
                    return scores ? float_list(*scores) : nullptr;
                });
}

// ---- the four streaming classes ----

template <class M, bool CONTINUOUS>
struct StreamTraits : Kind<CONTINUOUS> {
    using State = std::conditional_t<CONTINUOUS, StreamingContinuousDataDrift<M>, StreamingCategoricalDataDrift<M>>;
    static constexpr bool FLUSH = std::is_same_v<M, FlushModeMark>;
    static constexpr const char* NAME =
        CONTINUOUS ? (FLUSH ? "PyStreamingContinuousDataDriftFlush" : "PyStreamingContinuousDataDriftDecay")
                   : (FLUSH ? "PyStreamingCategoricalDataDriftFlush" : "PyStreamingCategoricalDataDriftDecay");
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

    // compute_drift (one name) and compute_drift_multiple_criteria (a list of names).
    template <const Signature& SIG, class Names>
    static PyObject* score(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
        return Cls::template method<Access::Exclusive>(SIG, self, a, n, kw,
                                                       [](State& s, Names names) { return score_names(s, names); });
    }

    static PyObject* reset(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
        return Cls::template method<Access::Exclusive>(RESET, self, a, n, kw, [](State& s, typename T::Data data) -> PyObject* {
            if (!readable(data)) return nullptr;
            if (!done(s.reset_baseline(values_of(data)))) return nullptr;
            Py_RETURN_NONE;
        });
    }

    static PyObject* update_batch(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
        return Cls::template method<Access::Exclusive>(BATCH, self, a, n, kw, [](State& s, typename T::Data data) -> PyObject* {
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
            if constexpr (State::CONTINUOUS) {
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
            return baseline_to_py(s.baseline());
        });
    }

    // The class, made once.
    static PyTypeObject* create(const Signature& ctor, newfunc tp_new) {
        static const ClassDef DEF = def(ctor, tp_new);
        return Cls::create(DEF);
    }

    static ClassDef def(const Signature& ctor, newfunc tp_new) {
        std::vector<MethodEntry> methods = {fastcall(COMPUTE, Fast(&score<COMPUTE, std::string>)),
                                            fastcall(MULTIPLE, Fast(&score<MULTIPLE, MetricNames>)),
                                            fastcall(RESET, reset), fastcall(BATCH, update_batch),
                                            fastcall(SAMPLE, update_one)};
        if constexpr (T::FLUSH) methods.push_back(noargs(FLUSH_NOW, flush));
        methods.push_back(noargs(SNAPSHOT, snapshot));
        methods.push_back(noargs(BASELINE, baseline));
        std::vector<GetterEntry> getters = {{"total_samples", total_samples, T::FLUSH ? FLUSH_TOTAL_DOC : DECAY_TOTAL_DOC}};
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

using ContDecay = StreamTraits<DecayModeMark, true>;
using ContFlush = StreamTraits<FlushModeMark, true>;
using CatDecay = StreamTraits<DecayModeMark, false>;
using CatFlush = StreamTraits<FlushModeMark, false>;

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
            return take(State::new_flush(values_of(baseline), *q, rate, cadence_of(cadence)));
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
            return take(State::new_decay(values_of(baseline), *q, half_life.value_or(0)));
        });
}

PyObject* cat_flush_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    using State = CatFlush::State;
    return Class<State>::construct(
        CAT_FLUSH_NEW, tp, args, kwargs,
        [](LabelColumn baseline, std::optional<std::uint64_t> rate, std::optional<std::uint64_t> cadence) {
            return State::new_flush(values_of(baseline), {}, rate, cadence_of(cadence));
        });
}

PyObject* cat_decay_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    using State = CatDecay::State;
    return Class<State>::construct(CAT_DECAY_NEW, tp, args, kwargs,
                                   [](LabelColumn baseline, std::optional<std::uint64_t> half_life) -> std::optional<State> {
                                       if (!half_life_ok(half_life)) return std::nullopt;
                                       return take(State::new_decay(values_of(baseline), {}, half_life.value_or(0)));
                                   });
}

}  // namespace

const FunctionDef PY_COMPUTE_DRIFT_CATEGORICAL_DISTRIBTUION{&CATEGORICAL_FN, categorical_fn};
const FunctionDef PY_COMPUTE_DRIFT_CONTINUOUS_DISTRIBTUION{&CONTINUOUS_FN, continuous_fn};

PyTypeObject* py_categorical_data_drift_type() { return CategoricalBatch::create(CATEGORICAL_NEW, categorical_new); }
PyTypeObject* py_continuous_data_drift_type() { return ContinuousBatch::create(CONTINUOUS_NEW, continuous_new); }
PyTypeObject* py_streaming_continuous_data_drift_flush_type() { return Members<ContFlush>::create(CONT_FLUSH_NEW, cont_flush_new); }
PyTypeObject* py_streaming_continuous_data_drift_decay_type() { return Members<ContDecay>::create(CONT_DECAY_NEW, cont_decay_new); }
PyTypeObject* py_streaming_categorical_data_drift_flush_type() { return Members<CatFlush>::create(CAT_FLUSH_NEW, cat_flush_new); }
PyTypeObject* py_streaming_categorical_data_drift_decay_type() { return Members<CatDecay>::create(CAT_DECAY_NEW, cat_decay_new); }

}  // namespace morvane::py
