"""The binning kernel of the drift detectors and the profile against the rule it implements,
a binary search over the edges: block slots, counts and one-value slots through the
self-test hook, with either caller's slots for NaN and values above the last edge; then
the batch drift detector's scores bit for bit over the same kind of values."""

import bisect
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _morvane as mv
from drift_reference import METRICS, drift, edges, histogram

selftest = pytest.importorskip("_morvane_selftest")

SPECIALS = [math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308,
            1.7976931348623157e308, -1.7976931348623157e308]


def reference(e, values, nan_slot, above_slot):
    return [nan_slot if math.isnan(v) else above_slot if v > e[-1] else bisect.bisect_right(e, v) for v in values]


@st.composite
def edge_sets(draw):
    """Equal-width edges by repeated addition (as the drift baseline makes them), uneven
    ones (as profile quantiles are), or a single edge."""
    kind = draw(st.sampled_from(["grid", "grid", "uneven", "close", "one"]))
    if kind == "one":
        return [draw(st.floats(-1e300, 1e300))]
    if kind == "uneven":
        edge = st.floats(-1e12, 1e12) | st.sampled_from([-math.inf, math.inf, 1e300, -1e300, 1e-300])
        return sorted(set(draw(st.lists(edge, min_size=2, max_size=40))))
    if kind == "close":  # distinct edges that narrow to one 32-bit float
        base = draw(st.floats(-1e6, 1e6))
        return sorted({base + k * abs(base or 1.0) * 2.0**-40 for k in draw(st.lists(st.integers(-8, 8), min_size=1))})
    start = draw(st.floats(-1e12, 1e12) | st.sampled_from([0.0, 1.7e9, -1e-300]))
    width = draw(st.floats(1e-6, 1e6) | st.sampled_from([5e-324, 1e-300, 0.1, 1.0, 1e-3 * abs(start) or 1.0]))
    count = draw(st.integers(2, 300) | st.sampled_from([5, 6, 17, 147, 4096]))
    e = [start]
    for _ in range(count - 1):
        e.append(e[-1] + width)
    return sorted(set(e))


@st.composite
def values_for(draw, e, max_size=300):
    """Values on, beside and between the edges, beyond them, and the special ones."""
    finite = [v for v in e if math.isfinite(v)] or [0.0]
    span = (finite[-1] - finite[0]) or 1.0
    lo, hi = max(finite[0] - span, -1e308), min(finite[-1] + span, 1e308)
    edge = st.sampled_from(e)
    one = st.one_of(
        edge,
        edge.map(lambda v: math.nextafter(v, math.inf)),
        edge.map(lambda v: math.nextafter(v, -math.inf)),
        st.floats(lo, hi),
        st.sampled_from(SPECIALS),
    )
    return draw(st.lists(one, max_size=max_size))


def check(e, values, nan_slot, above_slot):
    block, counts, one = selftest.edge_slots(e, values, nan_slot, above_slot)
    want = reference(e, values, nan_slot, above_slot)
    assert block == want
    assert one == want
    slots = max(len(e), nan_slot, above_slot) + 1
    assert counts == np.bincount(np.array(want, dtype=np.int64), minlength=slots).tolist()


@settings(max_examples=300, deadline=None)
@given(st.data())
def test_slots_follow_the_search_rule(data):
    """Both callers' rules: the drift detector's (NaN in 0, above in E + 1) and the
    profile's (NaN in a missing slot E + 1, above in the last bin E)."""
    e = data.draw(edge_sets())
    values = data.draw(values_for(e))
    check(e, values, 0, len(e) + 1)
    check(e, values, len(e) + 1, len(e))


@pytest.mark.parametrize("e", [[0.0, 1.0, 2.0, 3.0, 4.0, 5.0], [i * 0.1 for i in range(40)], [-3.0, -1.0, 0.0, 2.5, 7.0]])
def test_every_tail_length_and_the_tally_lanes(e):
    """Blocks of every length up to three vectors, and enough values for the
    interleaved tallies, all made of edge and near-edge values."""
    rng = np.random.default_rng(1)
    pool = np.array(e + [math.nextafter(v, math.inf) for v in e] + [math.nextafter(v, -math.inf) for v in e] + SPECIALS)
    for n in list(range(25)) + [1000, 4099]:
        values = rng.choice(pool, n).tolist() if n < 1000 else (rng.choice(pool, n // 2).tolist() +
                                                                 rng.uniform(e[0] - 1, e[-1] + 1, n - n // 2).tolist())
        check(e, values, 0, len(e) + 1)
        check(e, values, len(e) + 1, len(e))


@settings(max_examples=40, deadline=None)
@given(st.integers(0, 2**32 - 1), st.sampled_from(["FreedmanDiaconis", "Scott", "Sturges"]), st.integers(0, 2000))
def test_batch_drift_scores_bit_for_bit(seed, quantile, n):
    """The detector's four scores from the kernel's counts equal the formulas over the
    searched counts, for runtime values that sit on, beside and between the edges."""
    rng = np.random.default_rng(seed)
    baseline = np.concatenate([rng.normal(0.0, 1.0, 3000), rng.integers(-5, 5, 200).astype(float)])
    n_bins, e = edges(quantile, sorted(baseline))
    pool = np.array(e + [math.nextafter(v, math.inf) for v in e] + [math.nextafter(v, -math.inf) for v in e] + SPECIALS)
    runtime = np.concatenate([rng.normal(0.2, 1.3, 3 * n + 1), rng.choice(pool, n + 1)])
    rng.shuffle(runtime)
    b = [c / len(baseline) for c in histogram(e, n_bins, sorted(baseline))]
    r = histogram(e, n_bins, runtime.tolist())
    got = mv.PyContinuousDataDrift(baseline, quantile).compute_drift_mutliple_criteria(runtime, METRICS)
    assert got == [drift(b, r, sum(r), "cont", m) for m in METRICS]
