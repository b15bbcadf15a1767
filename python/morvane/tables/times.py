"""Times: any time column or value as int64 nanoseconds since the epoch in UTC (naive times are UTC,
zoned ones the instants they name), the one conversion every reader uses. A time outside what 64 bits
of nanoseconds hold (before 1677-09-21 or after 2262-04-11) is a ValueError naming its column and
row, never wrapped onto another date."""

from __future__ import annotations

import datetime as _dt

import numpy as np

from morvane.tables.kinds import column, library, readable
from morvane.tables.labels import is_missing

MISSING = np.iinfo(np.int64).min  # NaT's integer value: a missing time
_LOW, _HIGH = MISSING + 1, np.iinfo(np.int64).max

# NumPy time units in nanoseconds; years and months are not fixed lengths and go through days.
NS_PER_UNIT = {"W": 7 * 86_400 * 10**9, "D": 86_400 * 10**9, "h": 3_600 * 10**9, "m": 60 * 10**9, "s": 10**9,
               "ms": 10**6, "us": 10**3, "ns": 1}
_EPOCH = _dt.datetime(1970, 1, 1)
_EPOCH_DATE = _dt.date(1970, 1, 1)


class OutOfRange(ValueError):
    """A time 64 bits of nanoseconds cannot hold."""


def _out_of_range(value, name=None, row=None) -> OutOfRange:
    where = "" if name is None else f"column {name!r} " + ("" if row is None else f"row {row} ")
    return OutOfRange(f"{where}holds {value}, outside the times 64-bit nanoseconds hold (1677-09-21 to "
                      "2262-04-11): make it missing or move it into that range first")


def _checked(ns: int, value) -> int:
    if not _LOW <= ns <= _HIGH:
        raise _out_of_range(value)
    return ns


def instant(value) -> int:
    """A point in time as UTC nanoseconds: a datetime (naive is UTC, zoned the instant it names), a
    date, an ISO text (with or without an offset), a NumPy datetime64, a pandas Timestamp, or an
    integer taken as nanoseconds."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError("a point in time cannot be a boolean")
    if isinstance(value, (int, np.integer)):
        return _checked(int(value), value)
    if isinstance(value, str):
        value = _dt.datetime.fromisoformat(value.replace("Z", "+00:00"))
    if type(value).__name__ == "Timestamp" and hasattr(value, "to_datetime64"):  # pandas: exact nanoseconds
        if value.tzinfo is not None:
            value = value.tz_convert("UTC").tz_localize(None)
        value = value.to_datetime64()
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            raise ValueError("a point in time cannot be NaT")
        return int(numpy_times(np.array([value]))[0])
    if isinstance(value, _dt.datetime):
        if value.tzinfo is not None and value.utcoffset() is not None:
            value = value.astimezone(_dt.timezone.utc)
        d = value.replace(tzinfo=None) - _EPOCH
        return _checked((d.days * 86_400 + d.seconds) * 10**9 + d.microseconds * 1_000, value)
    if isinstance(value, _dt.date):
        return _checked((value - _EPOCH_DATE).days * 86_400 * 10**9, value)
    raise TypeError(f"cannot read {type(value).__name__} as a point in time")


def as_datetime(ns: int) -> np.datetime64:
    return np.datetime64(int(ns), "ns")


def numpy_times(a: np.ndarray, name=None) -> np.ndarray:
    """datetime64 or timedelta64 of any unit as int64 nanoseconds (NaT as MISSING), checked: a value
    beyond 64-bit nanoseconds raises naming the column and row."""
    unit, step = np.datetime_data(a.dtype)
    if unit in ("Y", "M"):  # calendar units: days first (always in range)
        a, unit, step = a.astype(f"{a.dtype.kind}8[D]"), "D", 1
    elif unit not in NS_PER_UNIT:  # finer than nanoseconds: their range is narrower, so no overflow
        a, unit, step = a.astype(f"{a.dtype.kind}8[ns]"), "ns", 1
    ints = a.view(np.dtype(np.int64).newbyteorder(a.dtype.byteorder if a.dtype.byteorder in "<>" else "="))
    ints = ints.astype(np.int64, copy=False)
    factor = NS_PER_UNIT[unit] * step
    if factor == 1:
        return ints
    nat = ints == MISSING
    limit = _HIGH // factor
    bad = np.abs(np.where(nat, 0, ints)) > limit
    if bad.any():
        row = int(np.flatnonzero(bad)[0])
        raise _out_of_range(a[row], name, row)
    out = ints * factor
    out[nat] = MISSING
    return out


def object_times(values: list, name=None) -> np.ndarray:
    """Python datetimes, dates, datetime64s, Timestamps or ISO texts as int64 nanoseconds (missing
    values as MISSING)."""
    out = np.empty(len(values), dtype=np.int64)
    for i, v in enumerate(values):
        if is_missing(v):
            out[i] = MISSING
        elif isinstance(v, (_dt.date, np.datetime64, str)) or type(v).__name__ == "Timestamp":
            try:
                out[i] = instant(v)
            except OutOfRange:
                raise _out_of_range(v, name, i) from None
        else:
            raise TypeError(f"time column {name!r} holds {type(v).__name__} values, not datetimes")
    return out


def _from_numpy(a: np.ndarray, name) -> np.ndarray:
    if a.dtype.kind == "M":
        return numpy_times(a, name)
    if a.dtype.kind == "O":
        return object_times(a.tolist(), name)
    raise TypeError(f"timestamp column {name!r} holds {a.dtype}, not datetimes; convert it first "
                    "(e.g. pandas.to_datetime(values, unit=\"s\", utc=True))")


def event_times(table, name: str) -> np.ndarray:
    """The column `name` of any table readable more than once as int64 UTC nanoseconds, MISSING where absent."""
    return column_times(column(readable(table), name, "timestamp column"), name)


def column_times(col, name: str = "timestamp") -> np.ndarray:
    """A datetime column of any kind as int64 UTC nanoseconds, MISSING where absent."""
    if isinstance(col, np.ndarray):
        return _from_numpy(col, name)
    mod = library(col)
    if mod == "pandas":
        if col.dtype.kind == "M":
            if getattr(col.dtype, "tz", None) is not None:
                col = col.dt.tz_convert(None)  # UTC, without the zone
            return _from_numpy(np.asarray(col.to_numpy()), name)
        return object_times(col.tolist(), name)
    if mod == "polars":
        if col.dtype.is_temporal():
            return _from_numpy(np.asarray(col.to_numpy()), name)  # UTC values, NaT for nulls
        return object_times(col.to_list(), name)
    if mod == "pyarrow":
        return _from_numpy(np.asarray(col.to_numpy(zero_copy_only=False)), name)
    if isinstance(col, (list, tuple)):
        return object_times(list(col), name)
    return _from_numpy(np.asarray(col), name)
