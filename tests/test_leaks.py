"""Reference and memory leak checks: every entry point, on its success path and on each
of its failure paths, called many times, leaves the reference counts of its arguments
and the process's memory where they were; instances are freed when dropped."""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import _morvane as mv
import hostile
from conftest import SANITIZED

# ---- inputs --------------------------------------------------------------------------

F = np.array([1.0, 0.0, 1.0, 0.0, 1.0, 0.0, 0.0, 1.0])
G = np.array([1.0, 1.0, 0.0, 0.0, 1.0, 1.0, 0.0, 0.0])
P = np.array([0.9, 0.2, 0.7, 0.1, 0.6, 0.4, 0.3, 0.8])
S = np.array(["a", "b", "a", "c", "a", "b", "c", "a"])
DB = mv.py_data_bias_analyzer(F, G, 1.0, 1.0)
MB = dict.fromkeys(
    ["DifferenceInPositivePredictedLabels", "DisparateImpact", "AccuracyDifference", "RecallDifference",
     "DifferenceInConditionalAcceptance", "DifferenceInAcceptanceRate", "SpecialityDifference",
     "DifferenceInConditionalRejection", "DifferenceInRejectionRate", "TreatmentEquity",
     "ConditionalDemographicDesparityPredictedLabels", "GeneralizedEntropy"], 0.5)
REG = mv.py_model_perf_linear_regression(F, P)
CLS = mv.py_model_perf_classification(F, G)
LOG = mv.py_model_perf_logistic_regression(F, P, 0.5)
BASE = np.arange(100.0)
LABELS = ["a", "b", "a", "c"]
DRIFT = ["JensenShannon", "KullbackLeibler"]
SAMPLE8 = ([1, 1, 1, 0, 0, 0], [1, 1, 0, 1, 1, 0], [1, 0, 1, 1, 0, 1])


class Raises:
    def __float__(self):
        raise hostile.HostileError("float")

    __index__ = __float__


BAD_ELEMENTS = [1, Raises()]

