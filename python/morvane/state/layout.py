"""The layout of a profile: which features, on which bins or categories, which task and facets.

A layout is plain data. `mv.profile` builds one from a table and then counts with it, exactly as
`mv.profile(table, like=...)` counts with a reference's layout; engines build the same layout from
mergeable summaries with the helpers below (exact order statistics, sorted distinct texts)."""

from __future__ import annotations

import dataclasses
import functools
import math
from dataclasses import dataclass
from fractions import Fraction

import numpy as np

from morvane import _native
from morvane.state.codec import Reader, Writer, digest
from morvane.state.errors import FormatError
from morvane.state.exact_sum import ExactSum
from morvane.state import sections
from morvane.state.sections import read_sections, write_sections

QUANTILE = "quantile"
KINDS = ("continuous", "categorical")
OPS = ("==", ">=", ">", "<=", "<", "in", "each")
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
    # The model's probabilities given by score= (binary: one column; multiclass: one per class, in
    # the order of `classes`). Without `prediction`, the decisions come from them.
    score: tuple = ()

    @property
    def scored(self) -> bool:
        """Whether the task has probabilities (a score, or a prediction of probabilities)."""
        return self.has_proba or bool(self.score)


@dataclass(frozen=True)
class FacetLayout:
    """A facet: its column, rule operator and values, and its groups (["a", "d"] or one per value)."""

    column: str
    op: str
    values: tuple
    groups: tuple


MAX_SEGMENTS = 100  # the reference's most frequent combinations; the rest are "other"
SEGMENTS_SINCE = 6  # the byte format's version that added segments
SECTIONS_SINCE = 7  # the version whose layouts and bodies end with tagged sections


@dataclass(frozen=True)
class SegmentLayout:
    """Segments: the combinations of values of `columns` (as texts) that get statistics of their own,
    the reference's most frequent first; every other row (other values, a missing one) is in "other"."""

    columns: tuple
    values: tuple  # one tuple of texts per segment, as long as `columns`

    OTHER = ("other",)

    @property
    def keys(self) -> tuple:
        """Every segment's key, "other" last."""
        return tuple(self.values) + (self.OTHER,)


@dataclass(frozen=True)
class Layout:
    """Everything a profile's counts are laid out on; two profiles merge only with equal layouts."""

    features: tuple = ()
    task: TaskLayout | None = None
    facets: tuple = ()
    timestamp: str | None = None  # the column of event times: never a feature, it places rows in periods
    # (column, type family) of every column the layout reads: a window's columns are read as these.
    types: tuple = ()
    segments: SegmentLayout | None = None  # per-segment statistics of the features and the task
    # (name, value) of each layout section (state/sections.py), in tag order: what a concept asks of
    # the profiles on this layout (rules to count, seasons to keep, ...).
    extras: tuple = ()

    def extra(self, name: str):
        """The value of the layout section ``name``, or None when the layout has none."""
        return dict(self.extras).get(name)

    def segment_layout(self) -> "Layout":
        """The layout of each segment's statistics: the features and the task (and their columns' types)."""
        read = {f.name for f in self.features}
        if self.task is not None:
            read |= {self.task.target, *self.task.prediction, *self.task.score}
        return Layout(self.features, self.task, types=tuple(t for t in self.types if t[0] in read))

    def feature(self, name: str) -> FeatureLayout:
        """The layout of one feature; KeyError for a name that is not a feature."""
        for f in self.features:
            if f.name == name:
                return f
        raise KeyError(f"no feature {name!r} in the profile")

    @functools.cached_property
    def fingerprint(self) -> int:
        """The first 8 bytes of BLAKE2b over the layout's bytes: equal layouts, equal fingerprints."""
        return digest(self.to_bytes())

    def to_bytes(self) -> bytes:
        """The layout's byte form (the start of a profile's body)."""
        w = Writer()
        write_layout(w, self)
        return w.bytes()


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
    """The ranks (0-based, ascending, in the ascending present values) whose values give the
    quantile layout: the core's rule (src/core/profile/tie_edges.hpp), which also finds ties."""
    return list(_native.layout_ranks(int(m), int(n_bins)))


