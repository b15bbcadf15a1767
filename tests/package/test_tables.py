"""Tables in (morvane.tables): every table kind, time and value label read one way; inputs that cannot be
read faithfully (times beyond 64-bit nanoseconds, values without a stable text, texts that are not
UTF-8, a reference without rows) are errors naming the column, and one-shot streams are read once."""

import datetime as dt
import decimal
import zoneinfo

import numpy as np
import pytest

import morvane as mv
from morvane.tables import times

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")

BAD = {"late": dt.datetime(9999, 12, 31), "early": dt.datetime(1500, 1, 1)}


def _time_columns(when: dt.datetime):
    """The same three instants, the last out of range, in every time kind."""
    values = [dt.datetime(2025, 3, 1), dt.datetime(2025, 3, 2), when]
    seconds = np.array(values, dtype="datetime64[s]")
    return {
        "numpy s": seconds,
        "numpy D": seconds.astype("datetime64[D]"),
        "numpy us": seconds.astype("datetime64[us]"),
        "pandas s": pd.Series(seconds),
        "pandas objects": pd.Series(values, dtype=object),
        "polars us": pl.Series(values, dtype=pl.Datetime("us")),
        "polars date": pl.Series([v.date() for v in values]),
        "arrow s": pa.array(values, pa.timestamp("s")),
        "arrow ms utc": pa.chunked_array([pa.array(values, pa.timestamp("ms", tz="UTC"))]),
        "datetimes": values,
        "dates": [v.date() for v in values],
    }


CASES = [(side, kind) for side in BAD for kind in _time_columns(BAD[side])]


@pytest.mark.parametrize("side,kind", CASES)
def test_a_time_beyond_64_bit_nanoseconds_names_its_column_and_row(side, kind):
    ts = _time_columns(BAD[side])[kind]
    table = {"ts": ts, "x": np.arange(3.0)}
    with pytest.raises(ValueError, match=r"column 'ts' row 2 .*1677-09-21 to 2262-04-11"):
        mv.profile(table, timestamp="ts")
    reference = mv.profile({"ts": np.array(["2025-03-01"] * 3, "datetime64[ns]"), "x": np.arange(3.0)},
                           timestamp="ts")
    history = mv.History(reference, "1D")
    with pytest.raises(ValueError, match=r"column 'ts' row 2 "):
        history.update(table)  # never wrapped onto another day (9999-12-31 onto 1816-03-29)
    assert len(history) == 0


@pytest.mark.parametrize("value", [np.datetime64("9999-12-31"), np.datetime64("1500-01-01", "s"),
                                   dt.datetime(9999, 12, 31), dt.date(1500, 1, 1), 2**63, -(2**63)])
def test_a_bound_beyond_64_bit_nanoseconds_is_refused(value):
    with pytest.raises(ValueError, match="2262-04-11"):
        times.instant(value)


PARIS = zoneinfo.ZoneInfo("Europe/Paris")
MIDNIGHT_PARIS = int(np.datetime64("2025-02-28T23:00", "ns").astype(np.int64))


@pytest.mark.parametrize("bound", ["2025-03-01T00:00:00+01:00", "2025-02-28T23:00:00Z",
                                   dt.datetime(2025, 3, 1, tzinfo=PARIS),
                                   dt.datetime(2025, 3, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=2))),
                                   pd.Timestamp("2025-03-01", tz="Europe/Paris"),
                                   np.datetime64("2025-02-28T23:00"), dt.datetime(2025, 2, 28, 23)])
def test_a_bound_with_an_offset_or_a_zone_is_the_instant_it_names(bound):
    assert times.instant(bound) == MIDNIGHT_PARIS


def test_the_edges_of_the_range_are_read_exactly():
    edges = np.array([np.iinfo(np.int64).min + 1, -1, 0, np.iinfo(np.int64).max], dtype=np.int64)
    as_times = edges.view("datetime64[ns]")
    assert times.column_times(as_times).tolist() == edges.tolist()
    assert times.column_times(pa.array(as_times)).tolist() == edges.tolist()
    micro = np.iinfo(np.int64).max // 1000
    inside = np.array([-micro, micro], dtype=np.int64).view("datetime64[us]")
    assert times.column_times(inside).tolist() == [-micro * 1000, micro * 1000]
    with pytest.raises(ValueError, match="row 1 "):
        times.column_times(inside + np.array([0, 1], "timedelta64[us]"), "ts")


UNSTABLE = [{1, 2}, frozenset({"a"}), {"k": 1}, object(), [1, {2}]]


@pytest.mark.parametrize("value", UNSTABLE, ids=lambda v: type(v).__name__)
def test_a_value_without_a_stable_text_names_its_column(value):
    column = ["a", value, "b"]
    with pytest.raises(TypeError, match="column 'c'"):
        mv.profile({"c": column})
    with pytest.raises(TypeError, match="column 'c'"):
        mv.profile({"c": np.array(column, dtype=object), "x": np.arange(3.0)}, segments=["c"])


def test_plain_objects_keep_their_labels_in_categories_and_segments():
    column = np.array(["a", 1, 1.0, True, b"x", decimal.Decimal("2.50"), dt.date(2025, 3, 1), None, 1e16], dtype=object)
    expected = ("1", "1.0", "1e+16", "2.50", "2025-03-01", "True", "a", "x")
    p = mv.profile({"c": column})
    assert tuple(sorted(p.layout.features[0].categories)) == expected
    segmented = mv.profile({"c": column, "x": np.arange(9.0)}, segments=["c"])
    assert sorted(v for (v,) in segmented.layout.segments.values) == sorted(expected)


