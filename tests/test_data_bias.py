"""Segmentation of raw columns and the one-shot pre-training bias analyzers."""

import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _morvane as mv
from conftest import raises_with
from data_bias_reference import assert_metrics, expected_flags, reference_metrics, reference_with_scale

HETERO = "Data passed in is of hetergeneous types"
NO_DEVIATION = "No deviation in behavior between facets"
LENGTH = "All data arrays must have equal length and be at least lenght 1"
CONFIG = "Invalid bias configuration"
SETTINGS = settings(max_examples=60, deadline=None, derandomize=True, database=None)


def analyze(feature, gt, fv, gv):
    return mv.py_data_bias_analyzer(feature, gt, fv, gv)


def flags_of(column, value):
    """The facet flags the analyzer gives a column, read back one element at a time:
    with a ground truth positive only at j, the proportion difference is positive
    exactly when element j is in facet a."""
    flags = []
    for j in range(len(column)):
        gt = np.zeros(len(column), dtype=np.int64)
        gt[j] = 1
        flags.append(int(analyze(column, gt, value, 1)["DifferenceInProportionOfLabels"] > 0))
    return flags


# ---- implicit labelling --------------------------------------------------------

@pytest.mark.parametrize(
    "column, value, flags",
    [
        # four distinct values, share 1.0: continuous
        (np.array([1.0, 2.0, 3.0, 4.0]), 2.5, [0, 0, 1, 1]),
        (np.array([1.0, 2.0, 3.0, 4.0]), 2, [0, 1, 1, 1]),
        # three distinct values: categorical
        (np.array([1.0, 2.0, 3.0]), 2.0, [0, 1, 0]),
        # every NaN is a new value: five distinct, continuous
        (np.array([np.nan, np.nan, np.nan, 1.0, 2.0]), 1.0, [0, 0, 0, 1, 1]),
        # -0.0 equals 0.0: three distinct, categorical
        (np.array([-0.0, 0.0, 1.0, 2.0]), 1.0, [0, 0, 1, 0]),
        # integers that round to the same double count once: categorical
        (np.array([2**53, 2**53 + 1, 1, 2], dtype=np.int64), 1, [0, 0, 1, 0]),
        # float32 elements widen exactly; the comparison is signed for integers
        (np.array([-3, -1, 1, 3], dtype=np.int8), -1, [0, 1, 1, 1]),
        (np.array([0.5, 1.5, 2.5, 3.5], dtype=np.float32), 1.5, [0, 1, 1, 1]),
        (np.array([True, False, True]), True, [1, 0, 1]),
        (np.array([True, False, True]), 1, [1, 0, 1]),
        (np.array([True, False, True]), 0, [0, 1, 0]),
        (np.array([True, False, True]), 2, [0, 1, 0]),
        (np.array(["a", "bb", "a", "é"]), "é", [0, 0, 0, 1]),
        (np.array(["a", "bb", "a"], dtype=object), "a", [1, 0, 1]),
    ],
)
def test_implicit_labelling(column, value, flags):
    assert flags_of(column, value) == flags


def test_integer_column_categorical_at_the_heuristic_boundary():
    # 100 elements of five values: share 0.05 is not above 0.05, so categorical
    column = np.arange(100) % 5
    assert flags_of(column, 3) == [int(v == 3) for v in column]
    # 99 elements: 5/99 is above 0.05, so continuous
    column = np.arange(99) % 5
    assert flags_of(column, 3) == [int(v >= 3) for v in column]


@pytest.mark.parametrize(
    "column, value, flags",
    [
        # a float value on an integer column is truncated toward zero: 2.9 labels as 2
        (np.array([1, 2, 3, 4]), 2.9, [0, 1, 1, 1]),
        (np.array([-3, -2, 3, 4]), -2.5, [0, 1, 1, 1]),
        (np.array([1, 2, 3, 2]), 2.0, [0, 1, 0, 1]),
        (np.array([1, 2, 3, 2]), 2.9, [0, 1, 0, 1]),
        # NaN becomes 0; huge values saturate at the 64-bit limits
        (np.array([-2, -1, 1, 2], dtype=np.int16), float("nan"), [0, 0, 1, 1]),
        (np.array([-1, 0, 1, 0]), float("nan"), [0, 1, 0, 1]),
        (np.array([2**62, 2**63 - 1, 1, 2], dtype=np.uint64), 1e300, [0, 1, 0, 0]),
        (np.array([-2, -1, 1, 2]), -1.5, [0, 1, 1, 1]),
    ],
)
def test_float_value_on_integer_column(column, value, flags):
    assert flags_of(column, value) == flags


