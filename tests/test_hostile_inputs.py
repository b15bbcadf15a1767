"""Hostile inputs across every family: sequences that lie about their length or fail
midway, elements whose conversions raise or call back into the object being used,
unusual array layouts, NUL bytes and lone surrogates, huge broadcast arrays, dicts that
change while they are read, and bad environment settings. Every call returns, or
raises a documented error, and a failed call leaves its object as it was."""

import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import _morvane as mv
import hostile
from conftest import huge_allocation, raises_with

BASE = np.arange(100.0)
DB = mv.py_data_bias_analyzer(np.array([1.0, 0.0, 1.0, 0.0, 1.0]), np.array([1.0, 1.0, 0.0, 0.0, 0.0]), 1.0, 1.0)
SAMPLE = ([1, 1, 1, 0, 0, 0], [1, 1, 0, 1, 1, 0], [1, 0, 1, 1, 0, 1])


def outcome(fn):
    """A comparable picture of a call: its result, or its error's type and message."""
    try:
        return ("ok", repr(fn()))
    except hostile.ALLOWED as e:
        return (type(e).__name__, str(e))


# ---- sequences -------------------------------------------------------------------------

class LyingList(list):
    def __len__(self):
        return 2**40


class LyingTuple(tuple):
    def __len__(self):
        return 2**40


