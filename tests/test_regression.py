"""Regression metrics: eight figures from one pass of 64-bit sums, reported in 32 bits."""

import math

import numpy as np
import pytest

import _morvane
from conftest import f32, raises_with

reg = _morvane.py_model_perf_linear_regression
KEYS = {
    "RootMeanSquaredError", "MeanSquaredError", "MeanAbsoluteError", "RSquared", "MaxError",
    "MeanSquaredLogError", "RootMeanSquaredLogError", "MeanAbsolutePercentageError",
}


def reference(t, p):
    """The metrics from the formulas, in float64 over float32-rounded inputs, then rounded to float32."""
    t = np.asarray(t, dtype=np.float32).astype(np.float64)
    p = np.asarray(p, dtype=np.float32).astype(np.float64)
    n = float(len(t))
    d = t - p
    sse_expanded = (p * p).sum() + ((t * t).sum() - ((t * p).sum() + (t * p).sum()))
    sst = (t * t).sum() - t.sum() * t.sum() / n
    r2 = 1.0 - sse_expanded / sst if sst != 0 else (1.0 if sse_expanded == 0 else 0.0)
    with np.errstate(all="ignore"):
        msle = ((np.log(t + 1.0) - np.log(p + 1.0)) ** 2).sum() / n
        mape = np.abs(np.abs(d) / t).sum() / n
    mse = (d * d).sum() / n
    return {
        "RootMeanSquaredError": f32(math.sqrt(mse)),
        "MeanSquaredError": f32(mse),
        "MeanAbsoluteError": f32(np.abs(d).sum() / n),
        "RSquared": f32(r2),
        "MaxError": f32(np.nanmax(np.abs(d))) if not np.all(np.isnan(d)) else 0.0,
        "MeanSquaredLogError": f32(msle),
        "RootMeanSquaredLogError": f32(math.sqrt(msle)) if msle >= 0 else math.nan,
        "MeanAbsolutePercentageError": f32(mape),
    }


def same(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


@pytest.mark.parametrize("seed", range(5))
def test_matches_the_formulas(seed):
    rng = np.random.default_rng(seed)
    t = rng.uniform(0.5, 20, size=200)
    p = t + rng.normal(scale=2.0, size=200)
    got = reg(t, p)
    assert set(got) == KEYS
    want = reference(t, p)
    # Sums run in a different order than numpy's pairwise sums: allow the last float32 bit.
    for k in KEYS:
        assert got[k] == pytest.approx(want[k], rel=2e-7, abs=1e-12, nan_ok=True), k


def test_small_case_exactly():
    got = reg(np.array([2.0]), np.array([1.0]))
    assert got["MeanAbsolutePercentageError"] == 0.5  # a fraction, not a percentage
    assert got["RSquared"] == 0.0  # single pair, inexact: SST is exactly 0
    assert got["MaxError"] == 1.0
    assert got["MeanSquaredLogError"] == f32((math.log(3.0) - math.log(2.0)) ** 2)


@pytest.mark.parametrize(
    "t, p, expected",
    [
        ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], {"RSquared": 1.0, "MaxError": 0.0, "MeanSquaredError": 0.0, "MeanAbsolutePercentageError": 0.0}),
        ([0.0, 2.0], [0.0, 2.0], {"RSquared": 1.0, "MeanAbsolutePercentageError": math.nan}),
        ([0.0, 2.0], [1.0, 2.0], {"MeanAbsolutePercentageError": math.inf}),
        ([5.0], [5.0], {"RSquared": 1.0}),
        ([4.0, 4.0, 4.0], [3.0, 5.0, 4.5], {"RSquared": 0.0}),
        ([-2.0, 1.0], [1.0, 1.0], {"MeanSquaredLogError": math.nan, "RootMeanSquaredLogError": math.nan}),
        ([-1.0, 1.0], [1.0, 1.0], {"MeanSquaredLogError": math.inf, "RootMeanSquaredLogError": math.inf}),
        ([1.0, math.nan, 3.0], [1.5, 2.0, 5.0], {"MaxError": 2.0, "MeanSquaredError": math.nan, "RSquared": math.nan}),
    ],
)
def test_edge_values(t, p, expected):
    got = reg(np.array(t), np.array(p))
    for k, v in expected.items():
        assert same(got[k], v), (k, got[k], v)


@pytest.mark.parametrize("dtype", [np.int64, np.int32, np.uint8, np.float32, np.float64])
def test_numeric_dtypes_read_as_float32(dtype):
    t = np.array([1, 2, 3, 4], dtype=dtype)
    p = np.array([2, 2, 3, 5], dtype=dtype)
    assert reg(t, p) == reg(t.astype(np.float64), p.astype(np.float64))


def test_values_round_to_float32_before_the_sums():
    t = np.array([0.1, 16777217.0])
    got = reg(t, t.astype(np.float32).astype(np.float64))
    assert got["MaxError"] == 0.0


def test_strided_and_multidimensional_paths_agree():
    rng = np.random.default_rng(1)
    t, p = rng.uniform(1, 5, size=40), rng.uniform(1, 5, size=40)
    base = reg(t[::2].copy(), p[::2].copy())
    assert reg(t[::2], p[::2]) == base
    assert reg(np.ascontiguousarray(t[::2][::-1])[::-1], p[::2]) == base
    # Values already in float32 round to the same inputs.
    assert reg(t[::2].astype(np.float32), p[::2].astype(np.float32)) == base


@pytest.mark.parametrize(
    "t, p, exc, message",
    [
        (np.array([]), np.array([1.0]), ValueError, "Data vectors must be equal length"),
        (np.array([1.0, 2.0]), np.array([1.0]), ValueError, "Data vectors must be equal length"),
        (np.array([]), np.array([]), ValueError, "Empty data vectors"),
        (np.array([True]), np.array([1.0]), ValueError, "Invalid types passed"),
        (np.array([1.0]), np.array(["a"]), ValueError, "Invalid types passed"),
        (np.array([1.0], dtype=object), np.array([1.0]), ValueError, "Invalid types passed"),
        (np.array([1.0], dtype=np.float16), np.array([1.0]), ValueError, "Invalid types passed"),
        (np.array(1.0), np.array(1.0), ValueError, "Invalid types passed"),
        (np.ones((2, 3)), np.ones((2, 3)), ValueError, "Invalid types passed"),
        ([1.0], np.array([1.0]), TypeError, "argument 'y_true_src': 'list' object cannot be converted to 'PyUntypedArray'"),
        (np.array([1.0]), (1.0,), TypeError, "argument 'y_pred_src': 'tuple' object cannot be converted to 'PyUntypedArray'"),
    ],
)
def test_failures(t, p, exc, message):
    with raises_with(exc, message):
        reg(t, p)


def test_big_endian_array_is_not_numeric():
    with raises_with(ValueError, "Invalid types passed"):
        reg(np.array([1.0], dtype=">f8"), np.array([1.0]))
