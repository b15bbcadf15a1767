"""The data-bias runtime checks: a stored baseline dict against a latest one."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _morvane as mv
from conftest import f32, raises_with
from data_bias_reference import KEYS

F = np.float32
SETTINGS = settings(max_examples=80, deadline=None, derandomize=True, database=None)


def record(**overrides):
    base = {k: 0.25 for k in KEYS}
    base.update(overrides)
    return base


def failed(report):
    assert report["passed"] == ("failed_report" not in report)
    return {e["metric"]: e["driftError"] for e in report.get("failed_report", [])}


@pytest.mark.parametrize("threshold", [0.0, 0.1, 3.0])
def test_identical_records_pass(threshold):
    r = record(DifferenceInProportionOfLabels=-0.4, KlDivergence=0.0)
    assert mv.py_data_bias_runtime_check(r, dict(r), threshold) == {"passed": True}
    assert mv.py_data_bias_partial_check(r, dict(r), KEYS, threshold) == {"passed": True}


@pytest.mark.parametrize(
    "metric, b, l, threshold, change",
    [
        ("KlDivergence", 0.1, 0.11, 0.1, None),
        ("KlDivergence", 0.1, 0.12, 0.1, 0.019999995827674866),
        ("TotalVariationDistance", 0.2, 0.25, 0.1, 0.04999999701976776),
        ("DifferenceInProportionOfLabels", -0.3, 0.35, 0.1, 0.6499999761581421),
        ("DifferenceInProportionOfLabels", -0.3, -0.34, 0.1, 0.03999999165534973),
        ("DifferenceInProportionOfLabels", 0.3, -0.32, 0.1, None),
        ("LpNorm", 0.5, 0.0, 0.1, None),
        ("JsDivergence", 0.0, 1e-30, 1000.0, f32(1e-30)),
        ("JsDivergence", 0.2, 0.2000001, 0.0, f32(F(0.2000001) - F(0.2))),
        ("ClassImbalance", -0.2, 0.25, 0.1, f32(F(0.25) - F(0.2))),
        ("ClassImbalance", 0.2, -0.21, 0.1, None),
        ("KlDivergence", float("nan"), 5.0, 0.1, None),
        ("KlDivergence", 0.1, float("nan"), 0.1, None),
        ("KlDivergence", 0.1, float("inf"), 0.1, float("inf")),
    ],
)
def test_failure_rule(metric, b, l, threshold, change):
    baseline, latest = record(**{metric: b}), record(**{metric: l})
    expected = {} if change is None else {metric: change}
    assert failed(mv.py_data_bias_runtime_check(baseline, latest, threshold)) == expected
    assert failed(mv.py_data_bias_partial_check(baseline, latest, [metric], threshold)) == expected


@SETTINGS
@given(
    st.lists(st.floats(-2, 2, width=32), min_size=7, max_size=7),
    st.lists(st.floats(-2, 2, width=32), min_size=7, max_size=7),
    st.floats(-1, 1, width=32),
)
def test_only_growth_fails(b, l, t):
    # a metric fails exactly when its (magnitude for the signed two) latest value is
    # above (1 + t) times the baseline's, and reports how much it moved
    baseline, latest = dict(zip(KEYS, b)), dict(zip(KEYS, l))
    k = F(1) + F(t)
    expected = {}
    for key in KEYS:
        bv, lv = F(baseline[key]), F(latest[key])
        if key == "ClassImbalance" and abs(lv) > abs(k * abs(bv)):
            expected[key] = float(abs(abs(lv) - abs(bv)))
        elif key == "DifferenceInProportionOfLabels" and abs(lv) > k * abs(bv):
            expected[key] = float(abs(lv - bv))
        elif key not in ("ClassImbalance", "DifferenceInProportionOfLabels") and lv > k * bv:
            expected[key] = float(lv - bv)
    assert failed(mv.py_data_bias_runtime_check(baseline, latest, t)) == expected
    assert failed(mv.py_data_bias_partial_check(baseline, latest, KEYS[::-1], t)) == expected


def test_negative_threshold_fails_unchanged_positive_metrics():
    r = record(KolmogorovSmirnov=-0.2, JsDivergence=0.0)
    expected = {k: 0.0 for k in KEYS if k not in ("KolmogorovSmirnov", "JsDivergence")}
    assert failed(mv.py_data_bias_runtime_check(r, dict(r), -0.5)) == expected


def test_default_threshold_and_keywords():
    b, l = record(KlDivergence=0.1), record(KlDivergence=0.11)
    assert mv.py_data_bias_runtime_check(b, l) == {"passed": True}
    assert mv.py_data_bias_runtime_check(latest=l, baseline=b, threshold=0.0)["passed"] is False
    with pytest.raises(TypeError, match="^argument 'threshold': "):
        mv.py_data_bias_runtime_check(b, l, None)
    with pytest.raises(TypeError, match="^argument 'threshold': "):
        mv.py_data_bias_partial_check(b, l, KEYS, threshold=None)


def test_partial_check_metric_list():
    b, l = record(LpNorm=0.1, KlDivergence=0.1), record(LpNorm=0.5, KlDivergence=0.5)
    report = mv.py_data_bias_partial_check(b, l, ["KlDivergence", "KlDivergence"])
    assert report == {"passed": False, "failed_report": [{"metric": "KlDivergence", "driftError": f32(F(0.5) - F(0.1))}]}
    assert mv.py_data_bias_partial_check(b, l, []) == {"passed": True}
    with raises_with(ValueError, 'Metrics: ["lpnorm", "Nope"] are not supported'):
        mv.py_data_bias_partial_check(b, l, ["LpNorm", "lpnorm", "Nope"])
    with raises_with(TypeError, "argument 'metrics': Can't extract `str` to `Vec`"):
        mv.py_data_bias_partial_check(b, l, "LpNorm")


def test_keys_that_name_no_metric():
    b, l = record(), record(Extra=1.0)
    with raises_with(ValueError, 'Metrics: ["Extra"] are not supported'):
        mv.py_data_bias_runtime_check(b, l)
    # the baseline is examined first
    with raises_with(ValueError, 'Metrics: ["First"] are not supported'):
        mv.py_data_bias_runtime_check(record(First=1.0), l)
    assert mv.py_data_bias_partial_check(b, l, KEYS) == {"passed": True}


def test_missing_metrics():
    no_lp_tvd = {k: 0.1 for k in KEYS if k not in ("LpNorm", "TotalVariationDistance")}
    no_ci = {k: 0.1 for k in KEYS if k != "ClassImbalance"}
    # the first missing name in metric order; the full check reads the baseline first,
    # the partial check the latest first
    with raises_with(ValueError, "LpNorm not present"):
        mv.py_data_bias_runtime_check(no_lp_tvd, no_ci)
    with raises_with(ValueError, "ClassImbalance not present"):
        mv.py_data_bias_partial_check(no_lp_tvd, no_ci, [])
    with raises_with(ValueError, "ClassImbalance not present"):
        mv.py_data_bias_runtime_check({}, record())


def test_analyzer_output_round_trips():
    base = mv.py_data_bias_analyzer(np.array([1, 1, 0, 0, 1]), np.array([1, 0, 1, 0, 0]), 1, 1)
    assert mv.py_data_bias_runtime_check(base, base) == {"passed": True}
    assert mv.py_data_bias_runtime_check.__text_signature__ == "(baseline, latest, threshold=0.10)"
    assert mv.py_data_bias_partial_check.__text_signature__ == "(baseline, latest, metrics, threshold=0.10)"