class LyingSequence:
    """Not a list or tuple: claims a huge length, holds a few items."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return 2**40

    def __getitem__(self, i):
        return self.items[i]


class ShortSequence(LyingSequence):
    def __len__(self):
        return 0


class FailingLength(LyingSequence):
    def __len__(self):
        raise hostile.HostileError("len")


class IteratesReversed(list):
    """Stores its items backwards and iterates them forwards: iteration is what counts."""

    def __init__(self, items):
        super().__init__(reversed(list(items)))

    def __iter__(self):
        return reversed(list(super().__iter__()))


WRAPPERS = [tuple, LyingList, LyingTuple, LyingSequence, ShortSequence, FailingLength, IteratesReversed]


def data_bias_monitor(w):
    s = mv.PyDataBiasStreaming(w([1, 0, 1, 0, 1]), w([1, 1, 0, 0, 1]))
    s.push_batch(w([1, 0, 0, 1, 1]), w([0, 0, 1, 1, 1]))
    return s.drift_snapshot(), s.drift_report_partial_metrics(w(["LpNorm", "KlDivergence"]), 0.0)


def model_bias_monitor(w):
    s = mv.PyModelBiasStreaming(*(w(c) for c in SAMPLE))
    s.push_batch(*(w(c) for c in SAMPLE))
    s.reset_baseline(*(w(c) for c in SAMPLE))
    return s.drift_snapshot(), s.drift_report_partial_metrics(w(["DisparateImpact"]), 0.0)


def perf_monitor(cls, t, p, *extra):
    def run(w):
        m = cls(w(t), w(p), *extra)
        m.push_batch(w(p), w(t))
        m.reset_baseline(w(p), w(t))
        if extra:
            m.reset_baseline_and_decision_threshold(w(t), w(p), 0.25)
        return m.drift_snapshot(), m.drift_report_partial_metrics(w(["Accuracy"] if extra or t[0] in (0, 1) else ["RSquared"]), 0.0)

    return run


def categorical_batch(w):
    d = mv.PyCategoricalDataDrift(w(["a", "b", "a", "c"]))
    scores = d.compute_drift_mutliple_criteria(w(["a", "z", "b"]), w(["JensenShannon", "KullbackLeibler"]))
    d.reset_baseline(w(["b", "x"]))
    return scores, d.compute_drift(w(["x", "x"]), "PopulationStabilityIndex"), d.export_baseline()


def drift_functions(w):
    cat = mv.py_compute_drift_categorical_distribtuion(w(["a", "b"]), w(["b", "q"]), w(["WassersteinDistance"]))
    cont = mv.py_compute_drift_continuous_distribtuion(BASE, BASE[:7], w(["JensenShannon", "KullbackLeibler"]), None)
    return cat, cont


def streaming_categorical(cls, *extra):
    def run(w):
        s = cls(w(["a", "b", "b"]), *extra)
        s.update_stream_batch(w(["a", "z", "a"]))
        scores = s.compute_drift_multiple_criteria(w(["JensenShannon", "PopulationStabilityIndex"]))
        s.reset_baseline(w(["c", "a"]))
        s.update_stream_batch(w(["c"]))
        return scores, s.export_snapshot(), s.export_baseline()

    return run


def partial_checks(w):
    reg = mv.py_model_perf_linear_regression(np.array([1.0, 2.0]), np.array([1.0, 3.0]))
    mb = dict.fromkeys(hostile.WORDS[7:19], 0.5)
    return (
        mv.py_data_bias_partial_check(DB, {**DB, "LpNorm": 9.0}, w(["LpNorm", "ClassImbalance"])),
        mv.py_model_bias_partial_check(mb, {**mb, "DisparateImpact": 9.0}, w(["DisparateImpact"])),
        mv.py_model_perf_lin_reg_rt_partial(reg, {**reg, "MaxError": 9.0}, w(["MaxError"])),
        outcome(lambda: mv.py_model_perf_class_rt_partial({}, {}, w(["Nope", "LogLoss"]))),
        outcome(lambda: mv.py_model_perf_log_reg_rt_partial({}, {}, w(["LogLoss", "x\0"]))),
    )


SEQUENCE_SITES = {
    "data bias monitor": data_bias_monitor,
    "model bias monitor": model_bias_monitor,
    "linear monitor": perf_monitor(mv.PyLinearRegressionStreaming, [1.0, 2.0, 4.0], [1.5, 2.0, 3.0]),
    "logistic monitor": perf_monitor(mv.PyLogisticRegressionStreaming, [1.0, 0.0, 1.0], [0.8, 0.3, 0.4], 0.5),
    "binary monitor": perf_monitor(mv.PyBinaryClassificationStreaming, [1, 0, 1], [1, 1, 0]),
    "categorical batch drift": categorical_batch,
    "drift functions": drift_functions,
    "categorical decay": streaming_categorical(mv.PyStreamingCategoricalDataDriftDecay, 2),
    "categorical flush": streaming_categorical(mv.PyStreamingCategoricalDataDriftFlush, 2, None),
    "partial checks": partial_checks,
}


@pytest.mark.parametrize("wrapper", WRAPPERS, ids=lambda w: w.__name__)
@pytest.mark.parametrize("site", list(SEQUENCE_SITES))
def test_sequences_are_read_by_iteration_whatever_their_length_says(site, wrapper):
    run = SEQUENCE_SITES[site]
    assert outcome(lambda: run(wrapper)) == outcome(lambda: run(list))


class FailsMidway(LyingSequence):
    def __init__(self, items, error):
        super().__init__(items)
        self.error = error

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == 1:
            raise self.error
        return self.items[i]


class IterationFailsMidway(FailsMidway):
    """Iterates by its own __iter__, which raises after the first item."""

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        yield self.items[0]
        raise self.error


class Raises:
    """An element whose conversions raise the given error."""

    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

    __index__ = __float__


def primed(name):
    """An instance of each class holding some runtime data."""
    cls = getattr(mv, name)
    if name == "PyContinuousDataDrift":
        return cls(BASE, None)
    if name == "PyCategoricalDataDrift":
        return cls(["a", "b"])
    if "Continuous" in name:
        s = cls(BASE, None, *([None] * (2 if "Flush" in name else 1)))
        s.update_stream_batch(BASE[:10])
        return s
    if "Categorical" in name:
        s = cls(["a", "b"], *([None] * (2 if "Flush" in name else 1)))
        s.update_stream_batch(["a", "z"])
        return s
    if name == "PyDataBiasStreaming":
        s = cls([1, 0, 1, 0], [1, 1, 0, 0])
        s.push_batch([1, 0, 1, 0, 1], [1, 1, 0, 0, 0])
        return s
    if name == "PyModelBiasStreaming":
        s = cls(*SAMPLE)
        s.push_batch(*SAMPLE)
        return s
    t, p = {"PyLinearRegressionStreaming": ([1.0, 2.0], [1.5, 2.0]), "PyBinaryClassificationStreaming": ([1, 0], [1, 1]),
            "PyLogisticRegressionStreaming": ([1.0, 0.0], [0.8, 0.3])}[name]
    m = cls(t, p, 0.5) if "Logistic" in name else cls(t, p)
    m.push_batch(t, p)
    return m


# (class, method, shared access?, arguments); `H` marks the argument that is made hostile:
# a number, a list holding it, or a sequence of text.
H = object()
NUMBERS = "numbers"
TEXTS = "texts"
CALLS = [
    ("PyDataBiasStreaming", "push", False, (H, 0)),
    ("PyDataBiasStreaming", "push_batch", False, ((NUMBERS, [1, 0, 1]), [1, 1, 0])),
    ("PyDataBiasStreaming", "reset_baseline", False, ([1, 0, 1, 0], (NUMBERS, [1, 1, 0, 0]))),
    ("PyDataBiasStreaming", "drift_report", True, (H,)),
    ("PyDataBiasStreaming", "drift_report_partial_metrics", True, ((TEXTS, ["LpNorm", "KlDivergence"]), 0.0)),
    ("PyModelBiasStreaming", "push", False, (1, H, 1)),
    ("PyModelBiasStreaming", "push_batch", False, (SAMPLE[0], SAMPLE[1], (NUMBERS, SAMPLE[2]))),
    ("PyModelBiasStreaming", "reset_baseline", False, ((NUMBERS, SAMPLE[0]), SAMPLE[1], SAMPLE[2])),
    ("PyModelBiasStreaming", "drift_report", True, (H,)),
    ("PyModelBiasStreaming", "drift_report_partial_metrics", True, ((TEXTS, ["DisparateImpact", "TreatmentEquity"]), 0.0)),
    ("PyLinearRegressionStreaming", "push", False, (H, 1.0)),
    ("PyLinearRegressionStreaming", "push_batch", False, ((NUMBERS, [1.0, 2.0]), [1.0, 2.5])),
    ("PyLinearRegressionStreaming", "reset_baseline", False, ([1.0, 2.0], (NUMBERS, [1.0, 2.5]))),
    ("PyLinearRegressionStreaming", "drift_report", True, (H,)),
    ("PyLinearRegressionStreaming", "drift_report_partial_metrics", True, ((TEXTS, ["RSquared", "MaxError"]), 0.0)),
    ("PyLogisticRegressionStreaming", "push", False, (1.0, H)),
    ("PyLogisticRegressionStreaming", "push_batch", False, ((NUMBERS, [1.0, 0.0]), [0.9, 0.1])),
    ("PyLogisticRegressionStreaming", "reset_baseline", False, ([1.0, 0.0], (NUMBERS, [0.9, 0.1]))),
    ("PyLogisticRegressionStreaming", "reset_baseline_and_decision_threshold", False, ([1.0, 0.0], [0.9, 0.1], H)),
    ("PyLogisticRegressionStreaming", "drift_report", True, (H,)),
    ("PyLogisticRegressionStreaming", "drift_report_partial_metrics", True, ((TEXTS, ["LogLoss", "F1Score"]), 0.0)),
    ("PyBinaryClassificationStreaming", "push", False, (H, 1)),
    ("PyBinaryClassificationStreaming", "push_batch", False, ((NUMBERS, [1, 0]), [1, 1])),
    ("PyBinaryClassificationStreaming", "reset_baseline", False, ([1, 0], (NUMBERS, [0, 1]))),
    ("PyBinaryClassificationStreaming", "drift_report", True, (H,)),
    ("PyBinaryClassificationStreaming", "drift_report_partial_metrics", True, ((TEXTS, ["Accuracy", "F1Score"]), 0.0)),
    ("PyCategoricalDataDrift", "compute_drift", False, ((TEXTS, ["a", "q"]), "JensenShannon")),
    ("PyCategoricalDataDrift", "compute_drift_mutliple_criteria", False, (["a"], (TEXTS, ["JensenShannon", "KullbackLeibler"]))),
    ("PyCategoricalDataDrift", "reset_baseline", False, ((TEXTS, ["q", "r"]),)),
    ("PyContinuousDataDrift", "compute_drift_mutliple_criteria", False, (BASE[:9], (TEXTS, ["JensenShannon", "KullbackLeibler"]))),
    ("PyStreamingContinuousDataDriftDecay", "update_stream", False, (H,)),
    ("PyStreamingContinuousDataDriftDecay", "compute_drift_multiple_criteria", False, ((TEXTS, ["JensenShannon", "KullbackLeibler"]),)),
    ("PyStreamingContinuousDataDriftFlush", "update_stream", False, (H,)),
    ("PyStreamingContinuousDataDriftFlush", "compute_drift_multiple_criteria", False, ((TEXTS, ["JensenShannon", "KullbackLeibler"]),)),
    ("PyStreamingCategoricalDataDriftDecay", "update_stream_batch", False, ((TEXTS, ["a", "b"]),)),
    ("PyStreamingCategoricalDataDriftDecay", "compute_drift_multiple_criteria", False, ((TEXTS, ["JensenShannon", "KullbackLeibler"]),)),
    ("PyStreamingCategoricalDataDriftDecay", "reset_baseline", False, ((TEXTS, ["c", "d"]),)),
    ("PyStreamingCategoricalDataDriftFlush", "update_stream_batch", False, ((TEXTS, ["a", "b"]),)),
    ("PyStreamingCategoricalDataDriftFlush", "compute_drift_multiple_criteria", False, ((TEXTS, ["JensenShannon", "KullbackLeibler"]),)),
    ("PyStreamingCategoricalDataDriftFlush", "reset_baseline", False, ((TEXTS, ["c", "d"]),)),
]
CALL_IDS = [f"{c}.{m}" for c, m, _, _ in CALLS]


def build(args, number, numbers, texts):
    """The arguments with the hostile one made by the three makers."""
    out = []
    for a in args:
        if a is H:
            out.append(number())
        elif isinstance(a, tuple) and a[0] == NUMBERS:
            out.append(numbers(a[1]))
        elif isinstance(a, tuple) and a[0] == TEXTS:
            out.append(texts(a[1]))
        else:
            out.append(a)
    return out


def test_the_call_table_has_every_method_that_converts_a_callable_argument():
    # Methods missing here take only text, float64 arrays or nothing: nothing of theirs
    # can run Python code during conversion.
    assert {m for _, m, _, _ in CALLS} >= {"push", "push_batch", "reset_baseline", "drift_report", "update_stream",
                                           "compute_drift_multiple_criteria", "compute_drift_mutliple_criteria",
                                           "reset_baseline_and_decision_threshold", "update_stream_batch", "compute_drift"}
    assert {c for c, _, _, _ in CALLS} == {n for n, c in hostile.registered() if isinstance(c, type)}


@pytest.mark.parametrize("name, method, shared, args", CALLS, ids=CALL_IDS)
@pytest.mark.parametrize("sequence", [FailsMidway, IterationFailsMidway], ids=["getitem", "iter"])
@pytest.mark.parametrize("error", [hostile.HostileError("midway"), TypeError("midway"), KeyboardInterrupt("midway")],
                         ids=["own", "TypeError", "KeyboardInterrupt"])
def test_failures_midway_pass_through_and_change_nothing(name, method, shared, args, sequence, error):
    obj = primed(name)
    before = hostile.observe(obj)
    call = build(args, lambda: Raises(error), lambda v: [v[0], Raises(error), *v[2:]], lambda v: sequence(v, error))
    # Errors pass unchanged, except that a TypeError names the argument.
    if isinstance(error, TypeError):
        with pytest.raises(TypeError, match="^argument '[a-z_]+': midway$"):
            getattr(obj, method)(*call)
    else:
        with pytest.raises(type(error), match="^midway$"):
            getattr(obj, method)(*call)
    assert hostile.observe(obj) == before
    REENTRY[name][0](obj)  # the borrow was released


# The other method each class is re-entered with: one that changes the object, one that reads it.
REENTRY = {
    "PyDataBiasStreaming": (lambda o: o.flush(), lambda o: o.performance_snapshot()),
    "PyModelBiasStreaming": (lambda o: o.flush(), lambda o: o.performance_snapshot()),
    "PyLinearRegressionStreaming": (lambda o: o.flush(), lambda o: o.performance_snapshot()),
    "PyLogisticRegressionStreaming": (lambda o: o.flush(), lambda o: o.performance_snapshot()),
    "PyBinaryClassificationStreaming": (lambda o: o.flush(), lambda o: o.performance_snapshot()),
    "PyCategoricalDataDrift": (lambda o: o.reset_baseline(["x"]), lambda o: o.export_baseline()),
    "PyContinuousDataDrift": (lambda o: o.reset_baseline(BASE[:5]), lambda o: o.num_bins),
    "PyStreamingContinuousDataDriftDecay": (lambda o: o.update_stream(1.0), lambda o: o.export_snapshot()),
    "PyStreamingContinuousDataDriftFlush": (lambda o: o.flush(), lambda o: o.total_samples),
    "PyStreamingCategoricalDataDriftDecay": (lambda o: o.update_stream("a"), lambda o: o.export_baseline()),
    "PyStreamingCategoricalDataDriftFlush": (lambda o: o.flush(), lambda o: o.n_bins),
}


class CallsBack:
    """A number whose conversion first runs a callback."""

    def __init__(self, value, callback):
        self.value, self.callback = value, callback

    def __float__(self):
        self.callback()
        return float(self.value)

    def __index__(self):
        self.callback()
        return int(self.value)


class SequenceCallsBack(LyingSequence):
    def __init__(self, items, callback):
        super().__init__(items)
        self.callback = callback

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == 0:
            self.callback()
        return self.items[i]


NUMBER_FOR = {"push": 1, "drift_report": 0.0, "reset_baseline_and_decision_threshold": 0.5, "update_stream": 1.5}


@pytest.mark.parametrize("name, method, shared, args", CALLS, ids=CALL_IDS)
@pytest.mark.parametrize("inner", ["mutating", "reading"])
def test_reentrant_use_is_refused_with_the_borrow_errors(name, method, shared, args, inner):
    obj = primed(name)
    mutate, read = REENTRY[name]
    callback = (lambda: mutate(obj)) if inner == "mutating" else (lambda: read(obj))
    call = build(args, lambda: CallsBack(NUMBER_FOR[method], callback),
                 lambda v: [CallsBack(v[0], callback), *v[1:]], lambda v: SequenceCallsBack(v, callback))
    before = hostile.observe(obj)
    if shared and inner == "reading":
        # Shared access overlaps shared access: the call goes through.
        getattr(obj, method)(*call)
        return
    message = "Already mutably borrowed" if inner == "reading" else "Already borrowed"
    with raises_with(RuntimeError, message):
        getattr(obj, method)(*call)
    assert hostile.observe(obj) == before
    # Every borrow was released: the object takes exclusive use again.
    mutate(obj)


# ---- arrays ---------------------------------------------------------------------------

def unaligned(values):
    raw = np.zeros(len(values) * 8 + 1, dtype=np.uint8)
    view = raw[1:].view(np.float64)
    view[:] = values
    assert not view.flags.aligned and view.flags.c_contiguous
    return view


F64_EXPECTED = "'ndarray' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize(
    "array, exc, message",
    [
        (np.arange(10.0)[::2], TypeError, "^The given array is not contiguous$"),
        (np.arange(10.0).astype(">f8"), TypeError, F64_EXPECTED),
        (np.ones(()), TypeError, F64_EXPECTED),
        (np.ones((3, 3)), TypeError, F64_EXPECTED),
        (np.arange(10.0, dtype=np.float32), TypeError, F64_EXPECTED),
        (np.array([], dtype=np.float64), ValueError, "^Baseline data must be non empty$"),
    ],
    ids=["strided", "big-endian", "0-d", "2-d", "float32", "empty"],
)
def test_float64_array_parameters_refuse_other_layouts(array, exc, message):
    for make in (lambda a: mv.PyContinuousDataDrift(a, None), lambda a: mv.PyStreamingContinuousDataDriftDecay(a, None, None),
                 lambda a: mv.py_compute_drift_continuous_distribtuion(a, BASE, ["JensenShannon"], None)):
        with pytest.raises(exc, match=message):
            make(array)


def test_unaligned_float64_arrays_read_as_their_values():
    baseline, runtime = np.linspace(-3.0, 7.0, 41), np.linspace(-1.0, 9.0, 17)
    names = ["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]
    expected = mv.py_compute_drift_continuous_distribtuion(baseline, runtime, names, "Scott")
    assert mv.py_compute_drift_continuous_distribtuion(unaligned(baseline), unaligned(runtime), names, "Scott") == expected
    d = mv.PyContinuousDataDrift(unaligned(baseline), "Scott")
    assert d.compute_drift_mutliple_criteria(unaligned(runtime), names) == expected
    d.reset_baseline(unaligned(runtime))
    assert d.export_baseline() == mv.PyContinuousDataDrift(runtime, "Scott").export_baseline()
    s = mv.PyStreamingContinuousDataDriftFlush(unaligned(baseline), "Scott", None, None)
    s.update_stream_batch(unaligned(runtime))
    assert s.compute_drift_multiple_criteria(names) == expected


ZERO_D, ROWS, NO_ROWS = np.ones(()), np.ones((3, 2)), np.ones((0, 2))


@pytest.mark.parametrize(
    "call, array, exc, message",
    [
        (lambda a: mv.py_model_perf_linear_regression(a, a), ZERO_D, ValueError, "^Invalid types passed$"),
        (lambda a: mv.py_model_perf_linear_regression(a, a), ROWS, ValueError, "^Invalid types passed$"),
        (lambda a: mv.py_model_perf_linear_regression(a, a), NO_ROWS, ValueError, "^Empty data vectors$"),
        (lambda a: mv.py_model_perf_classification(a, a), ZERO_D, TypeError, "unsized object"),
        (lambda a: mv.py_model_perf_classification(a, a), ROWS, TypeError, "scalar"),
        (lambda a: mv.py_model_perf_logistic_regression(a, a, 0.5), NO_ROWS, TypeError, "^Metric cannot be computed"),
        (lambda a: mv.py_data_bias_analyzer(a, a, 1.0, 1.0), ZERO_D, TypeError, "0-d"),
        (lambda a: mv.py_data_bias_analyzer(a, a, 1.0, 1.0), ROWS, TypeError, "scalar"),
        (lambda a: mv.py_data_bias_analyzer(a, a, 1.0, 1.0), NO_ROWS, ValueError, "^No deviation in behavior"),
        (lambda a: mv.py_model_bias_analyzer(a, a, a, 1.0, 1.0, 1.0), ROWS, TypeError, "scalar"),
        (lambda a: mv.py_data_bias_analyzer_explicit_seg(a, 0.5, None, "LessThan", a, 0.5, None, "LessThan"), ZERO_D,
         ValueError, "^Invalid bias configuration$"),
        (lambda a: mv.py_model_bias_analyzer_explicit_seg(a, None, "x", None, a, 0.5, None, "LessThan", a, 0.5, None,
                                                          "LessThan"), ROWS, ValueError, "^Invalid bias configuration$"),
        (lambda a: mv.PyLinearRegressionStreaming(a, a), ZERO_D, TypeError, "^argument 'y_true': .*0-d"),
        (lambda a: mv.PyDataBiasStreaming(a, a), ROWS, TypeError, "^argument 'feature_data': "),
        (lambda a: mv.PyBinaryClassificationStreaming(a, a), NO_ROWS, ValueError, "^Empty data vectors$"),
    ],
)
def test_zero_and_multi_dimensional_arrays_fail_as_documented(call, array, exc, message):
    with pytest.raises(exc, match=message):
        call(array)


# ---- text: NUL bytes and lone surrogates -----------------------------------------------

SURROGATE = "\ud800"


@pytest.mark.parametrize(
    "call",
    [
        lambda: mv.PyCategoricalDataDrift(["a", SURROGATE]),
        lambda: mv.py_compute_drift_categorical_distribtuion(["a"], ["a"], [SURROGATE]),
        lambda: mv.py_data_bias_runtime_check({SURROGATE: 1.0}, {}),
        lambda: mv.py_model_perf_lin_reg_rt_partial({}, {}, ["RSquared", SURROGATE]),
        lambda: mv.py_data_bias_analyzer(np.array(["a", "b"]), np.array([1, 0]), SURROGATE, 1),
        lambda: mv.py_data_bias_analyzer(np.array(["a", "b" + SURROGATE]), np.array([1, 0]), "a", 1),
        lambda: mv.py_model_bias_analyzer_explicit_seg(np.array(["a"]), None, SURROGATE, None, np.array([1.0]), 0.5,
                                                       None, "LessThan", np.array([1.0]), 0.5, None, "LessThan"),
        lambda: mv.PyContinuousDataDrift(BASE, SURROGATE),
    ],
)
def test_lone_surrogates_raise_the_encoding_error(call):
    with pytest.raises(UnicodeEncodeError):
        call()


@pytest.mark.parametrize("name", [n for n, c in hostile.registered() if isinstance(c, type) and "Categorical" in n])
def test_surrogate_labels_leave_categorical_objects_unchanged(name):
    obj = primed(name)
    before = hostile.observe(obj)
    for call in (lambda: obj.reset_baseline(["b", SURROGATE]),
                 lambda: obj.compute_drift([SURROGATE], "JensenShannon") if "Streaming" not in name else obj.update_stream(SURROGATE),
                 lambda: obj.update_stream_batch(["a", SURROGATE]) if "Streaming" in name else obj.reset_baseline([SURROGATE])):
        with pytest.raises(UnicodeEncodeError):
            call()
        assert hostile.observe(obj) == before


def test_nul_bytes_are_ordinary_characters():
    # Labels that differ only after a NUL are different labels.
    d = mv.PyCategoricalDataDrift(["a\0b", "a", "a\0"])
    assert d.export_baseline() == {"a\0b": 1 / 3, "a": 1 / 3, "a\0": 1 / 3}
    s = mv.PyStreamingCategoricalDataDriftDecay(["a\0", "a"], None)
    s.update_stream("a\0")
    s.update_stream("a\0\0")
    assert s.export_snapshot() == {"a\0": 1.0, "a": 0.0}
    # A metric or drift name with a NUL is not the name, and is shown escaped.
    with raises_with(ValueError, 'Metrics: ["LpNorm\\0"] are not supported'):
        mv.py_data_bias_partial_check(DB, DB, ["LpNorm\0"])
    with raises_with(ValueError, 'Metrics: ["Class\\0Imbalance"] are not supported'):
        mv.py_data_bias_runtime_check({**DB, "Class\0Imbalance": 1.0}, DB)
    with raises_with(ValueError, "Unsupported drift type"):
        mv.py_compute_drift_categorical_distribtuion(["a"], ["a"], ["JensenShannon\0"])
    # Object arrays keep trailing NULs that fixed-width text arrays drop.
    facet = mv.py_data_bias_analyzer(np.array(["a\0", "a", "b", "a\0"], dtype=object), np.array([1, 0, 1, 0]), "a\0", 1)
    assert facet["ClassImbalance"] == 0.0


# ---- huge lengths ----------------------------------------------------------------------

HUGE_CALLS = {
    "py_model_perf_linear_regression": "mv.py_model_perf_linear_regression(H, H)",
    "py_model_perf_classification": "mv.py_model_perf_classification(H, HI)",
    "py_model_perf_logistic_regression": "mv.py_model_perf_logistic_regression(H, H[:3], 0.5)",
    "py_data_bias_analyzer float": "mv.py_data_bias_analyzer(H, H, 1.0, 1.0)",
    "py_data_bias_analyzer int": "mv.py_data_bias_analyzer(HI, HI, 1, 1)",
    "py_data_bias_analyzer str": "mv.py_data_bias_analyzer(HS, HS, 'a', 'a')",
    "py_data_bias_analyzer bool": "mv.py_data_bias_analyzer(HB, HB, True, True)",
    "py_data_bias_analyzer_explicit_seg": "mv.py_data_bias_analyzer_explicit_seg(HS, None, 'a', None, H, 1.0, None, 'LessThan')",
    "py_model_bias_analyzer": "mv.py_model_bias_analyzer(HI, HI, H, 1, 1, 1.0)",
    "py_model_bias_analyzer_explicit_seg": "mv.py_model_bias_analyzer_explicit_seg(H, 0.5, None, 'LessThan', H, 0.5, None, 'LessThan', H, 0.5, None, 'LessThan')",
    "PyLinearRegressionStreaming": "mv.PyLinearRegressionStreaming(H, H)",
    "PyLogisticRegressionStreaming": "mv.PyLogisticRegressionStreaming(H, H, 0.5)",
    "PyBinaryClassificationStreaming": "mv.PyBinaryClassificationStreaming(HI, HI)",
    "PyDataBiasStreaming": "mv.PyDataBiasStreaming(HI, HI)",
    "PyModelBiasStreaming": "mv.PyModelBiasStreaming(HI, HI, HI)",
    "PyCategoricalDataDrift": "mv.PyCategoricalDataDrift(HS)",
    "py_compute_drift_categorical_distribtuion": "mv.py_compute_drift_categorical_distribtuion(['a'], HS, ['JensenShannon'])",
    "PyStreamingCategoricalDataDriftFlush": "mv.PyStreamingCategoricalDataDriftFlush(['a'], None, None).update_stream_batch(HS)",
    "PyContinuousDataDrift": "mv.PyContinuousDataDrift(H, None)",
    "py_compute_drift_continuous_distribtuion": "mv.py_compute_drift_continuous_distribtuion(H, H, [], None)",
}
HUGE_SCRIPT = """
import json, numpy as np, _morvane as mv
def broadcast(v):
    return np.lib.stride_tricks.as_strided(np.array([v]), shape=(2**40,), strides=(0,))
