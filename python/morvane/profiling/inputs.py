"""Tables in: any table kind becomes one `_native.Columns`, read without copying where the memory
layout allows. pandas, polars and pyarrow are recognised by duck typing (the Arrow PyCapsule
interface, NumPy buffers), never imported."""

from __future__ import annotations

import datetime as _dt
import decimal
import math
from dataclasses import dataclass, field

import numpy as np

from morvane import _native
from morvane.state.errors import MismatchError, MissingColumnsError

# NumPy dtype kind and size -> the core's buffer type code.
_BUFFER_TYPES = {
    ("f", 8): "f8", ("f", 4): "f4",
    ("i", 1): "i1", ("i", 2): "i2", ("i", 4): "i4", ("i", 8): "i8",
    ("u", 1): "u1", ("u", 2): "u2", ("u", 4): "u4", ("u", 8): "u8",
    ("b", 1): "b1",
}


@dataclass
class Table:
    """Columns of one table: the native view, the column names in order, and each name's slot."""

    columns: _native.Columns
    names: list = field(default_factory=list)
    slots: dict = field(default_factory=dict)
    n_rows: int = 0
    # Sub-columns of a 2-D probability matrix, by column name.
    matrices: dict = field(default_factory=dict)

    def slot(self, name):
        if name not in self.slots:
            raise KeyError(f"no column {name!r} in the table")
        return self.slots[name]

    def type(self, name) -> str:
        """The column's type family: float, integer, boolean, text, datetime, duration or null."""
        return self.columns.type(self.slot(name))


def _module_of(obj) -> str:
    return type(obj).__module__.split(".")[0]


def _is_missing(v) -> bool:
    if v is None:
        return True
    if isinstance(v, float):
        return math.isnan(v)
    name = type(v).__name__
    if name in ("NAType", "NaTType"):
        return True
    if isinstance(v, np.floating):
        return bool(np.isnan(v))
    return False


def _add_numpy(cols: _native.Columns, a: np.ndarray, name=None) -> int:
    if a.ndim != 1:
        raise ValueError(f"a column must be one-dimensional, got {a.ndim} dimensions")
    kind = a.dtype.kind
    if kind in "Mm":
        return _add_times(cols, a)
    if kind == "f" and a.dtype.itemsize == 2:
        a = a.astype(np.float32)
    if kind in "fiub" and (kind, a.dtype.itemsize) in _BUFFER_TYPES:
        swap = not a.dtype.isnative
        address = a.__array_interface__["data"][0]
        return cols.add_buffer(a, address, len(a), a.strides[0], _BUFFER_TYPES[(kind, a.dtype.itemsize)], swap)
    if kind == "U":  # read natively unless a code point cannot be UTF-8 (then reported element-wise)
        slot = cols.add_unicode(a, a.__array_interface__["data"][0], len(a), a.strides[0], a.dtype.itemsize,
                                not a.dtype.isnative)
        if slot >= 0:
            return slot
    if kind == "O":  # texts and missing values read in place, anything else element-wise
        slot = cols.add_object_array(a.__array_interface__["data"][0], len(a), a.strides[0])
        if slot >= 0:
            return slot
    if kind in "USO":
        return _add_objects(cols, a.tolist(), name)
    raise TypeError(f"unsupported column dtype {a.dtype}")


# NumPy time units in nanoseconds; months and years are not fixed lengths and go through days.
_TIME_UNITS = {"W": 7 * 86_400e9, "D": 86_400e9, "h": 3_600e9, "m": 60e9, "s": 1e9, "ms": 1e6, "us": 1e3, "ns": 1.0}


def _add_times(cols: _native.Columns, a: np.ndarray) -> int:
    """datetime64 or timedelta64 of any unit as nanoseconds (datetimes naive in UTC), NaT missing."""
    unit, step = np.datetime_data(a.dtype)
    if unit in ("Y", "M"):
        a, unit, step = a.astype(f"{a.dtype.kind}8[D]"), "D", 1
    elif unit not in _TIME_UNITS:  # finer than nanoseconds: rounded to them
        a, unit, step = a.astype(f"{a.dtype.kind}8[ns]"), "ns", 1
    ints = a.view(np.dtype(np.int64).newbyteorder(a.dtype.byteorder if a.dtype.byteorder in "<>" else "="))
    return cols.add_time(a, ints.__array_interface__["data"][0], len(ints), ints.strides[0], not ints.dtype.isnative,
                         _TIME_UNITS[unit] * step, a.dtype.kind == "m")


_EPOCH = _dt.datetime(1970, 1, 1)
_EPOCH_DATE = _dt.date(1970, 1, 1)


def _instant(v) -> int:
    """A datetime or date object as integer nanoseconds since the epoch in UTC (naive ones are UTC)."""
    if hasattr(v, "value") and hasattr(v, "nanosecond"):  # a pandas Timestamp knows its nanoseconds
        return int(v.value)
    if isinstance(v, np.datetime64):
        return int(v.astype("datetime64[ns]").astype(np.int64))
    if isinstance(v, _dt.datetime):
        if v.tzinfo is not None and v.utcoffset() is not None:
            v = v.astimezone(_dt.timezone.utc).replace(tzinfo=None)
        d = v.replace(tzinfo=None) - _EPOCH
        return (d.days * 86_400 + d.seconds) * 1_000_000_000 + d.microseconds * 1000
    return (v - _EPOCH_DATE).days * 86_400 * 1_000_000_000


