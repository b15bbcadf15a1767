"""PyDataBiasStreaming: a baseline sample, a stream of labelled elements, reports."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _morvane as mv
from conftest import raises_with
from data_bias_reference import KEYS, assert_metrics, reference_metrics, reference_with_scale, relative_changes

EMPTY = "Empty data vectors"
LENGTH = "Bias Error: DataLengthError"
NO_DEVIATION = "Bias Error: NoFacetDeviation"
OVERFLOW = "out of range integral type conversion attempted"
SETTINGS = settings(max_examples=60, deadline=None, derandomize=True, database=None)

BASE_F, BASE_G = [1, 0, 1, 0, 1], [1, 1, 0, 0, 1]


def monitor(f=BASE_F, g=BASE_G):
    return mv.PyDataBiasStreaming(f, g)


def observe(s):
    """Everything a caller can see of a monitor: each report, or the error it raises."""
    out = []
    for call in (s.performance_snapshot, s.drift_snapshot, lambda: s.drift_report(0.1)):
        try:
            out.append(repr(call()))
        except (ValueError, TypeError) as e:
            out.append(f"{type(e).__name__}: {e}")
    return out


def test_balanced_baseline_has_zero_metrics():
    s = monitor([1, 0, 1, 0], [1, 1, 0, 0])
    s.push_batch([1, 0, 1, 0], [1, 0, 0, 0])
    runtime = reference_metrics([1, 0, 1, 0], [1, 0, 0, 0])
    # a zero baseline divides by the stability epsilon
    got = s.drift_snapshot()
    expected = relative_changes(runtime, {k: 0.0 for k in KEYS})
    for k in KEYS:
        assert got[k] == expected[k] or (math.isnan(got[k]) and math.isnan(expected[k])), k
    assert 4e11 < got["DifferenceInProportionOfLabels"] < 6e11


@pytest.mark.parametrize(
    "f, g, message",
    [([1, 1], [0, 1], NO_DEVIATION), ([0, 2], [0, 1], NO_DEVIATION), ([1, 0], [1], LENGTH), ([], [], LENGTH)],
)
def test_constructor_refusals(f, g, message):
    with raises_with(TypeError, message):
        mv.PyDataBiasStreaming(f, g)


def test_push_counts_by_label_one():
    s = monitor()
    with raises_with(ValueError, EMPTY):
        s.drift_report(0.1)
    s.push(1, 1)
    # only facet a so far
    with raises_with(TypeError, LENGTH):
        s.performance_snapshot()
    s.push(2, 1)  # 2 is not 1: facet d, positive label
    s.push(0, 0)
    assert_metrics(s.performance_snapshot(), *reference_with_scale([1, 0, 0], [1, 1, 0]))


@pytest.mark.parametrize("f, g", [(200, 0), (0, -129)])
def test_push_out_of_range(f, g):
    s = monitor()
    s.push_batch([1, 0], [1, 0])
    before = observe(s)
    with raises_with(OverflowError, OVERFLOW):
        s.push(f, g)
    assert observe(s) == before


@pytest.mark.parametrize(
    "f, g, exc, message",
    [
        ([1, 0, 1], [1, 0], TypeError, LENGTH),
        ([], [], TypeError, LENGTH),
        ([1, 0], [1, 200], OverflowError, OVERFLOW),
        (np.array([1, 0]), np.array([1, 128]), OverflowError, OVERFLOW),
        ([1, 0], "10", TypeError, "argument 'g': Can't extract `str` to `Vec`"),
        ([1, 0.5], [1, 0], TypeError, "argument 'f': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_failed_batches_change_nothing(f, g, exc, message):
    s = monitor()
    s.push_batch([1, 0, 0], [0, 1, 1])
    before = observe(s)
    with raises_with(exc, message):
        s.push_batch(f, g)
    assert observe(s) == before
    with raises_with(exc, message):
        s.reset_baseline(f, g)
    assert observe(s) == before


def test_flush_keeps_the_baseline():
    s = monitor()
    s.push_batch([1, 0, 0, 1], [0, 0, 1, 1])
    before = s.drift_snapshot()
    s.flush()
    with raises_with(ValueError, EMPTY):
        s.drift_snapshot()
    s.push_batch([1, 0, 0, 1], [0, 0, 1, 1])
    assert s.drift_snapshot() == before


def test_reset_baseline_replaces_baseline_and_empties_window():
    s = monitor()
    s.push_batch([1, 0], [1, 0])
    s.reset_baseline([1, 0], [1, 0])
    with raises_with(ValueError, EMPTY):
        s.performance_snapshot()
    s.push_batch([1, 0], [1, 0])
    assert s.drift_report(0.0) == {
        "passed": False,
        "failed_report": [{"metric": k, "driftError": 0.0} for k in KEYS if k not in ("KlDivergence", "JsDivergence")],
    }
    with raises_with(TypeError, NO_DEVIATION):
        s.reset_baseline([1, 1], [1, 0])


def test_drift_report_rules():
    s = monitor()  # q_a = 2/3, q_d = 1/2
    s.push_batch([1, 0, 1, 0], [1, 0, 0, 1])  # q_a = 1/2, q_d = 1/2
    changes = relative_changes(s.performance_snapshot(), reference_metrics(BASE_F, BASE_G))
    assert s.drift_snapshot() == pytest.approx(changes, rel=0, abs=0)
    for t in (0.0, 0.5, 1.0, 2.0):
        # a change at or above the threshold is reported, in either direction
        kept = {k: v for k, v in changes.items() if v >= np.float32(t)}
        report = s.drift_report(t)
        assert report["passed"] == (not kept)
        assert {e["metric"]: e["driftError"] for e in report.get("failed_report", [])} == kept
        partial = s.drift_report_partial_metrics(["LpNorm", "LpNorm", "ClassImbalance"], t)
        assert {e["metric"]: e["driftError"] for e in partial.get("failed_report", [])} == {
            k: v for k, v in kept.items() if k in ("LpNorm", "ClassImbalance")
        }
    assert s.drift_report_partial_metrics([], 0.0) == {"passed": True}
    with raises_with(ValueError, 'Metrics: ["Lp"] are not supported'):
        s.drift_report_partial_metrics(["Lp"], 0.1)
    with pytest.raises(TypeError, match="^argument 'drift_threshold': "):
        s.drift_report(None)


def test_reentrant_use_is_refused():
    s = monitor()

    class Sneaky:
        def __index__(self):
            s.push(1, 1)
            return 1

    with raises_with(RuntimeError, "Already borrowed"):
        s.push_batch([Sneaky(), 0], [1, 0])
    with raises_with(ValueError, EMPTY):
        s.performance_snapshot()


def test_signatures():
    cls = mv.PyDataBiasStreaming
    assert cls.__text_signature__ == "(feature_data, gt_data)"
    assert cls.push.__text_signature__ == "($self, f, g)"
    assert cls.drift_report_partial_metrics.__text_signature__ == "($self, metrics, drift_threshold)"
    assert cls.performance_snapshot.__text_signature__ == "($self)"
    s = mv.PyDataBiasStreaming(gt_data=[1, 0], feature_data=[1, 0])
    s.push(g=1, f=1)
    s.push_batch(f=[0], g=[0])
    assert s.drift_report(drift_threshold=1e30) == {"passed": True}


labels = st.integers(-128, 127) | st.sampled_from([0, 1, 1, 1])


@SETTINGS
@given(st.lists(st.tuples(labels, labels), min_size=1, max_size=30), st.lists(st.tuples(labels, labels), max_size=30))
def test_snapshot_counts_every_pushed_pair(batch, singles):
    s = monitor()
    s.push_batch([p[0] for p in batch], [p[1] for p in batch])
    for f, g in singles:
        s.push(f, g)
    pairs = batch + singles
    facet = [int(f == 1) for f, _ in pairs]
    label = [int(g == 1) for _, g in pairs]
    if 0 < sum(facet) < len(facet):
        assert_metrics(s.performance_snapshot(), *reference_with_scale(facet, label))
    else:
        with raises_with(TypeError, LENGTH):
            s.performance_snapshot()
