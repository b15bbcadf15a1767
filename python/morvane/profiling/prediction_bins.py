"""Regression errors by prediction bin, counted in the profile's pass: the reference's quantile bins
of its predictions, then per bin the rows with a prediction and the exact error sums of the rows
with a target too (comparing/estimated_regression.py reads them)."""

from __future__ import annotations

import numpy as np

from morvane import _native
from morvane.profiling.build import prediction_slots
from morvane.profiling.explain import regression_errors
from morvane.tables.read import Table
from morvane.state.codec import frozen
from morvane.state.exact_sum import ExactSum
from morvane.state.layout import Layout
from morvane.state.prediction_bins import N_BINS, PredictionBins, PredictionBinsLayout


def bins_layout(t: Table, layout: Layout, threads: int) -> PredictionBinsLayout | None:
    """The reference's prediction bins (regression tasks only)."""
    tl = layout.task
    if tl is None or tl.kind != "regression":
        return None
    ((edges, *_),) = _native.quantile_layout(t.columns, prediction_slots(t, tl.prediction)[:1], N_BINS, threads)
    return PredictionBinsLayout(tuple(float(x) for x in edges))


def count(t: Table, layout: Layout, threads: int) -> PredictionBins:
    found = layout.extra("prediction_bins")
    tl = layout.task
    empty = PredictionBins.empty(found.slots)
    if tl.prediction[0] not in t.slots:
        return empty
    slot = prediction_slots(t, tl.prediction)[0]
    where = np.asarray(_native.row_slots(t.columns, slot, list(found.edges), None))
    predicted = np.bincount(where[where < found.slots], minlength=found.slots)
    if tl.target not in t.slots:
        return PredictionBins(frozen(predicted), empty.n, empty.sums)
    n, sums = _native.slot_errors(np.ascontiguousarray(where, np.int32), regression_errors(t, tl), found.slots)
    return PredictionBins(frozen(predicted), frozen(n),
                          tuple(tuple(ExactSum.from_native(x) for x in triple) for triple in sums))
