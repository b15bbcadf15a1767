"""py_model_perf_classification and py_model_perf_logistic_regression."""

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _morvane as mv
from conftest import f32, raises_with
from perf_reference import CLASSIFICATION, counts, log_loss, logf, logistic, ratios, same

INVALID_DATA = "Metric cannot be computed with given data"


def classify(t, p):
    return mv.py_model_perf_classification(np.asarray(t, dtype=float), np.asarray(p, dtype=float))


def logreg(t, p, threshold=0.5):
    return mv.py_model_perf_logistic_regression(np.asarray(t, dtype=float), np.asarray(p, dtype=float), threshold)


# ---- classification ----


def test_worked_example():
    r = classify([1, 0, 1, 0], [1, 0, 0, 0])
    assert r == {
        "BalancedAccuracy": 0.75,
        "PrecisionPositive": 1.0,
        "PrecisionNegative": f32(2 / 3),
        "RecallPositive": 0.5,
        "RecallNegative": 1.0,
        "Accuracy": 0.75,
        "F1Score": f32(2 / 3),
    }


@pytest.mark.parametrize(
    "y_true, y_pred, expected_counts",
    [
        ([2.0, -1.0, 1.0], [2.0, 1.0, -1.0], (0, 1, 1, 1)),  # only 1.0 is positive
        ([math.nan, 1.0], [1.0, math.nan], (0, 1, 0, 1)),  # NaN is never positive
        ([-0.0, 0.0], [0.0, -0.0], (0, 0, 2, 0)),
        ([1.0, 1.0, 0.0], [0.0, 0.0, 0.0], (0, 0, 1, 2)),  # no positive prediction
    ],
)
def test_positive_label_rule(y_true, y_pred, expected_counts):
    assert same(classify(y_true, y_pred), ratios(*expected_counts))


def test_no_positive_prediction_gives_nan_without_error():
    r = classify([1, 0, 1], [0, 0, 0])
    assert math.isnan(r["PrecisionPositive"]) and math.isnan(r["F1Score"])
    assert r["Accuracy"] == f32(1 / 3)


def test_empty_arrays_give_seven_nans():
    r = classify([], [])
    assert sorted(r) == sorted(CLASSIFICATION)
    assert all(math.isnan(v) for v in r.values())


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.uint8, np.int32])
def test_numeric_dtypes(dtype):
    t = np.array([1, 0, 1, 1, 0], dtype=dtype)
    p = np.array([1, 1, 0, 1, 0], dtype=dtype)
    assert same(mv.py_model_perf_classification(t, p), ratios(2, 1, 1, 1))


def test_strided_array_reads_the_viewed_elements():
    t = np.array([1.0, 9.0, 0.0, 9.0, 1.0, 9.0])[::2]
    p = np.array([1.0, 1.0, 1.0, 1.0, 0.0, 0.0])[::2]
    assert same(mv.py_model_perf_classification(t, p), ratios(1, 1, 0, 1))


@given(
    st.lists(st.tuples(st.sampled_from([0.0, 1.0, 2.0, -1.0, math.nan]), st.sampled_from([0.0, 1.0, 0.5])), max_size=40)
)
@settings(max_examples=60, deadline=None)
def test_classification_matches_counts(pairs):
    t = [a for a, _ in pairs]
    p = [b for _, b in pairs]
    expected = ratios(*counts([x == 1.0 for x in t], [x == 1.0 for x in p]))
    assert same(classify(t, p), expected)


