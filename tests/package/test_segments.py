"""Segments: each of the reference's most frequent combinations of the segment columns keeps the exact
statistics of its rows (whatever the table kind), merges exactly, survives the bytes, and is compared
segment by segment inside the report's one correction."""

import numpy as np
import pandas as pd
import pytest

import morvane as mv
from morvane.history import History
from morvane.state.layout import MAX_SEGMENTS


def frame(n, seed, shift_in=None, mix=(0.5, 0.3, 0.2)):
    rng = np.random.default_rng(seed)
    region = np.array(["north", "south", "west"], dtype=object)[rng.choice(3, n, p=list(mix))]
    x = rng.normal(size=n)
    if shift_in is not None:
        x[region == shift_in] += 0.8
    score = rng.random(n)
    plan = rng.integers(0, 2, n)
    return pd.DataFrame({"x": x, "k": rng.choice(["a", "b"], n), "region": region, "plan": plan,
                         "score": score, "y": (rng.random(n) < score).astype(int),
                         "ts": np.datetime64("2024-01-01", "ns") + rng.integers(0, 3 * 86_400 * 10**9, n).astype(
                             "timedelta64[ns]")})


@pytest.fixture(scope="module")
def reference():
    return mv.profile(frame(6000, 0), target="y", prediction="score", task="binary", segments=["region", "plan"],
                      timestamp="ts")


def kinds(df):
    import polars as pl
    import pyarrow as pa

    yield df
    yield pl.from_pandas(df)
    yield pa.Table.from_pandas(df, preserve_index=False)
    yield {c: df[c].to_numpy() for c in df.columns}
    yield {c: df[c].tolist() if c in ("region", "plan") else df[c].to_numpy() for c in df.columns}


def test_each_segment_holds_its_rows(reference):
    layout = reference.layout
    assert layout.segments.columns == ("region", "plan") and "region" not in reference.columns
    df = frame(3000, 1)
    df.loc[::17, "region"] = None  # missing: "other"
    whole = mv.profile(df, like=reference)
    for table in kinds(df):
        assert mv.profile(table, like=reference) == whole
    sub = layout.segment_layout()
    for key, p in whole.segments.items():
        if key == ("other",):
            rows = df[df.region.isna()]
        else:
            rows = df[(df.region == key[0]) & (df.plan.astype(str) == key[1])]
        assert p == mv.profile(rows, like=sub), key
    assert sum(p.n_rows for p in whole.segments.values()) == len(df)
    # The whole table's statistics are the merge of the segments': those of a profile without them.
    import dataclasses

    plain = mv.profile(df, like=dataclasses.replace(layout, segments=None))
    for name in reference.columns:
        assert np.array_equal(whole.histogram(name)[1], plain.histogram(name)[1]) and \
            whole.missing(name) == plain.missing(name)
    assert np.array_equal(whole.task_stats.confusion, plain.task_stats.confusion)
    shards = [mv.profile(df.iloc[i::3], like=reference) for i in range(3)]
    assert mv.merge(shards[::-1]).to_bytes() == whole.to_bytes()
    assert mv.Profile.from_bytes(whole.to_bytes()) == whole


