"""Facet rules: which rows form group ``a`` of a facet (the rest form group ``d``)."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True)
class Rule:
    """A facet rule: an operator and its values. ``op`` is one of ``==``, ``>=``, ``>``, ``<=``, ``<``,
    ``in`` or ``each`` (one group per value)."""

    op: str
    values: tuple = ()

    def readable(self) -> str:
        if self.op == "each":
            return "each value"
        if self.op == "in":
            return "in [" + ", ".join(repr(v) for v in self.values) + "]"
        return f"{self.op} {self.values[0]!r}"


def _number(x: Any, name: str) -> float:
    if isinstance(x, bool) or not isinstance(x, (int, float)) and not hasattr(x, "__float__"):
        raise TypeError(f"{name}() takes a number, got {type(x).__name__}")
    v = float(x)
    if math.isnan(v):
        raise ValueError(f"{name}() takes a number, not NaN")
    return v


def at_least(x) -> Rule:
    """Group ``a`` holds the rows whose value is ``>= x``."""
    return Rule(">=", (_number(x, "at_least"),))


def above(x) -> Rule:
    """Group ``a`` holds the rows whose value is ``> x``."""
    return Rule(">", (_number(x, "above"),))


def at_most(x) -> Rule:
    """Group ``a`` holds the rows whose value is ``<= x``."""
    return Rule("<=", (_number(x, "at_most"),))


def below(x) -> Rule:
    """Group ``a`` holds the rows whose value is ``< x``."""
    return Rule("<", (_number(x, "below"),))


def one_of(values) -> Rule:
    """Group ``a`` holds the rows whose value is one of ``values``."""
    values = tuple(values)
    if not values:
        raise ValueError("one_of() needs at least one value")
    return Rule("in", values)


def as_rule(rule) -> Rule:
    """A rule from what ``facets=`` accepts: a Rule, None (one group per value) or a value (equality)."""
    if isinstance(rule, Rule):
        return rule
    if rule is None:
        return Rule("each", ())
    return Rule("==", (rule,))
