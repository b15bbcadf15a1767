"""PyModelBiasStreaming: baseline, runtime window, reports, failures, borrowing."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _morvane as mv
from conftest import raises_with
from model_bias_reference import METRICS, buckets, counts, entropy_buckets, guard, relative_change, same, values

# Facet a: TP 1, FP 1, FN 1; facet d: TP 1, FP 1, FN 1.
SAMPLE = ([1, 1, 1, 0, 0, 0], [1, 1, 0, 1, 1, 0], [1, 0, 1, 1, 0, 1])
# Every guard passes: each facet has TP, FP, TN and FN.
RICH = ([1, 1, 1, 1, 0, 0, 0, 0, 0], [1, 1, 0, 0, 1, 1, 0, 0, 1], [1, 0, 1, 0, 1, 0, 1, 0, 0])

EMPTY = "Empty data vectors"
INVALID = "Metric cannot be computed with given data"
LENGTH = "Bias Error: DataLengthError"


def expected_record(f, p, g):
    """The twelve runtime values for a window holding these triples, or the error."""
    c = counts(f, p, g)
    failure = guard(c)
    if failure:
        return failure
    return values(c, entropy_buckets(*buckets(g, p)))


def assert_same_dict(got, want):
    assert set(got) == set(want)
    for k in want:
        assert same(got[k], want[k]), (k, got[k], want[k])


def snapshot_or_error(monitor):
    try:
        return monitor.performance_snapshot()
    except ValueError as e:
        assert str(e) == EMPTY
        return "empty"
    except TypeError as e:
        assert str(e) == INVALID
        return "zero"


def test_surface():
    cls = mv.PyModelBiasStreaming
    assert cls.__text_signature__ == "(features, predictions, ground_truth)"
    assert cls.__doc__ in ("", None)
    signatures = {
        "push": "($self, feature, pred, gt)",
        "push_batch": "($self, feature, pred, gt)",
        "flush": "($self)",
        "reset_baseline": "($self, feature, pred, gt)",
        "drift_snapshot": "($self)",
        "drift_report": "($self, drift_threshold)",
        "drift_report_partial_metrics": "($self, metrics, drift_threshold)",
        "performance_snapshot": "($self)",
    }
    assert [n for n in vars(cls) if n in signatures] == list(signatures)
    for name, sig in signatures.items():
        assert getattr(cls, name).__text_signature__ == sig
        assert not getattr(cls, name).__doc__
    m = cls(ground_truth=SAMPLE[2], predictions=SAMPLE[1], features=SAMPLE[0])
    m.push(gt=1, pred=1, feature=0)


@pytest.mark.parametrize(
    "sample, exc, message",
    [
        (([1, 1, 1, 0, 0], [1, 1, 0, 1, 1], [1, 0, 1, 1, 0]), TypeError, INVALID),  # no predicted negative in d
        (([1, 1, 0, 0], [1, 0, 1, 0], [1, 0, 1, 0]), TypeError, INVALID),  # perfect classifier
        (([1, 1, 1], [1, 0, 1], [1, 1, 0]), ValueError, EMPTY),  # facet d empty
        (([1, 0], [1, 0], [1]), TypeError, LENGTH),
        (([], [], []), TypeError, LENGTH),
    ],
)
def test_constructor_refusals(sample, exc, message):
    with raises_with(exc, message):
        mv.PyModelBiasStreaming(*sample)
    m = mv.PyModelBiasStreaming(*SAMPLE)
    m.push_batch(*RICH)
    with raises_with(exc, message):
        m.reset_baseline(*sample)
    base = expected_record(*SAMPLE)
    assert_same_dict(m.drift_snapshot(), {k: relative_change(expected_record(*RICH)[k], base[k]) for k in METRICS})


def test_empty_window_and_flush():
    m = mv.PyModelBiasStreaming(*SAMPLE)
    for call in (m.performance_snapshot, m.drift_snapshot, lambda: m.drift_report(0.1),
                 lambda: m.drift_report_partial_metrics([], 0.1)):
        with raises_with(ValueError, EMPTY):
            call()
    m.push_batch(*RICH)
    assert m.drift_report_partial_metrics(["DisparateImpact"], 1e9) == {"passed": True}
    m.flush()
    with raises_with(ValueError, EMPTY):
        m.drift_report(0.1)


def test_own_sample_drifts_nowhere_except_zero_baselines():
    m = mv.PyModelBiasStreaming(*SAMPLE)
    m.push_batch(*SAMPLE)
    base = expected_record(*SAMPLE)
    snap = m.drift_snapshot()
    assert set(snap) == set(METRICS)
    for k, b in base.items():
        # b == 0 gives 0/0; every other metric has not moved.
        assert same(snap[k], float("nan") if b == 0 else 0.0), k
    kept = {e["metric"] for e in m.drift_report(0.0)["failed_report"]}
    assert kept == {k for k, b in base.items() if b != 0}
    assert m.drift_report_partial_metrics(["DisparateImpact", "RecallDifference"], 0.0) == {
        "passed": False,
        "failed_report": [{"metric": "DisparateImpact", "driftError": 0.0}],
    }
    assert m.drift_report_partial_metrics([], 0.0) == {"passed": True}


def test_reports_against_baseline():
    m = mv.PyModelBiasStreaming(*SAMPLE)
    runtime = ([1, 1, 1, 1, 0, 0, 0, 0, 0, 1], [1, 1, 0, 0, 1, 1, 0, 0, 1, 1], [1, 0, 1, 0, 1, 0, 1, 0, 0, 0])
    m.push_batch(*runtime)
    base, rt = expected_record(*SAMPLE), expected_record(*runtime)
    changes = {k: relative_change(rt[k], base[k]) for k in METRICS}
    assert_same_dict(m.drift_snapshot(), changes)
    for t in (0.0, 0.05, 0.3, float("inf")):
        kept = {k: v for k, v in changes.items() if v >= np.float32(t)}
        report = m.drift_report(t)
        got = {e["metric"]: e["driftError"] for e in report.get("failed_report", [])}
        assert report["passed"] == (not kept)
        assert_same_dict(got, kept)
    # reset_baseline replaces the baseline and keeps the window.
    m.reset_baseline(*RICH)
    rich = expected_record(*RICH)
    assert_same_dict(m.performance_snapshot(), rt)
    assert_same_dict(m.drift_snapshot(), {k: relative_change(rt[k], rich[k]) for k in METRICS})


def test_partial_metric_names_checked_before_the_window():
    m = mv.PyModelBiasStreaming(*SAMPLE)
    with raises_with(ValueError, 'Metrics: ["Bogus"] are not supported'):
        m.drift_report_partial_metrics(["Bogus"], 0.1)
    with raises_with(TypeError, "argument 'metrics': Can't extract `str` to `Vec`"):
        m.drift_report_partial_metrics("DisparateImpact", 0.1)
    with pytest.raises(TypeError, match="^argument 'drift_threshold': "):
        m.drift_report(None)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'drift_threshold'"):
        m.drift_report()


OVERFLOW = "out of range integral type conversion attempted"


@pytest.mark.parametrize(
    "args",
    [
        (128, 1, 1),
        (1, -129, 1),
        (1, 1, 2**70),
    ],
)
def test_push_out_of_range(args):
    m = mv.PyModelBiasStreaming(*SAMPLE)
    with raises_with(OverflowError, OVERFLOW):
        m.push(*args)
    with raises_with(ValueError, EMPTY):
        m.performance_snapshot()


@pytest.mark.parametrize(
    "bad",
    [
        [0, 1, 200],
        np.array([0, 1, 200], dtype=np.int16),
        np.array([0, 1, 255], dtype=np.uint8),
        (0, -200, 1),
    ],
)
def test_batch_out_of_range_changes_nothing(bad):
    m = mv.PyModelBiasStreaming(*SAMPLE)
    m.push_batch(*RICH)
    before = m.performance_snapshot()
    for position in range(3):
        args = [[1, 0, 1], [1, 1, 0], [0, 1, 1]]
        args[position] = bad
        with raises_with(OverflowError, OVERFLOW):
            m.push_batch(*args)
        with raises_with(OverflowError, OVERFLOW):
            m.reset_baseline(*args)
        with raises_with(OverflowError, OVERFLOW):
            mv.PyModelBiasStreaming(*args)
    assert_same_dict(m.performance_snapshot(), before)
    assert_same_dict(m.drift_snapshot(), {k: relative_change(before[k], expected_record(*SAMPLE)[k]) for k in METRICS})


@pytest.mark.parametrize(
    "call, argument",
    [
        (lambda m: m.push("1", 1, 1), "feature"),
        (lambda m: m.push(1, 1.0, 1), "pred"),
        (lambda m: m.push_batch([1], [1], "1"), "gt"),
        (lambda m: m.push_batch([1], [1.5], [1]), "pred"),
        (lambda m: m.push_batch(np.array([1.0]), [1], [1]), "feature"),
        (lambda m: m.reset_baseline([1], None, [1]), "pred"),
    ],
)
def test_type_errors_name_the_argument(call, argument):
    m = mv.PyModelBiasStreaming(*SAMPLE)
    m.push_batch(*RICH)
    before = m.performance_snapshot()
    with pytest.raises(TypeError, match=f"^argument '{argument}': "):
        call(m)
    assert_same_dict(m.performance_snapshot(), before)


@given(st.lists(st.tuples(st.integers(-128, 127), st.integers(-128, 127), st.integers(-128, 127)), min_size=1, max_size=60))
@settings(max_examples=100, deadline=None)
def test_fast_and_slow_sequences_agree(triples):
    cols = [list(c) for c in zip(*triples)]
    forms = [
        lambda c: c,
        lambda c: tuple(c),
        lambda c: np.array(c, dtype=np.int8),
        lambda c: np.array(c, dtype=np.int64)[::-1][::-1],
        lambda c: np.repeat(np.array(c, dtype=np.int32), 2)[::2],
        lambda c: np.array(c, dtype=object),
        lambda c: [np.int16(x) for x in c],
    ]
    results = []
    for form in forms:
        m = mv.PyModelBiasStreaming(*RICH)
        m.push_batch(*(form(c) for c in cols))
        results.append(snapshot_or_error(m))
    for r in results[1:]:
        if isinstance(r, str):
            assert r == results[0]
        else:
            assert_same_dict(r, results[0])


def test_counts_keep_counting_past_float32_precision():
    # Facet a gains 2^24 + 1000 false negatives: a 32-bit float counter would have
    # stopped at 2^24, which TreatmentEquity (FN_a / FP_a with FP_a = 2) shows.
    extra = 2**24 + 1000
    f = np.ones(extra, dtype=np.int8)
    p = np.zeros(extra, dtype=np.int8)
    g = np.ones(extra, dtype=np.int8)
    m = mv.PyModelBiasStreaming(*RICH)
    m.push_batch(*RICH)
    m.push_batch(f, p, g)
    c = counts(*RICH)
    c["a"]["fn"] += extra
    b = buckets(RICH[2], RICH[1])
    b[0] += extra
    got = m.performance_snapshot()
    assert_same_dict(got, values(c, entropy_buckets(*b)))
    frozen = dict(c, a=dict(c["a"], fn=2**24))
    assert got["TreatmentEquity"] != values(frozen, entropy_buckets(*b))["TreatmentEquity"]


class Reentrant:
    """An int-like element whose conversion calls back into the monitor."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        self.action()
        return 1

    def __float__(self):
        self.action()
        return 0.1


