"""Exact sums of doubles: integers scaled by 2**1074, so that adding shards in any order gives the
same value and the same bytes."""

from __future__ import annotations

from dataclasses import dataclass
from fractions import Fraction

SCALE_BITS = 1074


@dataclass(frozen=True)
class ExactSum:
    """An exact sum of doubles: ``value / 2**1074``, with infinities and NaN counted apart."""

    value: int = 0
    pos_inf: int = 0
    neg_inf: int = 0
    nan: int = 0

    @classmethod
    def from_native(cls, parts) -> ExactSum:
        """From the core's form: 32-bit limbs (least significant first) and the three special counts."""
        limbs, pos_inf, neg_inf, nan = parts
        return cls(sum(int(x) << (32 * i) for i, x in enumerate(limbs)), int(pos_inf), int(neg_inf), int(nan))

    @classmethod
    def of(cls, x: float) -> ExactSum:
        """The exact sum holding one double (any finite double is an integer multiple of 2**-1074)."""
        x = float(x)
        if x != x:
            return cls(nan=1)
        if x in (float("inf"), float("-inf")):
            return cls(pos_inf=int(x > 0), neg_inf=int(x < 0))
        scaled = Fraction(x) * (1 << SCALE_BITS)
        return cls(int(scaled))

    def __add__(self, other: ExactSum) -> ExactSum:
        return ExactSum(self.value + other.value, self.pos_inf + other.pos_inf, self.neg_inf + other.neg_inf,
                        self.nan + other.nan)

    def fraction(self) -> Fraction:
        """The finite part as an exact fraction."""
        return Fraction(self.value, 1 << SCALE_BITS)

    def __float__(self) -> float:
        """The exact sum rounded once to the nearest double."""
        if self.nan or (self.pos_inf and self.neg_inf):
            return float("nan")
        if self.pos_inf:
            return float("inf")
        if self.neg_inf:
            return float("-inf")
        try:
            return self.value / (1 << SCALE_BITS)
        except OverflowError:
            return float("inf") if self.value > 0 else float("-inf")