def _add_instants(cols: _native.Columns, values: list) -> int:
    ns = np.array([np.iinfo(np.int64).min if _is_missing(v) else _instant(v) for v in values], dtype=np.int64)
    return cols.add_time(ns, ns.__array_interface__["data"][0], len(ns), 8, False, 1.0, False)


def _add_masked(cols: _native.Columns, values: np.ndarray, present: np.ndarray) -> int:
    bitmap = np.packbits(present, bitorder="little")
    return cols.add_masked(values, values.__array_interface__["data"][0], len(values), values.strides[0],
                           _BUFFER_TYPES[(values.dtype.kind, values.dtype.itemsize)], bitmap,
                           bitmap.__array_interface__["data"][0])


def _add_objects(cols: _native.Columns, values: list, name=None) -> int:
    """Python objects: numbers (Decimal too) as numbers, datetimes and dates as instants,
    booleans as booleans, missing values as missing, anything else as category text."""
    slot = cols.add_texts(values)  # the common case, texts and missing values only, read natively
    if slot >= 0:
        return slot
    present = [v for v in values if not _is_missing(v)]
    if not present:  # no value says what the column is: all missing, of no type
        return cols.add_null(len(values))
    is_bool = [isinstance(v, (bool, np.bool_)) for v in present]
    numeric = not any(is_bool) and all(isinstance(v, (int, float, np.integer, np.floating, decimal.Decimal))
                                       for v in present)
    if numeric:
        if all(isinstance(v, (int, np.integer)) for v in present):
            return _add_integers(cols, values, present, name)
        arr = np.array([np.nan if _is_missing(v) else float(v) for v in values], dtype=np.float64)
        return _add_numpy(cols, arr)
    if all(is_bool):
        if len(present) == len(values):
            return _add_numpy(cols, np.asarray(values, dtype=bool))
        mask = np.array([not _is_missing(v) for v in values], dtype=bool)
        return _add_masked(cols, np.array([bool(v) if m else False for v, m in zip(values, mask)]), mask)
    if all(isinstance(v, (_dt.date, np.datetime64)) for v in present):
        return _add_instants(cols, values)
    texts = [None if _is_missing(v) else (v if isinstance(v, str) else _text(v)) for v in values]
    return cols.add_strings(texts)


def _add_integers(cols, values, present, name) -> int:
    """Python integers read exactly: int64, else uint64; beyond 64 bits an error naming the column."""
    mask = np.array([not _is_missing(v) for v in values], dtype=bool)
    for dtype in (np.int64, np.uint64):
        try:
            ints = np.array([int(v) if m else 0 for v, m in zip(values, mask)], dtype=dtype)
        except OverflowError:
            continue
        return _add_numpy(cols, ints) if mask.all() else _add_masked(cols, ints, mask)
    big = next(v for v in present if not -(1 << 63) <= int(v) < (1 << 64))
    where = f"column {name!r}" if name is not None else "a column"
    raise OverflowError(f"{where} holds an integer beyond 64 bits ({int(big)}): "
                        "convert the column to float or to text")


def _text(v) -> str:
    if isinstance(v, bytes):
        return v.decode("utf-8", "replace")
    if isinstance(v, (np.bool_,)):
        return str(bool(v))
    if isinstance(v, np.generic):
        return str(v.item())
    return str(v)


def _add_column(cols: _native.Columns, col, name=None) -> int:
    """One column of any supported kind; returns its slot."""
    if isinstance(col, np.ndarray):
        return _add_numpy(cols, col, name)
    mod = _module_of(col)
    if mod == "pandas":
        dtype = getattr(col, "dtype", None)
        if isinstance(dtype, np.dtype) and dtype.kind in "fiubMm":
            return _add_numpy(cols, col.to_numpy(copy=False))
        if getattr(dtype, "tz", None) is not None and getattr(dtype, "kind", None) == "M":  # instants of a zone
            return _add_numpy(cols, col.dt.tz_convert("UTC").dt.tz_localize(None).to_numpy())
        if getattr(dtype, "name", None) == "category":  # codes over str categories, without Arrow's conversion
            codes = np.asarray(col.array.codes)
            if codes.dtype.kind == "i":
                address = codes.__array_interface__["data"][0]
                slot = cols.add_codes(codes, address, len(codes), codes.strides[0],
                                      _BUFFER_TYPES[("i", codes.dtype.itemsize)], not codes.dtype.isnative,
                                      dtype.categories.tolist())
                if slot >= 0:
                    return slot
        if isinstance(dtype, np.dtype) and dtype.kind == "O":  # texts in place, without Arrow's conversion
            values = col.to_numpy(copy=False)
            slot = cols.add_object_array(values.__array_interface__["data"][0], len(values), values.strides[0])
            if slot >= 0:
                return slot
        if hasattr(col, "__arrow_c_stream__"):
            try:
                return _add_stream_column(cols, col)
            except (TypeError, ValueError, OverflowError, NotImplementedError, ImportError):
                pass  # e.g. object columns of mixed types: read them as Python objects
        return _add_objects(cols, col.to_numpy(dtype=object).tolist(), name)
    if hasattr(col, "__arrow_c_stream__"):
        return _add_stream_column(cols, col)
    if hasattr(col, "__arrow_c_array__"):
        schema, array = col.__arrow_c_array__()
        return cols.add_arrow_array(schema, array)
    if isinstance(col, (list, tuple)):
        return _add_objects(cols, list(col), name)
    if hasattr(col, "__array__") or hasattr(col, "__array_interface__"):
        return _add_numpy(cols, np.asarray(col))
    raise TypeError(f"unsupported column type {type(col).__name__}")