@pytest.mark.parametrize(
    "outer, inner, message",
    [
        (lambda m, x: m.push_batch([x], [1], [1]), lambda m: m.push(1, 1, 1), "Already borrowed"),
        (lambda m, x: m.push(1, x, 1), lambda m: m.flush(), "Already borrowed"),
        (lambda m, x: m.reset_baseline(*RICH[:2], [x] * 9), lambda m: m.performance_snapshot(),
         "Already mutably borrowed"),
        (lambda m, x: m.drift_report(x), lambda m: m.push(1, 1, 1), "Already borrowed"),
    ],
)
def test_reentrant_use_is_refused(outer, inner, message):
    m = mv.PyModelBiasStreaming(*SAMPLE)
    m.push_batch(*RICH)
    before = m.performance_snapshot()
    seen = []

    def action():
        try:
            inner(m)
        except RuntimeError as e:
            seen.append(str(e))
            raise

    with raises_with(RuntimeError, message):
        outer(m, Reentrant(action))
    assert seen == [message]
    assert_same_dict(m.performance_snapshot(), before)
    m.push(0, 0, 0)  # the borrow was released


triple = st.tuples(st.integers(-2, 5), st.integers(-1, 2), st.integers(-1, 2))
operation = st.one_of(
    st.tuples(st.just("push"), triple),
    st.tuples(st.just("push"), st.tuples(st.just(1), st.just(300), st.just(1))),  # overflow
    st.tuples(st.just("push_batch"), st.lists(triple, max_size=12)),
    st.tuples(st.just("push_batch_ragged"), st.lists(triple, min_size=1, max_size=5)),
    st.tuples(st.just("flush"), st.none()),
    st.tuples(st.just("reset_baseline"), st.lists(triple, max_size=12)),
)


