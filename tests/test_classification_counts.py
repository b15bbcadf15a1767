"""Classification counts read in place (the interval of doubles that narrow to the label)
against the block reading (each value through a double to a 32-bit float, then
compared): the same metrics for values at and beside the interval's ends, specials, every
element type, and lengths across the vectorised blocks."""

import math

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st

import _morvane as mv

LO, HI = 1 - 2.0**-25, 1 + 2.0**-24  # the doubles that narrow to 1.0f, ends included (ties to even)
EDGES = [LO, HI, math.nextafter(LO, 0), math.nextafter(LO, 2), math.nextafter(HI, 0), math.nextafter(HI, 2), 1.0,
         1 - 2.0**-24, 1 + 2.0**-23, 0.0, -0.0, -1.0, 2.0, math.nan, math.inf, -math.inf, 5e-324, 2.0**53 + 1]


def outcome(fn):
    try:
        return ("ok", repr(fn()))
    except (TypeError, ValueError, OverflowError) as e:
        return (type(e).__name__, str(e))


@settings(max_examples=80, deadline=None)
@given(st.integers(0, 2**32 - 1), st.integers(1, 70), st.sampled_from([np.float64, np.float32, np.int64, np.uint8,
                                                                        np.int32, np.uint64]))
def test_in_place_counts_equal_element_wise(seed, n, dtype):
    rng = np.random.default_rng(seed)
    pool = np.array(EDGES + [0.0, 1.0] * 4)
    t, p = rng.choice(pool, n), rng.choice(pool, n)
    if np.issubdtype(dtype, np.integer):
        t, p = np.nan_to_num(t, nan=3.0, posinf=7.0, neginf=0.0), np.nan_to_num(p, nan=3.0, posinf=7.0, neginf=0.0)
        t, p = np.abs(np.round(t)) % 4, np.abs(np.round(p)) % 4
    with np.errstate(over="ignore", invalid="ignore"):
        a, b = t.astype(dtype), p.astype(dtype)
    got = outcome(lambda: mv.py_model_perf_classification(a, b))
    # Strided and reversed arrays are read as before: converted to 32-bit floats in blocks.
    assert got == outcome(lambda: mv.py_model_perf_classification(np.repeat(a, 2)[::2], np.repeat(b, 2)[::2]))
    assert got == outcome(lambda: mv.py_model_perf_classification(a[::-1].copy()[::-1], b[::-1].copy()[::-1]))
    if got[0] == "ok":
        truth, pred = a.astype(np.float64).astype(np.float32) == 1, b.astype(np.float64).astype(np.float32) == 1
        tp = int(np.count_nonzero(truth & pred))
        assert mv.py_model_perf_classification(a, b)["Accuracy"] == np.float32(tp + np.count_nonzero(~truth & ~pred)) / np.float32(n)


def test_long_arrays_past_the_partial_counts():
    """Lengths around the vector width and a long run, where 32-bit partial counts are added up."""
    rng = np.random.default_rng(5)
    for n in list(range(1, 20)) + [100_003]:
        t = rng.choice(np.array(EDGES), n)
        p = rng.choice(np.array(EDGES), n)
        assert repr(mv.py_model_perf_classification(t, p)) == repr(
            mv.py_model_perf_classification(np.repeat(t, 2)[::2], np.repeat(p, 2)[::2]))
