"""The history file is the users' record: a file that is not a history is never changed, every stored
field is checked, damage and the file system's failures come out as FormatError or OSError naming the
path, read-only storage is read, rows= periods hold exactly N rows with several writing processes,
and files of the earlier format still open."""

import os
import sqlite3
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import morvane as mv
from morvane.history import History

sys.path.insert(0, os.path.dirname(__file__))
from test_history import frame, of_range  # noqa: E402


@pytest.fixture(scope="module")
def reference():
    return mv.profile(frame(2000, 0), target="y", prediction="score", task="binary", timestamp="ts")


def make_history(reference, path, batches=3):
    h = History(reference, "1D", path=path)
    for i in range(batches):
        h.update(frame(500, 40 + i))
    h.close()
    return path


def snapshot_of(folder):
    return {name: (folder / name).read_bytes() for name in sorted(os.listdir(folder))}


def foreign_sqlite(path, statements):
    db = sqlite3.connect(path)
    for s in statements:
        db.execute(s)
    db.commit()
    db.close()


FOREIGN = {
    "an empty file": lambda p: p.write_bytes(b""),
    "a text file": lambda p: p.write_text("id,amount\n1,2\n" * 50),
    "a database of the user's": lambda p: foreign_sqlite(p, ["CREATE TABLE sales (id INTEGER, amount REAL)",
                                                            "INSERT INTO sales VALUES (1, 2.5)"]),
    "a database with tables of the same names": lambda p: foreign_sqlite(
        p, ["CREATE TABLE meta (key TEXT, value BLOB)", "CREATE TABLE periods (period INTEGER, n_rows INTEGER)",
            "INSERT INTO meta VALUES ('owner', 'finance')"]),
    "an empty database": lambda p: foreign_sqlite(p, ["PRAGMA user_version = 7"]),
}


@pytest.mark.parametrize("kind", sorted(FOREIGN))
@pytest.mark.parametrize("how", ["open", "open read-only", "create"])
def test_a_file_that_is_not_a_history_is_never_changed(reference, tmp_path, kind, how):
    path = tmp_path / "prod.db"
    FOREIGN[kind](path)
    before = snapshot_of(tmp_path)
    with pytest.raises(mv.FormatError, match="prod.db"):
        if how == "create":
            History(reference, "1D", path=path)
        else:
            History.open(path, readonly=how == "open read-only")
    assert snapshot_of(tmp_path) == before


def read_only(folder, on: bool) -> bool:
    """Make a folder read-only (or writable again), also for root: an immutable folder."""
    if os.geteuid() != 0:
        os.chmod(folder, 0o555 if on else 0o755)
        return True
    return subprocess.run(["chattr", "+i" if on else "-i", str(folder)], capture_output=True).returncode == 0


def test_read_only_storage_is_read(reference, tmp_path):
    folder = tmp_path / "shelf"
    folder.mkdir()
    path = make_history(reference, folder / "h.sqlite")
    expected = mv.merge([mv.profile(frame(500, 40 + i), like=reference) for i in range(3)])
    assert sorted(os.listdir(folder)) == ["h.sqlite"]
    if not read_only(folder, True):
        pytest.skip("no way to make a read-only folder here")
    try:
        h = History.open(path, readonly=True)
        assert h.window() == expected and len(h.periods) == 5
    finally:
        read_only(folder, False)


def edit(path, statement):
    db = sqlite3.connect(path)
    db.execute(statement)
    db.commit()
    db.close()


