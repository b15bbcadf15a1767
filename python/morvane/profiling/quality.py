"""Declared rules against a table: checked (columns present, of the right type, expressions that
parse), put in canonical form (instants as datetime64[ns]), compiled into the native core's postfix
programs and counted with the GIL released, one rule per job. A ``matches`` rule counts each
distinct text once (the core's distinct texts, then Python's ``re.search`` on each)."""

from __future__ import annotations

import dataclasses
import re

import numpy as np

from morvane import _native
from morvane.state.errors import MissingColumnsError
from morvane.state.expression import COMPARISONS, parse
from morvane.state.layout import label_parts
from morvane.state.quality import Rule, is_instant, with_value
from morvane.state.sections import with_extra
from morvane.tables.read import Table
from morvane.tables.times import instant

NUMBERS = ("float", "integer", "duration")
ORDERED = NUMBERS + ("datetime",)
_FLIP = {"at_least": ">=", "at_most": "<="}


def _family(type_: str) -> str:
    """Which values compare with which: numbers, instants, texts or booleans (null: any)."""
    return {"float": "number", "integer": "number", "duration": "number", "datetime": "instant"}.get(type_, type_)


class _Rules:
    """The rules of one table, with the message naming each rule's fault."""

    def __init__(self, t: Table):
        self.t = t

    def type(self, rule: Rule, column: str) -> str:
        if column not in self.t.slots:
            raise MissingColumnsError(f"rule {rule.name!r} reads column {column!r}, which the table lacks; it has "
                                      f"{', '.join(map(repr, self.t.names)) or 'no columns'}")
        if column in self.t.matrices:
            raise ValueError(f"rule {rule.name!r}: column {column!r} is a matrix")
        return self.t.type(column)

    def need(self, rule: Rule, column: str, allowed: tuple, what: str) -> str:
        got = self.type(rule, column)
        if got != "null" and got not in allowed:
            raise ValueError(f"rule {rule.name!r} needs {what} in column {column!r}, which holds {got} values")
        return got

    def bound(self, rule: Rule, v, column_type: str):
        """A constant compared with a column: an instant for a datetime column, a number otherwise."""
        if column_type != "null" and is_instant(v) != (column_type == "datetime"):
            want = "instants" if column_type == "datetime" else "numbers"
            raise ValueError(f"rule {rule.name!r} compares {column_type} values of {rule.column!r} with "
                             f"{_kind(v)}: give {want}")
        return np.datetime64(instant(v), "ns") if is_instant(v) else v

    def resolve(self, rule: Rule) -> Rule:
        """The rule checked against the table, in canonical form."""
        if not isinstance(rule, Rule):
            raise TypeError(f"rules= takes mv.Rule objects, got {type(rule).__name__}")
        kind, v = rule.kind, rule.value
        if kind == "between":
            got = self.need(rule, rule.column, ORDERED, "numbers or instants")
            low, high = (self.bound(rule, x, got) for x in v)
            if low > high:
                raise ValueError(f"rule {rule.name!r}: the low bound exceeds the high one")
            return with_value(rule, (low, high))
        if kind == "one_of":
            got = self.type(rule, rule.column)
            family = _family(got)
            if family == "instant" or any(family not in ("null", _family_of(x)) for x in v):
                raise ValueError(f"rule {rule.name!r} compares {got} values of {rule.column!r} with "
                                 f"{', '.join(sorted({_kind(x) for x in v}))}")
            return rule
        if kind == "matches":
            self.need(rule, rule.column, ("text",), "texts")
            try:
                re.compile(v)
            except re.error as e:
                raise ValueError(f"rule {rule.name!r}: the pattern does not compile ({e})") from None
            return rule
        if kind == "not_null":
            self.type(rule, rule.column)
            return rule
        if kind in _FLIP:
            got = self.need(rule, rule.column, ORDERED, "numbers or instants")
            if not isinstance(v, str):
                return with_value(rule, self.bound(rule, v, got))
            other = self.need(rule, v, ORDERED, "numbers or instants")
            if "null" not in (got, other) and _family(got) != _family(other):
                raise ValueError(f"rule {rule.name!r} compares {got} values of {rule.column!r} with {other} values "
                                 f"of {v!r}")
            return rule
        self.program(rule)
        return rule

    def tree(self, rule: Rule):
        try:
            return parse(rule.value)
        except ValueError as e:
            raise ValueError(f"rule {rule.name!r}: the expression {rule.value!r} does not parse: {e}") from None

    def program(self, rule: Rule) -> tuple:
        """(steps, column slots, sets) of the native program of a rule other than matches."""
        columns, sets, steps = [], [], []

        def column(name: str) -> int:
            if name not in columns:
                columns.append(name)
            return columns.index(name)

        def push(op, name=None, number=0.0, members=None):
            k = column(name) if name is not None else 0
            if members is not None:
                sets.append([label_parts(x) for x in members])
            steps.append((op, k, float(number), len(sets) - 1 if members is not None else 0))

        def constant(v):
            push("number", number=float(v.astype(np.int64)) if isinstance(v, np.datetime64) else v)

        kind, v, c = rule.kind, rule.value, rule.column
        if kind == "between":
            push("column", c), constant(v[0]), push(">="), push("column", c), constant(v[1]), push("<="), push("and")
        elif kind == "one_of":
            push("member", c, members=v)
        elif kind == "not_null":
            push("is_null", c), push("not")
        elif kind in _FLIP:
            push("column", c)
            push("column", v) if isinstance(v, str) else constant(v)
            push(_FLIP[kind])
        else:
            if self.compile(rule, self.tree(rule), push) != "truth":
                raise ValueError(f"rule {rule.name!r}: the expression {v!r} is not a condition (compare it)")
            if not columns:
                raise ValueError(f"rule {rule.name!r}: the expression {v!r} reads no column")
        return steps, [self.t.slot(n) for n in columns], sets

    def compile(self, rule: Rule, node, push) -> str:
        """Pushes the steps of an expression tree; returns its type: "number", "instant" or "truth"."""
        op = node[0]
        if op == "number":
            push("number", number=node[1])
            return "number"
        if op == "column":
            got = self.need(rule, node[1], ORDERED + ("boolean",), "numbers, instants or booleans")
            push("column", node[1])
            if got == "boolean":  # a boolean column is a condition: true where it holds
                push("number", number=0.0)
                push("!=")
                return "truth"
            return "instant" if got == "datetime" else "number"
        if op == "is_null":
            self.type(rule, node[1])
            push("is_null", node[1])
            return "truth"
        kinds = [self.compile(rule, child, push) for child in node[1:]]
        if op in ("not", "and", "or"):
            if any(k != "truth" for k in kinds):
                raise ValueError(f"rule {rule.name!r}: {op!r} joins conditions, not values")
            push(op)
            return "truth"
        if "truth" in kinds:
            raise ValueError(f"rule {rule.name!r}: {op!r} takes values, not conditions")
        if op == "neg":
            push("neg")
            return kinds[0]
        if op in COMPARISONS:
            if len(set(kinds)) > 1:
                raise ValueError(f"rule {rule.name!r}: {op!r} compares instants with numbers")
            push(op)
            return "truth"
        if "instant" in kinds and not (op == "-" and kinds == ["instant", "instant"]) \
                and not (op in "+-" and kinds[0] == "instant"):
            raise ValueError(f"rule {rule.name!r}: {op!r} cannot take instants there")
        push(op)
        return "instant" if op in "+-" and kinds == ["instant", "number"] else "number"


