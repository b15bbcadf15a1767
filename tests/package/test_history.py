"""A history places every row in the period of its event time, whatever the batches, their order and
the table kind: any range of periods equals the profile of the rows whose times lie in it. Updates
are thread-safe, persistent in one SQLite file that other processes (and a writer killed mid-update)
leave consistent, and replace=True makes a period hold only its new batch."""

import datetime as dt
import os
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pandas as pd
import pytest

import morvane as mv
from morvane.history import History

DAY = np.timedelta64(1, "D")
T0 = np.datetime64("2024-03-01", "ns")


def frame(n, seed, days=5, shift=0.0):
    rng = np.random.default_rng(seed)
    score = rng.random(n)
    return pd.DataFrame({
        "x": rng.normal(shift, 1, n), "k": rng.integers(0, 50, n).astype(float),
        "c": rng.choice(["a", "b", "c"], n),
        "score": score, "y": (rng.random(n) < score).astype(int),
        "ts": T0 + (rng.random(n) * days * 86_400e9).astype("timedelta64[ns]"),
    })


@pytest.fixture(scope="module")
def reference():
    return mv.profile(frame(4000, 0), target="y", prediction="score", task="binary", timestamp="ts")


def of_range(df, reference, lo=None, hi=None):
    keep = np.ones(len(df), bool)
    if lo is not None:
        keep &= df.ts.to_numpy() >= np.datetime64(lo, "ns")
    if hi is not None:
        keep &= df.ts.to_numpy() < np.datetime64(hi, "ns")
    return mv.profile(df[keep].reset_index(drop=True), like=reference)


def kinds(df):
    import polars as pl
    import pyarrow as pa

    yield "pandas", df
    yield "polars", pl.from_pandas(df)
    yield "pyarrow", pa.Table.from_pandas(df, preserve_index=False)
    yield "dict", {c: df[c].to_numpy() for c in df.columns}
    yield "dict of series", {c: df[c] for c in df.columns}


@pytest.mark.parametrize("order", ["sorted", "shuffled", "one batch"])
@pytest.mark.parametrize("kind", ["pandas", "polars", "pyarrow", "dict", "dict of series"])
def test_any_range_equals_the_profile_of_its_rows(reference, kind, order):
    df = frame(3000, 1)
    if order == "sorted":
        df = df.sort_values("ts", kind="stable").reset_index(drop=True)
    h = History(reference, "1D")
    batches = [df] if order == "one batch" else np.array_split(np.arange(len(df)), 7)
    for rows in batches:
        part = df if order == "one batch" else df.iloc[rows].reset_index(drop=True)
        h.update(dict(kinds(part))[kind])
    starts = [s for s, _ in h.periods]
    assert starts == [T0 + i * DAY for i in range(5)] and all(e - s == DAY for s, e in h.periods)
    assert h.window() == of_range(df, reference)
    # Bounds are instants (an offset or a zone names one); a window holds whole periods.
    paris_midnight = dt.datetime(2024, 3, 4, 1, tzinfo=dt.timezone(dt.timedelta(hours=1)))
    for lo, hi, whole in [("2024-03-02", "2024-03-04", ("2024-03-02", "2024-03-04")),
                          (None, "2024-03-03T01:00+01:00", (None, "2024-03-03")),
                          (paris_midnight, None, ("2024-03-04", None)),
                          (pd.Timestamp("2024-03-02", tz="Asia/Tokyo") + pd.Timedelta(hours=9), "2024-03-03Z",
                           ("2024-03-02", "2024-03-03"))]:
        assert h.window(lo, hi) == of_range(df, reference, *whole)
    assert h.window("2024-03-09", "2024-03-10").n_rows == 0
    # A bound inside a period holding rows is refused, naming the periods it cuts.
    for lo, hi, cut in [("2024-03-02T00:00+01:00", None, ["2024-03-01"]),
                        (None, "2024-03-03T12:00", ["2024-03-03"]),
                        ("2024-03-01T06:00", "2024-03-04T06:00", ["2024-03-01", "2024-03-04"])]:
        with pytest.raises(ValueError, match="cut") as e:
            h.window(lo, hi)
        assert [day for day in ("2024-03-0" + str(i) for i in range(1, 6)) if "[" + day in str(e.value)] == cut


