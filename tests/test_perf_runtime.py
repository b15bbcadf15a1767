"""The six performance runtime checks."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _morvane as mv
from conftest import f32, raises_with
from perf_reference import CLASSIFICATION, LOGISTIC, REGRESSION

F = np.float32
FULL = {
    "regression": (mv.py_model_perf_lin_reg_rt_full, REGRESSION),
    "logistic": (mv.py_model_perf_log_reg_rt_full, LOGISTIC),
    "classification": (mv.py_model_perf_class_rt_full, CLASSIFICATION),
}
PARTIAL = {
    "regression": mv.py_model_perf_lin_reg_rt_partial,
    "logistic": mv.py_model_perf_log_reg_rt_partial,
    "classification": mv.py_model_perf_class_rt_partial,
}
FAMILIES = list(FULL)


def record(family, value=0.5, **overrides):
    d = {k: value for k in FULL[family][1]}
    d.update(overrides)
    return d


def failed(report):
    """{metric: driftError} of a report, checking the report's shape on the way."""
    if report["passed"]:
        assert report == {"passed": True}
        return {}
    assert list(report) == ["passed", "failed_report"] and report["failed_report"]
    out = {}
    for entry in report["failed_report"]:
        assert list(entry) == ["metric", "driftError"]
        assert entry["metric"] not in out
        out[entry["metric"]] = entry["driftError"]
    return out


def expected_failure(family, metric, b, l, threshold):
    """The failure rule in float32; the degradation, or None when the metric passes."""
    b, l, th = F(b), F(l), F(threshold)
    up, down = F(1) + th, F(1) - th
    if family == "classification":
        return float(b - l) if up * l < b else None
    higher_is_better = metric == "RSquared" if family == "regression" else metric != "LogLoss"
    if higher_is_better:
        return float(b - l) if l < down * b else None
    return float(l - b) if l > up * b else None


@pytest.mark.parametrize(
    "family, metric, b, l, threshold, degradation",
    [
        ("regression", "MeanSquaredError", 1.0, 1.1, 0.1, None),  # (1 + 0.1) × 1.0 is exactly f32(1.1)
        ("regression", "MeanSquaredError", 1.0, 1.2, 0.1, 0.20000004768371582),
        ("regression", "RSquared", 0.8, 0.7, 0.1, 0.10000002384185791),
        ("regression", "RSquared", -0.5, -0.5, 0.1, 0.0),  # a negative R² equal on both sides fails
        ("logistic", "LogLoss", 0.3, 0.4, 0.1, f32(f32(0.4) - f32(0.3))),
        ("logistic", "Accuracy", 0.9, 0.85, 0.1, None),
        ("logistic", "Accuracy", 0.9, 0.815, 0.1, None),
        ("classification", "Accuracy", 0.9, 0.815, 0.1, 0.08499997854232788),
        ("classification", "Accuracy", 0.9, 0.9, 0.0, None),
        ("regression", "MaxError", 2.0, 2.0, 0.0, None),
        ("regression", "MaxError", 2.0, 2.5, 0.0, 0.5),
        ("logistic", "F1Score", 0.5, 0.5, -0.1, 0.0),  # a negative threshold fails an unchanged value
        ("regression", "MeanAbsoluteError", math.nan, 5.0, 0.1, None),  # NaN never fails
    ],
)
def test_failure_rules(family, metric, b, l, threshold, degradation):
    fn, names = FULL[family]
    report = fn(record(family, 0.0, **{metric: b}), record(family, 0.0, **{metric: l}), threshold)
    assert failed(report) == ({} if degradation is None else {metric: degradation})


@pytest.mark.parametrize("family", FAMILIES)
def test_identical_positive_records_pass(family):
    fn, names = FULL[family]
    values = {k: 0.1 * (i + 1) for i, k in enumerate(names)}
    for threshold in (0.0, 0.1, 5.0):
        assert fn(values, values, threshold) == {"passed": True}


@pytest.mark.parametrize("latest, fails", [(1.1, False), (float(np.nextafter(F(1.1), F(2))), True)])
def test_default_threshold_is_a_tenth_in_32_bits(latest, fails):
    b, l = record("regression", 0.0, MeanSquaredError=1.0), record("regression", 0.0, MeanSquaredError=latest)
    assert mv.py_model_perf_lin_reg_rt_full(b, l) == mv.py_model_perf_lin_reg_rt_full(b, l, 0.10000000149011612)
    assert (not mv.py_model_perf_lin_reg_rt_full(b, l)["passed"]) is fails


@given(
    st.sampled_from(FAMILIES),
    st.floats(-2, 2, width=32),
    st.floats(-2, 2, width=32),
    st.floats(-0.5, 1.5, width=32),
    st.data(),
)
@settings(max_examples=150, deadline=None)
def test_full_check_matches_rule(family, b, l, threshold, data):
    fn, names = FULL[family]
    metric = data.draw(st.sampled_from(names))
    expected = expected_failure(family, metric, b, l, threshold)
    got = failed(fn(record(family, 0.0, **{metric: b}), record(family, 0.0, **{metric: l}), threshold))
    assert got == ({} if expected is None else {metric: expected})


