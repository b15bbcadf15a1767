"""Periods of a history: the period length from a pandas offset alias, and event times as UTC
nanoseconds; rows are split by period with `morvane.profiling.subsets`."""

from __future__ import annotations

import datetime as _dt
import re

import numpy as np

from morvane.profiling.subsets import groups, n_rows, readable, take  # noqa: F401  (rows split by period)

MISSING = np.iinfo(np.int64).min  # NaT's integer value: a missing event time

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


def instant(value) -> int:
    """A point in time as UTC nanoseconds: a datetime (naive is UTC), a date, an ISO text, a NumPy
    datetime64, a pandas Timestamp, or an integer taken as nanoseconds."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError("a point in time cannot be a boolean")
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, str):
        value = _dt.datetime.fromisoformat(value.replace("Z", "+00:00"))
    if hasattr(value, "value") and type(value).__name__ == "Timestamp":  # pandas: exact nanoseconds
        return int(value.tz_convert("UTC").value if value.tzinfo else value.value)
    if isinstance(value, _dt.datetime):
        if value.tzinfo is not None:
            value = value.astimezone(_dt.timezone.utc).replace(tzinfo=None)
        delta = value - _dt.datetime(1970, 1, 1)
        return (delta.days * 86_400 + delta.seconds) * 10**9 + delta.microseconds * 1_000
    if isinstance(value, _dt.date):
        return (value - _dt.date(1970, 1, 1)).days * 86_400 * 10**9
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            raise ValueError("a point in time cannot be NaT")
        return int(value.astype("datetime64[ns]").astype(np.int64))
    raise TypeError(f"cannot read {type(value).__name__} as a point in time")


def as_datetime(ns: int) -> np.datetime64:
    return np.datetime64(int(ns), "ns")


# ---- event times -----------------------------------------------------------------------------

def _module_of(obj) -> str:
    return type(obj).__module__.split(".")[0]


def _from_numpy(a: np.ndarray, name: str) -> np.ndarray:
    if a.dtype.kind == "M":
        if a.dtype != np.dtype("datetime64[ns]"):
            a = a.astype("datetime64[ns]")
        return a.view(np.int64)
    if a.dtype.kind == "O":
        return _from_objects(a.tolist(), name)
    raise TypeError(f"timestamp column {name!r} holds {a.dtype}, not datetimes; convert it first "
                    "(e.g. pandas.to_datetime(values, unit=\"s\", utc=True))")


def _from_objects(values: list, name: str) -> np.ndarray:
    out = np.empty(len(values), dtype=np.int64)
    for i, v in enumerate(values):
        if v is None or (isinstance(v, float) and v != v) or type(v).__name__ in ("NaTType", "NAType"):
            out[i] = MISSING
        elif isinstance(v, (_dt.date, np.datetime64, str)) or type(v).__name__ == "Timestamp":
            out[i] = instant(v)
        else:
            raise TypeError(f"timestamp column {name!r} holds {type(v).__name__} values, not datetimes")
    return out


def event_times(table, name: str) -> np.ndarray:
    """The column `name` of any table kind as int64 UTC nanoseconds, `MISSING` where absent."""
    if isinstance(table, dict):
        if name not in table:
            raise KeyError(f"no timestamp column {name!r} in the table")
        col = table[name]
    elif _module_of(table) in ("pandas", "polars") and hasattr(table, "columns"):
        if name not in table.columns:
            raise KeyError(f"no timestamp column {name!r} in the table")
        col = table[name]
    elif _module_of(table) == "pyarrow" and hasattr(table, "column"):
        if name not in table.column_names:
            raise KeyError(f"no timestamp column {name!r} in the table")
        col = table.column(name)
    elif hasattr(table, "__arrow_c_stream__"):
        import pyarrow as pa

        return event_times(pa.table(table), name)
    else:
        raise TypeError(f"cannot read event times from {type(table).__name__}")
    return column_times(col, name)


def column_times(col, name: str = "timestamp") -> np.ndarray:
    mod = _module_of(col)
    if isinstance(col, np.ndarray):
        return _from_numpy(col, name)
    if mod == "pandas":
        if col.dtype.kind == "M":
            if getattr(col.dtype, "tz", None) is not None:
                col = col.dt.tz_convert(None)  # UTC, without the zone
            return _from_numpy(np.asarray(col.to_numpy()), name)
        return _from_objects(col.tolist(), name)
    if mod == "polars":
        import polars as pl

        if col.dtype == pl.Date or isinstance(col.dtype, pl.Datetime):
            return col.dt.epoch("ns").fill_null(MISSING).to_numpy().astype(np.int64, copy=False)
        return _from_objects(col.to_list(), name)
    if mod == "pyarrow":
        return _from_numpy(np.asarray(col.to_numpy(zero_copy_only=False)), name)
    if isinstance(col, (list, tuple)):
        return _from_objects(list(col), name)
    return _from_numpy(np.asarray(col), name)