@pytest.mark.parametrize("every,length", [("6h", 6 * 3600), ("1D", 86400), ("7D", 7 * 86400), ("90min", 5400),
                                          (dt.timedelta(hours=12), 43200), (np.timedelta64(2, "D"), 172800)])
def test_periods_are_aligned_on_the_epoch(reference, every, length):
    df = frame(500, 2, days=20)
    h = History(reference, every).update(df)
    ns = length * 10**9
    times = df.ts.to_numpy().astype(np.int64)
    expected = sorted(set((times // ns).tolist()))
    assert [int(s.astype(np.int64)) for s, _ in h.periods] == [k * ns for k in expected]
    assert sum(p.n_rows for _, _, p in h.profiles()) == len(df)


@pytest.mark.parametrize("every,tz", [("1Y", None), ("0D", None), ("day", None), (5, None), ("1h", "Europe/Paris"),
                                      ("1D", "Mars/Olympus"), ("W-TUE", None)])
def test_periods_that_are_no_rule_are_refused(reference, every, tz):
    with pytest.raises((ValueError, TypeError)):
        History(reference, every, tz=tz)


def month_start(t):
    return t.dt.tz_localize(None).dt.to_period("M").dt.start_time.dt.tz_localize(t.dt.tz)


def monday(t):
    return t.dt.floor("D") - pd.to_timedelta(t.dt.day_of_week, unit="D")


# Calendar periods against pandas' calendar: (every, tz, the pandas start of each row's period).
CALENDARS = [
    ("1M", None, month_start), ("MS", "America/New_York", month_start),
    ("1D", "Europe/Paris", lambda t: t.dt.floor("D", ambiguous=False, nonexistent="shift_forward")),
    ("W", None, monday), ("W", "Asia/Kolkata", monday),
    ("2D", "Australia/Lord_Howe", None), ("3M", "Pacific/Auckland", None),
]


@pytest.mark.parametrize("every,tz,start_of", CALENDARS)
def test_calendar_periods_follow_the_zone(reference, every, tz, start_of):
    """Months and local days and weeks (from Monday) over two years that cross changes of clocks:
    each period starts at a local midnight, holds exactly its rows, and pandas' calendar agrees."""
    df = frame(3000, 21, days=730)
    h = History(reference, every, tz=tz).update(df)
    zone = tz or "UTC"
    local = df.ts.dt.tz_localize("UTC").dt.tz_convert(zone)
    bounds = h.periods
    for start, end in bounds:
        s, e = pd.Timestamp(start, tz="UTC").tz_convert(zone), pd.Timestamp(end, tz="UTC").tz_convert(zone)
        assert (s.hour, s.minute, e.hour, e.minute) == (0, 0, 0, 0)
        assert every[-1] != "W" or s.weekday() == 0
        assert every[-1] not in "MS" or s.day == 1
    if start_of is not None:
        expected = sorted(set(start_of(local).dt.tz_convert("UTC").dt.tz_localize(None).to_numpy()))
        assert [s for s, _ in bounds] == expected
    for start, end, p in h.profiles():
        assert p == of_range(df, reference, start, end)
    assert sum(p.n_rows for _, _, p in h.profiles()) == len(df)
    (s, e), (s2, _) = bounds[0], bounds[1]
    assert h.window(s, s2) == h.profiles()[0][2]


def test_local_day_bounds_are_local_midnights(reference):
    df = frame(600, 22, days=3)
    h = History(reference, "1D", tz="Europe/Paris").update(df)
    assert h.periods[0] == (np.datetime64("2024-02-29T23:00", "ns"), np.datetime64("2024-03-01T23:00", "ns"))
    paris = df.ts.dt.tz_localize("UTC").dt.tz_convert("Europe/Paris")
    keep = (paris >= pd.Timestamp("2024-03-02", tz="Europe/Paris")).to_numpy()
    assert h.window("2024-03-02") == mv.profile(df[keep].reset_index(drop=True), like=reference)
    assert h.window(dt.date(2024, 3, 2)) == h.window("2024-03-01T23:00Z")


def test_time_zones_and_units_give_the_same_periods(reference):
    import polars as pl
    import pyarrow as pa

    df = frame(800, 3)
    utc = History(reference, "1h").update(df)
    paris = df.assign(ts=df.ts.dt.tz_localize("UTC").dt.tz_convert("Europe/Paris").dt.as_unit("us"))
    for table in (paris, pl.from_pandas(paris), pa.Table.from_pandas(paris),
                  {**{c: df[c].to_numpy() for c in df}, "ts": df.ts.to_numpy().astype("datetime64[ms]")},
                  {**{c: df[c].to_numpy() for c in df}, "ts": list(df.ts.dt.to_pydatetime())}):
        other = History(reference, "1h").update(table)  # coarser units floor within the hour
        assert other.periods == utc.periods and other.window() == utc.window()


def test_rows_without_a_time_are_counted_apart(reference):
    df = frame(300, 4)
    times = df.ts.to_numpy().copy()
    times[::7] = np.datetime64("NaT")
    h = History(reference, "1D").update(df.assign(ts=times))
    assert h.undated == len(times[::7]) and h.window().n_rows == len(df) - h.undated
    assert h.window() == mv.profile(df[~np.isnat(times)].reset_index(drop=True), like=reference)


def test_replace_and_add(reference):
    first, second = frame(400, 5, days=2), frame(300, 6, days=1)
    h = History(reference, "1D").update(first)
    h.update(second, replace=True)  # the first day now holds only `second`
    assert h.window("2024-03-01", "2024-03-02") == of_range(second, reference)
    assert h.window("2024-03-02", "2024-03-03") == of_range(first, reference, "2024-03-02")
    made_elsewhere = of_range(second, reference)
    h.add("2024-03-02T13:00", made_elsewhere)
    assert h.window("2024-03-02", "2024-03-03") == of_range(first, reference, "2024-03-02").merge(made_elsewhere)
    h.add(np.datetime64("2024-03-02"), made_elsewhere, replace=True)
    assert h.window("2024-03-02", "2024-03-03") == made_elsewhere
    other = mv.profile(frame(100, 7), task=None, timestamp="ts")
    with pytest.raises(mv.MismatchError):
        h.add("2024-03-02", other)


def test_rows_periods_follow_arrival_order(reference):
    df = frame(1000, 8)
    h = History(reference, rows=300)
    for rows in np.array_split(np.arange(len(df)), 6):
        h.update(df.iloc[rows])
    assert h.periods == [(0, 300), (300, 600), (600, 900), (900, 1200)]
    for start, end, p in h.profiles():
        assert p == mv.profile(df.iloc[start:end].reset_index(drop=True), like=reference)
    assert h.window(300, 900) == mv.profile(df.iloc[300:900].reset_index(drop=True), like=reference)


def test_threads_lose_no_row(reference):
    df = frame(4000, 9)
    h = History(reference, "1D")
    chunks = np.array_split(np.arange(len(df)), 40)
    errors = []

    def work(mine):
        try:
            for rows in mine:
                h.update(df.iloc[rows])
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(chunks[i::4],)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and h.window() == of_range(df, reference)


def test_file_is_seen_by_other_processes(reference, tmp_path):
    path = tmp_path / "h.sqlite"
    df = frame(2000, 10)
    h = History(reference, "1D", path=path).update(df.iloc[:1000])
    reader = History.open(path)
    assert reader.window() == h.window() and reader.reference == reference and reader.timestamp == "ts"
    h.update(df.iloc[1000:])  # the open reader sees the new commit
    assert reader.periods == h.periods and reader.window() == of_range(df, reference)
    code = textwrap.dedent(f"""
        from morvane.history import History
        h = History.open({str(path)!r})
        print(h.window().to_bytes().hex())
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert bytes.fromhex(out.strip()) == of_range(df, reference).to_bytes()
    snap = tmp_path / "snap.sqlite"
    h.snapshot(snap)
    assert History.open(snap, readonly=True).window() == h.window()
    with pytest.raises(mv.MismatchError):
        History(mv.profile(frame(100, 11), task=None, timestamp="ts"), "1D", path=path)
    with pytest.raises(mv.MismatchError):
        History(reference, "6h", path=path)
    (tmp_path / "junk").write_bytes(b"not a database at all" * 100)
    with pytest.raises(mv.FormatError):
        History.open(tmp_path / "junk")


def test_killed_writer_loses_at_most_its_batch(reference, tmp_path):
    """A writer killed with SIGKILL in the middle of its updates leaves a file that opens and holds
    exactly the batches it had committed."""
    path, ref_path = tmp_path / "h.sqlite", tmp_path / "ref.mvp"
    reference.save(ref_path)
    code = textwrap.dedent(f"""
        import sys, numpy as np, pandas as pd, morvane as mv
        from morvane.history import History
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_history import frame
        h = History(mv.load({str(ref_path)!r}), "1D", path={str(path)!r})
        for i in range(10_000):
            h.update(frame(2000, 100 + i % 50))
            print(i, flush=True)
    """)
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    for _ in range(6):  # let it commit a few batches, then kill it wherever it is
        proc.stdout.readline()
    os.kill(proc.pid, signal.SIGKILL)
    proc.wait()
    h = History.open(path)
    n = h.window().n_rows
    assert n % 2000 == 0 and n >= 6 * 2000
    expected = mv.merge([mv.profile(frame(2000, 100 + i % 50), like=reference) for i in range(n // 2000)])
    assert h.window() == expected
    h.update(frame(2000, 999))  # and it takes updates again
    assert History.open(path).window().n_rows == n + 2000


def test_reference_needs_a_timestamp_for_periods_of_time(reference):
    untimed = mv.profile(frame(100, 12).drop(columns="ts"), task=None)
    with pytest.raises(ValueError, match="timestamp"):
        History(untimed, "1D")
    assert History(untimed, rows=10).update(frame(25, 12)).periods == [(0, 10), (10, 20), (20, 30)]
    with pytest.raises(ValueError):
        History(reference, "1D", rows=10)
    with pytest.raises(KeyError, match="ts"):
        History(reference, "1D").update(frame(10, 12).drop(columns="ts"))
    with pytest.raises(TypeError, match="datetimes"):
        History(reference, "1D").update(frame(10, 12).assign(ts=1.5))


def over_time_blocks():
    import re
    from pathlib import Path

    text = (Path(__file__).resolve().parents[2] / "docs" / "guides" / "over-time.md").read_text(encoding="utf-8")
    return re.findall(r"^```py\n(.*?)^```", text, re.S | re.M)


def run_blocks(blocks, namespace):
    """Each statement of the blocks in order; a print whose comment states a value prints it."""
    import contextlib
    import io

    sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
    try:
        from test_readme import statements
    finally:
        sys.path.pop(0)
    checked = 0
    for i, block in enumerate(blocks):
        for module, promise, line in statements(block):
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                exec(compile(module, f"over-time.md block {i + 1}", "exec"), namespace)
            if promise is not None:
                assert out.getvalue().strip() == promise, (i, line)
                checked += 1
    return checked


def test_readme_example_runs_and_prints_what_it_promises(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    blocks = over_time_blocks()
    assert len(blocks) == 2  # the second needs Spark: test_engines runs it
    namespace = {"__name__": "readme"}
    assert run_blocks(blocks[:1], namespace) == 3
    assert (tmp_path / "dashboard.html").stat().st_size > 10_000
    assert History.open("history.sqlite").window() == namespace["h"].window()


def test_a_monitor_keeps_its_windows_in_a_history(reference, tmp_path):
    """A monitor with a history counts each batch once: its window is the merge of the batch's
    periods, and the periods outlive reset()."""
    h = History(reference, "1D", path=tmp_path / "h.sqlite")
    mon = mv.Monitor(reference, history=h)
    first, second = frame(900, 15, days=2), frame(600, 16, days=3)
    mon.update(first)
    assert mon.current == of_range(first, reference) == h.window()
    mon.reset()
    mon.update(second)
    assert mon.current == of_range(second, reference)
    assert History.open(tmp_path / "h.sqlite").window() == of_range(pd.concat([first, second]), reference)
    with pytest.raises(mv.MismatchError):
        mv.Monitor(mv.profile(frame(50, 17), task=None, timestamp="ts"), history=h)