def edges_from_order_statistics(values, m: int, n_bins: int) -> tuple:
    """The quantile layout's edges from the values at `quantile_ranks(m, n_bins)`, in rank order:
    the reference's range (its minimum and the double after its maximum), the quantiles, and a bin
    of its own for each value found at two of the ranks."""
    return tuple(_native.edges_from_ranks(int(m), int(n_bins), [float(v) for v in values]))


def sorted_categories(texts) -> tuple:
    """Distinct category texts sorted by their UTF-8 bytes."""
    return tuple(sorted(set(texts), key=lambda s: s.encode("utf-8", "surrogatepass")))


MINUS_ONE_THIRD = -0.3333333333333333
MIN_BINS, MAX_BINS = 3, 65536


def _saturate(x: float) -> int:
    if not x > 0.0:
        return 0
    if x >= 18446744073709551616.0:
        return 2**64 - 1
    return int(x)


def _ceil(x: float) -> float:
    return float(math.ceil(x)) if math.isfinite(x) else x


def _as_fraction(s) -> Fraction:
    if isinstance(s, ExactSum):
        return s.fraction()
    return Fraction(s)


def rule_edges_from_summary(rule: str, n: int, minimum: float, maximum: float, q1: float, q3: float, total,
                            total_sq) -> tuple:
    """Equal-width edges of a bin rule from a mergeable summary of the column's finite values:
    their count, minimum, maximum, the order statistics at ranks floor(0.25·n) and
    min(floor(0.75·n), n−1), and their exact sum and sum of squares (ExactSum, Fraction or int).

    The bin count is the fixed module's: Freedman-Diaconis and Sturges give its edges exactly;
    Scott takes the standard deviation from the exact sums (the fixed module adds the sorted
    values in float64), so its count can differ when that rounding crosses an integer. The
    edges run from the minimum by repeated addition of the width, as the fixed module lays them;
    where the width is below the values' resolution an edge repeats, and is kept once."""
    if rule not in RULES:
        raise ValueError(f"rule must be one of {', '.join(RULES)}")
    if n <= 0:
        return ()
    if n < 2 or minimum == maximum:
        return (minimum + 0.0,)
    nf = float(n)
    if rule == "FreedmanDiaconis":
        iqr = q3 - q1
        raw = 3.0 if iqr == 0.0 else _ceil((maximum - minimum) / (2.0 * iqr * nf ** MINUS_ONE_THIRD))
    elif rule == "Scott":
        s1, s2 = _as_fraction(total), _as_fraction(total_sq)
        variance = max((s2 - s1 * s1 / n) / (n - 1), Fraction(0))
        h = nf ** MINUS_ONE_THIRD * (3.49 * math.sqrt(float(variance)))
        raw = _ceil((maximum - minimum) / h) if h > 0 else math.inf
    else:
        raw = math.floor(math.log2(nf)) + 1.0
    bins = min(max(_saturate(raw), MIN_BINS), MAX_BINS)
    count = float(bins - 2)
    width = (maximum - minimum) / count
    if math.isinf(width):
        width = maximum / count - minimum / count
    edges = [minimum + 0.0]
    edge = edges[0]
    for _ in range(bins - 3):
        edge += width
        # A width below the values' resolution repeats an edge: the repeat would be an empty
        # bin that no value can reach, and a layout must be strictly increasing to be stored.
        if edge > edges[-1]:
            edges.append(edge)
    return tuple(edges)