def _kind(v) -> str:
    return "instants" if is_instant(v) else "texts" if isinstance(v, str) else "booleans" \
        if isinstance(v, bool) else "numbers"


def _family_of(v) -> str:
    return "text" if isinstance(v, str) else "boolean" if isinstance(v, bool) else "number"


def resolve_rules(t: Table, rules) -> tuple:
    """The rules given to ``profile(rules=...)`` checked against the reference table, in canonical
    form; ValueError (or TypeError) naming the first bad rule."""
    if isinstance(rules, Rule):
        rules = [rules]
    resolved = tuple(_Rules(t).resolve(r) for r in rules)
    names = [r.name for r in resolved]
    twice = next((n for n in names if names.count(n) > 1), None)
    if twice is not None:
        raise ValueError(f"two rules are named {twice!r}: give each a name of its own")
    return resolved


def rule_columns(rules: tuple) -> list:
    """Every column the rules read, in order."""
    return list(dict.fromkeys(c for r in rules for c in r.columns()))


def count_rules(t: Table, rules: tuple, threads: int) -> tuple:
    """(violating, evaluated) per rule, counted over the table by the native core."""
    checker = _Rules(t)
    for r in rules:
        if r.kind != "where":  # a where rule's program checks its columns as it compiles
            checker.resolve(r)  # the window's columns: present and of a type the rule reads
    out = [None] * len(rules)
    programs = [(i, checker.program(r)) for i, r in enumerate(rules) if r.kind != "matches"]
    for (i, _), found in zip(programs, _native.rule_counts(t.columns, [p for _, p in programs], threads)):
        out[i] = tuple(int(x) for x in found)
    texts = [(i, r) for i, r in enumerate(rules) if r.kind == "matches"]
    found = _native.categories(t.columns, [t.slot(r.column) for _, r in texts], threads)
    for (i, r), (categories, counts, _) in zip(texts, found):
        pattern = re.compile(r.value)
        counts = np.asarray(counts, dtype=np.int64)[:len(categories)]  # the distinct texts' counts
        failing = np.fromiter((pattern.search(c) is None for c in categories), dtype=bool, count=len(categories))
        out[i] = (int(counts[failing].sum()), int(counts.sum()))
    return tuple(out)


def with_rules(t: Table, layout, rules):
    """The layout that also counts ``rules`` (checked against the reference table), reading their
    columns as the reference's types."""
    resolved = resolve_rules(t, rules)
    if not resolved:
        return layout
    read = dict(layout.types)
    types = layout.types + tuple((c, t.type(c)) for c in rule_columns(resolved) if c not in read)
    return dataclasses.replace(layout, types=types, extras=with_extra(layout.extras, "rules", resolved))


def count(t: Table, layout, threads: int) -> tuple:
    """The rules' counts of a layout over table ``t`` (the profile's pass calls it)."""
    return count_rules(t, layout.extra("rules"), threads)
