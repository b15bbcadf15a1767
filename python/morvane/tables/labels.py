"""Values as category labels: the one text a value has wherever it is a category or a segment, the
same as the core gives (integers in decimal, floats as Python's repr, "True" and "False"), and
missing values; and a column of any kind as codes over its labels. A value whose text would change
from one run to the next (sets, dicts, objects shown by their address) has no label."""

from __future__ import annotations

import datetime as _dt
import decimal
import math
import uuid
from functools import partial

import numpy as np

from morvane.tables.kinds import library

# Values whose text is their own and stable from one run to the next.
_STABLE = (str, int, float, complex, decimal.Decimal, _dt.date, _dt.time, _dt.timedelta, uuid.UUID)


def is_missing(v) -> bool:
    """None, NaN, pandas NA and NaT."""
    if v is None:
        return True
    if isinstance(v, float):
        return math.isnan(v)
    if isinstance(v, np.floating):
        return bool(np.isnan(v))
    return type(v).__name__ in ("NAType", "NaTType")


def label(v, column=None) -> str | None:
    """The category text of a value, None when missing. TypeError naming the column for a value with
    no stable text; ValueError for bytes or a text that is not valid UTF-8 (they cannot be stored as
    texts, and replacing their bad bytes would merge distinct values)."""
    if isinstance(v, np.generic):
        v = v.item()
    if is_missing(v):
        return None
    if isinstance(v, bool):
        return "True" if v else "False"
    if isinstance(v, float):
        return repr(v)
    if isinstance(v, (bytes, bytearray)):
        try:
            return bytes(v).decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError(f"{_where(column)} holds bytes that are not UTF-8 text ({bytes(v)[:20]!r})") from None
    if isinstance(v, str):
        check_text(v, column)
        return v
    if not stable(v):
        raise TypeError(f"{_where(column)} holds a {type(v).__name__}, whose text is not the same from one run to "
                        "the next: convert the column to texts or numbers first")
    return str(v)


def check_text(v: str, column=None) -> None:
    """ValueError naming the column for a str with a lone surrogate (no UTF-8 form)."""
    try:
        v.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{_where(column)} holds a text that is not valid UTF-8 ({v[:20]!r})") from None


def stable(v) -> bool:
    """Whether the value's text is its own: plain values, tuples of them, and objects whose type says
    how to show them without an address; never sets or dicts (their order follows the hash seed)."""
    if isinstance(v, _STABLE) or v is None:
        return True
    if isinstance(v, (tuple, list)):
        return all(stable(x) for x in v)
    if isinstance(v, (set, frozenset, dict)):
        return False
    shown = type(v).__str__ is not object.__str__ or type(v).__repr__ is not object.__repr__
    return shown and " at 0x" not in str(v)


def _where(column) -> str:
    return f"column {column!r}" if column is not None else "a column"


def codes(col, name=None):
    """A column of any kind as (codes int64, -1 for a missing value; the label of each code). Codes come
    from the column's distinct values (pandas factorize, Arrow's dictionary encoding, NumPy's unique),
    never from a loop over the rows in Python, except for object columns."""
    mod = library(col)
    _text = partial(label, column=name)
    if mod == "pandas":
        import pandas as pd

        codes, uniques = pd.factorize(col, use_na_sentinel=True)
        return np.asarray(codes, dtype=np.int64), [_text(u) for u in uniques.tolist()]
    if mod == "polars":
        col = col.to_arrow()
        mod = "pyarrow"
    if mod == "pyarrow":
        import pyarrow as pa
        import pyarrow.compute as pc

        if isinstance(col, pa.ChunkedArray):
            col = col.combine_chunks()
        if not pa.types.is_dictionary(col.type):
            col = pc.dictionary_encode(col)
        codes = col.indices.to_numpy(zero_copy_only=False)
        codes = np.where(np.asarray(col.is_null().to_numpy(zero_copy_only=False)), -1, codes).astype(np.int64)
        return codes, [_text(v) for v in col.dictionary.to_pylist()]
    if isinstance(col, np.ndarray):
        a = col
    else:
        a = np.asarray(col, dtype=object if isinstance(col, (list, tuple)) else None)
    if a.ndim != 1:
        raise ValueError("a segment column must be one-dimensional")
    if a.dtype.kind == "O":
        lookup: dict = {}  # by text: 1 and True hash alike but are distinct values
        codes = np.fromiter((-1 if t is None else lookup.setdefault(t, len(lookup)) for t in map(_text, a.tolist())),
                            dtype=np.int64, count=len(a))
        return codes, list(lookup)
    if a.dtype.kind == "f":
        present = ~np.isnan(a)
        uniques, inverse = np.unique(a[present], return_inverse=True)
        codes = np.full(len(a), -1, dtype=np.int64)
        codes[present] = inverse
        return codes, [_text(float(u)) for u in uniques]
    if a.dtype.kind in "biuUS":
        uniques, inverse = np.unique(a, return_inverse=True)
        return inverse.astype(np.int64).ravel(), [_text(u) for u in uniques.tolist()]
    raise TypeError(f"a segment column holds {a.dtype}, not categories")