def test_the_most_frequent_combinations_are_kept():
    rng = np.random.default_rng(2)
    weights = np.arange(1, 151, dtype=float)
    codes = rng.choice(150, 40_000, p=weights / weights.sum())
    df = pd.DataFrame({"shop": codes // 10, "till": codes % 10, "x": rng.normal(size=len(codes))})
    p = mv.profile(df, segments=["shop", "till"])
    counts = df.groupby(["shop", "till"]).size().sort_values(ascending=False, kind="stable")
    kept = {(str(a), str(b)) for a, b in counts.index[:MAX_SEGMENTS]}
    assert set(p.layout.segments.values) == kept and len(p.layout.segments.values) == MAX_SEGMENTS
    assert p.segments[("other",)].n_rows == int(counts.iloc[MAX_SEGMENTS:].sum())
    sizes = [s.n_rows for k, s in p.segments.items() if k != ("other",)]
    assert sizes == sorted(sizes, reverse=True)


def test_truncated_bytes_are_refused(reference):
    data = mv.profile(frame(500, 3), like=reference).to_bytes()
    for cut in range(0, len(data), max(1, len(data) // 60)):
        with pytest.raises(mv.FormatError):
            mv.Profile.from_bytes(data[:cut])


def test_drift_in_one_segment_is_found_there(reference):
    report = mv.compare(reference, mv.profile(frame(6000, 4, shift_in="west"), like=reference))
    failed = {(c.metric, c.column, c.segment) for c in report.failures}
    assert failed and all(seg is not None and seg[0] == "west" for _, _, seg in failed if seg is not None)
    assert {("Distribution", "x", ("west", "0")), ("Distribution", "x", ("west", "1"))} <= failed
    # One correction over every hypothesis, the segments' included: Holm's first step is Bonferroni.
    tested = {(c.segment, c.family, c.column, c.metric) for c in report.checks if c.p_value is not None}
    first = min((c for c in report.checks if c.p_value is not None), key=lambda c: c.details["raw_p_value"])
    hypotheses = len({c.details["raw_p_value"] for c in report.checks if c.p_value is not None})
    assert first.p_value == pytest.approx(min(1.0, first.details["raw_p_value"] * hypotheses), rel=1e-9)
    assert hypotheses > len([t for t in tested if t[0] is None])
    table = report.tables["segments"]
    assert [row["segment"] for row in table] == [" / ".join(k) for k in reference.segments]
    assert sum(row["current rows"] for row in table) == 6000


@pytest.mark.parametrize("mix, fails", [((0.5, 0.3, 0.2), False), ((0.3, 0.3, 0.4), True)])
def test_segment_mix(reference, mix, fails):
    report = mv.compare(reference, mv.profile(frame(6000, 5, mix=mix), like=reference))
    (check,) = [c for c in report.checks if c.metric == "SegmentMix"]
    assert check.failed is fails and report.passed is not fails


def test_options_and_engines_refuse_what_they_cannot_do(reference):
    with pytest.raises(ValueError, match="like="):
        mv.profile(frame(10, 6), like=reference, segments=["plan"])
    with pytest.raises(ValueError):
        mv.profile(frame(10, 6), segments=[])
    with pytest.raises(KeyError, match="nope"):
        mv.profile(frame(10, 6), segments=["nope"])
    from morvane.profiling.distributed import profile_distributed

    with pytest.raises(ValueError, match="like="):
        profile_distributed(None, {"segments": ["region"]})


def test_timeline_and_reports_show_segments(reference, tmp_path):
    h = History(reference, "1D")
    h.update(frame(4000, 7, shift_in="south"))
    table = h.timeline().to_pandas()
    segmented = table[table.segment.notna()]
    assert len(segmented) and all(isinstance(s, tuple) for s in segmented.segment)
    assert segmented[segmented.failed].segment.map(lambda s: s[0]).eq("south").all()
    report = h.timeline().reports[0][2]
    text = report.to_html()
    assert "<th title=\"segment\">segment</th>" in text and "south / 0" in text
    segments = [c["segment"] for c in report.to_dict()["checks"]]
    assert None in segments and ["south", "0"] in segments  # JSON: lists


def test_facets_beside_segments_count_the_whole_table():
    df = frame(3000, 8)
    options = dict(target="y", prediction="score", task="binary", facets={"k": "a"})
    seg = mv.profile(df, segments=["region"], **options)
    plain = mv.profile(df, **options)
    assert np.array_equal(seg.facets["k"].counts, plain.facets["k"].counts)
    assert seg.facets["k"].missing == plain.facets["k"].missing
    assert mv.profile(df.iloc[:1000], like=seg).merge(mv.profile(df.iloc[1000:], like=seg)) == seg