@pytest.mark.parametrize(
    "column, value",
    [
        # the fourth distinct value only in a late block: every flag is "at least"
        (np.array([0, 1, 2] * 1500 + list(range(3, 503))), 1),
        (np.array([0.5, 1.5, 2.5] * 1500 + [float(v) for v in range(3, 503)]), 1.5),
        # new values arrive only after a long run of old ones: counted exactly
        (np.array([0, 1, 2, 3] * 50 + list(range(4, 60)), dtype=np.int32), 2),
        (np.array([0, 1, 2, 3] * 50 + list(range(4, 10)), dtype=np.int32), 2),
        # a third value late: still categorical
        (np.array([0, 1] * 3000 + [2] * 10, dtype=np.uint8), 1),
        (np.array([np.nan] * 3 + [1.0] * 5000 + [2.0]), 1.0),
    ],
)
def test_long_columns_match_the_distinct_count(column, value):
    gt = np.random.default_rng(len(column)).integers(0, 2, len(column))
    facet = expected_flags(column, value)
    assert_metrics(analyze(column, gt, value, 1), *reference_with_scale(facet, gt))
    # and the same column as ground truth
    feature = np.random.default_rng(1).integers(0, 2, len(column))
    assert_metrics(analyze(feature, column, 1, value), *reference_with_scale(feature, facet))


def test_heuristic_from_environment():
    # 100 elements of five values: continuous once the share only needs to pass 0.01
    code = (
        "import numpy as np, _morvane as mv\n"
        "c = np.arange(100) % 5\n"
        "gt = (c == 4).astype(np.int64)\n"
        "r = mv.py_data_bias_analyzer(c, gt, 3, 1)\n"
        "print(repr(r['DifferenceInProportionOfLabels']))\n"
    )
    out = {}
    for setting in ("0.01", None, "not a number"):
        env = dict(os.environ)
        env.pop("MORVANE_DISTRIBUTION_HEURISTIC", None)
        if setting is not None:
            env["MORVANE_DISTRIBUTION_HEURISTIC"] = setting
        run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
        out[setting] = float(run.stdout)
    # facet a = {3, 4} (40 elements, 20 positive) against {3} (20, none positive)
    assert out["0.01"] == 0.5
    assert out[None] == out["not a number"] == 0.0 - 20 / 80