@pytest.mark.parametrize("fn", ["classification", "logistic"])
class TestArgumentErrors:
    def call(self, fn, t, p):
        if fn == "classification":
            return mv.py_model_perf_classification(t, p)
        return mv.py_model_perf_logistic_regression(t, p, 0.5)

    def test_list_refused_naming_argument(self, fn):
        with raises_with(TypeError, "argument 'y_true_src': 'list' object cannot be converted to 'PyUntypedArray'"):
            self.call(fn, [1.0], np.array([1.0]))
        with raises_with(TypeError, "argument 'y_pred_src': 'list' object cannot be converted to 'PyUntypedArray'"):
            self.call(fn, np.array([1.0]), [1.0])

    @pytest.mark.parametrize(
        "bad", [np.array([True]), np.array(["1"]), np.array([1.0], dtype=object), np.array([1.0], dtype=">f8")]
    )
    def test_non_numeric_arrays_unsupported(self, fn, bad):
        with raises_with(TypeError, "UnSupportedType"):
            self.call(fn, bad, np.array([1.0]))
        with raises_with(TypeError, "UnSupportedType"):
            self.call(fn, np.array([1.0]), bad)

    def test_length_mismatch(self, fn):
        with raises_with(ValueError, "Data vectors must be equal length"):
            self.call(fn, np.array([1.0, 0.0]), np.array([1.0]))

    def test_row_conversion_error_passes_unchanged(self, fn):
        with pytest.raises(TypeError) as e:
            self.call(fn, np.ones((2, 3)), np.ones(2))
        assert "UnSupportedType" not in str(e.value)


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int16, np.uint64])
def test_long_arrays_match_reference(dtype):
    # Long enough to be read in several blocks, the last one partial; strided too.
    rng = np.random.default_rng(7)
    n = 5000
    t = rng.integers(0, 3, n).astype(dtype)
    p = rng.integers(0, 2, 2 * n).astype(dtype)[::2]
    assert same(mv.py_model_perf_classification(t, p), ratios(*counts(t == 1, p == 1)))
    if dtype in (np.float64, np.float32):
        t = (t == 1).astype(dtype)
        p = rng.random(n).astype(dtype)
        assert same(mv.py_model_perf_logistic_regression(t, p, 0.5), logistic(t.tolist(), p.tolist(), 0.5))
    else:
        with raises_with(TypeError, INVALID_DATA):  # some pair has t = 1 and p = 1
            mv.py_model_perf_logistic_regression(t, p, 0.5)


def test_zero_dimensional_array_error_passes_unchanged():
    for f in (lambda a: mv.py_model_perf_classification(a, a), lambda a: mv.py_model_perf_logistic_regression(a, a, 0.5)):
        with raises_with(TypeError, "len() of unsized object"):
            f(np.array(1.0))


# ---- logistic regression ----


def test_logistic_worked_example():
    r = logreg([1, 0], [0.9, 0.2])
    assert all(r[k] == 1.0 for k in CLASSIFICATION)
    expected = float(-np.float32(float(logf(np.float32(0.9))) + float(logf(np.float32(1) - np.float32(0.2)))) / 2)
    assert r["LogLoss"] == expected


def test_logistic_certain_wrong_prediction_is_infinite():
    assert logreg([0], [1.0])["LogLoss"] == math.inf


@pytest.mark.parametrize(
    "y_true, y_pred",
    [([1], [1.0]), ([], []), ([math.nan, 1], [0.5, 0.5]), ([1, 0], [0.5, math.nan])],
    ids=["t1-p1", "empty", "nan-truth", "nan-pred"],
)
def test_logistic_nan_log_loss_is_invalid_data(y_true, y_pred):
    with raises_with(TypeError, INVALID_DATA):
        logreg(y_true, y_pred)


def test_logistic_thresholds_ground_truth_too():
    # 0.9 ≥ 0.5 is a positive ground truth here (the streaming monitor differs).
    r = logreg([0.9], [0.95])
    assert r["RecallPositive"] == 1.0 and r["PrecisionPositive"] == 1.0


def test_logistic_threshold_above_every_value():
    r = logreg([1, 0, 1], [0.2, 0.7, 0.9], threshold=2.0)
    assert math.isnan(r["RecallPositive"]) and math.isnan(r["PrecisionPositive"])
    assert r["RecallNegative"] == 1.0 and r["Accuracy"] == 1.0


def test_logistic_soft_labels_weigh_log_terms():
    t, p = [0.25, 3.0], [0.5, 0.8]
    assert same(logreg(t, p), logistic(t, p, 0.5))


def test_logistic_threshold_argument():
    with raises_with(TypeError, "argument 'threshold': must be real number, not str"):
        mv.py_model_perf_logistic_regression(np.array([1.0]), np.array([0.5]), "0.5")
    r = mv.py_model_perf_logistic_regression(y_pred_src=np.array([0.5]), threshold=np.float32(0.5), y_true_src=np.array([1]))
    assert r["RecallPositive"] == 1.0


@given(
    st.lists(
        st.tuples(
            st.sampled_from([0.0, 1.0, 0.5, 0.9]),
            st.floats(0, 1, width=32) | st.sampled_from([0.0, 1e-30, 1.0]),
        ),
        min_size=1,
        max_size=30,
    ),
    st.floats(0, 1, width=32),
)
@settings(max_examples=80, deadline=None)
def test_logistic_matches_reference(pairs, threshold):
    t = [a for a, _ in pairs]
    p = [b for _, b in pairs]
    expected = logistic(t, p, threshold)
    if math.isnan(expected["LogLoss"]):
        with raises_with(TypeError, INVALID_DATA):
            logreg(t, p, threshold)
    else:
        assert same(logreg(t, p, threshold), expected)


