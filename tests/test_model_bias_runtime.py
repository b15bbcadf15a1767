"""py_model_bias_runtime_check and py_model_bias_partial_check."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _morvane as mv
from conftest import f32, raises_with
from model_bias_reference import F, METRICS

RATIO_RULED = {"DisparateImpact", "GeneralizedEntropy"}


def record(**overrides):
    base = {m: 0.25 for m in METRICS}
    base.update(overrides)
    return base


def expected_failures(baseline, latest, metrics, threshold):
    """The growth rule evaluated in float32."""
    k = F(1.0) + F(threshold)
    out = {}
    for m in metrics:
        l, b = F(latest[m]), F(baseline[m])
        if m in RATIO_RULED:
            if l > k * b:
                out[m] = float(abs(l - b))
        elif abs(l) > k * abs(b):
            out[m] = float(abs(abs(l) - abs(b)))
    return out


def failures(report):
    assert set(report) == ({"passed"} if report["passed"] else {"passed", "failed_report"})
    if report["passed"]:
        return {}
    entries = report["failed_report"]
    assert entries and all(set(e) == {"metric", "driftError"} for e in entries)
    return {e["metric"]: e["driftError"] for e in entries}


@pytest.mark.parametrize(
    "metric, b, l, change",
    [
        ("DisparateImpact", 1.0, 1.05, None),
        ("DisparateImpact", 1.0, 1.2, 0.20000004768371582),
        ("DisparateImpact", 1.0, 0.5, None),
        ("DifferenceInPositivePredictedLabels", 0.1, -0.12, 0.019999995827674866),
        ("DifferenceInPositivePredictedLabels", 0.1, -0.1, None),
        ("TreatmentEquity", -0.5, 0.56, 0.06000000238418579),
        ("GeneralizedEntropy", 1.76, 2.0, 0.24000000953674316),
        # A ratio-ruled metric compares signed values: a negative baseline that grows
        # towards zero has grown.
        ("DisparateImpact", -1.0, -0.5, 0.5),
        # A NaN never fails.
        ("AccuracyDifference", float("nan"), 5.0, None),
        ("AccuracyDifference", 0.5, float("nan"), None),
    ],
)
def test_growth_rule_cases(metric, b, l, change):
    report = mv.py_model_bias_runtime_check(record(**{metric: b}), record(**{metric: l}))
    assert failures(report) == ({} if change is None else {metric: change})
    partial = mv.py_model_bias_partial_check(record(**{metric: b}), record(**{metric: l}), [metric])
    assert partial == report


@given(
    st.lists(st.floats(-3, 3, width=32), min_size=12, max_size=12),
    st.lists(st.floats(-3, 3, width=32), min_size=12, max_size=12),
    st.floats(0, 1, width=32),
    st.lists(st.sampled_from(METRICS), max_size=15),
)
@settings(max_examples=150, deadline=None)
def test_rule_matches_float32_model(bs, ls, t, subset):
    baseline, latest = dict(zip(METRICS, bs)), dict(zip(METRICS, ls))
    full = mv.py_model_bias_runtime_check(baseline, latest, t)
    assert failures(full) == expected_failures(baseline, latest, METRICS, t)
    part = mv.py_model_bias_partial_check(baseline, latest, subset, threshold=t)
    assert failures(part) == expected_failures(baseline, latest, subset, t)


def test_identical_records_pass_and_default_threshold_is_float32_tenth():
    # Differences of either sign; the two ratio-ruled metrics are non-negative, as
    # computed ratios and entropies are.
    r = {m: abs(float(i) - 5.5) if m in RATIO_RULED else float(i) - 5.5 for i, m in enumerate(METRICS)}
    for t in (0.0, 0.1, 2.0):
        assert mv.py_model_bias_runtime_check(r, r, t) == {"passed": True}
    # A ratio exactly at k * b, with k = 1 + 0.1 rounded in 32 bits, passes: the rule is
    # strict. The omitted threshold behaves as 0.1.
    latest = dict(r, DisparateImpact=f32(F(1.0) + F(0.1)) * 2.0, TreatmentEquity=r["TreatmentEquity"] * 1.2)
    base = dict(r, DisparateImpact=2.0)
    assert mv.py_model_bias_runtime_check(base, latest) == mv.py_model_bias_runtime_check(base, latest, 0.1)
    assert failures(mv.py_model_bias_runtime_check(base, latest)) == expected_failures(base, latest, METRICS, 0.1)


@pytest.mark.parametrize("missing", METRICS)
def test_missing_metric_names_itself(missing):
    full = record()
    lacking = {k: v for k, v in full.items() if k != missing}
    message = f"{missing} not present"
    with raises_with(ValueError, message):
        mv.py_model_bias_runtime_check(full, lacking)
    with raises_with(ValueError, message):
        mv.py_model_bias_runtime_check(lacking, full)
    with raises_with(ValueError, message):
        mv.py_model_bias_partial_check(lacking, full, [])


def test_missing_metric_order_and_extra_keys():
    # The first missing metric in metric order is reported, latest dict first.
    with raises_with(ValueError, "DifferenceInPositivePredictedLabels not present"):
        mv.py_model_bias_runtime_check(record(), {})
    only_ge_missing = {k: v for k, v in record().items() if k != "GeneralizedEntropy"}
    only_di_missing = {k: v for k, v in record().items() if k != "DisparateImpact"}
    with raises_with(ValueError, "GeneralizedEntropy not present"):
        mv.py_model_bias_runtime_check(only_di_missing, only_ge_missing)
    assert mv.py_model_bias_runtime_check(dict(record(), extra=1e9), dict(record(), Other=3)) == {"passed": True}


def test_partial_check_arguments():
    r = record()
    assert mv.py_model_bias_partial_check(r, record(DisparateImpact=9.0), []) == {"passed": True}
    twice = mv.py_model_bias_partial_check(r, record(DisparateImpact=9.0), ["DisparateImpact"] * 2)
    assert failures(twice) == {"DisparateImpact": 8.75}
    with raises_with(TypeError, "argument 'metrics': Can't extract `str` to `Vec`"):
        mv.py_model_bias_partial_check(r, r, "DisparateImpact")
    with raises_with(ValueError, 'Metrics: ["Nope", "disparateImpact"] are not supported'):
        mv.py_model_bias_partial_check(r, r, ["DisparateImpact", "Nope", "disparateImpact"])
    # Names are parsed before the records are built.
    with raises_with(ValueError, 'Metrics: ["Nope"] are not supported'):
        mv.py_model_bias_partial_check({}, {}, ["Nope"])


@pytest.mark.parametrize(
    "call",
    [
        lambda r: mv.py_model_bias_runtime_check(r, r, None),
        lambda r: mv.py_model_bias_partial_check(r, r, [], threshold=None),
        lambda r: mv.py_model_bias_runtime_check([], r),
        lambda r: mv.py_model_bias_runtime_check(r, {"DisparateImpact": "x"}),
    ],
)
def test_argument_errors_are_type_errors(call):
    with pytest.raises(TypeError, match="^argument '(threshold|baseline|latest)': "):
        call(record())


def test_signatures_and_keywords():
    assert mv.py_model_bias_runtime_check.__text_signature__ == "(baseline, latest, threshold=0.10)"
    assert mv.py_model_bias_partial_check.__text_signature__ == "(baseline, latest, metrics, threshold=0.10)"
    r = record()
    assert mv.py_model_bias_partial_check(threshold=0.2, metrics=[], latest=r, baseline=r) == {"passed": True}
    assert math.isclose(f32(0.1), 0.10000000149011612)