def check_edges(edges) -> tuple:
    """Explicit edges: one-dimensional, strictly increasing, no NaN."""
    a = np.asarray(edges, dtype=np.float64)
    if a.ndim != 1:
        raise ValueError("bins edges must be one-dimensional")
    if np.isnan(a).any():
        raise ValueError("bins edges must not contain NaN")
    if len(a) > 1 and not (np.diff(a) > 0).all():
        raise ValueError("bins edges must be strictly increasing")
    return tuple(float(x) + 0.0 for x in a)  # -0.0 and 0.0 are one edge, with one byte form


def check_threshold(threshold) -> float:
    t = float(threshold)
    if math.isnan(t):
        raise ValueError("threshold must not be NaN")
    return t


# ---- bytes ----

def write_layout(w: Writer, layout: Layout) -> None:
    """The layout's fields; version 2 adds the timestamp column at the end."""
    w.u32(len(layout.features))
    for f in layout.features:
        w.text(f.name)
        w.u8(KINDS.index(f.kind))
        if f.kind == "continuous":
            w.u32(len(f.edges))
            w.parts.append(np.asarray(f.edges, dtype="<f8").tobytes())
        else:
            w.u32(len(f.categories))
            for c in f.categories:
                w.text(c)
    t = layout.task
    w.u8(t is not None)
    if t is not None:
        w.u8(TASKS.index(t.kind))
        w.text(t.target)
        w.u32(len(t.prediction))
        for p in t.prediction:
            w.text(p)
        w.label(t.positive)
        w.f64(t.threshold)
        w.u8(bool(t.has_proba))
        classes = t.classes or ()
        w.u8(t.classes is not None)
        w.u32(len(classes))
        for c in classes:
            w.text(c)
    w.u32(len(layout.facets))
    for f in layout.facets:
        w.text(f.column)
        w.u8(OPS.index(f.op))
        w.u32(len(f.values))
        for v in f.values:
            w.label(v)
        w.u32(len(f.groups))
        for g in f.groups:
            w.text(g)
    w.u8(layout.timestamp is not None)
    if layout.timestamp is not None:
        w.text(layout.timestamp)
    write_inputs(w, layout)
    # Since SEGMENTS_SINCE, at the end and only when there are any: the segments' columns and values
    # (a layout without segments has the bytes it had before); since SECTIONS_SINCE the layout's
    # sections follow, after an empty segments block when there are no segments.
    sl = layout.segments
    if sl is not None or layout.extras:
        columns = sl.columns if sl is not None else ()
        w.u32(len(columns))
        for c in columns:
            w.text(c)
        if sl is not None:
            w.u32(len(sl.values))
            for combo in sl.values:
                for v in combo:
                    w.text(v)
    if layout.extras:
        write_sections(w, dict(layout.extras), sections.LAYOUT_KINDS)


