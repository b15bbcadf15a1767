"""PyLinearRegressionStreaming, PyLogisticRegressionStreaming, PyBinaryClassificationStreaming."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _morvane as mv
from conftest import f32, raises_with
from perf_reference import (
    CLASSIFICATION,
    LOGISTIC,
    REGRESSION,
    F,
    counts,
    log_loss,
    logistic,
    one_shot_regression,
    ratios,
    same,
    streaming_regression,
)

EMPTY = "Empty data vectors"
MISMATCH = "Data vectors must be equal length"
INVALID_DATA = "Metric cannot be computed with given data"

Linear, Logistic, Binary = mv.PyLinearRegressionStreaming, mv.PyLogisticRegressionStreaming, mv.PyBinaryClassificationStreaming


def make(kind):
    """A monitor of each kind with a small, fixed baseline."""
    if kind == "linear":
        return Linear([1.0, 2.0, 3.0], [1.5, 2.0, 2.0])
    if kind == "logistic":
        return Logistic([1.0, 0.0, 1.0], [0.8, 0.3, 0.4], 0.5)
    return Binary([1, 0, 1], [1, 1, 0])


def sample(kind):
    if kind == "binary":
        return [1, 0, 0, 1], [1, 1, 0, 0]
    return [1.0, 0.0, 1.0, 0.0], [0.75, 0.5, 0.25, 0.0]


def state(m, threshold=0.0):
    """Everything a monitor shows, with errors as values."""
    out = []
    for f in (m.performance_snapshot, m.drift_snapshot, lambda: m.drift_report(threshold)):
        try:
            out.append(f())
        except Exception as e:  # noqa: BLE001 - the error is part of the observable state
            out.append((type(e).__name__, str(e)))
    return out


def same_state(a, b):
    if len(a) != len(b):
        return False
    for x, y in zip(a, b):
        if isinstance(x, dict) and isinstance(y, dict) and "passed" not in x:
            if not same(x, y):
                return False
        elif x != y:
            return False
    return True


KINDS = ["linear", "logistic", "binary"]


# ---- construction ----


@pytest.mark.parametrize(
    "cls, args, exc, message",
    [
        (Linear, ([1.0, 2.0], [1.0]), ValueError, MISMATCH),
        (Linear, ([], []), ValueError, EMPTY),
        (Linear, ([], [1.0]), ValueError, MISMATCH),
        (Binary, ([1], [1, 0]), ValueError, MISMATCH),
        (Binary, ([], []), ValueError, EMPTY),
        (Logistic, ([1.0], [0.5, 0.5], 0.5), ValueError, MISMATCH),
        (Logistic, ([], [], 0.5), TypeError, INVALID_DATA),
        (Logistic, ([1.0], [1.0], 0.5), TypeError, INVALID_DATA),
        (Linear, ("12", [1.0, 2.0]), TypeError, "argument 'y_true': Can't extract `str` to `Vec`"),
        (Linear, ([1.0], 5), TypeError, "argument 'y_pred': 'int' object cannot be converted to 'Sequence'"),
        (Linear, ([1.0], ["a"]), TypeError, "argument 'y_pred': must be real number, not str"),
        (Binary, ([1.5], [1]), TypeError, "argument 'y_true': 'float' object cannot be interpreted as an integer"),
        (Binary, ([1], [2**31]), OverflowError, "out of range integral type conversion attempted"),
        (Binary, (np.array([1.0]), [1]), TypeError, "argument 'y_true': 'numpy.float64' object cannot be interpreted as an integer"),
        (Logistic, ([1.0], [0.5], None), TypeError, "argument 'threshold': must be real number, not NoneType"),
    ],
)
def test_construction_errors(cls, args, exc, message):
    with raises_with(exc, message):
        cls(*args)


def test_baselines_match_one_shot_functions():
    t, p = [3.0, -0.5, 2.0, 7.0], [2.5, 0.0, 2.0, 8.0]
    m = Linear(t, p)
    m.push_batch(t, p)
    # Drift is |baseline − runtime|; the window's roots are taken after narrowing.
    base, window = one_shot_regression(t, p), streaming_regression(t, p)
    assert same(m.performance_snapshot(), window)
    assert m.drift_snapshot() == {k: float(abs(F(base[k]) - F(window[k]))) for k in REGRESSION}

    lt, lp = [1.0, 0.0, 0.9, 0.0], [0.8, 0.6, 0.3, 0.1]
    lm = Logistic(y_pred=lp, threshold=0.5, y_true=lt)
    lm.push(1.0, 0.9)
    base = logistic(lt, lp, 0.5)
    window = ratios(1, 0, 0, 0) | {"LogLoss": log_loss([1.0], [0.9])}
    assert same(lm.drift_snapshot(), {k: float(F(base[k]) - F(window[k])) for k in LOGISTIC})

    bm = Binary([1, 0, 1, 1], [1, 1, 0, 1])
    bm.push(0, 0)
    base = ratios(2, 1, 0, 1)
    window = ratios(0, 0, 1, 0)
    assert same(bm.drift_snapshot(), {k: float(F(base[k]) - F(window[k])) for k in CLASSIFICATION})


# ---- windows ----


def test_linear_window_worked_example():
    m = Linear([1.0, 2.0, 3.0], [1.0, 2.0, 3.0])
    with raises_with(ValueError, EMPTY):
        Linear([1.0], [1.0]).performance_snapshot()
    m.push(1.0, 1.0)
    assert m.drift_snapshot() == {k: 0.0 for k in REGRESSION}
    assert m.performance_snapshot()["RSquared"] == 1.0
    report = m.drift_report(0.0)
    assert not report["passed"] and sorted(e["metric"] for e in report["failed_report"]) == sorted(REGRESSION)
    assert all(e["driftError"] == 0.0 for e in report["failed_report"])
    assert m.drift_report(0.1) == {"passed": True}


@given(
    st.lists(st.tuples(st.floats(-0.5, 50, width=32), st.floats(-0.5, 50, width=32)), min_size=1, max_size=25)
)
@settings(max_examples=60, deadline=None)
def test_linear_window_matches_reference(pairs):
    t = [a for a, _ in pairs]
    p = [b for _, b in pairs]
    m = Linear([1.0], [1.0])
    for a, b in pairs[:3]:
        m.push(a, b)
    if len(pairs) > 3:
        m.push_batch(np.array(t[3:]), tuple(p[3:]))
    assert same(m.performance_snapshot(), streaming_regression(t, p))


def test_logistic_window_ground_truth_is_exactly_one():
    m = Logistic([1.0, 0.0], [0.9, 0.2], 0.5)
    m.push(0.9, 0.95)  # a false positive in the window (the one-shot function would say TP)
    r = m.performance_snapshot()
    assert r["PrecisionPositive"] == 0.0 and math.isnan(r["RecallPositive"])
    assert r["LogLoss"] == log_loss([0.9], [0.95])


@given(
    st.lists(
        st.tuples(st.sampled_from([0.0, 1.0, 0.5, 1.0000001]), st.floats(0, 1, width=32) | st.just(math.nan)),
        min_size=1,
        max_size=25,
    ),
    st.floats(0, 1, width=32),
)
@settings(max_examples=60, deadline=None)
def test_logistic_window_matches_reference(pairs, threshold):
    t = [a for a, _ in pairs]
    p = [b for _, b in pairs]
    m = Logistic([1.0, 0.0], [0.6, 0.4], threshold)
    m.push_batch(t, p)
    expected = ratios(*counts([x == 1.0 for x in t], [F(x) >= F(threshold) for x in p]))
    expected["LogLoss"] = log_loss(t, p)  # NaN is reported, not refused
    assert same(m.performance_snapshot(), expected)


@pytest.mark.parametrize("window_loss, listed", [(0.3, False), (0.9, True), (0.598, False)])
def test_logistic_report_fails_a_rising_log_loss(window_loss, listed):
    # Baseline LogLoss −ln 0.55 ≈ 0.598; the window's is −ln p for t = 1. Log loss is
    # better lower: the reports fail a rise R − B of at least the threshold (and report
    # that rise), never a fall; the snapshot keeps the signed B − R.
    m = Logistic([1.0], [0.55], 0.5)
    m.push(1.0, float(np.exp(-window_loss)))
    rise = -m.drift_snapshot()["LogLoss"]
    for report in (m.drift_report(0.1), m.drift_report_partial_metrics(["LogLoss", "Accuracy"], 0.1)):
        failed = {e["metric"]: e["driftError"] for e in report.get("failed_report", [])}
        assert ("LogLoss" in failed) is listed
        if listed:
            assert failed["LogLoss"] == rise and rise >= f32(0.1)


@pytest.mark.parametrize("kind", KINDS)
def test_flush_empties_window_only(kind):
    m = make(kind)
    m.push(*[x[0] for x in sample(kind)])
    before = m.drift_snapshot()
    m.flush()
    for f in (m.performance_snapshot, m.drift_snapshot, lambda: m.drift_report(0.1)):
        with raises_with(ValueError, EMPTY):
            f()
    with raises_with(ValueError, EMPTY):
        m.drift_report_partial_metrics([], 0.1)
    m.push(*[x[0] for x in sample(kind)])
    assert same(m.drift_snapshot(), before)


@pytest.mark.parametrize("kind", KINDS)
def test_reset_baseline(kind):
    m = make(kind)
    t, p = sample(kind)
    m.push_batch(t, p)
    window = m.performance_snapshot()
    m.reset_baseline(t, p)
    if kind == "binary":
        # The binary monitor empties its window on a new baseline.
        with raises_with(ValueError, EMPTY):
            m.performance_snapshot()
        m.push_batch(t, p)
    assert same(m.performance_snapshot(), window)
    drift = m.drift_snapshot()
    if kind != "linear":
        assert all(v == 0.0 or math.isnan(v) for v in drift.values())


def test_binary_empty_batch_and_empty_baseline():
    m = make("binary")
    m.push(1, 1)
    before = state(m)
    assert m.push_batch([], []) is None
    assert same_state(state(m), before)
    m.reset_baseline([], [])
    with raises_with(ValueError, EMPTY):
        m.drift_snapshot()
    m.push(1, 1)
    assert all(math.isnan(v) for v in m.drift_snapshot().values())


def test_reset_with_threshold_keeps_new_threshold_on_failure():
    m = Logistic([1.0, 0.0], [0.9, 0.1], 0.5)
    with raises_with(ValueError, MISMATCH):
        m.reset_baseline_and_decision_threshold([1.0], [0.9, 0.1], 0.8)
    m.push(1.0, 0.6)  # positive under 0.5, negative under the new 0.8
    assert m.performance_snapshot()["RecallPositive"] == 0.0
    # The old baseline stayed: computed with threshold 0.5.
    assert m.drift_snapshot()["RecallPositive"] == 1.0
    with raises_with(TypeError, INVALID_DATA):
        m.reset_baseline_and_decision_threshold([], [], 0.3)
    m.flush()
    m.push(1.0, 0.4)
    assert m.performance_snapshot()["RecallPositive"] == 1.0


def test_reset_with_threshold_success():
    m = Logistic([1.0, 0.0], [0.9, 0.1], 0.5)
    m.push(1.0, 0.6)
    m.reset_baseline_and_decision_threshold([1.0, 0.0], [0.6, 0.7], 0.65)
    assert same(m.drift_snapshot(), {k: float(F(v) - F(w)) for (k, v), w in
                                     zip(logistic([1.0, 0.0], [0.6, 0.7], 0.65).items(),
                                         m.performance_snapshot().values())})
    # The window's count was made under the old threshold and stays.
    assert m.performance_snapshot()["RecallPositive"] == 1.0


# ---- reports ----


@pytest.mark.parametrize(
    "kind, names, message",
    [
        ("binary", ["LogLoss"], 'Metrics: ["LogLoss"] are not supported'),
        ("binary", ["RSquared", "Accuracy"], 'Metrics: ["RSquared"] are not supported'),
        ("logistic", ["RSquared"], 'Metrics: ["RSquared"] are not supported'),
        ("linear", ["Accuracy", "MaxError", "mse"], 'Metrics: ["Accuracy", "mse"] are not supported'),
    ],
)
def test_partial_report_unknown_names(kind, names, message):
    m = make(kind)  # an empty window: the names are refused first
    with raises_with(ValueError, message):
        m.drift_report_partial_metrics(names, 0.1)


@pytest.mark.parametrize("kind", KINDS)
def test_partial_report_filters_and_thresholds(kind):
    m = make(kind)
    t, p = sample(kind)
    m.push_batch(t, p)
    drift = m.drift_snapshot()
    if kind == "logistic":  # the reports hold a log loss's rise, the snapshot its fall
        drift["LogLoss"] = -drift["LogLoss"]
    names = sorted(drift)
    assert m.drift_report_partial_metrics([], -1e30) == {"passed": True}
    for th in (-1.0, 0.0, 0.05, 0.3, math.inf):
        full = m.drift_report(th)
        kept = {e["metric"]: e["driftError"] for e in full.get("failed_report", [])}
        assert kept == {k: v for k, v in drift.items() if v >= f32(th)}
        pick = names[::2]
        part = m.drift_report_partial_metrics(pick + pick[:1], th)
        assert {e["metric"]: e["driftError"] for e in part.get("failed_report", [])} == {
            k: v for k, v in kept.items() if k in pick
        }
    with raises_with(TypeError, "argument 'metrics': Can't extract `str` to `Vec`"):
        m.drift_report_partial_metrics("Accuracy", 0.1)
    with raises_with(TypeError, "argument 'drift_threshold': must be real number, not NoneType"):
        m.drift_report(None)


# ---- failures leave the monitor as it was ----


def failing_calls(kind):
    t, p = sample(kind)
    calls = [
        lambda m: m.push_batch(t, p[:-1]),
        lambda m: m.push_batch(t[:1], "x"),
        lambda m: m.push_batch(t + ["bad"], p + p[:1]),
        lambda m: m.reset_baseline(t, p[:-1]),
        lambda m: m.reset_baseline([t[0], object()], p[:2]),
        lambda m: m.push(t[0], None),
        lambda m: m.drift_report_partial_metrics(["Nope"], 0.1),
    ]
    if kind != "binary":
        calls += [lambda m: m.push_batch([], []), lambda m: m.reset_baseline([], [])]
    if kind == "binary":
        calls += [lambda m: m.push(1, 2**40), lambda m: m.push_batch([1, 2**31], [1, 1])]
    if kind == "logistic":
        calls += [lambda m: m.reset_baseline([1.0, math.nan], [0.5, 0.5])]
    return calls


@pytest.mark.parametrize("kind", KINDS)
@given(data=st.data())
@settings(max_examples=30, deadline=None)
def test_failed_calls_change_nothing(kind, data):
    m = make(kind)
    t, p = sample(kind)
    k = data.draw(st.integers(0, len(t)))
    if k:
        m.push_batch(t[:k], p[:k])
    before = state(m)
    call = data.draw(st.sampled_from(failing_calls(kind)))
    with pytest.raises((TypeError, ValueError, OverflowError)):
        call(m)
    assert same_state(state(m), before)


# ---- input paths ----


@pytest.mark.parametrize("kind", KINDS)
@given(data=st.data())
@settings(max_examples=30, deadline=None)
def test_sequence_kinds_agree(kind, data):
    if kind == "binary":
        elems = st.integers(-3, 3)
        dtypes = [np.int64, np.int32, np.int8, np.uint8, np.int16]
    else:
        elems = st.floats(0, 1, width=32) | st.integers(0, 2)
        dtypes = [np.float64, np.float32]
    pairs = data.draw(st.lists(st.tuples(elems, elems), min_size=1, max_size=20))
    t = [a for a, _ in pairs]
    p = [b for _, b in pairs]
    dtype = data.draw(st.sampled_from(dtypes))
    if kind == "binary" and dtype == np.uint8:
        t, p = [abs(x) for x in t], [abs(x) for x in p]
    variants = [
        (t, p),
        (tuple(t), tuple(p)),
        (np.array(t, dtype=dtype), np.array(p, dtype=dtype)),
        (np.repeat(np.array(t, dtype=dtype), 2)[::2], np.repeat(np.array(p, dtype=dtype), 2)[::2]),  # strided
        (list(np.array(t, dtype=dtype)), list(np.array(p, dtype=dtype))),  # NumPy scalars
        (np.array(t, dtype=object), np.array(p, dtype=object)),  # element-wise array path
    ]
    states = []
    for a, b in variants:
        m = make(kind)
        m.push_batch(a, b)
        states.append(state(m))
    for s in states[1:]:
        assert same_state(s, states[0])


@pytest.mark.parametrize("kind", ["linear", "logistic"])
def test_float_sequence_element_errors_match(kind):
    m = make(kind)
    for bad in (["a"], np.array(["a"], dtype=object), (None,)):
        with raises_with(TypeError, f"argument 'y_true': must be real number, not {type(bad[0]).__name__}"):
            m.push_batch(bad, [0.5])


# ---- re-entrant use ----


class CallsBack:
    """A number whose conversion first calls back into a monitor."""

    def __init__(self, action, value):
        self.action, self.value = action, value

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        self.action()
        return int(self.value)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("inner, message", [("push", "Already borrowed"), ("snapshot", "Already mutably borrowed")])
@pytest.mark.parametrize("outer", ["push", "push_batch", "reset_baseline"])
def test_reentrant_use_is_refused(kind, inner, message, outer):
    m = make(kind)
    t, p = sample(kind)
    m.push(t[0], p[0])
    before = state(m)
    action = (lambda: m.push(t[1], p[1])) if inner == "push" else m.performance_snapshot
    evil = CallsBack(action, p[0])
    with raises_with(RuntimeError, message):
        if outer == "push":
            m.push(t[0], evil)
        else:
            getattr(m, outer)([t[0]], [evil])
    assert same_state(state(m), before)


# ---- counters and sums beyond 32-bit float range ----


def test_counters_keep_counting_past_2_pow_24():
    # 2^25 true positives and 2^24 false positives: 32-bit counters would stall
    # at 2^24 each and report a precision of 0.5 instead of 2/3.
    m = Binary([1], [1])
    ones = np.ones(1 << 22, dtype=np.int8)
    zeros = np.zeros(1 << 22, dtype=np.int8)
    for _ in range(8):
        m.push_batch(ones, ones)
    for _ in range(4):
        m.push_batch(zeros, ones)
    m.push(1, 0)
    r = m.performance_snapshot()
    assert same(r, ratios(1 << 25, 1 << 24, 0, 1))
    assert r["PrecisionPositive"] == f32(2 / 3)


def test_streaming_log_loss_sum_does_not_stagnate():
    m = Logistic([1.0], [0.5], 0.5)
    n = 1 << 21
    m.push_batch(np.ones(n), np.full(n, 0.5))
    assert m.performance_snapshot()["LogLoss"] == log_loss([1.0], [0.5])


# ---- surface ----


SURFACE = {
    Binary: "flush; push_batch y_true y_pred; push y_true y_pred; reset_baseline y_true y_pred; performance_snapshot; "
    "drift_snapshot; drift_report drift_threshold; drift_report_partial_metrics metrics drift_threshold",
    Linear: "flush; push t p; push_batch y_true y_pred; reset_baseline y_true y_pred; performance_snapshot; "
    "drift_snapshot; drift_report drift_threshold; drift_report_partial_metrics metrics drift_threshold",
    Logistic: "push y_true y_pred; push_batch y_true y_pred; performance_snapshot; drift_snapshot; "
    "drift_report drift_threshold; drift_report_partial_metrics metrics drift_threshold; flush; "
    "reset_baseline y_true y_pred; reset_baseline_and_decision_threshold y_true y_pred threshold",
}


@pytest.mark.parametrize("cls", SURFACE)
def test_class_surface(cls):
    methods = [m.split() for m in SURFACE[cls].split("; ")]
    assert [k for k in vars(cls) if not k.startswith("__")] == [m[0] for m in methods]
    for name, *params in methods:
        f = getattr(cls, name)
        assert f.__text_signature__ == "(" + ", ".join(["$self"] + params) + ")"
        assert f.__doc__ in (None, "")
    params = "y_true, y_pred, threshold" if cls is Logistic else "y_true, y_pred"
    assert cls.__text_signature__ == f"({params})" and cls.__doc__ in (None, "")
