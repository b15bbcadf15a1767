"""Tables in: any table kind becomes one `_native.Columns`, read without copying where the memory
layout allows. pandas, polars and pyarrow are recognised by duck typing (the Arrow PyCapsule
interface, NumPy buffers), never imported."""

from __future__ import annotations

import datetime as _dt
import decimal
from dataclasses import dataclass, field

import numpy as np

from morvane import _native
from morvane.tables import kinds, times
from morvane.tables.labels import is_missing, label

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


def _add_numpy(cols: _native.Columns, a: np.ndarray, name=None) -> int:
    if a.ndim != 1:
        raise ValueError(f"a column must be one-dimensional, got {a.ndim} dimensions")
    kind = a.dtype.kind
    if kind in "Mm":
        return _add_times(cols, a, name)
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


def _add_times(cols: _native.Columns, a: np.ndarray, name=None) -> int:
    """datetime64 or timedelta64 of any unit as nanoseconds (datetimes naive in UTC), NaT missing."""
    return _add_nanoseconds(cols, times.numpy_times(a, name), a.dtype.kind == "m")


def _add_nanoseconds(cols: _native.Columns, ns: np.ndarray, duration: bool = False) -> int:
    return cols.add_time(ns, ns.__array_interface__["data"][0], len(ns), ns.strides[0], False, 1.0, duration)


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
    present = [v for v in values if not is_missing(v)]
    if not present:  # no value says what the column is: all missing, of no type
        return cols.add_null(len(values))
    is_bool = [isinstance(v, (bool, np.bool_)) for v in present]
    numeric = not any(is_bool) and all(isinstance(v, (int, float, np.integer, np.floating, decimal.Decimal))
                                       for v in present)
    if numeric:
        if all(isinstance(v, (int, np.integer)) for v in present):
            return _add_integers(cols, values, present, name)
        arr = np.array([np.nan if is_missing(v) else float(v) for v in values], dtype=np.float64)
        return _add_numpy(cols, arr)
    if all(is_bool):
        if len(present) == len(values):
            return _add_numpy(cols, np.asarray(values, dtype=bool))
        mask = np.array([not is_missing(v) for v in values], dtype=bool)
        return _add_masked(cols, np.array([bool(v) if m else False for v, m in zip(values, mask)]), mask)
    if all(isinstance(v, (_dt.date, np.datetime64)) for v in present):
        return _add_nanoseconds(cols, times.object_times(values, name))
    return cols.add_strings([label(v, name) for v in values])


def _add_integers(cols, values, present, name) -> int:
    """Python integers read exactly: int64, else uint64; beyond 64 bits an error naming the column."""
    mask = np.array([not is_missing(v) for v in values], dtype=bool)
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


def _add_column(cols: _native.Columns, col, name=None) -> int:
    """One column of any supported kind; returns its slot. A text that has no UTF-8 form (a lone
    surrogate) is a ValueError naming the column: replacing it would merge distinct values."""
    try:
        return _add_any(cols, col, name)
    except UnicodeEncodeError:
        raise ValueError(f"column {name!r} holds a text that is not valid UTF-8 (a lone surrogate)") from None
    except ValueError as error:
        if str(error).startswith("row "):  # the core knows the row, not the name a dict gave the column
            raise ValueError(f"column {name!r} {error}") from None
        raise


def _add_any(cols: _native.Columns, col, name) -> int:
    if isinstance(col, np.ndarray):
        return _add_numpy(cols, col, name)
    if kinds.is_pandas(col):
        dtype = getattr(col, "dtype", None)
        if isinstance(dtype, np.dtype) and dtype.kind in "fiubMm":
            return _add_numpy(cols, col.to_numpy(copy=False), name)
        if getattr(dtype, "tz", None) is not None and getattr(dtype, "kind", None) == "M":  # instants of a zone
            return _add_numpy(cols, col.dt.tz_convert("UTC").dt.tz_localize(None).to_numpy(), name)
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
        return _add_numpy(cols, np.asarray(col), name)
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
    elif kinds.is_frame(table):
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


