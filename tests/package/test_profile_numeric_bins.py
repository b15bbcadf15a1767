"""Counting numeric columns on given edges, through every reading of the values (float64,
float32, big-endian, strided, misaligned, integers, Arrow with nulls), against a sort-free
oracle: searchsorted with the right side rule, NaN and nulls missing."""

import math

import numpy as np
import pyarrow as pa
from hypothesis import given, settings
from hypothesis import strategies as st

import morvane as mv

SPECIALS = [math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, -5e-324]


def oracle(values, edges):
    v = np.asarray(values, dtype=np.float64)
    present = v[~np.isnan(v)]
    return np.bincount(np.searchsorted(edges, present, side="right"), minlength=len(edges) + 1).tolist(), int(
        np.isnan(v).sum())


@st.composite
def edges_and_values(draw):
    """Equal-width edges (the grid), a few uneven ones (compared one by one) or many
    uneven ones (searched), and values on, beside and between them."""
    kind = draw(st.sampled_from(["grid", "few", "many"]))
    if kind == "grid":
        start, width = draw(st.integers(-50, 50)), draw(st.sampled_from([0.25, 0.1, 3.0, 1e-3]))
        edges = [start + k * width for k in range(draw(st.integers(5, 200)))]
    else:
        size = (1, 16) if kind == "few" else (17, 60)
        edges = sorted(set(draw(st.lists(st.floats(-1e3, 1e3), min_size=size[0], max_size=size[1]))))
    edge = st.sampled_from(edges)
    one = st.one_of(edge, edge.map(lambda v: math.nextafter(v, math.inf)), edge.map(lambda v: math.nextafter(v, -math.inf)),
                    st.floats(edges[0] - 10, edges[-1] + 10), st.integers(-60, 60).map(float), st.sampled_from(SPECIALS))
    return edges, draw(st.lists(one, max_size=400))


def readings(x):
    """(name, column, values as the profile reads them) for one float64 array."""
    out = [("f8", x, x), ("f4", x.astype(np.float32), x.astype(np.float32).astype(np.float64)),
           (">f8", x.astype(">f8"), x), ("strided", np.repeat(x, 2)[::2], x)]
    raw = np.zeros(len(x) * 8 + 1, dtype=np.uint8)
    misaligned = raw[1:].view(np.float64)
    misaligned[:] = x
    out.append(("misaligned", misaligned, x))
    finite = np.where(np.isfinite(x), x, 0.0)
    ints = np.clip(np.round(finite), -1e6, 1e6).astype(np.int64)
    out += [("i8", ints, ints.astype(np.float64)), ("i4", ints.astype(np.int32), ints.astype(np.float64))]
    nulls = np.arange(len(x)) % 3 == 0
    arrow = pa.array(x, mask=nulls, from_pandas=False)
    out.append(("arrow nulls", arrow, np.where(nulls, np.nan, x)))
    return out


@settings(max_examples=60, deadline=None)
@given(edges_and_values())
def test_counts_on_given_edges_in_every_reading(case):
    edges, values = case
    x = np.array(values, dtype=np.float64)
    for name, column, seen in readings(x):
        got_edges, counts = mv.profile({"x": column}, bins=edges, threads=1).histogram("x")
        want, missing = oracle(seen, got_edges)
        p = mv.profile({"x": column}, bins=edges, threads=1)
        assert (counts.tolist(), p.missing("x")) == (want, missing), name