H, HI, HS, HB = broadcast(1.0), broadcast(1), broadcast("a"), broadcast(True)
out = {}
for name, code in CALLS.items():
    try:
        eval(code)
        out[name] = "returned"
    except BaseException as e:
        out[name] = type(e).__name__ + ": " + str(e)
print(json.dumps(out))
"""


@huge_allocation
def test_broadcast_arrays_of_two_to_the_forty_elements_fail_at_once():
    # In a child process with a deadline: reading 2**40 elements would take many minutes.
    script = f"CALLS = {HUGE_CALLS!r}\n" + HUGE_SCRIPT
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    outcomes = json.loads(run.stdout)
    not_contiguous = {"PyContinuousDataDrift", "py_compute_drift_continuous_distribtuion"}
    for name, result in outcomes.items():
        expected = "TypeError: The given array is not contiguous" if name in not_contiguous else "MemoryError: "
        assert result == expected, name


# ---- dicts -----------------------------------------------------------------------------

class ShadowDict(dict):
    """A dict subclass whose Python-level views disagree with what it stores."""

    def items(self):
        return [("ClassImbalance", 99.0)]

    def keys(self):
        return ["ClassImbalance"]

    def __getitem__(self, key):
        return 99.0

    def __iter__(self):
        return iter(["ClassImbalance"])


class Clears:
    """A value whose conversion empties (and refills) the dict it is read from."""

    def __init__(self, target, value):
        self.target, self.value = target, value

    def __float__(self):
        saved = dict(self.target)
        self.target.clear()
        self.target.update({f"k{i}": 0.0 for i in range(50)})  # forces the table to grow
        self.target.update(saved)
        del self.target["ClassImbalance"]
        return self.value


def test_dict_subclasses_are_read_by_their_stored_items():
    latest = {**DB, "LpNorm": DB["LpNorm"] + 1.0}
    expected = mv.py_data_bias_runtime_check(DB, latest)
    assert mv.py_data_bias_runtime_check(ShadowDict(DB), ShadowDict(latest)) == expected
    assert mv.py_data_bias_partial_check(ShadowDict(DB), ShadowDict(latest), ["LpNorm"]) == mv.py_data_bias_partial_check(
        DB, latest, ["LpNorm"])


@pytest.mark.parametrize("check", [mv.py_data_bias_runtime_check, lambda b, l: mv.py_data_bias_partial_check(b, l, ["LpNorm"])])
def test_dicts_changed_while_read_are_read_as_they_were(check):
    latest = {**DB, "LpNorm": DB["LpNorm"] + 1.0}
    mutating = dict(latest)
    mutating["LpNorm"] = Clears(mutating, latest["LpNorm"])
    assert check(DB, mutating) == check(DB, latest)
    assert "ClassImbalance" not in mutating and len(mutating) == 56  # the conversion did run


# ---- environment -----------------------------------------------------------------------

# One fresh interpreter forks a child per setting: each child sets the variables before
# anything reads them, exercises every reader and reports what it saw.
ENV_SCRIPT = r"""
import json, locale, os, sys
import numpy as np
import _morvane as mv
try:
    import _morvane_selftest as selftest