@pytest.mark.parametrize("family", FAMILIES)
def test_partial_checks_only_named_metrics_once(family):
    names = FULL[family][1]
    bad = {k: 1.0 for k in names}
    good = {k: 1.0 for k in names}
    for k in names:
        # Every metric degrades: errors rise, scores fall.
        worse_up = (family == "regression" and k != "RSquared") or k == "LogLoss"
        bad[k] = 2.0 if worse_up else 0.5
    picked = [names[1], names[3], names[1]]
    report = failed(PARTIAL[family](good, bad, picked))
    assert sorted(report) == sorted({names[1], names[3]})
    assert PARTIAL[family](good, bad, []) == {"passed": True}
    assert sorted(failed(FULL[family][0](good, bad))) == sorted(names)


def test_extra_keys_ignored_missing_key_invalid():
    b = record("regression", 1.0, Extra=9.0, Other=-1.0)
    assert mv.py_model_perf_lin_reg_rt_full(b, record("regression", 1.0)) == {"passed": True}
    short = record("regression")
    del short["MaxError"]
    for args in ((short, record("regression")), (record("regression"), short)):
        with raises_with(ValueError, "Invalid analysis report"):
            mv.py_model_perf_lin_reg_rt_full(*args)
        with raises_with(ValueError, "Invalid analysis report"):
            mv.py_model_perf_lin_reg_rt_partial(*args, ["RSquared"])


def test_binary_record_does_not_need_log_loss_but_logistic_does():
    b = record("classification")
    assert mv.py_model_perf_class_rt_full(b, b) == {"passed": True}
    with raises_with(ValueError, "Invalid analysis report"):
        mv.py_model_perf_log_reg_rt_full(b, b)


@pytest.mark.parametrize(
    "family, names, message",
    [
        ("classification", ["Nope", "LogLoss", "Other"], 'Metrics: ["LogLoss"] are not supported'),
        ("classification", ["accuracy"], 'Metrics: ["accuracy"] are not supported'),
        ("logistic", ["LogLoss", "x", "Accuracy ", "F1Score"], 'Metrics: ["x", "Accuracy "] are not supported'),
        ("regression", ["RSquared", 'a"b'], 'Metrics: ["a\\"b"] are not supported'),
    ],
)
def test_unknown_metric_names(family, names, message):
    # Names are parsed before the dicts are read: even an empty dict gives this error.
    with raises_with(ValueError, message):
        PARTIAL[family]({}, {}, names)


def test_logistic_partial_accepts_log_loss():
    report = mv.py_model_perf_log_reg_rt_partial(
        record("logistic", LogLoss=0.3), record("logistic", LogLoss=0.4), ["LogLoss"]
    )
    assert failed(report) == {"LogLoss": f32(f32(0.4) - f32(0.3))}


@pytest.mark.parametrize("family", FAMILIES)
def test_argument_errors(family):
    full, partial = FULL[family][0], PARTIAL[family]
    d = record(family)
    name = full.__name__
    with raises_with(TypeError, "argument 'baseline': 'list' object cannot be converted to 'PyDict'"):
        full([], d)
    with raises_with(TypeError, "argument 'latest': 'str' object cannot be converted to 'PyDict'"):
        full(d, "x")
    with pytest.raises(TypeError, match="^argument 'baseline': "):
        full({"Accuracy": "high"}, d)
    with raises_with(TypeError, "argument 'threshold': must be real number, not NoneType"):
        full(d, d, None)
    with raises_with(TypeError, "argument 'evaluation_metrics': Can't extract `str` to `Vec`"):
        partial(d, d, "Accuracy")
    with pytest.raises(TypeError, match="^argument 'evaluation_metrics': "):
        partial(d, d, [1])
    with pytest.raises(TypeError, match=f"^{name}\\(\\) missing 1 required positional argument: 'latest'"):
        full(d)
    assert full(latest=d, threshold=0.2, baseline=d) == {"passed": True}
    assert partial(evaluation_metrics=(), latest=d, baseline=d) == {"passed": True}


@pytest.mark.parametrize(
    "fn, params",
    [(FULL[f][0], "baseline, latest, threshold=0.10") for f in FAMILIES]
    + [(PARTIAL[f], "baseline, latest, evaluation_metrics, threshold=0.10") for f in FAMILIES]
    + [(mv.py_model_perf_classification, "y_true_src, y_pred_src")]
    + [(mv.py_model_perf_logistic_regression, "y_true_src, y_pred_src, threshold")],
)
def test_text_signatures(fn, params):
    assert fn.__text_signature__ == f"({params})"
    assert fn.__doc__ in (None, "")


def test_analysis_output_round_trips():
    t, p = np.array([1.0, 0.0, 1.0, 1.0]), np.array([0.8, 0.3, 0.4, 0.9])
    lr = mv.py_model_perf_logistic_regression(t, p, 0.5)
    assert mv.py_model_perf_log_reg_rt_full(lr, lr) == {"passed": True}
    c = mv.py_model_perf_classification(t, (p > 0.5).astype(float))
    assert mv.py_model_perf_class_rt_full(c, c, 0.0) == {"passed": True}
    r = mv.py_model_perf_linear_regression(t, p)
    assert mv.py_model_perf_lin_reg_rt_full(r, r, 0.0) == {"passed": True}
