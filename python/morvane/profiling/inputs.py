"""A reference's columns in a window: read as the reference's types where they convert exactly, and
every column the reference needs present."""

from __future__ import annotations

from morvane.state.errors import MismatchError, MissingColumnsError
from morvane.tables.read import Table


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
