"""Declared data-quality rules (``mv.Rule``): what every row of a table should satisfy, kept in the
layout, counted per rule as (rows violating, rows evaluated) in the profile's pass.

Which rows a rule evaluates:

- ``between=(low, high)``, ``one_of=[...]``, ``matches=pattern``, ``at_least=``/``at_most=``: a row
  whose value (or the other column's value) is missing (null, NaN, NaT) is not evaluated; only
  ``not_null=True`` counts missing values, as violations, and evaluates every row.
- ``where=``: a comparison or an arithmetic with a missing operand (or a NaN result, such as 0 / 0)
  is unknown; ``and``, ``or`` and ``not`` follow three-valued logic (false and unknown is false, true
  or unknown is true), ``is_null(column)`` is always known; a row whose result is unknown is not
  evaluated, a row whose result is false violates the rule.
- ``between`` includes both bounds; ``matches`` finds the pattern anywhere in the text (Python's
  ``re.search``: anchor it with ``^`` and ``$``); ``one_of`` compares numbers as numbers and texts
  as texts; times are compared as instants (UTC nanoseconds)."""

from __future__ import annotations

import datetime as _dt
import math
import re

import numpy as np

from morvane.state.codec import Reader, Writer
from morvane.state.errors import FormatError
from morvane.state.expression import columns_of, parse

KINDS = ("between", "one_of", "matches", "not_null", "at_least", "at_most", "where")
SEVERITIES = ("error", "warning")


def _plain(v):
    return v.item() if isinstance(v, np.generic) and not isinstance(v, np.datetime64) else v


def is_instant(v) -> bool:
    """Whether a bound is a point in time (a datetime, date, NumPy datetime64 or pandas Timestamp)."""
    return isinstance(v, (_dt.date, np.datetime64))


def _show(v) -> str:
    if isinstance(v, float) and v.is_integer() and abs(v) < 1e15:
        return str(int(v))
    if is_instant(v):  # ISO 8601, a midnight as its date alone
        if isinstance(v, np.datetime64):
            v = v.astype("datetime64[s]") if v.astype("datetime64[s]") == v else v
        return (str(v) if isinstance(v, np.datetime64) else v.isoformat()).removesuffix("T00:00:00")
    return repr(v) if isinstance(v, str) else str(v)