@pytest.mark.parametrize(
    "column, value, exc, message",
    [
        (np.array([1.0, 2.0]), "1", TypeError, HETERO),
        (np.array([1.0, 2.0]), None, TypeError, HETERO),
        (np.array([1.0, 2.0]), np.int64(1), TypeError, HETERO),
        (np.array([1, 2]), "1", TypeError, HETERO),
        (np.array(["a", "b"]), 1, TypeError, HETERO),
        (np.array([True, False]), np.True_, TypeError, HETERO),
        (np.array([True, False]), 1.0, TypeError, HETERO),
        (np.array([1.0, 2.0]), 2**64, OverflowError, "out of range integral type conversion attempted"),
        # element conversion comes before the value check
        (np.array([1, 2**64 - 1], dtype=np.uint64), "x", OverflowError, "out of range integral type conversion attempted"),
        (np.array(["a", 1], dtype=object), 1, TypeError, "'int' object cannot be converted to 'PyString'"),
        (np.array([1.0, 2.0], dtype=">f8"), 1.0, TypeError, "'float64' object cannot be converted to 'PyString'"),
    ],
)
def test_labelling_refusals(column, value, exc, message):
    other = np.array([1, 0] * (len(column) // 2) + [1] * (len(column) % 2))
    with raises_with(exc, message):
        analyze(column, other, value, 1)


def test_ground_truth_is_labelled_before_features():
    with raises_with(TypeError, "'int' object cannot be converted to 'PyString'"):
        analyze(np.array([1.0, 2.0]), np.array(["a", 1], dtype=object), "bad", "a")


def test_unicode_column_reads_like_its_str_elements():
    # NumPy drops trailing NULs when it hands out an element; a lone surrogate cannot
    # be encoded, and the fast reading reports it exactly as element-wise reading does
    column = np.array(["a", "a\0b", "b", "a"], dtype="U3")
    assert flags_of(column, "a") == [1, 0, 0, 1]
    assert flags_of(column, "a\0b") == [0, 1, 0, 0]
    bad = np.array(["ok", "x\ud800"])
    for c in (bad, bad.astype(object)):
        with pytest.raises(UnicodeEncodeError):
            analyze(np.array([1, 0]), c, 1, "ok")
        with raises_with(ValueError, CONFIG):
            mv.py_data_bias_analyzer_explicit_seg(np.array([1.0, 0.0]), 0.5, None, "GreaterThan", c, None, "ok", None)


# ---- explicit segmentation -----------------------------------------------------

@pytest.mark.parametrize(
    "kind, flags",
    [("GreaterThanEqualTo", [0, 1, 1]), ("GreaterThan", [0, 0, 1]), ("LessThanEqualTo", [1, 1, 0]), ("LessThan", [1, 0, 0])],
)
def test_explicit_threshold_kinds(kind, flags):
    column = np.array([0.2, 0.5, 0.9])
    gt = np.array(["y", "n", "y"])
    got = mv.py_data_bias_analyzer_explicit_seg(column, 0.5, None, kind, gt, None, "y", None)
    assert_metrics(got, reference_metrics(flags, [1, 0, 1]))


@pytest.mark.parametrize(
    "threshold, label, kind",
    [(0.5, "a", "GreaterThan"), (0.5, "a", None), (None, None, None), (0.5, None, None), (None, "a", "LessThan"),
     (0.5, None, "greaterthan"), (None, None, "GreaterThan")],
)
def test_explicit_bad_combinations(threshold, label, kind):
    with raises_with(ValueError, CONFIG):
        mv.py_data_bias_analyzer_explicit_seg(np.array([1.0, 0.0]), threshold, label, kind, np.array(["a", "b"]), None, "a", None)


def test_explicit_label_on_numbers_and_feature_first():
    with raises_with(ValueError, CONFIG):
        mv.py_data_bias_analyzer_explicit_seg(np.array([1.0, 0.0]), None, "1.0", None, np.array(["a", "b"]), None, "a", None)
    # the features are segmented first: a bad feature wins over a bad ground truth
    with raises_with(TypeError, "argument 'gt_segmentation_label': 'int' object cannot be converted to 'PyString'"):
        mv.py_data_bias_analyzer_explicit_seg(np.array([1.0]), None, None, None, np.array([1.0]), None, 3, None)
    with raises_with(ValueError, CONFIG):
        mv.py_data_bias_analyzer_explicit_seg(np.array([1.0]), None, None, None, np.array(["a"]), 1.0, "a", None)


@SETTINGS
@given(
    st.lists(st.floats(allow_nan=True, allow_infinity=True, width=32), min_size=2, max_size=40),
    st.floats(allow_nan=True, width=32),
    st.sampled_from(["GreaterThan", "GreaterThanEqualTo", "LessThan", "LessThanEqualTo"]),
)
def test_explicit_threshold_same_on_every_reading(values, threshold, kind):
    # typed memory (contiguous, strided, float32), and element-wise (big-endian, object)
    base = np.array(values, dtype=np.float64)
    strided = np.repeat(base, 2)[::2]
    readings = [base, strided, base.astype(np.float32), base.astype(">f8"), base.astype(object)]
    gt = np.array(["p", "n"] * (len(values) // 2) + ["p"] * (len(values) % 2))
    results = []
    for column in readings:
        try:
            results.append(mv.py_data_bias_analyzer_explicit_seg(column, threshold, None, kind, gt, None, "p", None))
        except ValueError as e:
            results.append(str(e))
    first = results[0]
    for r in results[1:]:
        if isinstance(first, str):
            assert r == first
        else:
            assert_metrics(r, first)


# ---- analyzers -------------------------------------------------------------------

@pytest.mark.parametrize(
    "facet, label",
    [([1, 1, 0, 0], [1, 0, 1, 1]), ([1, 0], [1, 0]), ([1, 1, 1, 0], [1, 0, 1, 0]), ([0, 1, 0, 1, 1], [1, 1, 0, 0, 1])],
)
def test_analyzer_metrics(facet, label):
    got = analyze(np.array(facet), np.array(label), 1, 1)
    assert_metrics(got, *reference_with_scale(facet, label))


def test_analyzer_worked_example():
    got = analyze(np.array([1, 1, 0, 0]), np.array([1, 0, 1, 1]), 1, 1)
    assert got["ClassImbalance"] == 0.0
    assert got["DifferenceInProportionOfLabels"] == -0.5
    assert got["LpNorm"] == float(np.sqrt(np.float32(0.5)))
    assert got["TotalVariationDistance"] == got["KolmogorovSmirnov"] == 0.5
    assert got["KlDivergence"] == float("inf")
    assert np.isnan(got["JsDivergence"])


@pytest.mark.parametrize(
    "feature, gt, message",
    [
        ([1, 1, 1], [1, 0, 1], NO_DEVIATION),
        ([], [], NO_DEVIATION),
        # columns of different lengths are refused rather than cut to the shorter
        ([1, 0, 1, 0, 1], [1, 0, 1], LENGTH),
        ([1, 0], [], LENGTH),
    ],
)
def test_analyzer_refusals(feature, gt, message):
    with raises_with(ValueError, message):
        analyze(np.array(feature, dtype=np.int64), np.array(gt, dtype=np.int64), 1, 1)
    with raises_with(ValueError, message):
        mv.py_data_bias_analyzer_explicit_seg(
            np.array(feature, dtype=np.float64), 0.5, None, "GreaterThan", np.array(gt, dtype=np.float64), 0.5, None, "GreaterThan"
        )


@SETTINGS
@given(
    st.lists(st.tuples(st.floats(-1e6, 1e6, allow_nan=False, width=32) | st.just(float("nan")), st.integers(0, 1)), min_size=1, max_size=80),
    st.floats(-1e6, 1e6, width=32),
    st.integers(1, 7),
)
def test_analyzer_matches_reference(pairs, threshold, step):
    # a float feature against a threshold, strided or not, and an integer label
    feature = np.array([p[0] for p in pairs])
    label = np.array([p[1] for p in pairs], dtype=np.int64)
    facet = expected_flags(feature, threshold)
    wide = np.zeros(len(pairs) * step)
    wide[::step] = feature
    for column in (feature, wide[::step]):
        if 0 < sum(facet) < len(facet):
            assert_metrics(analyze(column, label, threshold, 1), *reference_with_scale(facet, label))
        else:
            with raises_with(ValueError, NO_DEVIATION):
                analyze(column, label, threshold, 1)


def test_analyzer_signature_and_keywords():
    assert mv.py_data_bias_analyzer.__doc__ == "Method to perform data bias analysis"
    assert mv.py_data_bias_analyzer.__text_signature__ == (
        "(feature_array, ground_truth_array, feature_label_or_threshold, ground_truth_label_or_threshold)"
    )
    got = mv.py_data_bias_analyzer(
        ground_truth_label_or_threshold=1, feature_label_or_threshold=1,
        ground_truth_array=np.array([1, 0]), feature_array=np.array([1, 0]),
    )
    assert got["TotalVariationDistance"] == 1.0
    with raises_with(TypeError, "argument 'feature_array': 'list' object cannot be converted to 'PyUntypedArray'"):
        mv.py_data_bias_analyzer([1, 0], np.array([1, 0]), 1, 1)
    with raises_with(TypeError, "argument 'feat_segmentation_threshold': must be real number, not str"):
        mv.py_data_bias_analyzer_explicit_seg(np.array([1.0]), "x", None, None, np.array([1.0]), None, None, None)