except ImportError:
    selftest = None

def attempt(f):
    try:
        f()
        return "ok"
    except Exception as e:
        return type(e).__name__

def child(value, loc):
    for name in ("MORVANE_STABILITY_EPS", "MORVANE_DISTRIBUTION_HEURISTIC"):
        os.environb[name.encode()] = value
    if loc:
        locale.setlocale(locale.LC_ALL, loc)
    column = np.array([0.0, 1.0, 2.0, 3.0] * 2)
    gt = np.array([1, 0, 0, 1, 1, 0, 0, 1])
    dpl = mv.py_data_bias_analyzer(column, gt, 2.0, 1)["DifferenceInProportionOfLabels"]
    seen = {"continuous": dpl == 0.0}
    eps = selftest.stability_eps() if selftest else None
    seen["eps"] = None if eps is None else repr(eps)
    t, p = np.array([1.0, 0.0, 1.0]), np.array([0.9, 0.2, 0.8])
    logistic = mv.PyLogisticRegressionStreaming([1.0, 0.0], [0.7, 0.2], 0.5) if attempt(
        lambda: mv.PyLogisticRegressionStreaming([1.0, 0.0], [0.7, 0.2], 0.5)) == "ok" else None
    data_bias = mv.PyDataBiasStreaming([1, 0, 1, 0], [1, 1, 0, 0])
    data_bias.push_batch([1, 0, 1, 0], [1, 0, 0, 0])
    stream = mv.PyStreamingCategoricalDataDriftDecay(["a", "b"], None)
    stream.update_stream_batch(["a", "z"])
    seen["calls"] = [
        attempt(lambda: mv.py_model_perf_logistic_regression(t, p, 0.5)),
        attempt(lambda: logistic.push(1.0, 0.5)) if logistic else "refused",
        attempt(lambda: logistic.flush()) if logistic else "refused",
        attempt(lambda: data_bias.drift_report(0.1)),
        attempt(lambda: mv.py_compute_drift_categorical_distribtuion(["a", "b"], ["a", "z"], ["JensenShannon", "KullbackLeibler"])),
        attempt(lambda: mv.py_compute_drift_continuous_distribtuion(np.arange(10.0), np.arange(5.0), ["PopulationStabilityIndex"], None)),
        attempt(lambda: stream.compute_drift("WassersteinDistance")),
        attempt(lambda: mv.py_model_bias_analyzer(column, gt, np.roll(gt, 1), 2.0, 1, 1)),
    ]
    return seen

