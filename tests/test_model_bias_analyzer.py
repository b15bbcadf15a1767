"""py_model_bias_analyzer and py_model_bias_analyzer_explicit_seg."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _morvane as mv
from conftest import raises_with
from model_bias_reference import F, METRICS, counts, entropy_sum, guard, same, values

LENGTH = "All data arrays must have equal length and be at least lenght 1"
NO_DEVIATION = "No deviation in behavior between facets"

# Facet a (first four): TP 1, FP 1, FN 1, TN 1; facet d: TP 1, FP 2, FN 1, TN 1.
RICH_F = [1, 1, 1, 1, 0, 0, 0, 0, 0]
RICH_P = [1, 1, 0, 0, 1, 1, 0, 0, 1]
RICH_G = [1, 0, 1, 0, 1, 0, 1, 0, 0]


def analyze(f, g, p):
    return mv.py_model_bias_analyzer(np.array(f), np.array(g), np.array(p), 1, 1, 1)


def test_hand_computed_values():
    # n_a = 4, P_a = 2, L_a = 2; n_d = 5, P_d = 3, L_d = 2; all predicted negatives 4.
    # Benefits [1, 2, 0, 2, 1, 2, 0, 2, 2]: mu = 12/9, r = 0.75, terms -1, -0.4375, 1.25.
    want = {
        "DifferenceInPositivePredictedLabels": F(0.5) - F(3) / F(5),
        "DisparateImpact": F(0.5) / (F(3) / F(5)),
        "AccuracyDifference": F(0.5) - F(2) / F(5),
        "RecallDifference": F(0.0),
        "DifferenceInConditionalAcceptance": F(1.0) - F(1.5),
        "DifferenceInAcceptanceRate": F(0.5) - F(1) / F(3),
        "SpecialityDifference": F(0.5) - F(1) / F(3),
        "DifferenceInConditionalRejection": F(1.5) - F(1.0),
        "DifferenceInRejectionRate": F(0.0),
        "TreatmentEquity": F(0.5) - F(1.0),
        "ConditionalDemographicDesparityPredictedLabels": (F(0) * F(4) + (F(0.5) - F(0.75)) * F(5)) / F(9),
        "GeneralizedEntropy": F(3.375),
    }
    got = analyze(RICH_F, RICH_G, RICH_P)
    assert got == {k: float(v) for k, v in want.items()}


@pytest.mark.parametrize(
    "f, g, p, message",
    [
        # Facet a: TP 1, TN 1; facet d: FP 1, FN 1. Fails at the false-positive guard.
        ([1, 1, 0, 0], [1, 0, 0, 1], [1, 0, 1, 0], NO_DEVIATION),
        ([1, 1, 0, 0, 1, 0], [1, 0, 1, 0, 0, 1], [1, 0, 1, 1, 1, 1], NO_DEVIATION),  # facet d all predicted positive
        (RICH_F, RICH_G, [0] * 4 + RICH_P[4:], NO_DEVIATION),  # facet a predicts no positive, so has no FP
        (RICH_F, [0] * 4 + RICH_G[4:], RICH_P, NO_DEVIATION),  # no positive label in facet a
        (RICH_F, RICH_G, RICH_G, NO_DEVIATION),  # a perfect classifier
        ([1] * 9, RICH_G, RICH_P, LENGTH),  # facet d empty
        ([0] * 9, RICH_G, RICH_P, LENGTH),  # facet a empty
        (RICH_F, RICH_G, RICH_P[:-1], LENGTH),
        (RICH_F[:-1], RICH_G, RICH_P, LENGTH),
        ([], [], [], LENGTH),
    ],
)
def test_refusals(f, g, p, message):
    with raises_with(ValueError, message):
        analyze(f, g, p)


flags = st.lists(st.tuples(st.integers(0, 1), st.integers(0, 1), st.integers(0, 1)), min_size=1, max_size=60)


@given(flags)
@settings(max_examples=200, deadline=None)
def test_matches_float32_model(triples):
    f, g, p = (list(c) for c in zip(*triples))
    c = counts(f, p, g)
    failure = guard(c)
    if failure:
        with raises_with(ValueError, LENGTH if failure == "empty" else NO_DEVIATION):
            analyze(f, g, p)
        return
    got = analyze(f, g, p)
    want = values(c, entropy_sum(g, p))
    assert set(got) == set(METRICS)
    for k in METRICS:
        assert same(got[k], want[k]), (k, got[k], want[k])


def test_generalized_entropy_edge_values():
    # The worked benefits [0, 1, 2, 2] give 1.76 to 32-bit rounding.
    assert np.isclose(entropy_sum([1, 1, 0, 0], [0, 1, 0, 1]), 1.76, rtol=1e-6)
    # Padding with the rich sample keeps every guard open; the analyzer's value is the
    # index-ordered 32-bit sum.
    g = [1, 1, 0, 0] + RICH_G
    p = [0, 1, 0, 1] + RICH_P
    got = analyze([0, 1, 0, 1] + RICH_F, g, p)["GeneralizedEntropy"]
    assert got == float(entropy_sum(g, p))


def test_counts_past_float32_precision():
    # 2^24 + 8 more elements of facet d with benefit 1 (both positive). A running 32-bit
    # benefit sum would stop at 2^24 and move the mean off 1; and n_d - P_d = 2 would
    # round to 0 if taken on the converted counts, refusing the data.
    n = 2**24 + 8
    f = np.concatenate([np.array(RICH_F, np.int8), np.zeros(n, np.int8)])
    g = np.concatenate([np.array(RICH_G, np.int8), np.ones(n, np.int8)])
    p = np.concatenate([np.array(RICH_P, np.int8), np.ones(n, np.int8)])
    got = mv.py_model_bias_analyzer(f, g, p, 1, 1, 1)
    assert F(16777229) - F(16777227) == 0  # what the refused form would see
    c = counts(RICH_F, RICH_P, RICH_G)
    c["d"]["tp"] += n
    b = np.where(g == 1, np.where(p == 1, 1, 0), 2)
    mu = F(int(b.sum())) / F(len(b))
    r = F(1.0) / mu
    terms = (b.astype(np.float32) * r) * (b.astype(np.float32) * r) - F(1.0)
    want = values(c, np.add.accumulate(terms, dtype=np.float32)[-1])
    for k in METRICS:
        assert same(got[k], want[k]), (k, got[k], want[k])


def test_labelling_order_and_argument_errors():
    a = np.array(RICH_F)
    with pytest.raises(TypeError, match="^argument 'prediction_array': 'list' object cannot be converted to 'PyUntypedArray'$"):
        mv.py_model_bias_analyzer(a, a, list(RICH_P), 1, 1, 1)
    # Predictions are labelled before features: the prediction error is the one raised.
    big = np.array([2**64 - 1] * 9, dtype=np.uint64)
    with raises_with(TypeError, "Data passed in is of hetergeneous types"):
        mv.py_model_bias_analyzer(big, a, a.astype(float), 1, 1, "x")
    with pytest.raises(OverflowError):
        mv.py_model_bias_analyzer(big, a, a, 1, 1, 1)
    assert mv.py_model_bias_analyzer.__text_signature__ == (
        "(feature_array, ground_truth_array, prediction_array, feature_label_or_threshold, "
        "ground_truth_label_or_threshold, prediction_label_or_threshold)"
    )
    kw = mv.py_model_bias_analyzer(
        prediction_label_or_threshold=1, prediction_array=np.array(RICH_P), ground_truth_label_or_threshold=1,
        feature_label_or_threshold=1, ground_truth_array=np.array(RICH_G), feature_array=a,
    )
    assert kw == analyze(RICH_F, RICH_G, RICH_P)


def test_value_kinds_segment_like_flags():
    # Strings, booleans and floats label the same elements as the 0/1 flags.
    want = analyze(RICH_F, RICH_G, RICH_P)
    feature = np.array(["x" if v else "y" for v in RICH_F])
    truth = np.array(RICH_G, dtype=bool)
    pred = np.array(RICH_P, dtype=np.float64)
    assert mv.py_model_bias_analyzer(feature, truth, pred, "x", True, 1.0) == want


EXPLICIT_PARAMS = (
    "(feature_array, feat_segmentation_threshold, feat_segmentation_label, feat_threshold_type, "
    "ground_truth_array, gt_segmentation_threshold, gt_segmentation_label, gt_threshold_type, "
    "prediction_array, pred_segmentation_threshold, pred_segmentation_label, pred_threshold_type)"
)


def test_explicit_segmentation_equals_flags():
    want = analyze(RICH_F, RICH_G, RICH_P)
    ages = np.array([70.0 if v else 20.0 for v in RICH_F])
    truth = np.array(["yes" if v else "no" for v in RICH_G])
    score = np.array([0.9 if v else 0.5 for v in RICH_P])
    got = mv.py_model_bias_analyzer_explicit_seg(
        ages, 65.0, None, "GreaterThanEqualTo", truth, None, "yes", None, score, 0.5, None, "GreaterThan"
    )
    assert got == want
    inverted = mv.py_model_bias_analyzer_explicit_seg(
        -ages, -65.0, None, "LessThanEqualTo", truth, None, "yes", None, score, 0.5, None, "GreaterThan"
    )
    assert inverted == want
    assert mv.py_model_bias_analyzer_explicit_seg.__text_signature__ == EXPLICIT_PARAMS


@pytest.mark.parametrize(
    "position, triple",
    [
        (0, (0.5, "yes", "GreaterThan")),  # threshold and label
        (0, (None, None, None)),  # neither
        (1, (0.5, None, None)),  # threshold without a kind
        (2, (None, "yes", "GreaterThan")),  # label with a kind
        (2, (0.5, None, "greaterthan")),  # kind in the wrong case
        (1, (None, "yes", None)),  # label rule on a float column
    ],
)
def test_explicit_segmentation_refusals(position, triple):
    ages = np.array([70.0 if v else 20.0 for v in RICH_F])
    score = np.array([0.9 if v else 0.5 for v in RICH_P])
    truth = np.array(RICH_G, dtype=np.float64)
    args = [ages, 65.0, None, "GreaterThan", truth, 0.5, None, "GreaterThan", score, 0.5, None, "GreaterThan"]
    args[position * 4 + 1 : position * 4 + 4] = triple
    with raises_with(ValueError, "Invalid bias configuration"):
        mv.py_model_bias_analyzer_explicit_seg(*args)


def test_explicit_segmentation_argument_types():
    a = np.array(RICH_F, dtype=float)
    with pytest.raises(TypeError, match="^argument 'gt_segmentation_threshold': "):
        mv.py_model_bias_analyzer_explicit_seg(a, 0.5, None, "GreaterThan", a, "0.5", None, "GreaterThan", a, 0.5, None, "GreaterThan")
    with pytest.raises(TypeError, match="^argument 'pred_threshold_type': "):
        mv.py_model_bias_analyzer_explicit_seg(a, 0.5, None, "GreaterThan", a, 0.5, None, "GreaterThan", a, 0.5, None, 3)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'pred_threshold_type'"):
        mv.py_model_bias_analyzer_explicit_seg(a, 0.5, None, "GreaterThan", a, 0.5, None, "GreaterThan", a, 0.5, None)
    with raises_with(ValueError, LENGTH):
        mv.py_model_bias_analyzer_explicit_seg(
            a, 0.5, None, "GreaterThan", a[:-1], 0.5, None, "GreaterThan", a, 0.5, None, "GreaterThan"
        )