# Each stored field edited behind the history's back: (what, SQL). None of them may pass unseen.
EDITS = [
    ("sequence to 0", "UPDATE periods SET seq = 0 WHERE period = (SELECT MIN(period) FROM periods)"),
    ("sequence below 0", "UPDATE periods SET seq = -5 WHERE period = (SELECT MIN(period) FROM periods)"),
    ("sequence beyond the last", "UPDATE periods SET seq = 99 WHERE period = (SELECT MIN(period) FROM periods)"),
    ("sequence to another update's", "UPDATE periods SET seq = 1 WHERE seq = 3 AND period = "
                                      "(SELECT MAX(period) FROM periods)"),
    ("period number", "UPDATE periods SET period = period + 100 WHERE period = (SELECT MIN(period) FROM periods)"),
    ("row count", "UPDATE periods SET n_rows = n_rows + 1 WHERE period = (SELECT MIN(period) FROM periods)"),
    ("a byte of the counts", "UPDATE periods SET profile = substr(profile, 1, 20) || x'ff' || substr(profile, 22)"
                             " WHERE period = (SELECT MIN(period) FROM periods)"),
    ("undated count", "UPDATE meta SET value = 12 WHERE key = 'undated'"),
    ("last update number", "UPDATE meta SET value = 7 WHERE key = 'seq'"),
    ("period rule", "UPDATE meta SET value = 'every 3600000000000' WHERE key = 'rule'"),
]


@pytest.mark.parametrize("what,statement", EDITS, ids=[e[0] for e in EDITS])
def test_every_stored_field_is_checked(reference, tmp_path, what, statement):
    path = make_history(reference, tmp_path / "h.sqlite")
    edit(path, statement)
    with pytest.raises(mv.FormatError, match="h.sqlite"):
        h = History.open(path)
        h.window(), h.undated


@pytest.mark.parametrize("cut", [0.02, 0.3, 0.6, 0.97])
def test_a_truncated_file_is_a_format_error_naming_it(reference, tmp_path, cut):
    path = make_history(reference, tmp_path / "h.sqlite", batches=6)
    data = path.read_bytes()
    path.write_bytes(data[: int(len(data) * cut)])
    with pytest.raises((mv.FormatError, OSError), match="h.sqlite"):
        History.open(path).timeline()


def test_periods_are_decoded_when_needed(reference, tmp_path):
    """A damaged period fails the windows that hold it, not the opening nor the other windows."""
    path = make_history(reference, tmp_path / "h.sqlite")
    edit(path, "UPDATE periods SET profile = substr(profile, 1, 30) || x'00ff' || substr(profile, 33) "
               "WHERE period = (SELECT MAX(period) FROM periods)")
    h = History.open(path)
    (first, _), (_, last_start) = h.periods[0], h.periods[-2]
    assert h.window(first, h.periods[-1][0]).n_rows == sum(p.n_rows for _, _, p in h.profiles(end=h.periods[-1][0]))
    with pytest.raises(mv.FormatError, match="period"):
        h.window()


def test_failures_of_the_file_system_name_the_path(reference, tmp_path):
    with pytest.raises(OSError, match="missing"):
        History(reference, "1D", path=tmp_path / "missing" / "h.sqlite")
    with pytest.raises(FileNotFoundError, match="nothing.sqlite"):
        History.open(tmp_path / "nothing.sqlite")
    path = make_history(reference, tmp_path / "h.sqlite")
    reader = History.open(path, readonly=True)
    with pytest.raises(OSError, match="read-only"):
        reader.update(frame(10, 1))
    with pytest.raises(FileNotFoundError) as e:
        reference.save(tmp_path / "no folder" / "ref.mvp")
    assert e.value.filename == str(tmp_path / "no folder" / "ref.mvp") and "mvtmp" not in str(e.value)


WRITER = """
import sys, numpy as np, morvane as mv
from morvane.history import History
sys.path.insert(0, {tests!r})
from test_history import frame
h = History(mv.load({ref!r}), rows={n}, path={path!r})
rng = np.random.default_rng({seed})
for i in range(12):
    h.update(frame(int(rng.integers(1, 40)), {seed} * 100 + i))
"""