# name -> [(case, args)]: the success path first, then failure paths.
FUNCTION_CASES = {
    "py_data_bias_analyzer": [
        ("ok", (F, G, 1.0, 1.0)), ("strings", (S, G, "a", 1.0)), ("mixed kinds", (F, G, "a", 1.0)),
        ("one facet", (F, G, 5.0, 1.0)), ("object elements", (F.astype(object), G, 1.0, 1.0)),
        ("raising element", (np.array(BAD_ELEMENTS + [0.0], dtype=object), G[:3], 1.0, 1.0)),
        ("not an array", (list(F), G, 1.0, 1.0)),
    ],
    "py_data_bias_runtime_check": [
        ("ok", (DB, DB)), ("failing", (DB, {**DB, "LpNorm": 1.0})), ("missing", ({}, DB)), ("unknown key", ({**DB, "x": 1.0}, DB)),
        ("bad value", ({"ClassImbalance": "x"}, DB)), ("threshold", (DB, DB, None)),
    ],
    "py_data_bias_partial_check": [
        ("ok", (DB, DB, ["KlDivergence"])), ("failing", (DB, {**DB, "LpNorm": 1.0}, ["LpNorm"])), ("unknown names", (DB, DB, ["Nope", "x\0y"])),
        ("str", (DB, DB, "LpNorm")), ("missing", (DB, {}, ["LpNorm"])),
    ],
    "py_data_bias_analyzer_explicit_seg": [
        ("ok", (F, 0.5, None, "GreaterThan", G, 0.5, None, "GreaterThan")),
        ("label", (S, None, "a", None, G, 0.5, None, "GreaterThan")),
        ("bad config", (F, 0.5, "a", "GreaterThan", G, 0.5, None, "GreaterThan")),
        ("label on floats", (F, None, "a", None, G, 0.5, None, "GreaterThan")),
        ("bad kind", (F, 0.5, None, "greater", G, 0.5, None, "GreaterThan")),
    ],
    "py_model_bias_analyzer": [
        ("ok", (F, G, np.roll(G, 1), 1.0, 1.0, 1.0)), ("no deviation", (F, G, G, 1.0, 1.0, 1.0)),
        ("lengths", (F, G, G[:3], 1.0, 1.0, 1.0)), ("mixed kinds", (F, G, G, 1.0, 1.0, "x")),
    ],
    "py_model_bias_runtime_check": [("ok", (MB, MB)), ("failing", (MB, MB, -0.5)), ("missing", (MB, {})), ("not a dict", (MB, [1]))],
    "py_model_bias_partial_check": [("ok", (MB, MB, ["DisparateImpact"])), ("unknown", (MB, MB, ["Nope"]))],
    "py_model_bias_analyzer_explicit_seg": [
        ("ok", (F, 0.5, None, "GreaterThan", G, 0.5, None, "GreaterThan", np.roll(G, 1), 0.5, None, "GreaterThan")),
        ("bad config", (F, None, None, None, G, 0.5, None, "GreaterThan", G, 0.5, None, "GreaterThan")),
    ],
    "py_model_perf_linear_regression": [
        ("ok", (F, P)), ("lengths", (F, P[:3])), ("empty", (F[:0], P[:0])), ("booleans", (F > 0, P)),
        ("rows", (np.ones((2, 2)), P)),
    ],
    "py_model_perf_class_rt_full": [("ok", (CLS, CLS)), ("failing", (CLS, {**CLS, "Accuracy": 0.0})), ("missing", (CLS, {}))],
    "py_model_perf_class_rt_partial": [("ok", (CLS, CLS, ["Accuracy"])), ("log loss", (CLS, CLS, ["LogLoss"]))],
    "py_model_perf_classification": [
        ("ok", (F, G)), ("lengths", (F, G[:3])), ("strings", (S, G)),
        ("raising element", (np.array(BAD_ELEMENTS, dtype=object).reshape(2, 1), G[:2])),
    ],
    "py_model_perf_log_reg_rt_partial": [("ok", (LOG, LOG, ["LogLoss"])), ("unknown", (LOG, LOG, ["Nope"]))],
    "py_model_perf_logistic_regression": [
        ("ok", (F, P, 0.5)), ("invalid data", (F, F, 0.5)), ("lengths", (F, P[:2], 0.5)), ("threshold", (F, P, "x")),
    ],
    "py_model_perf_lin_reg_rt_full": [("ok", (REG, REG)), ("failing", (REG, {**REG, "MaxError": 9.0})), ("missing", ({}, REG))],
    "py_model_perf_lin_reg_rt_partial": [("ok", (REG, REG, ["RSquared"])), ("unknown", (REG, REG, ["Nope", "x"]))],
    "py_model_perf_log_reg_rt_full": [("ok", (LOG, LOG)), ("failing", (LOG, LOG, -0.5)), ("missing", (LOG, {}))],
    "py_compute_drift_categorical_distribtuion": [
        ("ok", (LABELS, ["a", "z"], DRIFT)), ("empty runtime", (LABELS, [], DRIFT)), ("empty baseline", ([], LABELS, DRIFT)),
        ("unknown metric", (LABELS, LABELS, ["Nope"])), ("surrogate", (LABELS, ["\ud800"], DRIFT)),
    ],
    "py_compute_drift_continuous_distribtuion": [
        ("ok", (BASE, BASE[:10], DRIFT, None)), ("heuristic", (BASE, BASE, DRIFT, "Nope")),
        ("nan baseline", (np.array([1.0, np.nan]), BASE, DRIFT, None)), ("strided", (BASE[::2], BASE, DRIFT, None)),
        ("dtype", (BASE.astype(np.float32), BASE, DRIFT, None)), ("empty runtime", (BASE, BASE[:0], DRIFT, None)),
    ],
}

CONSTRUCTOR_CASES = {
    "PyCategoricalDataDrift": [("ok", (LABELS,)), ("empty", ([],)), ("str", ("ab",))],
    "PyContinuousDataDrift": [("ok", (BASE, "Scott")), ("one value", (BASE[:1], None)), ("heuristic", (BASE, "x"))],
    "PyStreamingContinuousDataDriftFlush": [("ok", (BASE, None, 10, 5)), ("negative rate", (BASE, None, -1, None))],
    "PyStreamingContinuousDataDriftDecay": [("ok", (BASE, None, 5)), ("half-life 0", (BASE, None, 0))],
    "PyStreamingCategoricalDataDriftFlush": [("ok", (LABELS, None, None)), ("empty", ([], None, None))],
    "PyStreamingCategoricalDataDriftDecay": [("ok", (LABELS, 3)), ("half-life 0", (LABELS, 0))],
    "PyDataBiasStreaming": [("ok", ([1, 0, 1, 0], [1, 1, 0, 0])), ("one facet", ([1, 1], [1, 0])),
                            ("overflow", ([1, 200], [1, 0])), ("raising element", (BAD_ELEMENTS, [1, 0]))],
    "PyModelBiasStreaming": [("ok", SAMPLE8), ("guard", ([1, 1, 0, 0], [1, 1, 0, 0], [1, 1, 0, 0]))],
    "PyBinaryClassificationStreaming": [("ok", ([1, 0, 1], [1, 1, 0])), ("lengths", ([1], [1, 0]))],
    "PyLinearRegressionStreaming": [("ok", ([1.0, 2.0], [1.5, 2.0])), ("empty", ([], []))],
    "PyLogisticRegressionStreaming": [("ok", ([1.0, 0.0], [0.8, 0.3], 0.5)), ("invalid data", ([], [], 0.5))],
}


