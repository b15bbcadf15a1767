"""A history: a reference and one exact profile per period of event time (or of N rows in arrival
order), optionally kept in one SQLite file.

Each update reads the batch's event times, splits its rows by period (nothing to split in the common
case of one batch for one period), profiles each part with the reference's layout outside the lock
and with the GIL released, then merges the parts into their periods under the lock, in one
transaction when the history has a file. Any range of periods merges into the exact profile of its
rows, so a question asked later about any week or month is answered as if the rows were rescanned.
A history read from a file decodes a period only when a window or a timeline needs it."""

from __future__ import annotations

import threading
from bisect import bisect_left

import numpy as np

from morvane.comparing.compare import check_reference
from morvane.history import periods as hp
from morvane.history.store import FORMAT, Store
from morvane.profiling.subsets import groups
from morvane.state.errors import FormatError, MismatchError
from morvane.profiling.profile import profile
from morvane.state.profile import Profile
from morvane.tables import kinds
from morvane.tables.times import MISSING, event_times


def _empty(layout) -> Profile:
    return Profile._empty(layout)


MAX_LISTED = 1_000_000  # periods a timeline lists at most (a start far before the rows)


class History:
    """Periods of `every` by the reference's timestamp column (``mv.profile(..., timestamp="ts")``):
    a pandas offset alias ("1h", "1D", "7D": fixed lengths aligned on the epoch in UTC; "W": weeks
    from Monday; "1M" or "MS": calendar months; with `tz`, days, weeks and months of that zone's
    calendar), or of `rows` rows in arrival order; with `path`, kept in one SQLite file that other
    processes can open.

    >>> h = mv.History(reference, "1D", tz="Europe/Paris", path="history.sqlite")
    >>> h.update(today)
    >>> h.window("2025-03-01", "2025-04-01")      # the exact profile of March
    >>> h.timeline(alpha=0.01).to_html("dashboard.html")
    """

    def __init__(self, reference: Profile, every=None, *, rows=None, tz=None, path=None, threads=None):
        if not isinstance(reference, Profile):
            raise TypeError(f"History() takes a reference Profile, got {type(reference).__name__}")
        check_reference(reference)
        rule = hp.rule(every, rows, tz)
        timestamp = reference.layout.timestamp if rule.by_time else None
        if rule.by_time and timestamp is None:
            raise ValueError("every= places rows by event time: profile the reference with timestamp=\"column\" "
                             "(or use rows= for periods of N rows)")
        self._start(reference, rule, timestamp, threads, None)
        if path is not None:
            self._attach(path)

    def _start(self, reference, rule, timestamp, threads, store) -> None:
        self._reference, self._rule, self._timestamp = reference, rule, timestamp
        self._threads = threads
        self._lock = threading.RLock()
        self._periods: dict[int, Profile | None] = {}  # None: in the file, not decoded yet
        self._keys: list[int] = []
        self._blocks: dict = {}  # cached merges of aligned blocks of periods (see _merged)
        self._rows_seen = 0   # rows= histories: rows received so far (arrival order)
        self._undated = 0     # rows without an event time, counted in no period
        self._replaced: set = set()  # periods given again with replace=True (their labels arrived), this session
        self._store = store
        if store is not None:
            self._refresh(force=True)

    # ---- files -----------------------------------------------------------------------------------

    def _attach(self, path) -> None:
        store = Store.create(path, {"reference": self._reference.to_bytes(), "rule": self._rule.text(),
                                    "timestamp": self._timestamp or "", "rows_seen": 0, "undated": 0})
        try:
            reference, rule, timestamp = _read_meta(store)
            # Compared as profiles: a file written by an older format version holds older bytes.
            if reference != self._reference:
                raise MismatchError(f"{store.path} holds a history of another reference")
            if rule != self._rule:
                raise MismatchError(f"{store.path} holds a history with other periods ({rule.alias()})")
            if timestamp != self._timestamp:
                raise MismatchError(f"{store.path} places rows by another timestamp column")
            self._store = store
            self._refresh(force=True)
        except BaseException:
            self._store = None
            store.close()
            raise

    @classmethod
    def open(cls, path, *, readonly: bool = False, threads=None) -> "History":
        """The history kept in the SQLite file at `path`, with every period committed so far (read
        when a window or timeline needs it). `readonly=True` also reads from a read-only directory or medium."""
        store = Store(path, readonly=readonly)
        try:
            h = object.__new__(cls)
            h._start(*_read_meta(store), threads, store)
        except BaseException:
            store.close()
            raise
        return h

    def _refresh(self, force: bool = False) -> None:
        """Learn which periods other connections committed since this one last read (under the lock);
        they are decoded when needed."""
        store = self._store
        if store is None or not (store.changed() or force):
            return
        rows, meta = store.index(everything=force)
        for key, _, _ in rows:
            self._set(int(key), None)
        self._rows_seen = max(self._rows_seen, int(meta.get("rows_seen", 0)))
        self._undated = int(meta.get("undated", 0))

    def _set(self, key: int, p: Profile | None) -> None:
        if key not in self._periods:
            self._keys.insert(bisect_left(self._keys, key), key)
        self._periods[key] = p
        if self._blocks:  # the cached blocks holding this period are stale
            for level in range(1, 64):
                self._blocks.pop((level, key >> level), None)

    def _period(self, key: int) -> Profile:
        """Period `key`'s profile, decoded from the file the first time it is asked for."""
        p = self._periods[key]
        if p is None:
            if self._store is None:
                raise ValueError("this history's file is closed: open it again with History.open(path)")
            n, blob = self._store.load(key)
            layout = self._reference.layout
            if self._store.format < FORMAT:  # whole profiles, without checks
                p = Profile.from_bytes(blob)
                if p.layout != layout:
                    raise FormatError(f"{self._store.path} is damaged: period {key} has another layout")
            else:
                try:
                    p = Profile.from_counts(layout, blob)
                except FormatError as e:
                    raise FormatError(f"{self._store.path} is damaged: period {key}: {e}") from None
            if p.n_rows != n:
                raise FormatError(f"{self._store.path} is damaged: period {key} holds {p.n_rows} rows, not {n}")
            self._periods[key] = p
        return p

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
        """The period length as a NumPy timedelta64 for fixed lengths; the calendar rule (`Days`,
        `Weeks`, `Months` in a zone) for calendar periods; None for rows= histories."""
        if isinstance(self._rule, hp.Every):
            return np.timedelta64(self._rule.ns, "ns")
        return self._rule if self._rule.by_time else None

    @property
    def rows(self):
        """Rows per period of a rows= history (None for periods of time)."""
        return self._rule.n if isinstance(self._rule, hp.Rows) else None

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

    @property
    def periods(self) -> list:
        """The periods holding rows, sorted: (start, end) pairs, start inclusive, end exclusive
        (NumPy datetime64[ns] in UTC, or row numbers for rows= histories)."""
        with self._lock:
            self._refresh()
            return [self._rule.bounds(k) for k in self._keys]

    def __len__(self) -> int:
        with self._lock:
            self._refresh()
            return len(self._keys)

    def __repr__(self) -> str:
        unit = self._rule.alias() if isinstance(self._rule, hp.Rows) else f"every {self._rule.alias()}"
        where = f", in {self.path}" if self._store is not None else ""
        return f"<morvane.History {len(self)} periods of {unit}{where}>"

    # ---- reading ---------------------------------------------------------------------------------

    def _key_range(self, start, end):
        """The periods holding rows inside [start, end); ValueError if a bound cuts one of them."""
        rule, cut = self._rule, []
        lo = hi = None
        if start is not None:
            at = rule.position(start)
            lo = rule.key_of(at)
            if rule.start(lo) != at:
                cut.append(lo)
                lo += 1
        if end is not None:
            at = rule.position(end)
            hi = rule.key_of(at)
            if rule.start(hi) != at:
                cut.append(hi)
        cut = [k for k in cut if k in self._periods]
        if cut:
            named = ", ".join(f"[{a}, {b})" for a, b in (rule.bounds(k) for k in cut))
            raise ValueError(f"the window's bounds cut the period{'s' * (len(cut) > 1)} {named}: a window holds "
                             "whole periods, so give bounds on period edges")
        a = 0 if lo is None else bisect_left(self._keys, lo)
        b = len(self._keys) if hi is None else bisect_left(self._keys, hi)
        return self._keys[a:b]

    def window(self, start=None, end=None) -> Profile:
        """The exact profile of the rows of every period inside [start, end) (None leaves that side
        open); an empty profile when no period lies inside. A bound that cuts a period holding rows
        raises ValueError naming it."""
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
            return self._period(b) if b in self._periods else None
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
            return [(*self._rule.bounds(k), self._period(k)) for k in self._key_range(start, end)]

    def timeline(self, alpha: float = 0.01, checks=None, *, correction=None, cumulative=False, start=None, end=None,
                 min_effect=None, weights=None, processes=None):
        """Every period from `start` (default: the first) to `end` (default: the last) compared with
        the reference at `alpha` (a `Timeline`), periods without rows included (they fail `Rows`);
        `correction="holm"` corrects the periods together (the whole run at alpha); `cumulative`
        adds the checks of the evidence accumulated over the run; `min_effect` and `weights` as in
        `compare`; `processes` > 1 compares the periods in that many worker processes."""
        from morvane.reporting.timeline import timeline

        listed = self._listed(start, end)
        return timeline(self._reference, [item[1:] for item in listed], alpha=alpha, checks=checks,
                        correction=correction, processes=processes, cumulative=cumulative, min_effect=min_effect,
                        weights=weights, replaced=[i for i, item in enumerate(listed) if item[0] in self._replaced])

    def every_period(self, start=None, end=None) -> list:
        """[(start, end, Profile)] of every period inside [start, end), an empty profile for those
        without rows; without bounds, from the first period holding rows to the last."""
        return [item[1:] for item in self._listed(start, end)]

    def _listed(self, start, end) -> list:
        """[(key, start, end, Profile)] of every period inside [start, end) (whole periods only)."""
        with self._lock:
            self._refresh()
            rule, keys = self._rule, self._keys
            if not rule.by_time:
                return [(k, *rule.bounds(k), self._period(k)) for k in self._key_range(start, end)]
            lo = keys[0] if start is None and keys else None
            if start is not None:
                at = rule.position(start)
                lo = rule.key_of(at) + (rule.start(rule.key_of(at)) != at)
            hi = keys[-1] + 1 if end is None and keys else None
            if end is not None:
                hi = rule.key_of(rule.position(end))
            if lo is None or hi is None:
                return []
            if hi - lo > MAX_LISTED:
                raise ValueError(f"[start, end) holds {hi - lo:,} periods; a timeline lists at most {MAX_LISTED:,}")
            empty = _empty(self._reference.layout)
            return [(k, *rule.bounds(k), self._period(k) if k in self._periods else empty) for k in range(lo, max(lo, hi))]

    # ---- writing ---------------------------------------------------------------------------------

    def update(self, table, replace: bool = False) -> "History":
        """Count a batch of any table kind into the periods of its rows. With `replace=True`, the
        periods the batch's rows fall in hold only the batch afterwards (a period profiled again, e.g.
        once its labels have arrived)."""
        self.count(table, replace)
        return self

    def count(self, table, replace: bool = False) -> list:
        """`update(table, replace)`, returning what the batch counted: [(start, end, Profile)] of each
        period its rows fall in (a monitor's window adds them)."""
        if self._rule.by_time:
            found, undated = self.period_profiler(self._threads)([table])
            counted = sorted(found.items())
            self._commit(counted, replace, undated=undated)
        elif replace:
            raise ValueError("replace=True needs periods of event time; rows= periods are by arrival")
        else:
            counted = self._count_rows(kinds.readable(table))
        return [(*self._rule.bounds(k), p) for k, p in counted]

    def _count_rows(self, table) -> list:
        """A rows= batch counted into the periods of the row numbers it takes next. With a file, the
        numbers are reserved, the rows profiled and committed in one write transaction, so that
        periods hold exactly N rows however many processes write."""
        n = kinds.n_rows(table)
        if n == 0:
            return []

        def split(first):
            keys = self._rule.keys(first + np.arange(n, dtype=np.int64))
            return [(k, self._profile(kinds.take(table, rows))) for k, rows in groups(keys)]

        with self._lock:
            if self._store is None:
                first = self._rows_seen
                self._rows_seen += n  # reserved: concurrent updates take the rows that follow
            else:
                with self._store.writing():
                    self._refresh()
                    first = self._rows_seen
                    counted = split(first)
                    merged = self._write(counted, False, {"rows_seen": first + n})
                self._rows_seen = first + n
                for k, p in merged:
                    self._set(k, p)
                return counted
        counted = split(first)
        self._commit(counted, False)
        return counted

    def add_periods(self, found, replace: bool = False) -> "History":
        """Commit what engines' workers counted with `period_profiler()` and `combine_periods`:
        ({period: Profile}, undated rows), or None when they saw no rows."""
        counted, undated = found if found is not None else ({}, 0)
        self._commit(sorted(counted.items()), replace, undated=undated)
        return self

    def period_profiler(self, threads=None) -> "PeriodProfiler":
        """A picklable function from tables to ({period: Profile}, undated rows), for engines' workers."""
        if not self._rule.by_time:
            raise ValueError("rows= periods follow arrival order, which engines do not keep: use update()")
        return PeriodProfiler(self._reference, self._rule, self._timestamp, threads)

    def add(self, start, p: Profile, replace: bool = False) -> "History":
        """Count a profile made elsewhere (an engine, another process) into the period holding `start`;
        with `replace=True` it becomes that period's profile."""
        if not isinstance(p, Profile):
            raise TypeError(f"add() takes a Profile, got {type(p).__name__}")
        if p.layout != self._reference.layout:
            raise MismatchError("the profile was not made with like= this history's reference")
        self._commit([(self._rule.key_of(self._rule.position(start)), p)], replace)
        return self

    def _profile(self, table) -> Profile:
        return profile(table, like=self._reference, threads=self._threads, progress=False)

    def _commit(self, counted, replace: bool, undated: int = 0) -> None:
        if not counted and not undated:
            return
        with self._lock:
            if replace:
                self._replaced.update(k for k, _ in counted)
            if self._store is None:
                merged = self._merged_into(counted, replace)
            else:
                with self._store.writing():
                    self._refresh()  # what others committed, read inside our write transaction
                    merged = self._write(counted, replace, {"undated": self._undated + undated})
            for k, p in merged:
                self._set(k, p)
            self._undated += undated

    def _merged_into(self, counted, replace: bool) -> list:
        return [(k, p if replace or k not in self._periods else self._period(k).merge(p)) for k, p in counted]

    def _write(self, counted, replace: bool, meta: dict) -> list:
        """Inside a write transaction: the periods' new profiles written with `meta`; returns them."""
        store = self._store
        if store.format < FORMAT:  # a file of an older format is rewritten in this one first
            store.upgrade({"rule": self._rule.text(), "timestamp": self._timestamp or "",
                           "rows_seen": self._rows_seen, "undated": self._undated},
                          [(k, self._period(k).n_rows, self._period(k).to_counts()) for k in self._keys])
        merged = self._merged_into(counted, replace)
        store.write([(k, p.n_rows, p.to_counts()) for k, p in merged], meta)
        return merged