@pytest.mark.parametrize("make", [np.array, pd.Series, pa.array, pl.Series], ids=["numpy", "pandas", "arrow", "polars"])
def test_a_float_is_labelled_alike_as_a_category_and_as_a_segment(make):
    # One label for a value wherever it is a category: 1.0 is "1.0", as the core counts it.
    values = make([1.0, 2.5, 1.0, 3.0])
    p = mv.profile({"f": values, "x": np.arange(4.0)}, categorical=["f"], segments=["f"], features=["x", "f"])
    categories = p.layout.features[1].categories
    assert sorted(v for (v,) in p.layout.segments.values) == sorted(categories) == ["1.0", "2.5", "3.0"]


# Texts that are not UTF-8 are refused (ValueError naming the column): stored as texts they cannot be,
# and replacing their bad bytes would merge distinct values into one category.
def _invalid_arrow_strings():
    data = b"ok\xff\xfe"
    offsets = np.array([0, 2, 3, 4], dtype=np.int32)
    return pa.Array.from_buffers(pa.string(), 3, [None, pa.py_buffer(offsets.tobytes()), pa.py_buffer(data)])


INVALID_TEXTS = {
    "bytes": lambda: ["ok", b"\xff", b"\xfe"],
    "lone surrogate": lambda: ["ok", "\ud800", "\udfff"],
    "numpy unicode": lambda: np.array(["ok", "\ud800", "\udfff"]),
    "object array": lambda: np.array(["ok", "\ud800", "x"], dtype=object),
    "arrow": _invalid_arrow_strings,
}


@pytest.mark.parametrize("kind", INVALID_TEXTS)
def test_a_text_that_is_not_utf8_names_its_column(kind):
    with pytest.raises(ValueError, match="column 'c'.*UTF-8"):
        mv.profile({"c": INVALID_TEXTS[kind](), "x": np.arange(3.0)})


def _binary_table(n=60, seed=3):
    rng = np.random.default_rng(seed)
    y = rng.random(n) < 0.4
    return {"y": y, "p": y ^ (rng.random(n) < 0.2), "x": rng.normal(size=n)}


def test_a_true_false_target_takes_true_as_its_default_positive():
    table = _binary_table()
    p = mv.profile(table, target="y", prediction="p", task="binary")
    assert p.layout.task.positive is True
    assert p == mv.profile(table, target="y", prediction="p", task="binary", positive=True)
    # A positive given explicitly is kept: False counts the negatives as positive.
    flipped = mv.profile(table, target="y", prediction="p", task="binary", positive=False)
    assert flipped.layout.task.positive is False and flipped != p


def test_a_reference_without_rows_is_refused():
    empty = mv.profile({"x": np.zeros(0), "ts": np.zeros(0, "datetime64[ns]")}, timestamp="ts")
    window = mv.profile({"x": np.arange(5.0), "ts": np.zeros(5, "datetime64[ns]")}, like=empty)
    for use in (lambda: mv.Monitor(empty), lambda: mv.History(empty, "1D"), lambda: mv.compare(empty, window)):
        with pytest.raises(ValueError, match="no rows"):
            use()


def test_a_reference_too_small_for_its_checks_says_so():
    table = _binary_table(400)
    reference = mv.profile({k: v[:1] for k, v in table.items()}, target="y", prediction="p", task="binary")
    notes = mv.compare(reference, mv.profile(table, like=reference)).notes()
    assert any("can never fail" in note and "(1 rows)" in note for note in notes)
    full = mv.profile(table, target="y", prediction="p", task="binary")
    assert not any("can never fail" in note for note in mv.compare(full, full).notes())


# One-shot streams: every path reads them once and gives what the same rows as a Table give.
def _stream_case():
    rng = np.random.default_rng(7)
    n = 90
    table = pa.table({"g": pa.array(rng.choice(["a", "b", "c"], n)), "x": rng.normal(size=n),
                      "ts": pa.array(np.datetime64("2025-03-01", "ns") + rng.integers(0, 3, n) * np.timedelta64(1, "D"))})
    return table, lambda: pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=25))


def test_a_stream_is_read_once_by_segments_and_a_segmented_reference():
    table, stream = _stream_case()
    reference = mv.profile(table, segments=["g"], timestamp="ts")
    assert mv.profile(stream(), segments=["g"], timestamp="ts") == reference
    assert mv.profile(stream(), like=reference) == mv.profile(table, like=reference)


@pytest.mark.parametrize("segments", [None, ["g"]])
def test_a_stream_is_read_once_by_histories_and_monitors(segments):
    table, stream = _stream_case()
    reference = mv.profile(table, segments=segments, timestamp="ts")
    for make in (lambda: mv.History(reference, "1D"), lambda: mv.History(reference, rows=40)):
        from_stream, from_table = make().update(stream()), make().update(table)
        assert len(from_stream) == len(from_table) > 1
        assert [p for *_, p in from_stream.profiles()] == [p for *_, p in from_table.profiles()]
    assert mv.Monitor(reference).update(stream()).current == mv.profile(table, like=reference)
    monitor = mv.Monitor(reference, history=mv.History(reference, "1D")).update(stream())
    assert monitor.current.n_rows == table.num_rows and len(monitor.history) == 3
