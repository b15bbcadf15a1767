"""Counting outcomes by feature bin (`profile(..., explain=True)`): each row's slot on every
feature's bins or categories, and its confusion cell or error, tallied by the native core."""

from __future__ import annotations

import numpy as np

from morvane import _native
from morvane.profiling.build import prediction_slots, score_slots
from morvane.tables.read import Table
from morvane.state.exact_sum import ExactSum
from morvane.state.explain import FeatureOutcomes, empty, slots, task_cells
from morvane.state.layout import Layout, label_parts
from morvane.state.stats import frozen


def _numbers(t: Table, slot: int) -> np.ndarray:
    out = np.empty(t.n_rows, dtype=np.float64)
    if t.n_rows:
        t.columns.numbers_into(slot, out.__array_interface__["data"][0])
    return out


def regression_errors(t: Table, tl) -> np.ndarray:
    """Each row's error p - y, NaN where either is missing."""
    with np.errstate(invalid="ignore"):
        return np.ascontiguousarray(_numbers(t, prediction_slots(t, tl.prediction)[0]) - _numbers(t, t.slot(tl.target)))


def _outcomes(t: Table, tl):
    """Per row: the confusion cell (classification, -1 where missing) or the error p - y (NaN)."""
    target = t.slot(tl.target)
    if tl.kind == "regression":
        return regression_errors(t, tl)
    if tl.kind == "binary":
        number, text = label_parts(tl.positive)
        if tl.prediction:
            decision, is_proba = prediction_slots(t, tl.prediction)[0], tl.has_proba
        else:
            decision, is_proba = score_slots(t, tl)[0], True
        return np.asarray(_native.binary_cells(t.columns, target, decision, number, text, is_proba, tl.threshold))
    slots_ = prediction_slots(t, tl.prediction) if tl.prediction else []
    if slots_:
        return np.asarray(_native.multiclass_cells(t.columns, target, slots_, list(tl.classes), tl.has_proba))
    return np.asarray(_native.multiclass_cells(t.columns, target, score_slots(t, tl), list(tl.classes), True))


def count(t: Table, layout: Layout, threads: int) -> dict:
    """{feature: FeatureOutcomes} of a table (None when the layout keeps none; empty outcomes when the
    window lacks its target or predictions: nothing to explain yet)."""
    out = empty(layout)
    tl = layout.task
    if out is None:
        return None
    if not all(c in t.slots or c in t.matrices for c in (tl.target, *tl.prediction, *tl.score)):
        return out
    outcome = _outcomes(t, tl)
    cells = task_cells(tl)
    for f in layout.features:
        if f.name not in out:
            continue
        s = slots(f)
        where = np.asarray(_native.row_slots(t.columns, t.slot(f.name), list(f.edges) if f.kind == "continuous" else None,
                                             list(f.categories) if f.kind == "categorical" else None))
        if cells:
            ok = outcome >= 0
            tally = np.bincount(where[ok].astype(np.int64) * cells + outcome[ok], minlength=s * cells)
            out[f.name] = FeatureOutcomes(cells=frozen(tally.reshape(s, cells)))
        else:
            n, sums = _native.slot_errors(np.ascontiguousarray(where, np.int32), np.ascontiguousarray(outcome), s)
            out[f.name] = FeatureOutcomes(n=frozen(n), sums=tuple(tuple(ExactSum.from_native(x) for x in triple)
                                                                 for triple in sums))
    return out
