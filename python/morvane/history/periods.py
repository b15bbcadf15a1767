"""Periods of a history: the rule that numbers them (`Every` fixed length, `Rows` in arrival order,
calendar `Days`, `Weeks` and `Months` in a time zone), over event times as UTC nanoseconds from
`morvane.tables.times`.

A rule numbers periods with integers (period k holds the positions in [start(k), start(k + 1))) and
has a text form that the history file stores; a new rule is one class here and one entry in `_KINDS`."""

from __future__ import annotations

import datetime as _dt
import re
from abc import ABC, abstractmethod
from functools import lru_cache

import numpy as np

from morvane.tables.times import MISSING, as_datetime, instant

_UNITS = {
    "ns": 1, "us": 1_000, "µs": 1_000, "U": 1_000, "ms": 1_000_000, "L": 1_000_000,
    "s": 10**9, "S": 10**9, "min": 60 * 10**9, "T": 60 * 10**9, "h": 3600 * 10**9, "H": 3600 * 10**9,
    "D": 86_400 * 10**9, "d": 86_400 * 10**9,
}
DAY = _UNITS["D"]
_ALIAS = re.compile(r"^\s*(\d*)\s*([a-zA-Zµ]+)(-MON)?\s*$")
_WEEKS, _MONTHS = ("W",), ("M", "MS", "ME")


class Rule(ABC):
    """Numbers positions (event times as UTC nanoseconds, or row numbers in arrival order) into
    periods: period k holds the positions in [start(k), start(k + 1))."""

    by_time = True  # positions are event times (False: row numbers)

    @abstractmethod
    def keys(self, positions: np.ndarray) -> np.ndarray:
        """The period of each position (int64; `MISSING` stays `MISSING`)."""

    @abstractmethod
    def start(self, key: int) -> int:
        """The first position of period `key`."""

    @abstractmethod
    def text(self) -> str:
        """The stored form, read back by `from_text`."""

    def key_of(self, position: int) -> int:
        return int(self.keys(np.array([position], dtype=np.int64))[0])

    def position(self, value) -> int:
        """A window bound as a position: a point in time (one with a UTC offset or a zone is the
        instant it names; a naive one is in UTC) as UTC nanoseconds."""
        return instant(value)

    def alias(self) -> str:
        return self.text()

    def bounds(self, key: int):
        """(start, end) of period `key`: datetime64[ns] in UTC, or row numbers."""
        lo, hi = self.start(key), self.start(key + 1)
        return (as_datetime(lo), as_datetime(hi)) if self.by_time else (lo, hi)

    def __eq__(self, other):
        return isinstance(other, Rule) and self.text() == other.text()

    def __hash__(self):
        return hash(self.text())

    def __repr__(self):
        return f"{type(self).__name__}({self.text()!r})"


class Every(Rule):
    """Periods of one fixed length in nanoseconds, aligned on the epoch in UTC."""

    def __init__(self, ns: int):
        if ns <= 0:
            raise ValueError("every= must be a positive length of time")
        self.ns = int(ns)

    def keys(self, positions):
        out = positions // self.ns
        out[positions == MISSING] = MISSING
        return out

    def start(self, key):
        return key * self.ns

    def text(self):
        return f"every {self.ns}"

    def alias(self):
        for unit in ("D", "h", "min", "s", "ms", "us"):
            if self.ns % _UNITS[unit] == 0:
                return f"{self.ns // _UNITS[unit]}{unit}"
        return f"{self.ns}ns"


class Rows(Rule):
    """Periods of N rows in arrival order (positions are row numbers)."""

    by_time = False

    def __init__(self, n: int):
        if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 1:
            raise ValueError("rows= must be a positive integer")
        self.n = int(n)

    def keys(self, positions):
        return positions // self.n

    def start(self, key):
        return key * self.n

    def position(self, value):
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"the bounds of rows= periods are row numbers, got {type(value).__name__}")
        return int(value)

    def text(self):
        return f"rows {self.n}"

    def alias(self):
        return f"{self.n} rows"


_EPOCH = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)
_NS_LIMIT = 2**63 - 1


@lru_cache(maxsize=None)
def _zone(tz: str):
    if tz == "UTC":
        return _dt.timezone.utc
    from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

    try:
        return ZoneInfo(tz)
    except (ZoneInfoNotFoundError, ValueError):
        raise ValueError(f"tz={tz!r} is not a known time zone (e.g. \"Europe/Paris\", \"UTC\")") from None