def read_layout(r: Reader, version: int) -> Layout:
    """A layout from its fields, every one validated; FormatError on anything malformed."""
    features = []
    names = set()
    for _ in range(r.count(6)):
        name = r.text()
        if name in names:
            raise FormatError("a feature appears twice")
        names.add(name)
        kind = r.u8()
        if kind == 0:
            n = r.count(8)
            edges = np.frombuffer(r.take(8 * n), dtype="<f8")
            if np.isnan(edges).any() or (n > 1 and not (np.diff(edges) > 0).all()):
                raise FormatError("edges are not strictly increasing numbers")
            features.append(FeatureLayout(name, "continuous", edges=tuple(float(x) for x in edges)))
        elif kind == 1:
            cats = tuple(r.text() for _ in range(r.count(4)))
            keys = [c.encode("utf-8", "surrogatepass") for c in cats]
            if any(a >= b for a, b in zip(keys, keys[1:])):
                raise FormatError("categories are not sorted and distinct")
            features.append(FeatureLayout(name, "categorical", categories=cats))
        else:
            raise FormatError(f"unknown feature kind {kind}")
    task = None
    if r.u8():
        k = r.u8()
        if k >= len(TASKS):
            raise FormatError(f"unknown task kind {k}")
        target = r.text()
        prediction = tuple(r.text() for _ in range(r.count(4)))
        positive = r.label()
        threshold = r.f64()
        has_proba = r.u8()
        has_classes = r.u8()
        classes = tuple(r.text() for _ in range(r.count(4)))
        if has_proba > 1 or has_classes > 1 or math.isnan(threshold) or (version < 3 and not prediction):
            raise FormatError("a malformed task")
        if (TASKS[k] == "multiclass") != bool(has_classes) or (has_classes and not classes):
            raise FormatError("a malformed task: classes")
        task = TaskLayout(TASKS[k], target, prediction, positive, threshold, bool(has_proba),
                          classes if has_classes else None)
    facets = []
    for _ in range(r.count(10)):
        column = r.text()
        op = r.u8()
        if op >= len(OPS):
            raise FormatError(f"unknown facet rule {op}")
        values = tuple(r.label() for _ in range(r.count(1)))
        groups = tuple(r.text() for _ in range(r.count(4)))
        if OPS[op] != "each" and groups != ("a", "d"):
            raise FormatError("a malformed facet")
        if task is None or task.kind != "binary":
            raise FormatError("facets without a binary task")
        facets.append(FacetLayout(column, OPS[op], values, groups))
    timestamp = None
    if version >= 2 and r.u8():
        timestamp = r.text()
    score, types = read_inputs(r, task) if version >= 3 else ((), ())
    if task is not None:
        if not (task.prediction or score):
            raise FormatError("a malformed task: neither prediction nor score")
        task = dataclasses.replace(task, score=score)
    segments, extras = None, ()
    if version >= SEGMENTS_SINCE and r.left():
        columns = tuple(r.text() for _ in range(r.count(4)))
        if columns or version < SECTIONS_SINCE:
            n = r.count(4 * max(len(columns), 1))
            values = tuple(tuple(r.text() for _ in columns) for _ in range(n))
            if not columns or len(set(columns)) != len(columns) or len(set(values)) != len(values) \
                    or n > MAX_SEGMENTS or SegmentLayout.OTHER in values:
                raise FormatError("malformed segments")
            segments = SegmentLayout(columns, values)
        elif not r.left():
            raise FormatError("malformed segments: an empty block with no sections after it")
        if version >= SECTIONS_SINCE and r.left():
            found, _ = read_sections(r, sections.LAYOUT_KINDS, None)
            extras = tuple((k.name, found[k.name]) for k in sorted(sections.LAYOUT_KINDS, key=lambda k: k.tag)
                           if k.name in found)
    return Layout(tuple(features), task, tuple(facets), timestamp, types, segments, extras)


# The inputs block (version 3): the task's score columns, then each read column's type family.
TYPES = ("null", "float", "integer", "boolean", "text", "datetime", "duration")


def write_inputs(w: Writer, layout: Layout) -> None:
    score = layout.task.score if layout.task is not None else ()
    w.u32(len(score))
    for c in score:
        w.text(c)
    w.u32(len(layout.types))
    for column, kind in layout.types:
        w.text(column)
        w.u8(TYPES.index(kind))


def read_inputs(r: Reader, task) -> tuple:
    """(score columns, types) of the inputs block."""
    score = tuple(r.text() for _ in range(r.count(4)))
    if score and (task is None or task.kind == "regression"):
        raise FormatError("a score without a classification task")
    if len(set(score)) != len(score):
        raise FormatError("a score column appears twice")
    if task is not None and task.kind == "multiclass" and score and len(score) not in (1, len(task.classes)):
        raise FormatError("a malformed task: score columns and classes")
    types = []
    for _ in range(r.count(5)):
        column = r.text()
        kind = r.u8()
        if kind >= len(TYPES):
            raise FormatError(f"unknown column type {kind}")
        types.append((column, TYPES[kind]))
    if len({c for c, _ in types}) != len(types):
        raise FormatError("a column type appears twice")
    return score, tuple(types)