def _add_stream_column(cols, col) -> int:
    found = cols.add_arrow_stream(col.__arrow_c_stream__())
    if len(found) != 1:
        raise TypeError("expected a single column")
    return found[0][1]


def read_table(table) -> Table:
    """Any supported table as columns; raises TypeError for anything else."""
    cols = _native.Columns()
    t = Table(cols)
    if isinstance(table, dict):
        for name, col in table.items():
            name = str(name)
            if isinstance(col, np.ndarray) and col.ndim == 2:
                # A probability matrix: one strided view per class column, no copy.
                t.matrices[name] = [_add_numpy(cols, col[:, j]) for j in range(col.shape[1])]
                t.names.append(name)
                t.slots[name] = t.matrices[name][0] if col.shape[1] else -1
                continue
            t.names.append(name)
            t.slots[name] = _add_column(cols, col, name)
    elif _module_of(table) == "pandas" and hasattr(table, "columns") and hasattr(table, "iloc"):
        for name in table.columns:
            t.names.append(str(name))
            t.slots[str(name)] = _add_column(cols, table[name], str(name))
    elif hasattr(table, "__arrow_c_stream__"):
        for name, slot in cols.add_arrow_stream(table.__arrow_c_stream__()):
            t.names.append(name)
            t.slots[name] = slot
    elif hasattr(table, "__arrow_c_array__"):
        raise TypeError("a single Arrow array is a column, not a table: pass {name: array}")
    else:
        raise TypeError(
            "a table must be a pandas or polars DataFrame, a pyarrow Table or RecordBatch, an object with "
            f"__arrow_c_stream__, or a dict of columns; got {type(table).__name__}")
    if len(set(t.names)) != len(t.names):
        raise ValueError("column names must be unique")
    lengths = {cols.length(s) for s in t.slots.values() if s >= 0}
    for subs in t.matrices.values():
        lengths.update(cols.length(s) for s in subs)
    if len(lengths) > 1:
        raise ValueError(f"columns of a table must have the same length, got lengths {sorted(lengths)}")
    t.n_rows = lengths.pop() if lengths else 0
    return t


# A window column of another type than the reference's is read as the reference's type when every
# value converts exactly: integers as floats always, integral floats as integers, 0/1 numbers as
# booleans. Text and numbers never convert into each other ("1" is not 1), nor times into numbers.
_CONVERSIONS = {("float", "integer"): None, ("integer", "float"): "as_integers",
                ("boolean", "integer"): "as_booleans", ("boolean", "float"): "as_booleans"}


def conform(t: Table, name: str, expected: str, slot=None) -> int:
    """The slot of column `name` (or of a matrix's sub-column `slot`) read as the reference's type
    family `expected`; `MismatchError` naming the column and both types when it does not convert."""
    slot = t.slot(name) if slot is None else slot
    got = t.columns.type(slot)
    if got == expected or "null" in (got, expected) or not expected:
        return slot
    if (expected, got) not in _CONVERSIONS:
        raise MismatchError(f"column {name!r} is {expected} in the reference but {got} here")
    method = _CONVERSIONS[(expected, got)]
    if method is None:
        return slot
    new, row, value = getattr(t.columns, method)(slot)
    if new < 0:
        raise MismatchError(f"column {name!r} is {expected} in the reference but {got} here, and row {row} "
                            f"holds {value!r}, which is not {'0 or 1' if expected == 'boolean' else 'an integer'}")
    if t.slots.get(name) == slot:
        t.slots[name] = new
    return new


def require(t: Table, needed: dict, whose: str = "the reference needs") -> None:
    """Every column the reference (or the options) need, by role ({column: role}), or one
    MissingColumnsError listing all the absent."""
    absent = [(c, role) for c, role in needed.items() if c not in t.slots]
    if absent:
        listed = ", ".join(f"{c!r} ({role})" for c, role in absent)
        raise MissingColumnsError(f"the table lacks {len(absent)} column{'s' if len(absent) > 1 else ''} {whose}: {listed}; "
                    f"it has {', '.join(map(repr, t.names)) or 'no columns'}")
