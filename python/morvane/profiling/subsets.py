"""Rows of any table kind split by a key (a period, a segment) without copying what needs no copy.

The common case, every row with one key, subsets nothing; rows sorted by key become slices (views
for every table kind); only rows out of order are gathered, once per key."""

from __future__ import annotations

import numpy as np


def _module_of(obj) -> str:
    return type(obj).__module__.split(".")[0]


def groups(keys: np.ndarray):
    """[(key, rows)] for int64 keys, `rows` a slice where the key's rows are contiguous, else an index
    array; None (all rows) when every row has one key."""
    n = len(keys)
    if n == 0:
        return []
    first = keys[0]
    if (keys == first).all():
        return [(int(first), None)]
    steps = np.diff(keys)
    if (steps >= 0).all():
        cuts = np.concatenate(([0], np.flatnonzero(steps) + 1, [n]))
        return [(int(keys[a]), slice(int(a), int(b))) for a, b in zip(cuts[:-1], cuts[1:])]
    order = np.argsort(keys, kind="stable")
    ordered = keys[order]
    cuts = np.concatenate(([0], np.flatnonzero(np.diff(ordered)) + 1, [n]))
    return [(int(ordered[a]), order[a:b]) for a, b in zip(cuts[:-1], cuts[1:])]


def readable(table):
    """A table that can be read more than once: an Arrow stream becomes a pyarrow Table."""
    if isinstance(table, dict) or _module_of(table) in ("pandas", "polars", "pyarrow"):
        return table
    if hasattr(table, "__arrow_c_stream__"):
        import pyarrow as pa

        return pa.table(table)
    return table


def columns(table, names) -> dict:
    """The named columns of any table kind as a dict of columns, numeric pandas columns as NumPy arrays
    (so that subsets of them are cheap to take and to read)."""
    if isinstance(table, dict):
        return {n: table[n] for n in names}
    mod = _module_of(table)
    if mod == "pandas":
        out = {}
        for n in names:
            col = table[n]
            out[n] = col.to_numpy() if isinstance(col.dtype, np.dtype) and col.dtype.kind in "fiub" else col
        return out
    if mod == "polars":
        return {n: table[n] for n in names}
    if mod == "pyarrow" and hasattr(table, "column"):
        return {n: table.column(n) for n in names}
    raise TypeError(f"cannot take columns of {type(table).__name__}")


def take(table, rows):
    """The rows of `table` (a slice or an index array), of the same table kind."""
    if rows is None:
        return table
    mod = _module_of(table)
    if isinstance(table, dict):
        return {k: _take_column(v, rows) for k, v in table.items()}
    if mod == "pandas":
        return table.iloc[rows]
    if mod == "polars":
        return table.slice(rows.start, rows.stop - rows.start) if isinstance(rows, slice) else table[rows]
    if mod == "pyarrow" and hasattr(table, "take"):
        return table.slice(rows.start, rows.stop - rows.start) if isinstance(rows, slice) else table.take(rows)
    if hasattr(table, "__arrow_c_stream__"):
        import pyarrow as pa

        return take(pa.table(table), rows)
    raise TypeError(f"cannot take rows of {type(table).__name__}")


def _take_column(col, rows):
    mod = _module_of(col)
    if isinstance(col, np.ndarray):
        return col[rows]
    if mod == "pandas":
        return col.iloc[rows]
    if mod in ("polars", "pyarrow"):
        if isinstance(rows, slice):
            return col.slice(rows.start, rows.stop - rows.start)
        return col.gather(rows) if mod == "polars" else col.take(rows)
    if isinstance(col, (list, tuple)):
        return col[rows] if isinstance(rows, slice) else [col[i] for i in rows.tolist()]
    return np.asarray(col)[rows]


def n_rows(table) -> int:
    if isinstance(table, dict):
        for col in table.values():
            return len(col)
        return 0
    if hasattr(table, "num_rows"):
        return int(table.num_rows)
    if hasattr(table, "shape"):
        return int(table.shape[0])
    if hasattr(table, "__arrow_c_stream__"):
        import pyarrow as pa

        return pa.table(table).num_rows
    return len(table)