def primed(name):
    """An instance of each class with a runtime window that every report can use."""
    cls = getattr(mv, name)
    obj = cls(*CONSTRUCTOR_CASES[name][0][1])
    if name in ("PyContinuousDataDrift", "PyCategoricalDataDrift"):
        return obj
    if "DataDrift" in name:
        obj.update_stream_batch(BASE[:20] if "Continuous" in name else ["a", "b", "z"])
    elif name == "PyDataBiasStreaming":
        obj.push_batch([1, 0, 1, 0, 1], [1, 1, 0, 0, 0])
    elif name == "PyModelBiasStreaming":
        obj.push_batch(*SAMPLE8)
    else:
        obj.push_batch(*CONSTRUCTOR_CASES[name][0][1][:2])
    return obj


STREAM = {"Continuous": (BASE[:5], 3.5), "Categorical": (["a", "q"], "q")}
MONITOR_METRICS = {"PyDataBiasStreaming": "LpNorm", "PyModelBiasStreaming": "DisparateImpact",
                   "PyBinaryClassificationStreaming": "Accuracy", "PyLinearRegressionStreaming": "RSquared",
                   "PyLogisticRegressionStreaming": "LogLoss"}
PAIRS = {"PyBinaryClassificationStreaming": ([1, 0], [1, 1]), "PyLinearRegressionStreaming": ([1.0, 2.0], [1.0, 2.5]),
         "PyLogisticRegressionStreaming": ([1.0, 0.0], [0.9, 0.2])}


def method_cases(name):
    """(member, case, args) for every method and attribute of a class."""
    if name in ("PyContinuousDataDrift", "PyCategoricalDataDrift"):
        data, bad = (BASE[:30], BASE[::2]) if "Continuous" in name else (["a", "z"], "a")
        return [
            ("compute_drift", "ok", (data, "JensenShannon")), ("compute_drift", "unknown", (data, "Nope")),
            ("compute_drift", "empty", (data[:0], "JensenShannon")), ("compute_drift", "bad data", (bad, "JensenShannon")),
            ("compute_drift_mutliple_criteria", "ok", (data, DRIFT)), ("compute_drift_mutliple_criteria", "unknown", (data, ["x"])),
            ("reset_baseline", "ok", (CONSTRUCTOR_CASES[name][0][1][0],)), ("reset_baseline", "empty", (data[:0],)),
            ("export_baseline", "ok", ()), ("num_bins", "ok", None),
        ]
    if "DataDrift" in name:
        batch, one = STREAM["Continuous" if "Continuous" in name else "Categorical"]
        cases = [
            ("compute_drift", "ok", ("WassersteinDistance",)), ("compute_drift", "unknown", ("x",)),
            ("compute_drift_multiple_criteria", "ok", (DRIFT,)), ("compute_drift_multiple_criteria", "unknown", (["x\0"],)),
            ("reset_baseline", "ok", (CONSTRUCTOR_CASES[name][0][1][0],)), ("reset_baseline", "empty", (batch[:0],)),
            ("update_stream_batch", "ok", (batch,)), ("update_stream_batch", "empty", (batch[:0],)),
            ("update_stream", "ok", (one,)), ("update_stream", "wrong type", (None,)),
            ("export_snapshot", "ok", ()), ("export_baseline", "ok", ()), ("total_samples", "ok", None), ("n_bins", "ok", None),
            ("compute_drift", "empty window", ("JensenShannon",)), ("export_snapshot", "empty window", ()),
        ]
        if "Flush" in name:
            cases += [("flush", "ok", ()), ("last_flush", "ok", None)]
        return cases
    metric = MONITOR_METRICS[name]
    cases = [
        ("flush", "ok", ()), ("performance_snapshot", "ok", ()), ("drift_snapshot", "ok", ()),
        ("drift_report", "ok", (0.0,)), ("drift_report", "threshold", ("x",)),
        ("drift_report_partial_metrics", "ok", ([metric], 0.0)),
        ("drift_report_partial_metrics", "unknown", (["Nope", metric], 0.0)),
        ("performance_snapshot", "empty window", ()), ("drift_snapshot", "empty window", ()),
        ("drift_report", "empty window", (0.1,)),
    ]
    if name == "PyDataBiasStreaming":
        cases += [("push", "ok", (1, 0)), ("push", "overflow", (1, 300)), ("push_batch", "ok", ([1, 0], [0, 1])),
                  ("push_batch", "lengths", ([1], [])), ("reset_baseline", "ok", ([1, 0, 1, 0], [1, 1, 0, 0])),
                  ("reset_baseline", "one facet", ([1, 1], [1, 1]))]
    elif name == "PyModelBiasStreaming":
        cases += [("push", "ok", (1, 0, 1)), ("push", "raising element", (1, Raises(), 1)),
                  ("push_batch", "ok", SAMPLE8), ("push_batch", "lengths", ([1], [1], [])),
                  ("reset_baseline", "ok", SAMPLE8), ("reset_baseline", "guard", ([1, 0], [1, 0], [1, 0]))]
    else:
        pair = PAIRS[name]
        cases += [("push", "ok", tuple(x[0] for x in pair)), ("push", "wrong type", ("1", 1)),
                  ("push_batch", "ok", pair), ("push_batch", "lengths", (pair[0], pair[1][:1])),
                  ("push_batch", "raising element", (BAD_ELEMENTS, pair[1])),
                  ("reset_baseline", "ok", pair), ("reset_baseline", "lengths", (pair[0][:1], pair[1]))]
        if name == "PyLogisticRegressionStreaming":
            cases += [("reset_baseline_and_decision_threshold", "ok", (*pair, 0.4)),
                      ("reset_baseline_and_decision_threshold", "lengths", (pair[0], [], 0.4))]
    return cases