def _read_meta(store: Store):
    """(reference, rule, timestamp column) of a history file."""
    meta = store.meta()
    try:
        reference = Profile.from_bytes(bytes(meta["reference"]))
        if "rule" in meta:
            rule = hp.from_text(str(meta["rule"]))
        else:  # format 1 kept the period length and the rows per period
            rule = hp.Every(int(meta["every"])) if int(meta.get("every") or 0) else hp.Rows(int(meta["rows"]))
    except (KeyError, ValueError, TypeError) as e:
        raise FormatError(f"{store.path} is not a readable morvane history: {e}") from None
    return reference, rule, str(meta.get("timestamp") or "") or None


class PeriodProfiler:
    """Profiles the rows of tables by period of event time with a reference's layout; picklable, so
    that engines run it on their workers and merge the results with `combine_periods`."""

    def __init__(self, reference: Profile, rule: hp.Rule, timestamp: str, threads=None):
        self.reference, self.rule, self.timestamp, self.threads = reference, rule, timestamp, threads

    def __call__(self, tables):
        counted: dict[int, Profile] = {}
        undated = 0
        for table in tables:
            table = kinds.readable(table)
            times = event_times(table, self.timestamp)
            keys = self.rule.keys(times)  # a missing time is a group of its own, dropped
            undated += int(np.count_nonzero(times == MISSING))
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

