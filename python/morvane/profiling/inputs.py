"""Tables in: any table kind becomes one `_native.Columns`, read without copying where the memory
layout allows. pandas, polars and pyarrow are recognised by duck typing (the Arrow PyCapsule
interface, NumPy buffers), never imported."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from morvane import _native

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


def _add_numpy(cols: _native.Columns, a: np.ndarray) -> int:
    if a.ndim != 1:
        raise ValueError(f"a column must be one-dimensional, got {a.ndim} dimensions")
    kind = a.dtype.kind
    if kind in "Mm":
        order = a.dtype.byteorder if a.dtype.byteorder in "<>" else "="
        a = a.view(np.dtype(np.int64).newbyteorder(order))
        kind = "i"
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
        return _add_objects(cols, a.tolist())
    raise TypeError(f"unsupported column dtype {a.dtype}")


def _add_objects(cols: _native.Columns, values: list) -> int:
    """Python objects: numbers as float64 (missing as NaN), anything else as category text."""
    slot = cols.add_texts(values)  # the common case, texts and missing values only, read natively
    if slot >= 0:
        return slot
    present = [v for v in values if not _is_missing(v)]
    numeric = all(isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(v, (bool, np.bool_)) for v in present)
    if present and numeric:
        if len(present) == len(values) and all(isinstance(v, (int, np.integer)) for v in present):
            try:
                return _add_numpy(cols, np.asarray(values, dtype=np.int64))
            except OverflowError:
                pass
        arr = np.array([np.nan if _is_missing(v) else float(v) for v in values], dtype=np.float64)
        return _add_numpy(cols, arr)
    if present and all(isinstance(v, (bool, np.bool_)) for v in present) and len(present) == len(values):
        return _add_numpy(cols, np.asarray(values, dtype=bool))
    texts = [None if _is_missing(v) else (v if isinstance(v, str) else _text(v)) for v in values]
    return cols.add_strings(texts)


def _text(v) -> str:
    if isinstance(v, bytes):
        return v.decode("utf-8", "replace")
    if isinstance(v, (np.bool_,)):
        return str(bool(v))
    if isinstance(v, np.generic):
        return str(v.item())
    return str(v)


def _add_column(cols: _native.Columns, col) -> int:
    """One column of any supported kind; returns its slot."""
    if isinstance(col, np.ndarray):
        return _add_numpy(cols, col)
    mod = _module_of(col)
    if mod == "pandas":
        dtype = getattr(col, "dtype", None)
        if isinstance(dtype, np.dtype) and dtype.kind in "fiubMm":
            return _add_numpy(cols, col.to_numpy(copy=False))
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
            except (TypeError, ValueError, NotImplementedError, ImportError):
                pass  # e.g. object columns of mixed types: read them as Python objects
        return _add_objects(cols, col.to_numpy(dtype=object).tolist())
    if hasattr(col, "__arrow_c_stream__"):
        return _add_stream_column(cols, col)
    if hasattr(col, "__arrow_c_array__"):
        schema, array = col.__arrow_c_array__()
        return cols.add_arrow_array(schema, array)
    if isinstance(col, (list, tuple)):
        return _add_objects(cols, list(col))
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
            t.slots[name] = _add_column(cols, col)
    elif _module_of(table) == "pandas" and hasattr(table, "columns") and hasattr(table, "iloc"):
        for name in table.columns:
            t.names.append(str(name))
            t.slots[str(name)] = _add_column(cols, table[name])
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