CALLS = [pytest.param(name, case, args, id=f"{name}-{case}") for name, cases in FUNCTION_CASES.items()
         for case, args in cases]
CALLS += [pytest.param(name, case, args, id=f"{name}-{case}") for name, cases in CONSTRUCTOR_CASES.items()
          for case, args in cases]
METHOD_CALLS = [pytest.param(name, member, case, args, id=f"{name}.{member}-{case}") for name in CONSTRUCTOR_CASES
                for member, case, args in method_cases(name)]


def test_tables_cover_the_whole_surface():
    covered = set(FUNCTION_CASES) | set(CONSTRUCTOR_CASES)
    assert covered == {n for n, _ in hostile.registered()}
    for name in CONSTRUCTOR_CASES:
        methods, attributes = hostile.methods_of(getattr(mv, name))
        assert {m for m, _, _ in method_cases(name)} == set(methods) | set(attributes), name


# ---- the checks ----------------------------------------------------------------------

CALLS_EACH = 40 if SANITIZED else 200


def attempt(fn):
    try:
        fn()
    except hostile.ALLOWED:
        pass


def assert_flat(fn, tracked):
    """Calls fn many times: the tracked objects' reference counts do not move and
    traced Python memory grows by less than one small object per call."""
    for _ in range(3):
        attempt(fn)
    refs = [sys.getrefcount(o) for o in tracked]
    # No collections meanwhile: garbage that only the cycle collector could free counts too.
    gc.disable()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(CALLS_EACH):
            attempt(fn)
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
        gc.enable()
    assert [sys.getrefcount(o) for o in tracked] == refs
    assert grown < 8 * CALLS_EACH, f"{grown} bytes kept after {CALLS_EACH} calls"


def tracked_objects(args):
    # The arguments and, one level down, the elements of list arguments; not the shared
    # singletons and cached small integers, whose counts the interpreter moves itself.
    out = list(args)
    for a in args:
        if isinstance(a, list):
            out.extend(a)
    return [o for o in out if o is not None and not isinstance(o, (bool, int))]


@pytest.mark.parametrize("name, case, args", CALLS)
def test_function_and_constructor_calls_leak_nothing(name, case, args):
    fn = getattr(mv, name)
    targets = tracked_objects(args) + ([fn] if isinstance(fn, type) else [])
    assert_flat(lambda: fn(*args), targets)


