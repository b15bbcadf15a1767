"""The statistics a profile keeps, as small typed records: exact integer counts and exact sums, each
with its layout, an empty value and an exact merge. Comparisons and reports read these fields; the
byte format writes them."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from morvane import _native
from morvane.state.codec import frozen  # noqa: F401 (its home is the codec: the section modules use it too)
from morvane.state.exact_sum import ExactSum
from morvane.state.layout import FacetLayout, FeatureLayout, TaskLayout

REGRESSION_SUMS = tuple(_native.regression_sum_names())


@dataclass(frozen=True, eq=False)
class FeatureStats:
    """One feature: counts on its bins (continuous, one longer than the edges) or categories (one per
    category, then "other"), and the missing count. A continuous feature also keeps its range: the
    least and greatest present values (+inf and -inf when there are none; NaN when not known, as in
    bytes written before ranges were kept)."""

    layout: FeatureLayout
    counts: np.ndarray
    missing: int
    minimum: float = math.inf
    maximum: float = -math.inf

    @property
    def kind(self) -> str:
        return self.layout.kind

    @property
    def n(self) -> int:
        """Rows with a value (counted on the bins or categories)."""
        return int(self.counts.sum())

    @classmethod
    def empty(cls, layout: FeatureLayout) -> FeatureStats:
        return cls(layout, frozen(np.zeros(layout.n_counts)), 0)

    def merge(self, other: FeatureStats) -> FeatureStats:
        return FeatureStats(self.layout, frozen(self.counts + other.counts), self.missing + other.missing,
                            _least(self.minimum, other.minimum), -_least(-self.maximum, -other.maximum))

    # ---- the data family's statistics, read from the fields above ----

    def range_bins(self) -> tuple[bool, bool]:
        """Whether the first and the last bin hold exactly the values below this (reference)
        feature's minimum and above its maximum: the quantile layout puts the minimum and the double
        after the maximum among the edges. (False, False) when the range is not known."""
        edges = self.layout.edges
        if self.kind != "continuous" or not edges or not self.minimum <= self.maximum:
            return False, False
        lower = edges[0] == self.minimum and self.minimum > -math.inf
        upper = self.maximum < math.inf and edges[-1] == float(np.nextafter(self.maximum, math.inf))
        return bool(lower), bool(upper)

    def rare(self) -> tuple[int, int]:
        """(singletons, doubletons): the categories counted exactly once and exactly twice."""
        known = self.counts[:-1]
        return int((known == 1).sum()), int((known == 2).sum())


def _least(a: float, b: float) -> float:
    """The smaller of two bounds; NaN (not known) wins."""
    return a if a != a else b if b != b else min(a, b)


@dataclass(frozen=True, eq=False)
class RegressionStats:
    """A regression task: rows counted (``n``) and missing, exact sums of the per-row terms named by
    REGRESSION_SUMS, and the largest absolute error."""

    layout: TaskLayout
    n: int
    missing: int
    sums: dict  # name -> ExactSum
    max_abs_error: float

    def total(self, name: str) -> float:
        """One exact sum, rounded once to a double."""
        return float(self.sums[name])

    @classmethod
    def empty(cls, layout: TaskLayout) -> RegressionStats:
        return cls(layout, 0, 0, {k: ExactSum() for k in REGRESSION_SUMS}, 0.0)

    def merge(self, other: RegressionStats) -> RegressionStats:
        return RegressionStats(self.layout, self.n + other.n, self.missing + other.missing,
                               {k: self.sums[k] + other.sums[k] for k in REGRESSION_SUMS},
                               max(self.max_abs_error, other.max_abs_error))


# Multiclass histograms grow with the square of the classes ((k + 1) x k x 1,065 counts: 2.3 MB at 16
# classes); beyond this many classes a profile keeps none (no ranking or estimated checks).
MAX_SCORED_CLASSES = 16


def has_scores(layout: TaskLayout) -> bool:
    """Whether a classification task keeps score histograms: it has probabilities (score=, or a
    prediction of probabilities) and, multiclass, at most MAX_SCORED_CLASSES classes."""
    if layout.kind == "multiclass":
        return layout.scored and len(layout.classes) <= MAX_SCORED_CLASSES
    return layout.kind == "binary" and layout.scored


def score_shapes(layout: TaskLayout) -> tuple[tuple, tuple | None]:
    """The shapes of a scored task's histograms: binary (3, 2, bins) by negative, positive and missing
    target, then by negative and positive decision; multiclass (k + 1, k, bins) by true class (then
    missing) and score column, and (k, k, 64) by decided class and score column."""
    bins = _native.SCORE_BINS
    if layout.kind == "binary":
        return (3, 2, bins), None
    k = len(layout.classes)
    return (k + 1, k, bins), (k, k, _native.SCORE_COARSE_BINS)


@dataclass(frozen=True, eq=False)
class ClassificationStats:
    """A binary or multiclass task: the (truth, prediction) confusion counts, and the exact sums of the
    per-row log loss and of its square (zero without probabilities). With probabilities, histograms
    of the scores per true class (rows without a target in their own row: an unlabeled window keeps
    its score distribution), on the fixed score grid (see `score_shapes`), and for multiclass the
    scores per decided class; None without probabilities."""

    layout: TaskLayout
    n: int
    missing: int
    confusion: np.ndarray
    log_loss: ExactSum
    log_loss_sq: ExactSum
    scores: np.ndarray | None = None
    scores_by_decision: np.ndarray | None = None

    @property
    def has_proba(self) -> bool:
        """Whether probabilities were counted (a score, or a prediction of probabilities): log loss."""
        return self.layout.scored

    @property
    def unlabeled(self) -> int:
        """Rows with scores but no target."""
        if self.scores is None:
            return 0
        row = self.scores[-1]
        return int(row.sum() if self.layout.kind == "binary" else row[0].sum())

    @property
    def by_class(self) -> np.ndarray | None:
        """Binary: the (3, bins) score counts by negative, positive and missing target, decisions added."""
        if self.scores is None or self.layout.kind != "binary":
            return self.scores
        return self.scores.sum(axis=1)

    @classmethod
    def empty(cls, layout: TaskLayout) -> ClassificationStats:
        k = 2 if layout.kind == "binary" else len(layout.classes)
        scores = by_decision = None
        if has_scores(layout):
            shape, decided = score_shapes(layout)
            scores = frozen(np.zeros(shape))
            by_decision = frozen(np.zeros(decided)) if decided else None
        return cls(layout, 0, 0, frozen(np.zeros((k, k))), ExactSum(), ExactSum(), scores, by_decision)

    def merge(self, other: ClassificationStats) -> ClassificationStats:
        add = lambda a, b: None if a is None else frozen(a + b)  # noqa: E731
        return ClassificationStats(self.layout, self.n + other.n, self.missing + other.missing,
                                   frozen(self.confusion + other.confusion), self.log_loss + other.log_loss,
                                   self.log_loss_sq + other.log_loss_sq, add(self.scores, other.scores),
                                   add(self.scores_by_decision, other.scores_by_decision))


TaskStats = RegressionStats | ClassificationStats


def empty_task(layout: TaskLayout | None) -> TaskStats | None:
    if layout is None:
        return None
    return (RegressionStats if layout.kind == "regression" else ClassificationStats).empty(layout)


@dataclass(frozen=True, eq=False)
class FacetStats:
    """One facet: per group, the [label, prediction] counts (groups x 2 x 2), and the rows whose facet
    value, label or prediction is missing."""

    layout: FacetLayout
    counts: np.ndarray
    missing: int

    @property
    def groups(self) -> list:
        return list(self.layout.groups)

    def split(self, g: int) -> tuple[np.ndarray, np.ndarray]:
        """The counts of group ``g`` and of all the other groups together."""
        a = self.counts[g]
        return a, self.counts.sum(axis=0) - a

    @classmethod
    def empty(cls, layout: FacetLayout) -> FacetStats:
        return cls(layout, frozen(np.zeros((len(layout.groups), 2, 2))), 0)

    def merge(self, other: FacetStats) -> FacetStats:
        return FacetStats(self.layout, frozen(self.counts + other.counts), self.missing + other.missing)
