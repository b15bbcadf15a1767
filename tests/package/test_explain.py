"""Outcomes by feature bin (`profile(..., explain=True)`) and `mv.explain`: the per-bin counts and
error sums against pandas, exact merges, and the ranking of an injected failing region."""

import numpy as np
import pandas as pd
import pytest

import morvane as mv
from morvane.comparing.explain import COLUMNS


def classified(n, rng, broken=0.0):
    age = rng.uniform(18, 90, n)
    city = rng.choice(["Oslo", "Paris", "Rome"], n)
    y = rng.random(n) < 0.4
    right = rng.random(n) < 0.85
    # The model fails in a region: older people in Rome.
    region = (city == "Rome") & (age > 70)
    right &= ~(region & (rng.random(n) < broken))
    return {"age": age, "city": city, "y": y.astype(int), "p": np.where(right, y, ~y).astype(int)}


def test_counts_equal_pandas_and_merge_exactly():
    rng = np.random.default_rng(4)
    table = classified(2_000, rng)
    table["age"][::11] = np.nan
    ref = mv.profile(table, target="y", prediction="p", task="binary", explain=True)
    out = ref.extra("explain")
    frame = pd.DataFrame(table)
    frame["cell"] = frame["y"] * 2 + frame["p"]
    edges = ref.layout.feature("age").edges
    frame["slot"] = np.where(frame["age"].isna(), len(edges) + 1, np.searchsorted(edges, frame["age"], side="right"))
    expected = pd.crosstab(frame["slot"], frame["cell"]).reindex(index=range(len(edges) + 2), columns=range(4),
                                                                  fill_value=0)
    assert np.array_equal(out["age"].cells, expected.to_numpy())
    cities = frame.groupby("city")["cell"].value_counts().unstack(fill_value=0)
    assert np.array_equal(out["city"].cells[:3], cities.to_numpy())
    halves = [mv.profile({k: v[a:b] for k, v in table.items()}, like=ref) for a, b in ((0, 700), (700, 2_000))]
    assert mv.merge(halves[::-1]).to_bytes() == ref.to_bytes()


def test_regression_error_sums_per_bin():
    rng = np.random.default_rng(5)
    x = rng.normal(size=1_000)
    y = x + rng.normal(size=1_000)
    p = x.copy()
    ref = mv.profile({"x": x, "y": y, "p": p}, target="y", prediction="p", task="regression", explain=True)
    o = ref.extra("explain")["x"]
    edges = ref.layout.feature("x").edges
    slot = np.searchsorted(edges, x, side="right")
    e = p - y
    for b in range(len(edges) + 1):
        assert o.n[b] == (slot == b).sum()
        assert float(o.sums[b][0]) == pytest.approx(np.abs(e[slot == b]).sum(), rel=1e-12)
        assert float(o.sums[b][1]) == pytest.approx((e[slot == b] ** 2).sum(), rel=1e-12)


def test_injected_region_ranks_first_and_unchanged_fails_nothing(tmp_path):
    rng = np.random.default_rng(6)
    ref = mv.profile(classified(20_000, rng), target="y", prediction="p", task="binary", explain=True)
    broken = mv.profile(classified(20_000, rng, broken=0.6), like=ref)
    found = mv.explain(ref, broken, top=5)
    assert list(found.columns) == list(COLUMNS) and len(found) == 5
    assert (found.iloc[0]["column"], found.iloc[0]["bin"]) == ("city", "Rome")
    assert found.iloc[0]["failed"] and found.iloc[0]["current"] < found.iloc[0]["reference"]
    report = mv.compare(ref, broken)
    pd.testing.assert_frame_equal(report.explain(top=5), found)
    report.to_html(tmp_path / "r.html")
    assert 'id="explain"' in (tmp_path / "r.html").read_text() and "Rome" in (tmp_path / "r.html").read_text()
    unchanged = mv.explain(ref, mv.profile(classified(20_000, rng), like=ref), top=None)
    assert not unchanged["failed"].any() and len(unchanged) == 13  # 10 age bins, 3 cities


def test_explain_needs_profiles_that_keep_outcomes():
    rng = np.random.default_rng(7)
    ref = mv.profile(classified(500, rng), target="y", prediction="p", task="binary")
    with pytest.raises(ValueError, match="explain=True"):
        mv.explain(ref, ref)


def test_arrow_dictionaries_count_as_numpy_and_regression_ranks_the_worse_bin():
    pa = pytest.importorskip("pyarrow")
    rng = np.random.default_rng(10)
    table = classified(3_000, rng)
    arrow = pa.table({**{k: v for k, v in table.items() if k != "city"},
                      "city": pa.array(table["city"]).dictionary_encode()})
    a = mv.profile(table, target="y", prediction="p", task="binary", explain=True)
    b = mv.profile(arrow, like=a)
    assert np.array_equal(a.extra("explain")["city"].cells, b.extra("explain")["city"].cells)
    x = rng.uniform(0, 10, 20_000)
    noise = lambda n, worse: rng.normal(0, np.where(worse, 3.0, 1.0), n)  # noqa: E731
    ref = mv.profile({"x": x, "y": x + noise(20_000, False), "p": x}, target="y", prediction="p",
                     task="regression", explain=True)
    x2 = rng.uniform(0, 10, 20_000)
    cur = mv.profile({"x": x2, "y": x2 + noise(20_000, x2 > 9), "p": x2}, like=ref)
    found = mv.explain(ref, cur, top=3)
    top = found.iloc[0]
    from morvane.comparing.explain import bin_labels

    last = bin_labels(ref.layout.feature("x"))[-3]  # the top decile: then ">= maximum", "missing"
    assert (top["column"], top["bin"]) == ("x", last) and top["failed"]
    # Only bins above 9 fail: the top decile, and the window's values above the reference's maximum.
    assert top["current"] > top["reference"]
    assert set(found[found["failed"]]["bin"]) <= set(bin_labels(ref.layout.feature("x"))[-3:-1])