class Rule:
    """A declared data-quality rule on one column (or on several, with ``where=``).

    Exactly one of ``between=(low, high)`` (numbers or instants, both bounds included),
    ``one_of=[values]``, ``matches=regular expression`` (``re.search``), ``not_null=True``,
    ``at_least=`` / ``at_most=`` (another column's name, or a number) and ``where=expression`` (a
    small grammar over columns, numbers, ``+ - * /``, comparisons, ``and``/``or``/``not`` and
    ``is_null(column)``; never ``eval``). ``name`` defaults to a readable form of the rule (with its
    tolerance and severity when they are not the defaults);
    ``tolerance`` is the violation rate the rule allows (0: any violation fails it); ``severity``
    is ``"error"`` or ``"warning"`` (a warning never fails a report).

    A missing value is not evaluated by a between, one_of, matches or at_least/at_most rule; only
    not_null counts missing values. A ``where`` row with a missing operand is unknown and not
    evaluated, unless ``is_null`` (or three-valued ``and``/``or``) decides it. The columns and the
    expression are checked when a profile is made: a rule on an absent column, of the wrong type,
    or whose expression does not parse raises ``ValueError`` naming the rule.

    >>> mv.Rule("age", between=(18, 120))
    >>> mv.Rule(where="price * quantity <= total", name="totals", tolerance=0.001, severity="warning")
    """

    __slots__ = {"column": "The column the rule reads (None for a where= rule).",
                 "kind": "between, one_of, matches, not_null, at_least, at_most or where.",
                 "value": "The rule's parameter: (low, high), the values, the pattern, the other column or number, "
                          "the expression.",
                 "name": "The rule's name (its readable form unless given).",
                 "tolerance": "The violation rate the rule allows (0: any violation fails it).",
                 "severity": "\"error\", or \"warning\" (never fails a report)."}

    def __init__(self, column=None, *, between=None, one_of=None, matches=None, not_null=False, at_least=None,
                 at_most=None, where=None, name=None, tolerance=0.0, severity="error"):
        given = {k: v for k, v in (("between", between), ("one_of", one_of), ("matches", matches),
                                   ("not_null", not_null or None), ("at_least", at_least), ("at_most", at_most),
                                   ("where", where)) if v is not None}
        if len(given) != 1:
            raise ValueError("a rule takes exactly one of between=, one_of=, matches=, not_null=True, at_least=, "
                             f"at_most= and where= (got {', '.join(given) or 'none'})")
        ((kind, value),) = given.items()
        if (column is None) != (kind == "where"):
            raise ValueError("a where= rule names its columns in its expression; every other rule takes a column")
        if column is not None and not isinstance(column, str):
            raise TypeError(f"a rule's column is a name (str), got {type(column).__name__}")
        value = _value(kind, value)
        tolerance = float(tolerance)
        if not 0.0 <= tolerance < 1.0:
            raise ValueError(f"tolerance must be a rate in [0, 1), got {tolerance!r}")
        if severity not in SEVERITIES:
            raise ValueError(f"severity must be \"error\" or \"warning\", got {severity!r}")
        if name is not None and (not isinstance(name, str) or not name):
            raise ValueError("a rule's name is a non-empty text")
        for field, v in (("column", column), ("kind", kind), ("value", value), ("tolerance", tolerance),
                         ("severity", severity)):
            object.__setattr__(self, field, v)
        # The default name also says a tolerance or a warning, so that a rule and its looser twin
        # ("age between 18 and 120", and the same with tolerance 0.001 as a warning) can sit side by side.
        terms = [f"tolerance {tolerance:g}"] * (tolerance > 0.0) + ["warning"] * (severity == "warning")
        default = self.readable() + (f" ({', '.join(terms)})" if terms else "")
        object.__setattr__(self, "name", name if name is not None else default)

    def readable(self) -> str:
        """The rule in words: ``"age between 18 and 120"``, ``"income not null"``, the expression."""
        v = self.value
        if self.kind == "between":
            return f"{self.column} between {_show(v[0])} and {_show(v[1])}"
        if self.kind == "one_of":
            return f"{self.column} one of " + ", ".join(_show(x) for x in v)
        if self.kind == "not_null":
            return f"{self.column} not null"
        if self.kind == "where":
            return " ".join(v.split())
        return f"{self.column} {self.kind.replace('_', ' ')} {_show(v)}"

    def meaning(self) -> str:
        """Which rows violate the rule, which are not evaluated, and what fails it, in words."""
        c, v = self.column, self.value
        missing = f"a row without {c} is not evaluated"
        if self.kind == "between":
            what = f"{c} is below {_show(v[0])} or above {_show(v[1])}; {missing}"
        elif self.kind == "one_of":
            what = f"{c} holds another value than {', '.join(_show(x) for x in v)}; {missing}"
        elif self.kind == "matches":
            what = f"{c} holds no match of {_show(v)} (searched anywhere in the text); {missing}"
        elif self.kind == "not_null":
            what = f"{c} is missing (null, NaN or NaT); every row is evaluated"
        elif self.kind == "where":
            what = f"{v.strip()} is false; a row whose missing values leave it unknown is not evaluated"
        else:
            what = f"{c} is {'below' if self.kind == 'at_least' else 'above'} {_show(v)}; a row without either " \
                   "value is not evaluated"
        verdict = "any violation fails it" if self.tolerance == 0.0 else \
            f"it fails when the violation rate exceeds {self.tolerance:g} (exact one-sided binomial test)"
        if self.severity == "warning":
            verdict += ", as a warning that never fails the report"
        return f"A row violates it when {what}; {verdict}."

    def columns(self) -> list:
        """The columns the rule reads (the expression's for a where rule); ValueError when it does not parse."""
        if self.kind == "where":
            return columns_of(parse(self.value))
        other = [self.value] if self.kind in ("at_least", "at_most") and isinstance(self.value, str) else []
        return list(dict.fromkeys([self.column] + other))

    def _key(self) -> tuple:
        return (self.column, self.kind, self.value, self.name, self.tolerance, self.severity)

    def __setattr__(self, name, value):
        raise AttributeError("rules are immutable")

    def __eq__(self, other):
        return isinstance(other, Rule) and self._key() == other._key()

    def __hash__(self):
        return hash(self._key())

    def __reduce__(self):
        return (_rebuild, self._key())

    def __repr__(self) -> str:
        column = f"{self.column!r}, " if self.column is not None else ""
        extra = "".join(f", {k}={getattr(self, k)!r}" for k, d in (("tolerance", 0.0), ("severity", "error"))
                        if getattr(self, k) != d)
        return f"Rule({column}{self.kind}={self.value!r}, name={self.name!r}{extra})"