class Calendar(Rule):
    """Periods of n calendar units (days, weeks from Monday, months) in a time zone: each starts at
    local midnight, so a period lasts what the calendar says (23 or 25 hours on a change of clocks).
    A subclass gives the unit's name, the first local date of unit u, and u of UTC instants (which
    may be one off: the zone moves it by less than a unit)."""

    unit = ""

    def __init__(self, n: int = 1, tz: str | None = None):
        if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 1:
            raise ValueError("a calendar period is a positive number of units")
        self.n, self.tz = int(n), tz or "UTC"
        self.zone = _zone(self.tz)
        self._starts: dict[int, int] = {}

    @abstractmethod
    def first_day(self, u: int) -> _dt.date:
        """The first local date of unit u."""

    @abstractmethod
    def utc_units(self, times: np.ndarray) -> np.ndarray:
        """The unit of each UTC instant, within one of the local unit."""

    def start(self, key):
        found = self._starts.get(key)
        if found is None:
            day = self.first_day(key * self.n)
            local = _dt.datetime(day.year, day.month, day.day, tzinfo=self.zone)
            delta = local - _EPOCH
            found = (delta.days * 86_400 + delta.seconds) * 10**9 + delta.microseconds * 1_000
            found = self._starts[key] = max(-_NS_LIMIT, min(_NS_LIMIT, found))
        return found

    def keys(self, positions):
        out = np.full(len(positions), MISSING, dtype=np.int64)
        known = positions != MISSING
        times = positions[known]
        if len(times):
            guess = self.utc_units(times) // self.n
            lo, hi = int(guess.min()), int(guess.max())
            if hi - lo < 4096:  # the usual batch: a few periods, no sort needed
                candidates = np.arange(lo - 1, hi + 2, dtype=np.int64)
            else:
                guess = np.unique(guess)
                candidates = np.unique(np.concatenate([guess - 1, guess, guess + 1]))
            starts = np.array([self.start(int(k)) for k in candidates], dtype=np.int64)
            out[known] = candidates[np.searchsorted(starts, times, side="right") - 1]
        return out

    def position(self, value):
        """As for any rule, except that a naive date, datetime or ISO text is read in the rule's zone
        (a local day's bounds are local midnights)."""
        if isinstance(value, str):
            value = _dt.datetime.fromisoformat(value.replace("Z", "+00:00"))
        if isinstance(value, _dt.datetime):
            if value.tzinfo is None:
                value = value.replace(tzinfo=self.zone)
        elif isinstance(value, _dt.date):
            value = _dt.datetime(value.year, value.month, value.day, tzinfo=self.zone)
        return instant(value)

    def text(self):
        return f"{self.unit} {self.n} {self.tz}"

    def alias(self):
        return f"{self.n}{self.unit[0].upper()} in {self.tz}"


class Days(Calendar):
    unit = "days"

    def first_day(self, u):
        return _dt.date(1970, 1, 1) + _dt.timedelta(days=u)

    def utc_units(self, times):
        return times // DAY


class Weeks(Calendar):
    """Weeks from Monday (the first, week 0, starts on Monday 29 December 1969)."""

    unit = "weeks"

    def first_day(self, u):
        return _dt.date(1969, 12, 29) + _dt.timedelta(days=7 * u)

    def utc_units(self, times):
        return (times // DAY + 3) // 7


class Months(Calendar):
    unit = "months"

    def first_day(self, u):
        return _dt.date(1970 + u // 12, u % 12 + 1, 1)

    def utc_units(self, times):
        return times.astype("datetime64[ns]").astype("datetime64[M]").astype(np.int64)


_KINDS = {"every": Every, "rows": Rows, "days": Days, "weeks": Weeks, "months": Months}


def from_text(text: str) -> Rule:
    """The rule stored as `text` (see `Rule.text`)."""
    kind, *args = text.split(" ")
    if kind not in _KINDS:
        raise ValueError(f"unknown period rule {text!r}")
    return _KINDS[kind](int(args[0]), *args[1:])


def rule(every=None, rows=None, tz=None) -> Rule:
    """The rule of `History(every=, rows=, tz=)`: `every` a pandas offset alias ("30min", "1h", "1D",
    "7D": fixed lengths aligned on the epoch in UTC; "W": weeks from Monday; "1M" or "MS": calendar
    months), a timedelta, or a `Rule`; with `tz`, days, weeks and months follow that zone's calendar."""
    if (every is None) == (rows is None):
        raise ValueError("give one of every= (a period of event time, e.g. \"1D\") or rows= (rows per period)")
    if rows is not None:
        return Rows(rows)
    if isinstance(every, Rule):
        if tz is not None:
            raise ValueError("give tz= with an offset alias, or inside the rule")
        return every
    if isinstance(every, str):
        found = _ALIAS.match(every)
        n = int(found.group(1) or 1) if found else 0
        unit = found.group(2) if found else None
        if unit in _WEEKS:
            return Weeks(n, tz)
        if unit in _MONTHS:
            return Months(n, tz)
        if unit not in _UNITS or found.group(3):
            raise ValueError(f"every={every!r} is not a period; use a multiple of ns, us, ms, s, min, h, D, "
                             "W (weeks from Monday) or M (calendar months)")
        ns = n * _UNITS[unit]
    elif isinstance(every, _dt.timedelta):
        ns = (every.days * 86_400 + every.seconds) * 10**9 + every.microseconds * 1_000
        ns += int(getattr(every, "nanoseconds", 0))  # pandas.Timedelta keeps nanoseconds apart
    elif isinstance(every, np.timedelta64):
        ns = int(every.astype("timedelta64[ns]").astype(np.int64))
    else:
        raise TypeError(f"every= takes an offset alias such as \"1D\" or a timedelta, got {type(every).__name__}")
    if tz is None or (tz == "UTC" and ns > 0 and ns % DAY == 0):  # UTC days are a fixed length
        return Every(ns)
    if ns <= 0 or ns % DAY:
        raise ValueError("tz= takes periods of whole days, weeks or months (a fixed length is the same in every zone)")
    return Days(ns // DAY, tz)