results = {}
for key, (value, loc) in json.loads(sys.argv[1]).items():
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            out = json.dumps(child(value.encode("latin-1"), loc))
        except BaseException as e:
            out = json.dumps({"failed": type(e).__name__ + ": " + str(e)})
        os.write(w, out.encode())
        os._exit(0)
    os.close(w)
    data = b""
    while chunk := os.read(r, 65536):
        data += chunk
    os.close(r)
    _, status = os.waitpid(pid, 0)
    results[key] = {"status": status, **json.loads(data or b"{}")}
print(json.dumps(results))
"""

LOCALE_DIR = "/usr/share/i18n/locales/de_DE"

# setting -> (raw value, locale, epsilon, continuous at a distinct share of 0.5)
ENV_CASES = {
    "unset-like garbage": ("garbage", None, 1e-12, True),
    "empty": ("", None, 1e-12, True),
    "leading blank": (" 0.5", None, 1e-12, True),
    "trailing blank": ("0.5 ", None, 1e-12, True),
    "half": ("0.5", None, 0.5, False),
    "just below half": ("0.49", None, 0.49, True),
    "nan": ("nan", None, "nan", True),
    "inf": ("inf", None, "inf", False),
    "minus zero": ("-0", None, "-0.0", True),
    "huge": ("1e999", None, "inf", False),
    "tiny": ("1e-999", None, 0.0, True),
    "hex": ("0x1p-1", None, 1e-12, True),
    "not UTF-8": ("\xff0.5", None, 1e-12, True),
}


@pytest.fixture(scope="module")
def environment_runs(tmp_path_factory):
    cases = {k: (v[0], v[1]) for k, v in ENV_CASES.items()}
    env = {k: v for k, v in os.environ.items() if not k.startswith("MORVANE_")}
    env["OPENBLAS_NUM_THREADS"] = "1"
    if shutil.which("localedef") and os.path.exists(LOCALE_DIR):
        # A locale whose decimal separator is a comma, as a host application may set it.
        where = tmp_path_factory.mktemp("locale")
        made = subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", str(where / "de_DE.UTF-8")],
                              capture_output=True)
        if made.returncode in (0, 1) and (where / "de_DE.UTF-8").exists():
            env["LOCPATH"] = str(where)
            cases["comma locale"] = ("0.5", "de_DE.UTF-8")
    run = subprocess.run([sys.executable, "-c", ENV_SCRIPT, json.dumps(cases)], env=env, capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


@pytest.mark.parametrize("setting", [*ENV_CASES, "comma locale"])
def test_environment_settings_are_parsed_or_ignored(environment_runs, setting):
    if setting not in environment_runs:
        pytest.skip("no comma-decimal locale can be built here")
    value, _, eps, continuous = ENV_CASES.get(setting, ("0.5", None, 0.5, False))
    seen = environment_runs[setting]
    assert seen["status"] == 0 and "failed" not in seen, seen
    assert seen["continuous"] is continuous
    if seen["eps"] is not None:
        assert seen["eps"] == repr(float(eps))
    # Every reader of the epsilon returns or raises a documented error.
    assert set(seen["calls"]) <= {"ok", "refused", "TypeError", "ValueError"}, seen["calls"]
    # The logistic clamp needs eps <= 1 - eps; the other readers take any value.
    usable = float(eps) == float(eps) and float(eps) <= 1 - float(eps)
    assert (seen["calls"][:3] == ["ok"] * 3) is usable
    assert seen["calls"][3:7] == ["ok"] * 4
    assert seen["calls"][7] in ("ok", "ValueError")  # the segmentation decides which guard trips
