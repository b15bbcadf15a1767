"""Column types read as meant: datetimes of every source on one scale (UTC nanoseconds) with NaT
missing, decimals as numbers, booleans with missing values, big integers named, untyped empty
columns. Each source must give the profile of the same instants written as datetime64[ns]."""

import datetime as dt
import decimal

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morvane as mv

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")

NS = np.array(["2024-01-01T00:00:00", "2024-03-05T12:30:00", "NaT", "2025-06-01T08:00:00", "2023-12-31T23:59:59",
               "NaT", "2024-07-14T00:00:00"], dtype="datetime64[ns]")


def as_objects(a):
    return [None if np.isnat(x) else x.astype("datetime64[us]").astype(dt.datetime) for x in a]


TIME_SOURCES = {
    "numpy ns": lambda: NS,
    "numpy us": lambda: NS.astype("datetime64[us]"),
    "numpy s, byte-swapped": lambda: NS.astype("datetime64[s]").astype(">M8[s]"),
    "numpy ms, strided": lambda: np.repeat(NS.astype("datetime64[ms]"), 2)[::2],
    "pandas": lambda: pd.Series(NS),
    "pandas with a zone": lambda: pd.Series(NS).dt.tz_localize("UTC").dt.tz_convert("Asia/Kolkata"),
    "polars": lambda: pl.Series(NS),
    "polars ms with a zone": lambda: pl.Series(NS).dt.cast_time_unit("ms").dt.replace_time_zone("UTC")
    .dt.convert_time_zone("America/New_York"),
    "arrow timestamp[us, tz]": lambda: pa.array(NS.astype("datetime64[us]")).cast(pa.timestamp("us", tz="Europe/Paris")),
    "arrow chunked": lambda: pa.chunked_array([pa.array(NS[:3]), pa.array(NS[3:])]),
    "python datetime": lambda: as_objects(NS),
    "python aware datetime": lambda: [None if v is None else v.replace(tzinfo=dt.timezone.utc).astimezone(
        dt.timezone(dt.timedelta(hours=-5))) for v in as_objects(NS)],
    "pandas Timestamp objects": lambda: [None if np.isnat(x) else pd.Timestamp(x) for x in NS],
    "pandas object column of datetimes": lambda: pd.Series(as_objects(NS), dtype=object),
}


@pytest.mark.parametrize("source", TIME_SOURCES)
def test_datetimes_of_every_source_on_one_scale(source):
    ref = mv.profile({"t": NS}, bins=np.array([1.70e18, 1.71e18, 1.72e18, 1.74e18]))
    got = mv.profile({"t": TIME_SOURCES[source]()}, like=ref)
    assert got == ref
    assert got.missing("t") == 2
    # Quantile edges are instants too: the same from every source.
    assert mv.profile({"t": TIME_SOURCES[source]()}).layout == mv.profile({"t": NS}).layout


@pytest.mark.parametrize("source", ["numpy ns", "polars", "python datetime"])
def test_nat_is_missing_never_the_smallest_value(source):
    p = mv.profile({"t": TIME_SOURCES[source]()}, n_bins=2)
    edges, counts = p.histogram("t")
    assert counts.sum() == 5 and p.missing("t") == 2
    assert edges.min() > 1.6e18  # NaT as int64 would be -9.2e18


@pytest.mark.parametrize("make", [
    lambda d: [d[0], None, d[1], d[2]],
    lambda d: pa.array([d[0], None, d[1], d[2]], pa.date32()),
    lambda d: pa.array([d[0], None, d[1], d[2]], pa.date64()),
    lambda d: pl.Series([d[0], None, d[1], d[2]]),
    lambda d: np.array([d[0], "NaT", d[1], d[2]], dtype="datetime64[D]"),
])
def test_dates_are_midnight_utc(make):
    days = [dt.date(2024, 1, 1), dt.date(2024, 2, 29), dt.date(2026, 12, 7)]
    midnight = np.array([np.datetime64(d, "ns") for d in days] + [np.datetime64("NaT", "ns")])
    ref = mv.profile({"t": midnight}, bins=np.array([np.datetime64(d, "ns").astype(np.int64) for d in days], float))
    assert mv.profile({"t": make(days)}, like=ref) == ref