def test_log_loss_sum_does_not_stagnate():
    # 2^21 identical terms: in 64 bits the sum is exact, so the mean is the term
    # itself; a 32-bit running sum would have drifted by many ulps.
    n = 1 << 21
    r = logreg(np.ones(n), np.full(n, 0.5))
    assert r["LogLoss"] == float(-logf(np.float32(0.5)))
    assert r["LogLoss"] == log_loss([1.0] * 4, [0.5] * 4)


# ---- configured stability epsilon (a fresh process each: it is read once) ----


def run_with_eps(eps, body):
    code = "import numpy as np, _morvane as mv\n" + textwrap.dedent(body)
    env = dict(os.environ, MORVANE_STABILITY_EPS=eps)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip().splitlines()


@pytest.mark.parametrize("eps", ["0.75", "nan", "NaN"])
def test_epsilon_above_half_fails_logistic_computations(eps):
    lines = run_with_eps(
        eps,
        """
        def attempt(f):
            try:
                f()
                print("ok")
            except Exception as e:
                print(type(e).__name__, e)
        t, p = np.array([1.0, 0.0]), np.array([0.7, 0.2])
        attempt(lambda: mv.py_model_perf_logistic_regression(t, p, 0.5))
        attempt(lambda: mv.PyLogisticRegressionStreaming(t, p, 0.5))
        attempt(lambda: mv.py_model_perf_classification(t, p))
        attempt(lambda: mv.py_model_perf_logistic_regression(t[:1], p, 0.5))
        """,
    )
    assert lines == [f"TypeError {INVALID_DATA}"] * 2 + ["ok", "ValueError Data vectors must be equal length"]


@pytest.mark.parametrize("eps", ["0.5", "0.1"])
def test_configured_epsilon_clamps_predictions(eps):
    lines = run_with_eps(
        eps,
        """
        r = mv.py_model_perf_logistic_regression(np.array([1.0, 0.0, 1.0]), np.array([0.0, 1.0, 0.6]), 0.5)
        s = mv.PyLogisticRegressionStreaming([1.0], [0.5], 0.5)
        s.push_batch([1.0, 0.0, 1.0], [0.0, 1.0, 0.6])
        print(repr(r["LogLoss"]))
        print(repr(s.performance_snapshot()["LogLoss"]))
        """,
    )
    expected = log_loss([1.0, 0.0, 1.0], [0.0, 1.0, 0.6], eps=np.float32(float(eps)))
    assert [float(x) for x in lines] == [expected, expected]


# ---- F1 when precision and recall are both 0 ----

# (y_true, y_pred) as 0/1 labels, and the F1 every path must report: 0 when there is
# no true positive but false ones on both sides (precision = recall = 0), NaN only
# where precision or recall itself is 0/0.
F1_CASES = [
    ([1, 0], [0, 1], 0.0),  # TP = 0, FP = 1, FN = 1
    ([1, 1, 0, 0, 0], [0, 0, 1, 1, 0], 0.0),
    ([0, 0], [1, 0], math.nan),  # no positive truth: recall 0/0
    ([1, 0], [0, 0], math.nan),  # no positive prediction: precision 0/0
    ([1, 0, 1], [1, 1, 0], 0.5),
]


@pytest.mark.parametrize("y_true, y_pred, f1", F1_CASES)
def test_f1_is_zero_when_precision_and_recall_are_zero(y_true, y_pred, f1):
    from sklearn.metrics import f1_score

    if not math.isnan(f1):
        assert f1 == f1_score(y_true, y_pred, zero_division=np.nan)
    proba = [0.875 if p else 0.125 for p in y_pred]  # the same decisions at threshold 0.5
    binary = mv.PyBinaryClassificationStreaming([1, 0], [1, 0])
    binary.push_batch(y_true, y_pred)
    logistic = mv.PyLogisticRegressionStreaming([1.0, 0.0], [0.875, 0.125], 0.5)
    logistic.push_batch([float(t) for t in y_true], proba)
    results = [classify(y_true, y_pred), logreg(y_true, proba), binary.performance_snapshot(),
               logistic.performance_snapshot()]
    for r in results:
        assert same({"F1Score": r["F1Score"]}, {"F1Score": f1})
    # A collapse to F1 = 0 fails the checks against a perfect baseline; NaN never fails.
    perfect = classify([1, 0], [1, 0])
    report = mv.py_model_perf_class_rt_partial(perfect, results[0], ["F1Score"])
    assert report["passed"] is math.isnan(f1)