def _rebuild(column, kind, value, name, tolerance, severity) -> Rule:
    r = object.__new__(Rule)
    for field, v in (("column", column), ("kind", kind), ("value", value), ("name", name), ("tolerance", tolerance),
                     ("severity", severity)):
        object.__setattr__(r, field, v)
    return r


def with_value(rule: Rule, value) -> Rule:
    """The same rule with its parameter in canonical form (bounds resolved against a table)."""
    return _rebuild(rule.column, rule.kind, value, rule.name, rule.tolerance, rule.severity)


def _number(v, what: str):
    v = _plain(v)
    if is_instant(v):
        return v
    if isinstance(v, bool) or not isinstance(v, (int, float)):
        raise TypeError(f"{what} takes numbers or instants, got {type(v).__name__}")
    if math.isnan(v):
        raise ValueError(f"{what} takes numbers, not NaN")
    return float(v)


def _value(kind: str, v):
    """A rule's parameter, checked for its shape (the columns are checked at profile time)."""
    if kind == "between":
        if isinstance(v, (str, bytes)) or len(tuple(v)) != 2:
            raise ValueError("between= takes (low, high)")
        low, high = (_number(x, "between=") for x in v)
        if is_instant(low) != is_instant(high):
            raise TypeError("between= takes two numbers or two instants")
        if not is_instant(low) and low > high:
            raise ValueError(f"between=({_show(low)}, {_show(high)}): the low bound exceeds the high one")
        return (low, high)
    if kind == "one_of":
        if isinstance(v, (str, bytes)):
            raise TypeError("one_of= takes a list of values, not one text")
        values = tuple(_plain(x) for x in v)
        if isinstance(v, (set, frozenset)):  # one order, so one name and one byte form
            values = tuple(sorted(values, key=lambda x: (type(x).__name__, x)))
        if not values:
            raise ValueError("one_of= needs at least one value")
        if any(not isinstance(x, (str, bool, int, float)) or (isinstance(x, float) and math.isnan(x)) for x in values):
            raise TypeError("one_of= takes texts, numbers or booleans (not NaN)")
        return values
    if kind in ("matches", "where"):
        if not isinstance(v, str):
            raise TypeError(f"{kind}= takes a text")
        return v
    if kind == "not_null":
        if v is not True:
            raise ValueError("not_null= takes True")
        return True
    return v if isinstance(v, str) else _number(v, f"{kind}=")


# ---- bytes: the rules in the layout, their counts in the profile ----

_NUMBER, _INSTANT = 0, 1


def _write_bound(w: Writer, v) -> None:
    w.u8(_INSTANT if isinstance(v, np.datetime64) else _NUMBER)
    if isinstance(v, np.datetime64):
        w.parts.append(int(v.astype("datetime64[ns]").astype(np.int64)).to_bytes(8, "little", signed=True))
    else:
        w.f64(v)


