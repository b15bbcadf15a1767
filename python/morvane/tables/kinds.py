"""Table kinds: pandas and polars DataFrames, pyarrow Tables and RecordBatches, one-shot Arrow
streams (a `pyarrow.RecordBatchReader`, any object with `__arrow_c_stream__`), dicts of columns; and
what every caller does with one: a column by name, some rows, the row count. The libraries are
recognised by their module, never imported to test a kind."""

from __future__ import annotations

import numpy as np

# Libraries whose tables can be read more than once and cut into rows.
_TABULAR = ("pandas", "polars")


def library(obj) -> str:
    """The top-level module of an object's type: "pandas", "polars", "pyarrow", "numpy"..."""
    return type(obj).__module__.split(".")[0]


def is_pandas(obj) -> bool:
    return library(obj) == "pandas"


def is_frame(table) -> bool:
    """A pandas DataFrame (columns by name, rows by position)."""
    return is_pandas(table) and hasattr(table, "columns") and hasattr(table, "iloc")


def _is_arrow_table(table) -> bool:
    # pyarrow Tables and RecordBatches; a RecordBatchReader is a stream (it has no columns).
    return library(table) == "pyarrow" and hasattr(table, "column") and hasattr(table, "num_rows")


def readable(table):
    """A table that can be read more than once: a one-shot Arrow stream is read once, into a pyarrow
    Table; every other kind is returned as it is."""
    if isinstance(table, dict) or library(table) in _TABULAR or _is_arrow_table(table):
        return table
    if hasattr(table, "__arrow_c_stream__"):
        import pyarrow as pa

        return pa.table(table)
    return table


def names(table) -> list:
    """The column names of a table readable more than once."""
    if isinstance(table, dict):
        return [str(n) for n in table]
    if _is_arrow_table(table):
        return list(table.column_names)
    if library(table) in _TABULAR:
        return [str(n) for n in table.columns]
    raise TypeError(f"cannot read the columns of {type(table).__name__}")


def column(table, name, what: str = "column"):
    """The column `name` of a table readable more than once; KeyError naming it (as `what`) when absent."""
    if isinstance(table, dict):
        found = name in table
    elif _is_arrow_table(table):
        found = name in table.column_names
    elif library(table) in _TABULAR:
        found = name in table.columns
    else:
        raise TypeError(f"cannot read {what}s of {type(table).__name__}")
    if not found:
        raise KeyError(f"no {what} {name!r} in the table")
    return table.column(name) if _is_arrow_table(table) else table[name]


def columns(table, wanted) -> dict:
    """The named columns as a dict of columns, numeric pandas columns as NumPy arrays (so that subsets
    of them are cheap to take and to read)."""
    out = {}
    for n in wanted:
        col = column(table, n)
        if is_pandas(col) and isinstance(col.dtype, np.dtype) and col.dtype.kind in "fiub":
            col = col.to_numpy()
        out[n] = col
    return out


def take(table, rows):
    """The rows of `table` (None for all, a slice or an index array), of the same table kind."""
    if rows is None:
        return table
    table = readable(table)
    if isinstance(table, dict):
        return {k: take_column(v, rows) for k, v in table.items()}
    if is_pandas(table):
        return table.iloc[rows]
    if library(table) == "polars":
        return table.slice(rows.start, rows.stop - rows.start) if isinstance(rows, slice) else table[rows]
    if _is_arrow_table(table):
        return table.slice(rows.start, rows.stop - rows.start) if isinstance(rows, slice) else table.take(rows)
    raise TypeError(f"cannot take rows of {type(table).__name__}")


def take_column(col, rows):
    """The rows of one column, of the same kind."""
    if isinstance(col, np.ndarray):
        return col[rows]
    mod = library(col)
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
    """The row count of a table readable more than once."""
    if isinstance(table, dict):
        for col in table.values():
            return len(col)
        return 0
    if hasattr(table, "num_rows"):
        return int(table.num_rows)
    if hasattr(table, "shape"):
        return int(table.shape[0])
    return len(table)
