"""Numbers for people and for JSON: four significant digits, p-values, missing and infinite values."""

from __future__ import annotations

import math
from numbers import Integral, Real
from typing import Any


def json_safe(value: Any) -> Any:
    """`value` as plain JSON types: NaN becomes None, infinities the strings "inf" and "-inf",
    NumPy scalars and arrays plain numbers and lists, mapping keys strings, anything else its str."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if type(value).__name__ == "bool_":  # NumPy's bool is not a bool
        return bool(value)
    if isinstance(value, Integral):
        return int(value)
    if isinstance(value, Real):
        number = float(value)
        if math.isnan(number):
            return None
        if math.isinf(number):
            return "inf" if number > 0 else "-inf"
        return number
    if isinstance(value, dict):
        return {str(key): json_safe(item) for key, item in value.items()}
    if isinstance(value, (list, tuple, set, frozenset)):
        return [json_safe(item) for item in value]
    if hasattr(value, "tolist"):  # NumPy arrays and pandas/pyarrow objects that offer it
        return json_safe(value.tolist())
    return str(value)


def fmt(value: Any, *, p_value: bool = False) -> str:
    """A number for people: four significant digits, small p-values in scientific notation, "—" for
    an undefined value, "∞" for infinities."""
    if value is None:
        return "—"
    if isinstance(value, bool) or not isinstance(value, Real):
        return str(value)
    number = float(value)
    if math.isnan(number):
        return "—"
    if math.isinf(number):
        return "∞" if number > 0 else "−∞"
    if p_value and 0 < number < 1e-3:
        return f"{number:.1e}"
    if isinstance(value, Integral):
        return f"{int(value):,}"
    return f"{number:.4g}"
