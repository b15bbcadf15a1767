"""Counting a table with a layout: feature counts, the task's statistics and the facets' counts, by the
native kernels with the GIL released, one column per job on ``threads`` threads."""

from __future__ import annotations

import sys

import numpy as np

from morvane import _native
from morvane.profiling.build import prediction_slots
from morvane.profiling.inputs import Table
from morvane.state.errors import MismatchError
from morvane.state.exact_sum import ExactSum
from morvane.state.layout import Layout, TaskLayout, label_parts
from morvane.state.profile import Profile
from morvane.state.stats import REGRESSION_SUMS, ClassificationStats, FacetStats, FeatureStats, RegressionStats, frozen


def _progress_bar(progress, work: int, total: int):
    if progress is False:
        return None
    if progress is None:
        # About two seconds of work, and someone to see the bar.
        attached = (getattr(sys.stderr, "isatty", lambda: False)() or "ipykernel" in sys.modules)
        if work < 400_000_000 or not attached:
            return None
    from tqdm.auto import tqdm

    return tqdm(total=total, desc="profiling", unit="col")


def _feature_counts(t: Table, layout: Layout, threads: int, progress, known: dict) -> dict:
    todo = [f for f in layout.features if f.name not in known]
    specs = [(t.slot(f.name), list(f.edges) if f.kind == "continuous" else None,
              list(f.categories) if f.kind == "categorical" else None) for f in todo]
    for f, (slot, _, _) in zip(todo, specs):
        if f.kind == "continuous" and t.columns.kind(slot) != "continuous" and not t.columns.is_integer(slot):
            raise MismatchError(f"feature {f.name!r} is continuous in the reference but categorical here")
    bar = _progress_bar(progress, t.n_rows * max(1, len(specs)), len(specs))
    results = []
    if bar is None:
        results = _native.count(t.columns, specs, threads)
    else:
        step = max(threads * 2, 1)
        with bar:
            for i in range(0, len(specs), step):
                results.extend(_native.count(t.columns, specs[i:i + step], threads))
                bar.update(len(specs[i:i + step]))
    found = dict(zip((f.name for f in todo), results))
    found.update(known)
    return {f.name: FeatureStats(f, frozen(found[f.name][0]), int(found[f.name][1])) for f in layout.features}


def _task_stats(t: Table, tl: TaskLayout | None):
    if tl is None:
        return None
    target = t.slot(tl.target)
    slots = prediction_slots(t, tl.prediction)
    if tl.kind == "regression":
        n, missing, sums, max_abs = _native.regression(t.columns, target, slots[0])
        return RegressionStats(tl, int(n), int(missing), {k: ExactSum.from_native(sums[k]) for k in REGRESSION_SUMS},
                               float(max_abs))
    if tl.kind == "binary":
        number, text = label_parts(tl.positive)
        confusion, n, missing, ll, ll2 = _native.binary(t.columns, target, slots[0], number, text, tl.has_proba,
                                                         tl.threshold)
        shape = (2, 2)
    else:
        if len(slots) != (len(tl.classes) if tl.has_proba else 1):
            raise MismatchError("the prediction columns do not match the reference's classes")
        confusion, n, missing, ll, ll2 = _native.multiclass(t.columns, target, slots, list(tl.classes), tl.has_proba)
        shape = (len(tl.classes), len(tl.classes))
    return ClassificationStats(tl, int(n), int(missing), frozen(np.asarray(confusion).reshape(shape)),
                               ExactSum.from_native(ll), ExactSum.from_native(ll2))


def _facet_stats(t: Table, layout: Layout) -> dict:
    facets = {}
    tl = layout.task
    for fl in layout.facets:
        number, text = label_parts(tl.positive)
        values = [label_parts(v) for v in fl.values] if fl.op in ("==", "in") else [(float(v), "") for v in fl.values]
        counts, missing = _native.facet(t.columns, t.slot(fl.column), fl.op, values,
                                        list(fl.groups if fl.op == "each" else ()), t.slot(tl.target),
                                        prediction_slots(t, tl.prediction)[0], number, text, tl.has_proba,
                                        tl.threshold)
        facets[fl.column] = FacetStats(fl, frozen(np.asarray(counts).reshape(len(fl.groups), 2, 2)), int(missing))
    return facets


def count(t: Table, layout: Layout, threads: int, progress=None, known=None) -> Profile:
    """The profile of table ``t`` on ``layout``; ``known`` holds feature counts the layout pass
    already made ({name: (counts, missing)})."""
    features = _feature_counts(t, layout, threads, progress, known or {})
    return Profile._make(layout, t.n_rows, features, _task_stats(t, layout.task), _facet_stats(t, layout))
