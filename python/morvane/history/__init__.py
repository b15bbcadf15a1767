"""A history: a reference and one exact profile per period of event time (or of N rows in arrival
order), optionally kept in one SQLite file.

Each update reads the batch's event times, splits its rows by period (nothing to split in the common
case of one batch for one period), profiles each part with the reference's layout outside the lock
and with the GIL released, then merges the parts into their periods under the lock, in one
transaction when the history has a file. Any range of periods merges into the exact profile of its
rows, so a question asked later about any week or month is answered as if the rows were rescanned."""

from __future__ import annotations

import os
import threading
from bisect import bisect_left

import numpy as np

from morvane.comparing.compare import check_reference
from morvane.history import periods as hp
from morvane.profiling.subsets import groups
from morvane.state.errors import FormatError, MismatchError
from morvane.profiling.profile import profile
from morvane.state.profile import Profile
from morvane.tables import kinds
from morvane.tables.times import MISSING, as_datetime, event_times, instant


MAX_LISTED = 1_000_000  # periods a timeline lists at most (a start far before the rows)


def _empty(layout) -> Profile:
    return Profile._empty(layout)


class History:
    """Periods of `every` (a pandas offset alias such as "1h", "1D", "7D", aligned on the epoch in
    UTC) by the reference's timestamp column (``mv.profile(..., timestamp="ts")``), or of `rows` rows
    in arrival order; with `path`, kept in one SQLite file that other processes can open.

    >>> h = mv.History(reference, "1D", path="history.sqlite")
    >>> h.update(today)
    >>> h.window("2025-03-01", "2025-04-01")      # the exact profile of March
    >>> h.timeline(alpha=0.01).to_html("dashboard.html")
    """

    def __init__(self, reference: Profile, every=None, *, rows=None, path=None, threads=None):
        if not isinstance(reference, Profile):
            raise TypeError(f"History() takes a reference Profile, got {type(reference).__name__}")
        check_reference(reference)
        if (every is None) == (rows is None):
            raise ValueError("give one of every= (a period of event time, e.g. \"1D\") or rows= (rows per period)")
        self._reference = reference
        self._every = hp.period_length(every) if every is not None else None
        if rows is not None:
            if isinstance(rows, bool) or not isinstance(rows, (int, np.integer)) or rows < 1:
                raise ValueError("rows= must be a positive integer")
            self._rows = int(rows)
            self._timestamp = None
        else:
            self._rows = None
            self._timestamp = reference.layout.timestamp
            if self._timestamp is None:
                raise ValueError("every= places rows by event time: profile the reference with timestamp=\"column\" "
                                 "(or use rows= for periods of N rows)")
        self._threads = threads
        self._lock = threading.RLock()
        self._periods: dict[int, Profile] = {}
        self._keys: list[int] = []
        self._blocks: dict = {}  # cached merges of aligned blocks of periods (see _merged)
        self._rows_seen = 0   # rows= histories: rows received so far (arrival order)
        self._undated = 0     # rows without an event time, counted in no period
        self._replaced = set()  # periods given again with replace=True (their labels arrived), this session
        self._store = None
        if path is not None:
            self._attach(path)

    # ---- files -----------------------------------------------------------------------------------

    def _meta(self) -> dict:
        return {"reference": self._reference.to_bytes(), "every": self._every or 0, "rows": self._rows or 0,
                "timestamp": self._timestamp or "", "rows_seen": 0, "undated": 0}

    def _attach(self, path) -> None:
        from morvane.history.store import Store

        store = Store(path)
        try:
            store.initialise(self._meta())
            meta = store.meta()
            _check_format(meta, path)
            # Compared as profiles: a file written by an older format version holds older bytes.
            if Profile.from_bytes(bytes(meta["reference"])) != self._reference:
                raise MismatchError(f"{os.fspath(path)} holds a history of another reference")
            if (meta["every"] or None, meta["rows"] or None) != (self._every, self._rows):
                raise MismatchError(f"{os.fspath(path)} holds a history with other periods")
            if (meta["timestamp"] or None) != self._timestamp:
                raise MismatchError(f"{os.fspath(path)} places rows by another timestamp column")
        except BaseException:
            store.close()
            raise
        self._store = store
        self._refresh(force=True)

    @classmethod
    def open(cls, path, *, readonly: bool = False, threads=None) -> "History":
        """The history kept in the SQLite file at `path`, with every period committed so far."""
        from morvane.history.store import Store

        if not os.path.exists(path):
            raise FileNotFoundError(f"no history at {os.fspath(path)}")
        store = Store(path, readonly=readonly)
        try:
            meta = store.meta()
            _check_format(meta, path)
            reference = Profile.from_bytes(bytes(meta["reference"]))
        except BaseException:
            store.close()
            raise
        h = object.__new__(cls)
        h._reference, h._every, h._rows = reference, int(meta["every"]) or None, int(meta["rows"]) or None
        h._timestamp = meta["timestamp"] or None
        h._threads, h._lock = threads, threading.RLock()
        h._periods, h._keys, h._blocks, h._rows_seen, h._undated = {}, [], {}, 0, 0
        h._replaced = set()
        h._store = store
        h._refresh(force=True)
        return h

    def _refresh(self, force: bool = False) -> None:
        """Read what other connections committed since this one last read (under the lock)."""
        store = self._store
        if store is None or not (store.changed() or force):
            return
        rows, meta = store.read_since(("rows_seen", "undated"))
        for key, _, blob in rows:
            self._set(int(key), Profile.from_bytes(bytes(blob)))
        self._rows_seen = max(self._rows_seen, int(meta.get("rows_seen", 0)))
        self._undated = int(meta.get("undated", 0))

    def _set(self, key: int, p: Profile) -> None:
        if key not in self._periods:
            self._keys.insert(bisect_left(self._keys, key), key)
        self._periods[key] = p
        if self._blocks:  # the cached blocks holding this period are stale
            for level in range(1, 64):
                self._blocks.pop((level, key >> level), None)

    def snapshot(self, path) -> None:
        """A consistent copy of the history's file at `path` (for shared or read-only storage)."""
        if self._store is None:
            raise ValueError("this history has no file; give History(..., path=) to keep one")
        with self._lock:
            self._store.snapshot(path)

    def close(self) -> None:
        """Close the history's file (the last connection folds the write-ahead log into it)."""
        with self._lock:
            if self._store is not None:
                self._store.close()
                self._store = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # ---- properties ------------------------------------------------------------------------------

    @property
    def reference(self) -> Profile:
        """The reference profile every period is laid out on and compared with."""
        return self._reference

    @property
    def path(self):
        """The SQLite file holding the history, or None."""
        return None if self._store is None else self._store.path

    @property
    def every(self):
        """The period length as a NumPy timedelta64 (None for rows= histories)."""
        return None if self._every is None else np.timedelta64(self._every, "ns")

    @property
    def rows(self):
        """Rows per period of a rows= history (None for periods of time)."""
        return self._rows

    @property
    def timestamp(self):
        """The column of event times placing rows in periods (None for rows= histories)."""
        return self._timestamp

    @property
    def undated(self) -> int:
        """Rows received without an event time (NaT or missing): counted in no period."""
        with self._lock:
            self._refresh()
            return self._undated

    def _bounds(self, key: int):
        if self._rows is not None:
            return key * self._rows, (key + 1) * self._rows
        return as_datetime(key * self._every), as_datetime((key + 1) * self._every)

    @property
    def periods(self) -> list:
        """The periods holding rows, sorted: (start, end) pairs, start inclusive, end exclusive
        (NumPy datetime64[ns] in UTC, or row numbers for rows= histories)."""
        with self._lock:
            self._refresh()
            return [self._bounds(k) for k in self._keys]

    def __len__(self) -> int:
        with self._lock:
            self._refresh()
            return len(self._keys)

    def __repr__(self) -> str:
        unit = f"every {hp.alias(self._every)}" if self._rows is None else f"{self._rows} rows"
        where = f", in {self.path}" if self._store is not None else ""
        return f"<morvane.History {len(self)} periods of {unit}{where}>"

    # ---- reading ---------------------------------------------------------------------------------

    def _key_range(self, start, end):
        if self._rows is not None:
            lo = None if start is None else -(-int(start) // self._rows)
            hi = None if end is None else int(end) // self._rows
        else:
            lo = None if start is None else -(-instant(start) // self._every)
            hi = None if end is None else instant(end) // self._every
        a = 0 if lo is None else bisect_left(self._keys, lo)
        b = len(self._keys) if hi is None else bisect_left(self._keys, hi)
        return self._keys[a:b]

    def window(self, start=None, end=None) -> Profile:
        """The exact profile of the rows of every period inside [start, end) (whole periods only;
        None leaves that side open); an empty profile when no period lies inside."""
        with self._lock:
            self._refresh()
            keys = self._key_range(start, end)
            if not keys:
                return _empty(self._reference.layout)
            return self._merged(keys[0], keys[-1] + 1)

    def _merged(self, lo: int, hi: int) -> Profile:
        """The merge of the periods in [lo, hi) from cached merges of aligned blocks of periods
        (block (level, b) holds periods b * 2**level up to (b + 1) * 2**level): any range is at
        most two blocks a level, so a window costs O(log periods) merges once the blocks exist."""
        parts = []
        level = 0
        while lo < hi:
            if lo & 1 and lo < hi:
                parts.append(self._block(level, lo))
                lo += 1
            if hi & 1 and lo < hi:
                hi -= 1
                parts.append(self._block(level, hi))
            lo, hi, level = lo >> 1, hi >> 1, level + 1
        return _merge_all([p for p in parts if p is not None], self._reference.layout)

    def _block(self, level: int, b: int):
        if level == 0:
            return self._periods.get(b)
        found = self._blocks.get((level, b), _MISSING_BLOCK)
        if found is _MISSING_BLOCK:
            halves = [p for p in (self._block(level - 1, 2 * b), self._block(level - 1, 2 * b + 1)) if p is not None]
            found = _merge_all(halves, None) if halves else None
            self._blocks[(level, b)] = found
        return found

    def profiles(self, start=None, end=None) -> list:
        """[(start, end, Profile)] of the periods inside [start, end)."""
        with self._lock:
            self._refresh()
            return [(*self._bounds(k), self._periods[k]) for k in self._key_range(start, end)]

    def timeline(self, alpha: float = 0.01, checks=None, *, correction=None, cumulative=False, start=None, end=None,
                 min_effect=None, weights=None, processes=None):
        """Every period from `start` (default: the first) to `end` (default: the last) compared with
        the reference at `alpha` (a `Timeline`), periods without rows included (they fail `Rows`);
        `correction="holm"` corrects the periods together (the whole run at alpha); `cumulative`
        adds the checks of the evidence accumulated over the run; `min_effect` and `weights` as in
        `compare`; `processes` > 1 compares the periods in that many worker processes."""
        from morvane.reporting.timeline import timeline

        listed = self.every_period(start, end)
        replaced = [i for i, (s, _, _) in enumerate(listed) if self._key_of(s) in self._replaced]
        return timeline(self._reference, listed, alpha=alpha, checks=checks, correction=correction,
                        processes=processes, cumulative=cumulative, min_effect=min_effect, weights=weights,
                        replaced=replaced)

    def _key_of(self, start) -> int:
        return int(start) // self._rows if self._rows is not None else instant(start) // self._every

    def every_period(self, start=None, end=None) -> list:
        """[(start, end, Profile)] of every period inside [start, end), an empty profile for those
        without rows; without bounds, from the first period holding rows to the last."""
        with self._lock:
            self._refresh()
            if self._rows is not None:
                return self.profiles(start, end)
            keys = self._keys
            lo = -(-instant(start) // self._every) if start is not None else keys[0] if keys else None
            hi = instant(end) // self._every if end is not None else keys[-1] + 1 if keys else None
            if lo is None or hi is None:
                return []
            if hi - lo > MAX_LISTED:
                raise ValueError(f"[start, end) holds {hi - lo:,} periods; a timeline lists at most {MAX_LISTED:,}")
            empty = _empty(self._reference.layout)
            return [(*self._bounds(k), self._periods.get(k, empty)) for k in range(lo, max(lo, hi))]

    # ---- writing ---------------------------------------------------------------------------------

    def update(self, table, replace: bool = False) -> "History":
        """Count a batch of any table kind into the periods of its rows. With `replace=True`, the
        periods the batch's rows fall in hold only the batch afterwards (a period profiled again, e.g.
        once its labels have arrived)."""
        self._count_and_commit(table, replace)
        return self

    def _count_and_commit(self, table, replace: bool = False) -> list:
        """Update with `table`; returns what it counted, [(period, Profile)] (a monitor's window adds it)."""
        if self._rows is not None:
            if replace:
                raise ValueError("replace=True needs periods of event time; rows= periods are by arrival")
            table = kinds.readable(table)
            n = kinds.n_rows(table)
            with self._lock:
                self._refresh()
                first = self._rows_seen
                self._rows_seen += n  # reserved: concurrent updates take the rows that follow
            keys = (first + np.arange(n, dtype=np.int64)) // self._rows
            counted = [(k, self._profile(kinds.take(table, rows))) for k, rows in groups(keys)]
            self._commit(counted, False, rows_seen=first + n)
            return counted
        found, undated = PeriodProfiler(self._reference, self._every, self._timestamp, self._threads)([table])
        counted = sorted(found.items())
        self._commit(counted, replace, undated=undated)
        return counted

    def _update_parts(self, found, replace: bool) -> "History":
        """Commit what an engine's workers counted: ({period: Profile}, undated rows)."""
        counted, undated = found if found is not None else ({}, 0)
        self._commit(sorted(counted.items()), replace, undated=undated)
        return self

    def period_profiler(self) -> "PeriodProfiler":
        """A picklable function from tables to ({period: Profile}, undated rows), for engines' workers."""
        if self._rows is not None:
            raise ValueError("rows= periods follow arrival order, which engines do not keep: use update()")
        return PeriodProfiler(self._reference, self._every, self._timestamp, None)

    def add(self, start, p: Profile, replace: bool = False) -> "History":
        """Count a profile made elsewhere (an engine, another process) into the period holding `start`;
        with `replace=True` it becomes that period's profile."""
        if not isinstance(p, Profile):
            raise TypeError(f"add() takes a Profile, got {type(p).__name__}")
        if p.layout != self._reference.layout:
            raise MismatchError("the profile was not made with like= this history's reference")
        if self._rows is not None:
            key = int(start) // self._rows
        else:
            key = instant(start) // self._every
        self._commit([(key, p)], replace)
        return self

    def _profile(self, table) -> Profile:
        return profile(table, like=self._reference, threads=self._threads, progress=False)

    def _commit(self, counted, replace: bool, undated: int = 0, rows_seen=None) -> None:
        if not counted and not undated:
            return
        with self._lock:
            if replace:
                self._replaced.update(k for k, _ in counted)
            store = self._store
            if store is None:
                for key, p in counted:
                    self._set(key, p if replace or key not in self._periods else self._periods[key].merge(p))
                self._undated += undated
                return
            store.begin()
            try:
                self._refresh()  # what others committed, read inside our write transaction
                merged = [(k, p if replace or k not in self._periods else self._periods[k].merge(p))
                          for k, p in counted]
                meta = {"undated": self._undated + undated}
                if rows_seen is not None:
                    meta["rows_seen"] = max(self._rows_seen, rows_seen)
                store.write([(k, p.n_rows, p.to_bytes()) for k, p in merged], meta)
            except BaseException:
                store.rollback()
                raise
            for k, p in merged:
                self._set(k, p)
            self._undated += undated


class PeriodProfiler:
    """Profiles the rows of tables by period of event time with a reference's layout; picklable, so
    that engines run it on their workers and merge the results with `combine_periods`."""

    def __init__(self, reference: Profile, every: int, timestamp: str, threads=None):
        self.reference, self.every, self.timestamp, self.threads = reference, every, timestamp, threads

    def __call__(self, tables):
        counted: dict[int, Profile] = {}
        undated = 0
        for table in tables:
            table = kinds.readable(table)
            times = event_times(table, self.timestamp)
            known = times != MISSING
            keys = times // self.every
            if not known.all():
                undated += int(len(times) - known.sum())
                keys[~known] = MISSING  # a group of its own, dropped
            for key, rows in groups(keys):
                if key == MISSING:
                    continue
                p = profile(kinds.take(table, rows), like=self.reference, threads=self.threads, progress=False)
                counted[key] = counted[key].merge(p) if key in counted else p
        return counted, undated


def combine_periods(results):
    """The merge of PeriodProfiler results."""
    counted: dict[int, Profile] = {}
    undated = 0
    for part, n in results:
        undated += n
        for key, p in part.items():
            counted[key] = counted[key].merge(p) if key in counted else p
    return counted, undated


_MISSING_BLOCK = object()


def _merge_all(parts, layout) -> Profile:
    if not parts:
        return _empty(layout)
    out = parts[0]
    for p in parts[1:]:
        out = out.merge(p)
    return out


def _check_format(meta: dict, path) -> None:
    if "format" not in meta or "reference" not in meta:
        raise FormatError(f"{os.fspath(path)} is not a morvane history")
    if int(meta["format"]) > 1:
        raise FormatError(f"{os.fspath(path)} was written by a newer morvane (history format {meta['format']})")
