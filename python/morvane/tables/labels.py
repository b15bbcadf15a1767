"""Values as category labels: the one text a value has wherever it is a category or a segment, the
same as the core gives (integers in decimal, floats as Python's repr, "True" and "False"), and
missing values. A value whose text would change from one run to the next (sets, dicts, objects shown
by their address) has no label."""

from __future__ import annotations

import datetime as _dt
import decimal
import math
import uuid

import numpy as np

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