@pytest.mark.parametrize("writers", [2, 4])
def test_rows_periods_hold_exactly_n_rows_with_several_writers(reference, tmp_path, writers):
    path, ref = tmp_path / "h.sqlite", tmp_path / "ref.mvp"
    reference.save(ref)
    History(reference, rows=25, path=path).close()
    procs = [subprocess.Popen([sys.executable, "-c", WRITER.format(tests=os.path.dirname(__file__), ref=str(ref),
                                                                   n=25, path=str(path), seed=s)])
             for s in range(writers)]
    assert [p.wait() for p in procs] == [0] * writers
    h = History.open(path)
    sizes = [p.n_rows for _, _, p in h.profiles()]
    sent = sum(int(rng.integers(1, 40)) for rng in map(np.random.default_rng, range(writers)) for _ in range(12))
    assert sum(sizes) == sent and sizes[:-1] == [25] * (len(sizes) - 1) and 0 < sizes[-1] <= 25
    assert [(s, e) for s, e in h.periods] == [(25 * k, 25 * k + 25) for k in range(len(sizes))]


def write_format_1(path, reference, parts):
    """A history file as morvane wrote it before its format 2: whole profiles, no checks."""
    db = sqlite3.connect(path)
    db.executescript("""
        CREATE TABLE meta (key TEXT PRIMARY KEY, value BLOB NOT NULL);
        CREATE TABLE periods (period INTEGER PRIMARY KEY, n_rows INTEGER NOT NULL, seq INTEGER NOT NULL,
                              profile BLOB NOT NULL);
        CREATE INDEX periods_seq ON periods (seq);
    """)
    meta = {"reference": reference.to_bytes(), "every": 86_400 * 10**9, "rows": 0, "timestamp": "ts",
            "rows_seen": 0, "undated": 3, "format": 1, "seq": 1}
    db.executemany("INSERT INTO meta VALUES (?, ?)", list(meta.items()))
    db.executemany("INSERT INTO periods VALUES (?, ?, 1, ?)",
                   [(int(np.datetime64(s, "ns").astype(np.int64)) // (86_400 * 10**9), p.n_rows, p.to_bytes())
                    for s, p in parts])
    db.commit()
    db.close()


def test_a_file_of_the_earlier_format_opens_and_is_upgraded_by_its_first_write(reference, tmp_path):
    df = frame(900, 50, days=3)
    days = ["2024-03-01", "2024-03-02", "2024-03-03", "2024-03-04"]
    parts = [(a, of_range(df, reference, a, b)) for a, b in zip(days, days[1:])]
    path = tmp_path / "old.sqlite"
    write_format_1(path, reference, parts)
    old = History.open(path, readonly=True)
    assert old.window() == of_range(df, reference) and old.undated == 3 and old.every == np.timedelta64(1, "D")
    more = frame(300, 51, days=3)
    History(reference, "1D", path=path).update(more)
    both = History.open(path)
    assert both.window() == mv.merge([of_range(df, reference), of_range(more, reference)]) and both.undated == 3


def test_a_period_stores_its_counts_not_the_layout(tmp_path):
    """A reference with a 10,000-value id column makes each stored period of 100 rows barely larger."""
    import warnings

    ids = np.array([f"id{i:05d}" for i in range(10_000)])
    sizes = []
    for keyed in (False, True):
        df = frame(20_000, 60)
        if keyed:
            df = df.assign(id=np.random.default_rng(0).choice(ids, len(df)))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ref = mv.profile(df, target="y", prediction="score", task="binary", timestamp="ts")
        path = tmp_path / f"h{keyed}.sqlite"
        day = frame(100, 61, days=1)
        History(ref, "1D", path=path).update(day.assign(id=ids[:100]) if keyed else day).close()
        db = sqlite3.connect(path)
        sizes.append((len(ref.to_bytes()), db.execute("SELECT SUM(LENGTH(profile)) FROM periods").fetchone()[0]))
        db.close()
    (plain_ref, plain), (keyed_ref, keyed) = sizes
    assert keyed_ref > 10 * plain_ref and keyed < 1.5 * plain
