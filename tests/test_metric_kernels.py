"""The regression and logistic metrics, whose per-pair terms and logarithms are evaluated
in vector blocks, bit for bit against the reference formulas taken pair by pair in input
order (perf_reference: math.log and the C library's logf): random and adversarial values
in every vector lane, every tail length of a block, strided, misaligned and float32 arrays."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import _morvane
from perf_reference import logistic, one_shot_regression, same

F32 = np.finfo(np.float32)
# Values around the logarithms' edges: log(x + 1) at and below x = -1, zeros of both
# signs, subnormals, the largest floats, 1 (log 0), and the clamp's bounds.
SPECIAL = [math.nan, math.inf, -math.inf, -1.0, -1.5, -float(F32.max), 0.0, -0.0, 1e-45, -1e-45, 1e-40,
           float(F32.max), float(np.nextafter(F32.dtype.type(-1), F32.dtype.type(0))), 1.0, 2.0, 0.5, 1e-12,
           float(np.nextafter(F32.dtype.type(1), F32.dtype.type(0))), 1e-30, 1e30]
LENGTHS = list(range(1, 18)) + [511, 512, 513, 1023, 1024, 1025, 2047, 2048, 2049, 4103]


def regression_matches(t, p, want=None):
    got = _morvane.py_model_perf_linear_regression(t, p)
    want = want or one_shot_regression(np.asarray(t, dtype=np.float64), np.asarray(p, dtype=np.float64))
    assert same(got, want), {k: (got[k], want[k]) for k in got if not same({k: got[k]}, {k: want[k]})}


def logistic_matches(t, p, threshold=0.5, want=None):
    want = want or logistic(np.asarray(t, dtype=np.float64), np.asarray(p, dtype=np.float64), threshold)
    if math.isnan(want["LogLoss"]):
        with pytest.raises(TypeError):
            _morvane.py_model_perf_logistic_regression(t, p, threshold)
        return
    got = _morvane.py_model_perf_logistic_regression(t, p, threshold)
    assert same(got, want), {k: (got[k], want[k]) for k in got if not same({k: got[k]}, {k: want[k]})}


def with_specials(rng, x, values, share=0.2):
    """x with a share of its elements replaced by the given values at random places."""
    x = x.copy()
    at = rng.random(x.size) < share
    x[at] = rng.choice(values, at.sum())
    return x


@pytest.mark.parametrize("n", LENGTHS)
def test_regression_every_length(n):
    rng = np.random.default_rng(n)
    t = rng.uniform(-0.5, 50.0, n)
    p = t + rng.normal(scale=2.0, size=n)
    regression_matches(t, p)
    regression_matches(with_specials(rng, t, SPECIAL), with_specials(rng, p, SPECIAL))


@pytest.mark.parametrize("n", LENGTHS)
def test_logistic_every_length(n):
    rng = np.random.default_rng(n)
    t = (rng.random(n) < 0.4).astype(np.float64)
    p = np.clip(t * 0.35 + rng.random(n) * 0.65, 0.0, 1.0)
    logistic_matches(t, p)
    # Specials in the predictions (NaN fails the whole call, so only in some cases), and
    # truths that are not labels next to labels in the same vector group.
    probs = [0.0, 1.0, 1e-12, 1e-13, 1e-45, float(np.nextafter(np.float32(1), np.float32(0))), -1.0, 2.0, math.inf, -math.inf]
    logistic_matches(t, with_specials(rng, p, probs))
    logistic_matches(with_specials(rng, t, [0.5, -0.0, 2.0, 0.25, 1.0]), p)


def test_layouts_and_dtypes():
    rng = np.random.default_rng(3)
    n = 3001
    t = rng.uniform(0.0, 10.0, 3 * n)
    p = rng.uniform(0.0, 1.0, 2 * n)
    regression_matches(t[::3], p[1::2])
    logistic_matches(np.round(t[::3] / 10), p[1::2])
    # Unaligned float64 memory, float32 and integer arrays.
    raw = np.frombuffer(bytearray(8 * n + 3), dtype=np.float64, offset=3, count=n)
    raw[:] = t[:n]
    regression_matches(raw, p[:n])
    logistic_matches((raw > 5).astype(np.float32), p[:n].astype(np.float32), 0.25)
    regression_matches(rng.integers(-3, 100, n), rng.integers(-3, 100, n).astype(np.int16))


@pytest.mark.parametrize("threshold", [0.5, 0.0, 1.0, 0.1, 1e-40])
def test_logistic_thresholds(threshold):
    rng = np.random.default_rng(5)
    t = (rng.random(2000) < 0.5).astype(np.float64)
    p = rng.random(2000)
    p[::11] = threshold  # on the threshold itself
    logistic_matches(t, p, threshold)


def float32s():
    return st.one_of(st.sampled_from(SPECIAL), st.floats(width=32), st.floats(-1.0, 100.0, width=32))


@given(st.integers(1, 70).flatmap(lambda n: st.tuples(st.lists(float32s(), min_size=n, max_size=n),
                                                       st.lists(float32s(), min_size=n, max_size=n))))
def test_regression_random(pair):
    t, p = (np.array(v, dtype=np.float64) for v in pair)
    regression_matches(t, p)


@given(st.integers(1, 70).flatmap(lambda n: st.tuples(
    st.lists(st.one_of(st.sampled_from([0.0, 1.0]), float32s()), min_size=n, max_size=n),
    st.lists(st.one_of(st.floats(0.0, 1.0, width=32), float32s()), min_size=n, max_size=n))))
def test_logistic_random(pair):
    t, p = (np.array(v, dtype=np.float64) for v in pair)
    logistic_matches(t, p)


# 64-bit values whose narrowing to 32 bits matters: overflow to ±inf, underflow to zero
# and to subnormals, ties between two floats (to even), the nearest float below and above
# the threshold 0.5, and a NaN with a payload.
NARROWING = [1e300, -1e300, 3.5e38, -3.5e38, 1e-320, -1e-320, 1e-40, 1.0 + 2.0**-24, 1.0 + 3 * 2.0**-24,
             0.5 + 1e-12, 0.5 - 1e-12, 0.5 - 2.0**-26, -1.0 - 2.0**-25,
             float(np.frombuffer(np.uint64(0x7FF0000000000123).tobytes(), np.float64)[0])]


def layouts(x):
    """The same values as contiguous float64 and float32 arrays (read in place), and as
    strided and misaligned float64 arrays (read through a buffer)."""
    raw = np.frombuffer(bytearray(8 * x.size + 5), dtype=np.float64, offset=5, count=x.size)
    raw[:] = x
    with np.errstate(over="ignore", invalid="ignore"):
        f32 = x.astype(np.float32)
    return {"f64": x, "f32": f32, "strided": np.repeat(x, 2)[::2], "misaligned": raw}


@pytest.mark.parametrize("n", LENGTHS)
def test_layouts_every_length(n):
    rng = np.random.default_rng(1000 + n)
    t = with_specials(rng, rng.uniform(-0.5, 50.0, n), SPECIAL + NARROWING, 0.1)
    with np.errstate(invalid="ignore"):  # inf + -inf among the specials
        p = with_specials(rng, t + rng.normal(scale=2.0, size=n), SPECIAL + NARROWING, 0.1)
    truth = with_specials(rng, (rng.random(n) < 0.4).astype(np.float64), [0.5, 1.0 + 2.0**-30, -1e-300], 0.05)
    prob = with_specials(rng, rng.random(n), [0.0, 1.0, 1e-13, 1e-300] + NARROWING[7:-1], 0.1)
    lt, lp, ltruth, lprob = layouts(t), layouts(p), layouts(truth), layouts(prob)
    want_r, want_l = one_shot_regression(t, p), logistic(truth, prob, 0.5)
    # Every layout of each side with the float64 and float32 ones of the other.
    for a, b in dict.fromkeys([(x, y) for x in lt for y in ("f64", "f32")] + [(x, y) for x in ("f64", "f32") for y in lp]):
        regression_matches(lt[a], lp[b], want_r)
        logistic_matches(ltruth[a], lprob[b], want=want_l)


@pytest.mark.skipif("MORVANE_NO_AVX512" in os.environ, reason="already the AVX2 build")
def test_avx2_build_of_the_kernels():
    """Processors with AVX-512 run a build of the regression kernel with 32 registers; the
    AVX2 build of the same code is checked in a process that turns AVX-512 off."""
    env = dict(os.environ, MORVANE_NO_AVX512="1")
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", __file__, "-k", "regression or layouts"],
                         env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stdout[-3000:]