@given(st.lists(operation, max_size=12))
@settings(max_examples=120, deadline=None)
def test_operation_sequences_match_model(ops):
    """Every call either applies fully or, failing, leaves window and baseline as they were."""
    m = mv.PyModelBiasStreaming(*RICH)
    window, baseline = [], expected_record(*RICH)
    for name, arg in ops:
        if name == "push":
            if arg[1] == 300:
                with raises_with(OverflowError, OVERFLOW):
                    m.push(*arg)
            else:
                m.push(*arg)
                window.append(arg)
        elif name in ("push_batch", "reset_baseline"):
            cols = [list(c) for c in zip(*arg)] if arg else [[], [], []]
            want = "empty-input" if not arg else expected_record(*cols) if name == "reset_baseline" else None
            try:
                getattr(m, name)(*cols)
            except (TypeError, ValueError) as e:
                assert want == "empty-input" or isinstance(want, str), (name, str(e))
                assert str(e) == {"empty-input": LENGTH, "empty": EMPTY, "zero": INVALID}[want]
            else:
                assert want is None or isinstance(want, dict)
                if name == "push_batch":
                    window.extend(arg)
                else:
                    baseline = want
        elif name == "push_batch_ragged":
            cols = [list(c) for c in zip(*arg)]
            cols[2] = cols[2][:-1]
            with raises_with(TypeError, LENGTH):
                m.push_batch(*cols)
        else:
            m.flush()
            window = []
        rt = expected_record(*zip(*window)) if window else "empty"
        got = snapshot_or_error(m)
        if isinstance(rt, str):
            assert got == rt
        else:
            assert_same_dict(got, rt)
            assert_same_dict(m.drift_snapshot(), {k: relative_change(rt[k], baseline[k]) for k in METRICS})
