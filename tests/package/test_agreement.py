"""Metric values computed from a profile agree with `_morvane` on the same rows: the same C++
formulas fed with exact counts and sums. Counts give identical results; sums agree within 32-bit
rounding (the fixed module adds float32 inputs in float64 in row order, a profile adds exactly)."""

import math

import numpy as np
import pytest
from hypothesis import assume, given, settings, strategies as st

import _morvane
import morvane as mv
from morvane.comparing import metrics as _metrics



def close(a, b, rel=2e-6, abs_=1e-6):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b or abs(a - b) <= max(rel * max(abs(a), abs(b)), abs_)


@settings(max_examples=120, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 1), st.floats(0.0009765625, 0.9990234375, width=32)), min_size=1, max_size=300),
       st.sampled_from([0.5, 0.3, 0.77]))
def test_binary_metrics_agree(rows, threshold):
    y = np.array([r[0] for r in rows], dtype=np.float64)
    p = np.array([r[1] for r in rows], dtype=np.float64)
    prof = mv.profile({"y": y, "p": p}, target="y", prediction="p", task="binary", threshold=threshold)
    ours = _metrics.performance(prof.task_stats)
    theirs = _morvane.py_model_perf_logistic_regression(y, p, threshold)
    for name, value in theirs.items():
        if name == "LogLoss":
            assert close(ours[name], value, rel=1e-5), name  # float32 terms there, float64 here
        else:
            assert ours[name] == value or (math.isnan(ours[name]) and math.isnan(value)), name
    labels = mv.profile({"y": y, "p": (p >= threshold).astype(np.int64)}, target="y", prediction="p", task="binary")
    got = _metrics.performance(labels.task_stats)
    expected = _morvane.py_model_perf_classification(y, (p >= threshold).astype(np.float64))
    assert set(got) == set(expected)
    assert all(got[k] == v or (math.isnan(got[k]) and math.isnan(v)) for k, v in expected.items())


@settings(max_examples=120, deadline=None)
@given(st.lists(st.tuples(st.floats(-0.875, 8192.0, width=32), st.floats(-0.875, 8192.0, width=32)), min_size=2, max_size=300))
def test_regression_metrics_agree(rows):
    y = np.array([r[0] for r in rows], dtype=np.float64)
    p = np.array([r[1] for r in rows], dtype=np.float64)
    assume(np.all(y != 0) and np.ptp(y) > 1e-3)
    prof = mv.profile({"y": y, "p": p}, target="y", prediction="p", task="regression")
    ours = _metrics.performance(prof.task_stats)
    theirs = _morvane.py_model_perf_linear_regression(y, p)
    assert set(ours) == set(theirs)
    for name, value in theirs.items():
        # R² from expanded sums cancels: compare it on the scale of its terms.
        assert close(ours[name], value, rel=1e-4 if name == "RSquared" else 2e-6, abs_=1e-4), (name, ours[name], value)


bias_rows = st.lists(st.tuples(st.integers(0, 90), st.integers(0, 1), st.integers(0, 1)), min_size=1, max_size=300)


@settings(max_examples=120, deadline=None)
@given(bias_rows, st.integers(10, 80))
def test_bias_metrics_agree(rows, cut):
    age = np.array([r[0] for r in rows], dtype=np.float64)
    y = np.array([r[1] for r in rows], dtype=np.float64)
    p = np.array([r[2] for r in rows], dtype=np.float64)
    prof = mv.profile({"age": age, "y": y, "p": p}, target="y", prediction="p", task="binary",
                      facets={"age": mv.at_least(cut)})
    facet = prof.facets["age"]
    seg = (float(cut), None, "GreaterThanEqualTo")
    half = (0.5, None, "GreaterThanEqualTo")
    for ours, call in [
        (_metrics.pre_training(facet, 0), lambda: _morvane.py_data_bias_analyzer_explicit_seg(age, *seg, y, *half)),
        (_metrics.post_training(facet, 0), lambda: _morvane.py_model_bias_analyzer_explicit_seg(age, *seg, y, *half, p, *half)),
    ]:
        try:
            theirs = call()
        except ValueError:
            assert ours == {}  # the guards refuse the same counts
            continue
        assert set(ours) == set(theirs)
        for name, value in theirs.items():
            if name == "GeneralizedEntropy":
                # The one-shot analyzer sums float32 terms row by row; a profile has only the
                # counts and uses the streaming monitors' closed form.
                assert close(ours[name], value, rel=1e-5, abs_=len(rows) * 4e-7), (ours[name], value)
            else:
                assert ours[name] == value or (math.isnan(ours[name]) and math.isnan(value)), name


@settings(max_examples=120, deadline=None)
@given(st.lists(st.sampled_from("abcde"), min_size=1, max_size=200), st.lists(st.sampled_from("abcdef"), min_size=1, max_size=200))
def test_categorical_drift_distances_agree(ref, cur):
    reference = mv.profile({"c": ref})
    current = mv.profile({"c": cur}, like=reference)
    ours = _metrics.distances(reference.histogram("c")[1], current.histogram("c")[1], "categorical")
    names = list(_metrics.DISTANCES)
    theirs = _morvane.py_compute_drift_categorical_distribtuion(ref, cur, names)
    for name, value in zip(names, theirs):
        assert ours[name] == value or (math.isnan(ours[name]) and math.isnan(value)), name


def test_empty_windows_give_no_metrics():
    ref = mv.profile({"y": [1], "p": [0.2]}, target="y", prediction="p", task="binary")
    assert _metrics.performance(mv.Monitor(ref).current.task_stats) == {}
    with pytest.raises(ValueError):
        _metrics.distances([1, 2], [1, 2, 3], "categorical")
