"""Exact merges: any split of a table, merged in any order, equals the profile of the whole table,
`==` and bytes alike."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvane as mv


@pytest.fixture
def rng():
    return np.random.default_rng(20261207)

finite = st.floats(allow_nan=False, allow_infinity=False, width=64)
values = st.one_of(finite, st.just(float("nan")), st.just(float("inf")), st.floats(min_value=-1e300, max_value=1e300))


def table_of(ys, ps, cats):
    return {"x": np.array(ys), "c": list(cats), "y": np.array(ys), "p": np.array(ps)}


@st.composite
def tables_and_splits(draw):
    n = draw(st.integers(1, 60))
    ys = draw(st.lists(values, min_size=n, max_size=n))
    ps = draw(st.lists(values, min_size=n, max_size=n))
    cats = draw(st.lists(st.sampled_from(["a", "b", "é", None]), min_size=n, max_size=n))
    cuts = sorted(draw(st.lists(st.integers(0, n), max_size=4)))
    order = draw(st.permutations(range(len(cuts) + 1)))
    return table_of(ys, ps, cats), cuts, order


@settings(max_examples=150, deadline=None)
@given(tables_and_splits(), st.sampled_from(["regression", None]))
def test_any_split_any_order_gives_identical_profile_and_bytes(case, task):
    table, cuts, order = case
    opts = dict(target="y", prediction="p", task=task) if task else {}
    whole = mv.profile(table, **opts)
    bounds = [0, *cuts, len(table["y"])]
    shards = [mv.profile({k: v[a:b] for k, v in table.items()}, like=whole) for a, b in zip(bounds, bounds[1:])]
    merged = mv.merge([shards[i] for i in order])
    assert merged == whole and merged.to_bytes() == whole.to_bytes()
    assert merged.n_rows == whole.n_rows


@settings(max_examples=100, deadline=None)
@given(st.lists(values, min_size=1, max_size=200), st.randoms())
def test_exact_sums_do_not_depend_on_order(xs, random):
    shuffled = list(xs)
    random.shuffle(shuffled)
    opts = dict(target="y", prediction="p", task="regression")
    a = mv.profile({"y": np.array(xs), "p": np.zeros(len(xs))}, **opts)
    b = mv.profile({"y": np.array(shuffled), "p": np.zeros(len(xs))}, **opts)
    assert a.to_bytes() == b.to_bytes()
    from fractions import Fraction

    exact = sum((Fraction(x) for x in xs if np.isfinite(x)), Fraction(0))
    try:
        expected = float(exact)
    except OverflowError:
        expected = float("inf") if exact > 0 else float("-inf")
    assert a.task_stats.total("y") == expected


def test_binary_multiclass_and_facets_merge(rng):
    n = 500
    t = {"y": rng.integers(0, 3, n), "p": rng.integers(0, 3, n), "g": rng.choice(["u", "v", "w"], n),
         "q": rng.random(n)}
    for opts in (dict(task="multiclass", target="y", prediction="p"),
                 dict(task="binary", target="y", prediction="q", positive=2, facets={"g": None, "p": mv.at_least(1)})):
        whole = mv.profile(t, **opts)
        parts = [mv.profile({k: v[i::3] for k, v in t.items()}, like=whole) for i in range(3)]
        assert mv.merge(parts[::-1]) == whole


MISMATCHES = [
    dict(bins=[0.0, 1.0]),
    dict(n_bins=2),
    dict(features=["x"]),
    dict(task="binary", target="y", prediction="p"),
    dict(task="binary", target="y", prediction="p", positive=0),
    dict(task="binary", target="y", prediction="p", threshold=0.3),
    dict(task="binary", target="y", prediction="p", facets={"c": "a"}),
]


@pytest.mark.parametrize("options", MISMATCHES)
def test_merging_different_layouts_raises_mismatch(options):
    t = {"x": np.array([0.1, 0.5, 0.9]), "c": ["a", "b", "a"], "y": np.array([0, 1, 1]), "p": np.array([0.2, 0.7, 0.4])}
    base = mv.profile(t)
    other = mv.profile(t, **options)
    with pytest.raises(mv.MismatchError):
        base.merge(other)
    with pytest.raises(mv.MismatchError):
        mv.merge([other, base])
    assert issubclass(mv.MismatchError, ValueError)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.floats(allow_nan=True, allow_infinity=True), max_size=80), st.randoms())
def test_exact_accumulator_against_fractions(xs, random):
    """Every double, subnormals and extremes included: the sum is exact, rounded once, and the same
    for any order of the terms; infinities and NaN are counted apart."""
    from fractions import Fraction

    from morvane import _native
    from morvane.state.exact_sum import ExactSum

    shuffled = list(xs)
    random.shuffle(shuffled)
    a, b = ExactSum.from_native(_native.exact_sum(xs)), ExactSum.from_native(_native.exact_sum(shuffled))
    assert a == b
    half = len(xs) // 2
    assert ExactSum.from_native(_native.exact_sum(xs[:half])) + ExactSum.from_native(_native.exact_sum(xs[half:])) == a
    finite = [x for x in xs if np.isfinite(x)]
    assert Fraction(a.value, 1 << 1074) == sum(map(Fraction, finite), Fraction(0))
    assert (a.pos_inf, a.neg_inf, a.nan) == (xs.count(float("inf")), xs.count(float("-inf")), sum(x != x for x in xs))


def test_layout_rebuilt_from_shard_summaries_gives_the_same_profile(rng):
    """What the engines do: build the layout from summaries no single shard holds, then count
    shards with it and merge; the result equals the one-machine profile byte for byte."""
    from morvane.state.layout import (FeatureLayout, Layout, edges_from_order_statistics, quantile_ranks,
                                 sorted_categories)

    n = 1000
    x = rng.normal(size=n)
    x[::13] = np.nan
    c = rng.choice(["b", "a", "ü", "c"], n)
    shards = [slice(0, 300), slice(300, 720), slice(720, n)]
    present = np.concatenate([x[s][~np.isnan(x[s])] for s in shards])  # an engine would sort distributedly
    ranks = quantile_ranks(len(present), 10)
    edges = edges_from_order_statistics(np.sort(present)[ranks], len(present), 10)
    cats = sorted_categories(set().union(*(set(c[s]) for s in shards)))
    layout = Layout((FeatureLayout("x", "continuous", edges=edges), FeatureLayout("c", "categorical", categories=cats)),
                    types=(("x", "float"), ("c", "text")))
    whole = mv.profile({"x": x, "c": c})
    assert layout == whole.layout
    merged = mv.merge([mv.profile({"x": x[s], "c": c[s]}, like=layout) for s in shards])
    assert merged.to_bytes() == whole.to_bytes()