def _read_bound(r: Reader):
    kind = r.u8()
    if kind == _INSTANT:
        ns = int.from_bytes(r.take(8), "little", signed=True)
        if ns == np.iinfo(np.int64).min:
            raise FormatError("a rule's instant is NaT")
        return np.datetime64(ns, "ns")
    if kind != _NUMBER:
        raise FormatError("a malformed rule bound")
    v = r.f64()
    if math.isnan(v):
        raise FormatError("a rule's bound is NaN")
    return v


def write_rules(w: Writer, rules: tuple) -> None:
    """The rules of a layout (canonical: instants as datetime64[ns]), in their order."""
    w.u32(len(rules))
    for rule in rules:
        w.u8(KINDS.index(rule.kind))
        w.text(rule.name)
        w.text(rule.column or "")
        w.f64(rule.tolerance)
        w.u8(SEVERITIES.index(rule.severity))
        v = rule.value
        if rule.kind == "between":
            _write_bound(w, v[0])
            _write_bound(w, v[1])
        elif rule.kind == "one_of":
            w.u32(len(v))
            for x in v:
                w.label(x)
        elif rule.kind in ("matches", "where"):
            w.text(v)
        elif rule.kind in ("at_least", "at_most"):
            w.u8(isinstance(v, str))
            if isinstance(v, str):
                w.text(v)
            else:
                _write_bound(w, v)


def read_rules(r: Reader, layout=None) -> tuple:
    """The rules of a layout, each validated as ``Rule`` validates it; FormatError on anything malformed."""
    rules = []
    for _ in range(r.count(16)):
        kind = r.u8()
        if kind >= len(KINDS):
            raise FormatError(f"unknown rule kind {kind}")
        kind = KINDS[kind]
        name, column, tolerance, severity = r.text(), r.text(), r.f64(), r.u8()
        if severity >= len(SEVERITIES) or not 0.0 <= tolerance < 1.0 or not name or (kind == "where") != (not column):
            raise FormatError(f"a malformed rule {name!r}")
        if kind == "between":
            value = (_read_bound(r), _read_bound(r))
        elif kind == "one_of":
            value = tuple(r.label() for _ in range(r.count(1)))
        elif kind in ("matches", "where"):
            value = r.text()
        elif kind == "not_null":
            value = True
        else:
            value = r.text() if r.u8() else _read_bound(r)
        try:
            rule = Rule(column or None, **{kind: value}, name=name, tolerance=tolerance, severity=SEVERITIES[severity])
            if kind == "where":
                parse(value)
            elif kind == "matches":
                re.compile(value)
        except (ValueError, TypeError, re.error) as e:
            raise FormatError(f"a malformed rule {name!r}: {e}") from None
        rules.append(with_value(rule, value))
    if len({rule.name for rule in rules}) != len(rules):
        raise FormatError("two rules share a name")
    return tuple(rules)


def empty_counts(layout):
    """Zero (violating, evaluated) per rule of the layout; None when the layout has no rules."""
    rules = layout.extra("rules")
    return None if not rules else tuple((0, 0) for _ in rules)


def merge_counts(a: tuple, b: tuple) -> tuple:
    """The counts of both tables' rows: sums, rule by rule."""
    return tuple((va + vb, ea + eb) for (va, ea), (vb, eb) in zip(a, b))


def write_counts(w: Writer, counts: tuple) -> None:
    for violating, evaluated in counts:
        w.u64(violating)
        w.u64(evaluated)


def read_counts(r: Reader, layout) -> tuple:
    """(violating, evaluated) per rule of the layout; a rule cannot violate more rows than it evaluates."""
    rules = layout.extra("rules") or ()
    counts = tuple((r.count64(), r.count64()) for _ in rules)
    if any(v > e for v, e in counts):
        raise FormatError("a rule violates more rows than it evaluates")
    return counts
