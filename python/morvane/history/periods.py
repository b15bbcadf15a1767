"""Periods of a history: the period length from a pandas offset alias (event times are UTC
nanoseconds from `morvane.tables.times`; rows are split by period with `morvane.profiling.subsets`)."""

from __future__ import annotations

import datetime as _dt
import re

import numpy as np


_UNITS = {
    "ns": 1, "us": 1_000, "µs": 1_000, "U": 1_000, "ms": 1_000_000, "L": 1_000_000,
    "s": 10**9, "S": 10**9, "min": 60 * 10**9, "T": 60 * 10**9, "h": 3600 * 10**9, "H": 3600 * 10**9,
    "D": 86_400 * 10**9, "d": 86_400 * 10**9,
}
_ALIAS = re.compile(r"^\s*(\d*)\s*([a-zA-Zµ]+)\s*$")


def period_length(every) -> int:
    """`every` in nanoseconds: a fixed-length pandas offset alias ("30min", "1h", "1D", "7D"), a
    `datetime.timedelta`, a NumPy or pandas timedelta."""
    if isinstance(every, str):
        found = _ALIAS.match(every)
        if found and found.group(2) in _UNITS:
            n = int(found.group(1) or 1) * _UNITS[found.group(2)]
        else:
            raise ValueError(f"every={every!r} is not a fixed-length period; use a multiple of ns, us, ms, s, "
                             "min, h or D (a week is \"7D\", aligned on the epoch: periods start on Thursdays)")
    elif isinstance(every, _dt.timedelta):
        n = (every.days * 86_400 + every.seconds) * 10**9 + every.microseconds * 1_000
        n += int(getattr(every, "nanoseconds", 0))  # pandas.Timedelta keeps nanoseconds apart
    elif isinstance(every, np.timedelta64):
        n = int(every.astype("timedelta64[ns]").astype(np.int64))
    else:
        raise TypeError(f"every= takes an offset alias such as \"1D\" or a timedelta, got {type(every).__name__}")
    if n <= 0:
        raise ValueError("every= must be a positive length of time")
    return n


def alias(ns: int) -> str:
    """A period length as the shortest offset alias: "1D", "6h", "90s"."""
    for unit in ("D", "h", "min", "s", "ms", "us"):
        if ns % _UNITS[unit] == 0:
            return f"{ns // _UNITS[unit]}{unit}"
    return f"{ns}ns"