def test_durations_on_one_scale():
    td = np.array([1, 90, None, 3600], dtype="timedelta64[s]")
    ref = mv.profile({"d": td.astype("timedelta64[ns]")}, bins=np.array([1e9, 60e9, 1800e9]))
    for col in (td, pa.array(td), pd.Series(td.astype("timedelta64[ms]"))):
        assert mv.profile({"d": col}, like=ref) == ref


@settings(max_examples=60, deadline=None)
@given(st.lists(st.one_of(st.none(), st.integers(-9_223_372_036, 9_223_372_036)), min_size=1, max_size=40),
       st.sampled_from(["s", "ms", "us"]))
def test_same_instants_in_any_unit_same_counts(seconds, unit):
    # Instants 64-bit nanoseconds hold (beyond them a time is an error, test_tables.py).
    a = np.array(["NaT" if s is None else s for s in seconds], dtype="datetime64[s]")
    ref = mv.profile({"t": a.astype("datetime64[ns]")})
    assert mv.profile({"t": a.astype(f"datetime64[{unit}]")}, like=ref) == ref


@pytest.mark.parametrize("column", [
    [decimal.Decimal("1.5"), None, decimal.Decimal("-2"), decimal.Decimal("7.25")],
    pa.array([decimal.Decimal("1.5"), None, decimal.Decimal("-2"), decimal.Decimal("7.25")]),
    pd.Series([decimal.Decimal("1.5"), None, decimal.Decimal("-2"), decimal.Decimal("7.25")], dtype=object),
    pl.Series([decimal.Decimal("1.5"), None, decimal.Decimal("-2"), decimal.Decimal("7.25")]),
])
def test_decimals_are_numbers(column):
    ref = mv.profile({"x": np.array([1.5, np.nan, -2.0, 7.25])}, bins=np.array([0.0, 2.0]))
    assert mv.profile({"x": column}, like=ref) == ref
    assert mv.profile({"x": column}).layout.features[0].kind == "continuous"


def test_booleans_with_missing_values_stay_booleans():
    ref = mv.profile({"b": pa.array([True, None, False, True])})
    for col in ([True, None, False, True], pd.Series([True, None, False, True], dtype=object),
                pd.Series([True, None, False, True], dtype="boolean")):
        assert mv.profile({"b": col}, like=ref) == ref


@pytest.mark.parametrize("column", [[1, 2**70, 3], pd.Series([1, -(2**64), 3], dtype=object)])
def test_integers_beyond_64_bits_name_the_column(column):
    with pytest.raises(OverflowError, match="'big'"):
        mv.profile({"big": column})


def test_unsigned_64_bit_integers_read_exactly():
    values = [2**64 - 1, 2**63, 5]
    p = mv.profile({"u": pd.Series(values, dtype=object)}, categorical=["u"])
    assert sorted(p.histogram("u")[0]) == sorted(str(v) for v in values)


def test_columns_of_no_value_have_no_type():
    p = mv.profile({"x": [None, None, None], "y": [1.0, 2.0, 3.0]})
    assert p.missing("x") == 3


def test_plots_show_datetime_edges_as_dates():
    pytest.importorskip("matplotlib")
    rng = np.random.default_rng(3)
    start = np.datetime64("2026-01-01", "ns")
    ref = mv.profile({"t": start + rng.integers(0, 30, 2000).astype("timedelta64[D]")})
    moved = mv.profile({"t": start + rng.integers(20, 60, 2000).astype("timedelta64[D]")}, like=ref)
    figure = mv.compare(ref, moved).plot()
    labels = [t.get_text() for ax in figure.axes for t in ax.get_xticklabels()]
    edges = ref.histogram("t")[0]
    assert [np.datetime_as_string(np.datetime64(int(e), "ns"), unit="D") for e in edges] == [
        x for x in labels if x.startswith("2026")]