@pytest.mark.parametrize("name, member, case, args", METHOD_CALLS)
def test_method_calls_leak_nothing(name, member, case, args):
    # A fresh instance has an empty runtime window; the others hold some data.
    obj = getattr(mv, name)(*CONSTRUCTOR_CASES[name][0][1]) if case == "empty window" else primed(name)
    if args is None:
        assert_flat(lambda: getattr(obj, member), [obj])
    else:
        method = getattr(obj, member)
        assert_flat(lambda: method(*args), [obj] + tracked_objects(args))


# ---- native memory -------------------------------------------------------------------

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


N = 20_000
BIG = np.random.default_rng(5).random(N)
BIG_INT = (BIG > 0.5).astype(np.int64)
BIG_LABELS = [f"label{i % 997}" for i in range(N)]
BIG_STR = np.array(BIG_LABELS)

# Calls whose every copy is at least N elements long, so that keeping one per call would
# add up to many megabytes over the repetitions.
NATIVE_CALLS = {
    "regression": lambda: mv.py_model_perf_linear_regression(BIG, BIG[::-1]),
    "classification, blocks": lambda: mv.py_model_perf_classification(BIG_INT, BIG_INT[::-1]),
    "logistic, blocks": lambda: mv.py_model_perf_logistic_regression(BIG_INT.astype(float), BIG, 0.5),
    "logistic, refused": lambda: mv.py_model_perf_logistic_regression(BIG_INT.astype(float), BIG_INT.astype(float), 0.5),
    "data bias, continuous": lambda: mv.py_data_bias_analyzer(BIG, BIG_INT, 0.5, 1),
    "data bias, strings": lambda: mv.py_data_bias_analyzer(BIG_STR, BIG_INT, "label3", 1),
    "model bias, explicit": lambda: mv.py_model_bias_analyzer_explicit_seg(
        BIG, 0.5, None, "LessThan", BIG_INT, 0.5, None, "GreaterThan", BIG[::-1], 0.3, None, "GreaterThan"),
    "categorical drift": lambda: mv.py_compute_drift_categorical_distribtuion(BIG_LABELS, BIG_LABELS[::-1], DRIFT),
    "continuous drift": lambda: mv.py_compute_drift_continuous_distribtuion(BIG, BIG[::-1].copy(), DRIFT, "Sturges"),
    "categorical drift object": lambda: mv.PyCategoricalDataDrift(BIG_LABELS).export_baseline(),
    "linear monitor": lambda: mv.PyLinearRegressionStreaming(BIG, BIG).push_batch(list(BIG[:2000]), BIG[:2000]),
    "binary monitor, refused": lambda: mv.PyBinaryClassificationStreaming(BIG_INT, BIG_INT[:-1]),
    "data bias monitor, overflow": lambda: mv.PyDataBiasStreaming(BIG_INT, list(BIG_INT[:-1]) + [300]),
    "streaming drift": lambda: mv.PyStreamingContinuousDataDriftDecay(BIG, None, None).update_stream_batch(BIG),
}


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer quarantines freed memory, so the resident size grows")
@pytest.mark.parametrize("name", list(NATIVE_CALLS))
def test_resident_memory_stays_flat(name):
    fn = NATIVE_CALLS[name]
    for _ in range(5):
        attempt(fn)
    gc.collect()
    before = rss()
    for _ in range(100):
        attempt(fn)
    gc.collect()
    # A kept copy of one argument per call would be at least 100 * 20000 * 4 bytes (8 MB).
    assert rss() - before < 4 << 20


@pytest.mark.parametrize("name", list(CONSTRUCTOR_CASES))
def test_dropped_instances_are_freed(name):
    cls = getattr(mv, name)
    args = CONSTRUCTOR_CASES[name][0][1]
    cls(*args)
    gc.collect()
    before = sys.getrefcount(cls)
    instances = [cls(*args) for _ in range(50)]
    # Every instance holds its type: the count shows that the instances are alive...
    assert sys.getrefcount(cls) == before + 50
    del instances
    gc.collect()
    # ...and its return shows that each was deallocated.
    assert sys.getrefcount(cls) == before


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer quarantines freed memory, so the resident size grows")
def test_dropped_instances_release_their_native_state():
    labels = [f"label-{i}" for i in range(10_000)]
    for _ in range(3):
        mv.PyCategoricalDataDrift(labels)
    gc.collect()
    before = rss()
    for _ in range(40):
        mv.PyCategoricalDataDrift(labels)  # about a megabyte of native label index each
    gc.collect()
    assert rss() - before < 8 << 20
