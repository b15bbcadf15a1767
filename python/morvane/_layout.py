"""The layout of a profile: which features, on which bins or categories, which task and facets.

A layout is plain data. `mv.profile` builds one from a table and then counts with it, exactly as
`mv.profile(table, like=...)` counts with a reference's layout; engines build the same layout from
mergeable summaries with the helpers below (exact order statistics, sorted distinct texts)."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

QUANTILE = "quantile"
RULES = ("FreedmanDiaconis", "Scott", "Sturges")
TASKS = ("regression", "binary", "multiclass")


@dataclass(frozen=True)
class FeatureLayout:
    """One feature: continuous with sorted ``edges``, or categorical with sorted ``categories``
    ("other" implicit last)."""

    name: str
    kind: str
    edges: tuple | None = None
    categories: tuple | None = None

    @property
    def n_counts(self) -> int:
        return len(self.edges) + 1 if self.kind == "continuous" else len(self.categories) + 1


@dataclass(frozen=True)
class TaskLayout:
    """The task: its columns, positive label and threshold (binary), classes (multiclass), and
    whether the prediction holds probabilities."""

    kind: str
    target: str
    prediction: tuple
    positive: object = 1
    threshold: float = 0.5
    has_proba: bool = False
    classes: tuple | None = None


@dataclass(frozen=True)
class FacetLayout:
    """A facet: its column, rule operator and values, and its groups (["a", "d"] or one per value)."""

    column: str
    op: str
    values: tuple
    groups: tuple


@dataclass(frozen=True)
class Layout:
    """Everything a profile's counts are laid out on; two profiles merge only with equal layouts."""

    features: tuple = ()
    task: TaskLayout | None = None
    facets: tuple = ()

    def feature(self, name: str) -> FeatureLayout:
        for f in self.features:
            if f.name == name:
                return f
        raise KeyError(f"no feature {name!r} in the profile")

    @property
    def fingerprint(self) -> int:
        from morvane import _format

        return _format.layout_fingerprint(self)


def label_parts(v):
    """A label as the core compares it: (number or None, text). Booleans read as 0/1 and
    "False"/"True", integers as decimal text."""
    if isinstance(v, np.generic):
        v = v.item()
    if isinstance(v, bool):
        return float(v), str(v)
    if isinstance(v, int):
        return float(v), str(v)
    if isinstance(v, float):
        return v, repr(v)
    return None, str(v)


def quantile_ranks(m: int, n_bins: int) -> list:
    """The ranks (0-based, in the ascending present values) whose values give the quantile edges."""
    if m <= 0 or n_bins < 2:
        return []
    return [k * m // n_bins for k in range(1, n_bins)]


def edges_from_order_statistics(values) -> tuple:
    """Edges from the values at `quantile_ranks`, in rank order: the distinct ones, ascending."""
    out = []
    for v in values:
        v = float(v)
        if not out or v > out[-1]:
            out.append(v)
    return tuple(out)


def sorted_categories(texts) -> tuple:
    """Distinct category texts sorted by their UTF-8 bytes."""
    return tuple(sorted(set(texts), key=lambda s: s.encode("utf-8", "surrogatepass")))


def check_edges(edges) -> tuple:
    """Explicit edges: one-dimensional, strictly increasing, no NaN."""
    a = np.asarray(edges, dtype=np.float64)
    if a.ndim != 1:
        raise ValueError("bins edges must be one-dimensional")
    if np.isnan(a).any():
        raise ValueError("bins edges must not contain NaN")
    if len(a) > 1 and not (np.diff(a) > 0).all():
        raise ValueError("bins edges must be strictly increasing")
    return tuple(float(x) for x in a)


def check_threshold(threshold) -> float:
    t = float(threshold)
    if math.isnan(t):
        raise ValueError("threshold must not be NaN")
    return t
