"""The small safe expression grammar of ``mv.Rule(where=...)``, parsed into a tree of tuples (never
``eval``):

    expression  := or
    or          := and ("or" and)*
    and         := not ("and" not)*
    not         := "not" not | comparison
    comparison  := sum (("<" | "<=" | ">" | ">=" | "==" | "!=") sum)?
    sum         := product (("+" | "-") product)*
    product     := unary (("*" | "/") unary)*
    unary       := "-" unary | atom
    atom        := number | column | "is_null" "(" column ")" | "(" expression ")"
    column      := a name ([A-Za-z_][A-Za-z0-9_.]*) or any name between backquotes (`unit price`)

Nodes: ``("column", name)``, ``("number", x)``, ``("is_null", name)``, ``("neg", a)``, ``("not", a)``
and ``(op, a, b)`` for the arithmetic, comparison and logical operators."""

from __future__ import annotations

import re

COMPARISONS = ("<", "<=", ">", ">=", "==", "!=")
ARITHMETIC = ("+", "-", "*", "/")
LOGICAL = ("and", "or")
KEYWORDS = ("and", "or", "not", "is_null")

_TOKEN = re.compile(r"""\s*(?:
    (?P<number>(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)
  | (?P<name>[A-Za-z_][A-Za-z0-9_.]*)
  | `(?P<quoted>[^`]+)`
  | (?P<op><=|>=|==|!=|[-+*/()<>])
)""", re.VERBOSE)


def _tokens(text: str) -> list:
    out, pos = [], 0
    text = text.rstrip()
    while pos < len(text):
        m = _TOKEN.match(text, pos)
        if m is None:
            raise ValueError(f"cannot read {text[pos:].strip()[:20]!r} at position {pos}")
        if m.group("number") is not None:
            out.append(("number", float(m.group("number"))))
        elif m.group("name") is not None:
            word = m.group("name")
            out.append(("keyword" if word in KEYWORDS else "column", word))
        elif m.group("quoted") is not None:
            out.append(("column", m.group("quoted")))
        else:
            out.append(("op", m.group("op")))
        pos = m.end()
    return out


class _Parser:
    def __init__(self, text: str):
        self.tokens = _tokens(text)
        self.i = 0

    def peek(self, *values) -> bool:
        return self.i < len(self.tokens) and self.tokens[self.i][1] in values and self.tokens[self.i][0] in ("op", "keyword")

    def take(self):
        if self.i >= len(self.tokens):
            raise ValueError("the expression ends too early")
        self.i += 1
        return self.tokens[self.i - 1]

    def expect(self, value: str) -> None:
        kind, got = self.take()
        if got != value or kind == "column":
            raise ValueError(f"expected {value!r}, found {got!r}")

    def binary(self, ops, operand):
        node = operand()
        while self.peek(*ops):
            op = self.take()[1]
            node = (op, node, operand())
        return node

    def expression(self):
        return self.binary(("or",), lambda: self.binary(("and",), self.negation))

    def negation(self):
        if self.peek("not"):
            self.take()
            return ("not", self.negation())
        return self.comparison()

    def comparison(self):
        node = self.sum()
        if self.peek(*COMPARISONS):
            op = self.take()[1]
            node = (op, node, self.sum())
            if self.peek(*COMPARISONS):
                raise ValueError("comparisons do not chain: join them with 'and'")
        return node

    def sum(self):
        return self.binary(("+", "-"), lambda: self.binary(("*", "/"), self.unary))

    def unary(self):
        if self.peek("-"):
            self.take()
            return ("neg", self.unary())
        return self.atom()

    def atom(self):
        kind, value = self.take()
        if kind == "number":
            return ("number", value)
        if kind == "column":
            return ("column", value)
        if value == "is_null":
            self.expect("(")
            kind, name = self.take()
            if kind != "column":
                raise ValueError("is_null() takes a column")
            self.expect(")")
            return ("is_null", name)
        if value == "(":
            node = self.expression()
            self.expect(")")
            return node
        raise ValueError(f"unexpected {value!r}")


def parse(text: str):
    """The tree of an expression; ValueError saying what does not parse."""
    if not isinstance(text, str) or not text.strip():
        raise ValueError("an expression must be a non-empty text")
    p = _Parser(text)
    node = p.expression()
    if p.i != len(p.tokens):
        raise ValueError(f"unexpected {p.tokens[p.i][1]!r} after a complete expression")
    return node


def columns_of(node) -> list:
    """The columns an expression reads, in order of first appearance."""
    out = []
    if node[0] in ("column", "is_null"):
        out.append(node[1])
    elif node[0] != "number":
        for child in node[1:]:
            out += [c for c in columns_of(child) if c not in out]
    return list(dict.fromkeys(out))
