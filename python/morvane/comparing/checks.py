"""Checks: what one comparison of one metric found, before and after the correction for the number of
checks, and the small helpers every family's table of checks shares."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

from morvane import _native
from morvane.comparing import significance
from morvane.comparing.numbers import fmt

FAMILIES = ("data", "drift", "performance", "bias", "rules")

# How a comparison spends alpha: a weighted Holm procedure over its distinct hypotheses, with weights
# from this hierarchy. The task's headline hypothesis (accuracy; the mean squared error for
# regression) takes 0.6, the task's other hypotheses 0.1 together, drift 0.2, data and bias 0.05
# each; equal shares within each part. A part with no test in the comparison (no task, no facet, a
# narrowed `checks=`) gives its share to the others in proportion. Weighted Holm keeps the chance of
# any false failure at most alpha under any dependence and hands a rejected hypothesis's share on, so
# the full report keeps most of the headline test's own power on small windows.
HEADLINE = frozenset({("performance", "Accuracy"), ("performance", "e2")})
SHARES = {"headline": 0.6, "performance": 0.1, "drift": 0.2, "data": 0.05, "bias": 0.05, "rules": 0.05,
          "segments": 0.1}  # every segment's drift and performance checks together


@dataclass(frozen=True)
class Check:
    """One statistical check: a metric of one column (or of the whole task) in the reference and in
    the current window, the change between them, its p-value and the verdict after correction."""

    family: str
    column: str | None
    metric: str
    reference: float | None
    current: float | None
    change: float | None
    p_value: float | None
    failed: bool
    interval: tuple[float, float] | None = None
    details: dict = field(default_factory=dict, hash=False)  # checks hash on their other fields
    segment: tuple | None = None  # None for the whole table, else the segment's values

    def label(self) -> str:
        """A short readable name: "performance · Accuracy", "drift · age · Distribution", with the
        segment's values in brackets ("drift · age · Distribution [Oslo]") and "(estimated)" for a
        window without labels."""
        text = " · ".join(part for part in (self.family, self.column, self.metric) if part is not None)
        if self.segment is not None:
            text = f"{text} [{' / '.join(map(str, self.segment))}]"
        return text + " (estimated)" if self.details.get("estimated") else text

    def movement(self, arrow: str = "->") -> str:
        """What moved, for people: "0.91 -> 0.84 (change -0.07, p=0.002)", or without values of its
        own (a drift check) "change 0.15, p=4.6e-250"."""
        tail = f"change {fmt(self.change)}, p={fmt(self.p_value, p_value=True)}"
        if self.reference is None and self.current is None:
            return tail
        return f"{fmt(self.reference)} {arrow} {fmt(self.current)} ({tail})"


@dataclass
class Pending:
    """A check before the correction: its values, the hypothesis it tests and that test's p-value."""

    family: str
    column: str | None
    metric: str
    reference: float | None
    current: float | None
    key: tuple
    p: float | None
    worse: bool = True  # one-sided checks: the metric moved toward degradation
    change: float | None = None  # when not current - reference (drift: the Jensen-Shannon distance)
    interval: tuple[float, float] | None = None
    details: dict = field(default_factory=dict)
    segment: tuple | None = None
    se: float | None = None  # the change's standard error, for a floor (floors.py)
    sign: int = 1  # +1: a larger value is worse (a rate of problems, a distance, an error); -1: smaller


def weights(pending: list[Pending], columns: dict | None = None) -> dict:
    """{hypothesis key: weight} of the tested hypotheses, by the SHARES hierarchy (summing to 1).
    `columns` ({column: weight}) shares the drift part among its checks in those proportions (a column
    not named takes the mean of the weights given); equal shares otherwise."""
    drift_share = _column_shares(pending, columns)
    parts: dict[str, dict] = {}  # part -> its distinct keys, in order (a dict: linear in the checks)
    for item in pending:
        if item.p is not None:
            part = "headline" if item.key in HEADLINE else "segments" if item.segment is not None else item.family
            parts.setdefault(part, {})[item.key] = None
    total = sum(SHARES.get(part, SHARES["performance"]) for part in parts)
    return {key: SHARES.get(part, SHARES["performance"]) / total *
            (drift_share[key] if part == "drift" and drift_share else 1.0 / len(keys))
            for part, keys in parts.items() for key in keys}


