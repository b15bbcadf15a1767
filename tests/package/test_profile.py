"""Profiles: layout rules, counts against a NumPy oracle, task and facet statistics, options."""

import math

import numpy as np
import pytest
from hypothesis import example, given, settings, strategies as st

import morvane as mv


@pytest.fixture
def rng():
    return np.random.default_rng(20261207)


def oracle_counts(values, edges):
    """Bin i holds e[i-1] <= v < e[i]: searchsorted(side="right")."""
    v = np.asarray(values, dtype=np.float64)
    v = v[~np.isnan(v)]
    return np.bincount(np.searchsorted(edges, v, side="right"), minlength=len(edges) + 1)


def quantile_layout_oracle(values, n_bins, fine=4):
    """The quantile layout rule by sorting: the range (min, the double after max), the quantiles
    v[k m // n_bins], and each value found at two of the fine ranks j m // (fine n_bins) (or m - 1)
    with the double after it."""
    v = np.sort(np.asarray(values, dtype=np.float64)) + 0.0
    m = len(v)
    if m == 0:
        return []
    ranks = sorted({j * m // (fine * n_bins) for j in range(fine * n_bins)} | {m - 1})
    at = [float(v[r]) for r in ranks]
    after = lambda x: [math.nextafter(x, math.inf)] if x < math.inf else []
    edges = {at[0], *after(at[-1])} | {float(v[k * m // n_bins]) for k in range(1, n_bins)}
    for a, b in zip(at, at[1:]):
        if a == b:
            edges |= {a, *after(a)}
    return sorted(edges)


@pytest.mark.parametrize("n_bins", [1, 2, 3, 10, 64])
@pytest.mark.parametrize("m", [0, 1, 5, 997])
def test_quantile_edges_are_exact_order_statistics(rng, n_bins, m):
    x = np.concatenate([rng.integers(-5, 5, m).astype(float), [np.nan] * 3])
    p = mv.profile({"x": x}, n_bins=n_bins)
    edges, counts = p.histogram("x")
    v = np.sort(x[~np.isnan(x)])
    assert edges.tolist() == quantile_layout_oracle(v, n_bins)
    if m:  # the first and last bins hold values beyond the reference's range: none of its own
        assert counts[0] == counts[-1] == 0
    assert counts.tolist() == oracle_counts(x, edges).tolist()
    assert p.missing("x") == 3 and p.n_rows == m + 3


@settings(max_examples=150, deadline=None)
@given(st.lists(st.floats(-1e6, 1e6), min_size=2, max_size=400), st.sampled_from(["FreedmanDiaconis", "Scott", "Sturges"]))
def test_rule_edges_are_the_fixed_module_edges_and_rebuild_from_a_summary(xs, rule):
    import _morvane
    from fractions import Fraction

    from morvane.state.layout import rule_edges_from_summary

    x = np.array(xs)
    edges, counts = mv.profile({"x": x}, bins=rule).histogram("x")
    detector = _morvane.PyStreamingContinuousDataDriftFlush(x, rule, None, None)
    detector.update_stream(0.0)
    # The same edges, a repeat (a width below the values' resolution) kept once.
    assert edges.tolist() == list(dict.fromkeys(detector.export_snapshot()["binEdges"]))
    assert counts.sum() == len(x)
    # What an engine has: count, range, two order statistics, exact sums.
    v, n = np.sort(x), len(x)
    summary = (n, v[0], v[-1], v[n // 4], v[min(3 * n // 4, n - 1)], sum(map(Fraction, xs)),
               sum(Fraction(t) * Fraction(t) for t in xs))
    assert list(rule_edges_from_summary(rule, *summary)) == edges.tolist()


def test_explicit_edges_and_values_outside_the_reference(rng):
    ref = mv.profile({"x": np.array([0.0, 1.0, 2.0])}, bins=[0.5, 1.5])
    cur = mv.profile({"x": np.array([-np.inf, -9.0, 0.5, 1.5, 99.0, np.inf, np.nan])}, like=ref)
    assert cur.histogram("x")[1].tolist() == [2, 1, 3]
    assert cur.missing("x") == 1
    with pytest.raises(ValueError):
        mv.profile({"x": np.arange(3.0)}, bins=[2.0, 1.0])


KIND_CASES = [
    (np.arange(100), "continuous"),
    (np.arange(100, dtype=np.uint8), "continuous"),
    (np.arange(100, dtype=np.float32), "continuous"),
    (np.array([True, False] * 50), "categorical"),
    (["a", "b"] * 50, "categorical"),
    ([1.5, None] * 50, "continuous"),
    ([True, None] * 50, "categorical"),
]


@pytest.mark.parametrize("values,kind", KIND_CASES)
def test_kind_comes_from_the_type_never_from_the_row_count(values, kind):
    for n in (10, 100):
        p = mv.profile({"c": values[:n]})
        assert p.features["c"].kind == kind


def test_categories_sorted_by_utf8_bytes_with_other_last():
    ref = mv.profile({"c": ["b", "é", "a", "B", None, "b"], "i": [10, 9, 10, 2, 2, 2]}, categorical=["i"])
    cats, counts = ref.histogram("c")
    assert cats == ["B", "a", "b", "é"] and counts.tolist() == [1, 1, 2, 1, 0]
    assert ref.missing("c") == 1
    assert ref.histogram("i")[0] == ["10", "2", "9"]
    cur = mv.profile({"c": ["z", "a", None, None, "é", "é"], "i": [1, 2, 3, 9, 9, 10]}, like=ref)
    assert cur.histogram("c")[1].tolist() == [0, 1, 0, 2, 1]
    assert cur.histogram("i")[1].tolist() == [1, 1, 2, 2]


def test_bool_categories_and_missing_of_every_kind():
    pd = pytest.importorskip("pandas")
    s = pd.Series([True, False, None, True], dtype="boolean")
    f = pd.Series([1.0, None, 2.0, np.nan], dtype="Float64")
    o = pd.Series(["x", pd.NA, None, np.nan], dtype=object)
    p = mv.profile(pd.DataFrame({"s": s, "f": f, "o": o}))
    assert p.histogram("s") [0] == ["False", "True"] and p.histogram("s")[1].tolist() == [1, 2, 0]
    assert (p.missing("s"), p.missing("f"), p.missing("o")) == (1, 2, 3)


def test_binary_task_labels_probabilities_and_positive_label():
    y = np.array([1, 1, 0, 0, 1, 0])
    p = np.array([0.9, 0.2, 0.6, 0.1, 0.5, np.nan])
    prof = mv.profile({"y": y, "p": p}, target="y", prediction="p", task="binary")
    t = prof.task_stats
    assert t.has_proba and t.n == 5 and t.missing == 1
    assert t.confusion.tolist() == [[1, 1], [1, 2]]
    c = np.clip(p[:5], 1e-15, 1 - 1e-15)
    ll = -(y[:5] * np.log(c) + (1 - y[:5]) * np.log(1 - c))
    assert float(t.log_loss) == pytest.approx(ll.sum(), rel=1e-15)
    labels = mv.profile({"y": ["cat", "dog", "cat"], "p": ["cat", "cat", "dog"]}, target="y", prediction="p",
                        task="binary", positive="dog")
    assert labels.task_stats.confusion.tolist() == [[1, 1], [1, 0]]


def test_multiclass_labels_and_probability_matrix():
    y = np.array([0, 1, 2, 2, 1])
    proba = np.array([[0.8, 0.1, 0.1], [0.1, 0.2, 0.7], [0.0, 0.0, 1.0], [0.3, 0.4, 0.3], [0.2, 0.5, 0.3]])
    prof = mv.profile({"y": y, "p": proba}, target="y", prediction="p", task="multiclass")
    t = prof.task_stats
    assert t.layout.classes == ("0", "1", "2") and t.has_proba
    assert t.confusion.tolist() == [[1, 0, 0], [0, 1, 1], [0, 1, 1]]
    expected = -np.log(np.clip(proba[np.arange(5), y], 1e-15, 1 - 1e-15)).sum()
    assert float(t.log_loss) == pytest.approx(expected, rel=1e-15)
    named = mv.profile({"y": ["a", "b"], "a": [0.9, 0.4], "b": [0.1, 0.6]}, target="y", prediction=["a", "b"],
                       task="multiclass")
    assert named.task_stats.confusion.tolist() == [[1, 0], [0, 1]]


def test_regression_sums_are_exact(rng):
    from fractions import Fraction

    y = rng.normal(size=300) * 1e8
    p = y + rng.normal(size=300)
    y[5] = np.nan
    prof = mv.profile({"y": y, "p": p}, target="y", prediction="p", task="regression")
    t = prof.task_stats
    ok = ~np.isnan(y)
    assert t.n == 299 and t.missing == 1
    for name, terms in {"y": y[ok], "e": p[ok] - y[ok], "e2": (p[ok] - y[ok]) ** 2, "yp": y[ok] * p[ok]}.items():
        assert t.total(name) == float(sum(Fraction(float(v)) for v in terms))
    assert t.max_abs_error == np.abs(p[ok] - y[ok]).max()


FACET_CASES = [
    ({"g": "x"}, [[[1, 0], [0, 1]], [[1, 1], [0, 0]]]),
    ({"age": mv.at_least(40)}, [[[1, 0], [0, 2]], [[1, 1], [0, 0]]]),
    ({"age": mv.above(40)}, [[[0, 0], [0, 2]], [[2, 1], [0, 0]]]),
    ({"age": mv.below(40)}, [[[1, 1], [0, 0]], [[1, 0], [0, 2]]]),
    ({"age": mv.at_most(40)}, [[[2, 1], [0, 0]], [[0, 0], [0, 2]]]),
    ({"g": mv.one_of(["x", "z"])}, [[[1, 0], [0, 1]], [[1, 1], [0, 0]]]),
]


@pytest.mark.parametrize("facets,expected", FACET_CASES)
def test_facet_counts(facets, expected):
    table = {"g": ["x", "y", "x", "y", None], "age": [40, 18, 90, 20, 50], "y": [0, 0, 1, 0, 1], "p": [0, 1, 1, 0, 1]}
    prof = mv.profile(table, target="y", prediction="p", task="binary", facets=facets)
    (f,) = prof.facets.values()
    missing = 1 if "g" in facets else 0
    assert f.counts.tolist() == expected and f.missing == missing and f.groups == ["a", "d"]


def test_facet_per_value_groups_and_integer_ages_never_switch_rule(rng):
    age = rng.integers(18, 91, 3000)
    y, p = rng.integers(0, 2, 3000), rng.integers(0, 2, 3000)
    for n in (1000, 1460, 3000):
        prof = mv.profile({"age": age[:n], "y": y[:n], "p": p[:n]}, target="y", prediction="p", task="binary",
                          facets={"age": mv.at_least(40)})
        assert prof.facets["age"].counts[0].sum() == (age[:n] >= 40).sum()
    each = mv.profile({"g": ["b", "a", "b"], "y": [1, 0, 1], "p": [1, 1, 0]}, target="y", prediction="p",
                      task="binary", facets={"g": None})
    f = each.facets["g"]
    assert f.groups == ["a", "b"] and f.counts.tolist() == [[[0, 1], [0, 0]], [[0, 0], [1, 1]]]


OPTION_ERRORS = [
    (dict(task="nope", target="y", prediction="p"), ValueError),
    (dict(task="binary", target="y"), ValueError),
    (dict(bins="deciles"), ValueError),
    (dict(n_bins=0), ValueError),
    (dict(features=["missing_column"]), KeyError),
    (dict(facets={"x": 1}), ValueError),  # facets need a binary task
]


@pytest.mark.parametrize("options,error", OPTION_ERRORS)
def test_invalid_options(options, error):
    with pytest.raises(error):
        mv.profile({"x": [1.0, 2.0], "y": [0, 1], "p": [0, 1]}, **options)


def test_like_takes_everything_and_forbids_other_options():
    ref = mv.profile({"x": [1.0, 2.0], "y": [0, 1], "p": [0.2, 0.9]}, target="y", prediction="p", task="binary")
    with pytest.raises(ValueError, match="like="):
        mv.profile({"x": [1.0], "y": [0], "p": [0.1]}, like=ref, n_bins=4)
    cur = mv.profile({"x": [1.0], "y": [0], "p": [0.1]}, like=ref)
    assert cur.layout == ref.layout and cur.n_rows == 1
    assert mv.profile({"x": [3.0], "y": [1], "p": [0.1]}, like=ref.layout).layout == ref.layout


@pytest.mark.parametrize("bad", [42, [1, 2], {"a": [1, 2], "b": [1]}, {"a": np.zeros((2, 2, 2))}])
def test_bad_tables(bad):
    with pytest.raises((TypeError, ValueError)):
        mv.profile(bad)



@settings(max_examples=200, deadline=None)
@given(st.lists(st.one_of(st.floats(), st.sampled_from([0.0, -0.0, 1.0, -1.0])), max_size=300), st.integers(1, 40),
       st.sampled_from(["f8", "f4", ">f8"]))
@example([-5e-324], 1, "f8")  # the double after the greatest value is -0.0
def test_quantile_edges_and_counts_match_a_sorting_oracle(xs, n_bins, dtype):
    with np.errstate(over="ignore"):
        x = np.array(xs, dtype=np.float64).astype(dtype)
    p = mv.profile({"x": x}, n_bins=n_bins)
    edges, counts = p.histogram("x")
    v = np.sort(x[~np.isnan(x)].astype(np.float64))
    m = len(v)
    assert edges.tolist() == quantile_layout_oracle(v, n_bins) and not np.signbit(edges[edges == 0]).any()
    assert counts.tolist() == oracle_counts(x.astype(np.float64), edges).tolist()
    assert p.missing("x") == len(x) - m
    assert mv.profile({"x": x}, like=p) == p  # counts from the selection equal counts from a pass


@settings(max_examples=150, deadline=None)
@given(st.lists(st.one_of(st.floats(), st.sampled_from([0.0, -0.0, np.inf, -np.inf, np.nan])), max_size=200),
       st.sampled_from(["f8", "f4", "strided"]))
def test_rule_summary_quartiles_are_order_statistics_of_the_finite_values(xs, layout):
    """The equal-width rules read their quartiles among the finite values only, on every layout."""
    from morvane import _native
    from morvane.tables.read import read_table

    with np.errstate(over="ignore"):
        x = np.array(xs, dtype=np.float64)
        x = np.repeat(x, 2)[::2] if layout == "strided" else x.astype(layout)
    t = read_table({"x": x})
    ((n, _, _, q1, q3, _, _),) = _native.rule_summary(t.columns, [t.slot("x")], 1)
    f = np.sort(x[np.isfinite(x)].astype(np.float64))
    assert n == len(f)
    if n:
        assert (q1, q3) == (f[n // 4], f[min(3 * n // 4, n - 1)])
