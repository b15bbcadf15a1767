"""Regression errors by prediction bin: the reference's quantile bins of its predictions (layout),
and per bin the rows with a prediction, the rows with an error and the exact sums of |e|, e^2 and
e^4 (state). A window without targets keeps its predictions' counts, from which the reference's
errors per bin estimate its performance (comparing/estimated_regression.py)."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from morvane.state.codec import Reader, Writer, frozen
from morvane.state.errors import FormatError
from morvane.state.exact_sum import ExactSum

N_BINS = 20


@dataclass(frozen=True)
class PredictionBinsLayout:
    """The edges of the reference's prediction bins (bin i holds edges[i-1] <= p < edges[i])."""

    edges: tuple

    @property
    def slots(self) -> int:
        return len(self.edges) + 1


@dataclass(frozen=True, eq=False)
class PredictionBins:
    predicted: np.ndarray  # rows with a prediction, per bin
    n: np.ndarray          # rows with an error (target and prediction), per bin
    sums: tuple            # per bin (sum |e|, sum e^2, sum e^4)

    @classmethod
    def empty(cls, slots: int) -> PredictionBins:
        return cls(frozen(np.zeros(slots)), frozen(np.zeros(slots)), ((ExactSum(),) * 3,) * slots)

    def merge(self, other: PredictionBins) -> PredictionBins:
        return PredictionBins(frozen(self.predicted + other.predicted), frozen(self.n + other.n),
                              tuple(tuple(a + b for a, b in zip(x, y)) for x, y in zip(self.sums, other.sums)))

    def __eq__(self, other):
        return (isinstance(other, PredictionBins) and np.array_equal(self.predicted, other.predicted)
                and np.array_equal(self.n, other.n) and self.sums == other.sums)

    __hash__ = None

    def moments(self) -> np.ndarray:
        """(bins, 3) sums of |e|, e^2, e^4 as doubles."""
        return np.array([[float(s) for s in triple] for triple in self.sums], dtype=np.float64).reshape(-1, 3)


def empty(layout) -> PredictionBins | None:
    found = layout.extra("prediction_bins")
    return None if found is None else PredictionBins.empty(found.slots)


def write_layout(w: Writer, layout: PredictionBinsLayout) -> None:
    w.u32(len(layout.edges))
    w.parts.append(np.asarray(layout.edges, dtype="<f8").tobytes())


def read_layout(r: Reader, _layout=None) -> PredictionBinsLayout:
    n = r.count(8)
    edges = np.frombuffer(r.take(8 * n), dtype="<f8")
    if np.isnan(edges).any() or (n > 1 and not (np.diff(edges) > 0).all()):
        raise FormatError("prediction bins: edges are not strictly increasing numbers")
    return PredictionBinsLayout(tuple(float(x) for x in edges))


def write_stats(w: Writer, s: PredictionBins) -> None:
    w.u32(len(s.n))
    w.packed(s.predicted)
    w.packed(s.n)
    for triple in s.sums:
        for x in triple:
            w.exact(x)


def read_stats(r: Reader, layout) -> PredictionBins:
    found = layout.extra("prediction_bins")
    slots = r.count(16)
    if found is None or slots != found.slots:
        raise FormatError("prediction bins: the counts do not match the layout")
    predicted, n = r.packed(slots), r.packed(slots)
    if (n > predicted).any():
        raise FormatError("prediction bins: more errors than predictions in a bin")
    return PredictionBins(predicted, n, tuple(tuple(r.exact() for _ in range(3)) for _ in range(slots)))