def _column_shares(pending: list[Pending], columns: dict | None) -> dict:
    """{key: share of the drift part} from the user's column weights (None without weights)."""
    if not columns:
        return {}
    given = list(columns.values())
    fallback = sum(given) / len(given)
    found = {}
    for item in pending:
        if item.p is not None and item.family == "drift" and item.segment is None and item.key not in found:
            found[item.key] = float(columns.get(item.column, fallback))
    total = sum(found.values())
    return {key: w / total for key, w in found.items()} if total > 0 else {}


def check_weights(columns) -> dict | None:
    """`weights=` validated: {column: finite weight >= 0}, not all zero."""
    if columns is None:
        return None
    if not isinstance(columns, dict):
        raise TypeError("weights= takes {column: weight}, e.g. feature importances")
    out = {}
    for name, w in columns.items():
        w = float(w)
        if not (math.isfinite(w) and w >= 0.0):
            raise ValueError(f"the weight of {name!r} must be finite and at least 0, got {w!r}")
        out[name] = w
    if out and not any(out.values()):
        raise ValueError("weights= gives every column a weight of 0: nothing would be tested")
    return out


def levels(tested: dict, shares: dict, alpha: float) -> dict:
    """{key: the level its raw p-value is compared with}: in weighted Holm's step-down order
    (p / w), alpha times its weight over the weight of the hypotheses still standing; after the
    first that passes, the others keep the standing weight of that step (none of them fails)."""
    keys = sorted((k for k in tested if shares.get(k, 0.0) > 0.0), key=lambda k: tested[k] / shares[k])
    left = math.fsum(shares[k] for k in keys)
    out, stepping = {}, True
    for k in keys:
        out[k] = alpha * shares[k] / left if left > 0 else 0.0
        if stepping and tested[k] <= out[k]:
            left -= shares[k]
        else:
            stepping = False
    return out


def verdicts(pending: list[Pending], alpha: float, columns: dict | None = None) -> list[Check]:
    """Weighted Holm over the distinct hypotheses, then one Check per pending item; each check's
    `details["alpha"]` is the level its own p-value was tested at (None when it has no test)."""
    tested = {item.key: item.p for item in pending if item.p is not None}
    shares = weights(pending, columns)
    adjusted = significance.weighted_holm(tested, shares)
    level = levels(tested, shares, alpha)
    out = []
    for item in pending:
        p = adjusted.get(item.key) if item.p is not None else None
        details = dict(item.details)
        details["alpha"] = level.get(item.key, 0.0) if item.p is not None else None
        if item.p is not None:
            details["raw_p_value"] = item.p
        change = item.change if item.change is not None else difference(item.current, item.reference)
        failed = p is not None and p <= alpha and item.worse
        out.append(Check(item.family, item.column, item.metric, as_float(item.reference), as_float(item.current),
                         change, p, bool(failed), item.interval, details, item.segment))
    return out


def as_float(value):
    return None if value is None else float(value)


def difference(cur, ref):
    """current - reference in float64, or None when either is missing."""
    if cur is None or ref is None:
        return None
    return float(cur) - float(ref)  # Python floats subtract as doubles, without warnings (inf - inf: NaN)


def defined(*values) -> bool:
    return all(v is not None and math.isfinite(v) for v in values)


def interval(change, variance, alpha):
    """The (1 - alpha) normal interval of a change, when both are finite."""
    if change is None or variance is None or not (math.isfinite(change) and math.isfinite(variance)):
        return None
    half = -_native.normal_quantile(alpha / 2.0) * math.sqrt(max(variance, 0.0))
    return (change - half, change + half)


def proportion_variance(x, n):
    return (x / n) * (1.0 - x / n) / n if n > 0 else float("nan")


def div(a, b):
    return a / b if b != 0 else float("nan")
