"""Counting a table with a layout: feature counts, the task's statistics and the facets' counts, by the
native kernels with the GIL released, one column per job on ``threads`` threads."""

from __future__ import annotations

import dataclasses
import sys

import numpy as np

from morvane import _native
from morvane.profiling.build import prediction_slots, score_slots
from morvane.profiling.extras import count_extras
from morvane.profiling.inputs import conform, require
from morvane.profiling.roles import check_scores
from morvane.state.errors import MismatchError
from morvane.state.exact_sum import ExactSum
from morvane.state.layout import Layout, TaskLayout, label_parts
from morvane.state.profile import Profile
from morvane.state.stats import (
    REGRESSION_SUMS, ClassificationStats, FacetStats, FeatureStats, RegressionStats, empty_task, frozen, has_scores,
)
from morvane.tables.read import Table


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
        results = _native.count_ranged(t.columns, specs, threads)
    else:
        step = max(threads * 2, 1)
        with bar:
            for i in range(0, len(specs), step):
                results.extend(_native.count_ranged(t.columns, specs[i:i + step], threads))
                bar.update(len(specs[i:i + step]))
    found = dict(zip((f.name for f in todo), results))
    found.update(known)
    return {f.name: FeatureStats(f, frozen(found[f.name][0]), int(found[f.name][1]), float(found[f.name][2]),
                                 float(found[f.name][3])) for f in layout.features}


def read_as_reference(t: Table, layout: Layout) -> set:
    """A window read as its reference: absent columns listed at once (the task's may be absent; then
    the task is not counted), every present column read as the reference's type or refused, and
    scores checked. Returns the task columns that are present."""
    tl = layout.task
    needed = {f.name: "feature" for f in layout.features}
    needed.update({f.column: "facet" for f in layout.facets})
    require(t, needed)
    for name, kind in layout.types:
        if name in t.matrices:
            t.matrices[name] = [conform(t, name, kind, s) for s in t.matrices[name]]
        elif name in t.slots:
            conform(t, name, kind)
    if tl is None:
        return set()
    present = {c for c in (tl.target, *tl.prediction, *tl.score) if c in t.slots}
    if tl.kind != "regression":
        for name in list(tl.score) + (list(tl.prediction) if tl.has_proba else []):
            if name in present:
                slots = prediction_slots(t, (name,))
                check_scores(t, [name] * len(slots), slots)
    return present


def _complete(tl: TaskLayout, present: set) -> bool:
    """Whether a window holds what the task counts: the target and every decision and score column.
    A window without labels (not known yet) or without predictions counts no performance."""
    return all(c in present for c in (tl.target, *tl.prediction, *tl.score))


def _decisions(t: Table, tl: TaskLayout):
    """(slot, holds probabilities) of the binary decisions: the prediction, else the score."""
    if tl.prediction:
        return prediction_slots(t, tl.prediction)[0], tl.has_proba
    return score_slots(t, tl)[0], True


def _task_stats(t: Table, tl: TaskLayout | None, present: set):
    if tl is None:
        return None
    if not _complete(tl, present):
        return _incomplete(t, tl, present)
    target = t.slot(tl.target)
    slots = prediction_slots(t, tl.prediction) if tl.prediction else []
    if tl.kind == "regression":
        n, missing, sums, max_abs = _native.regression(t.columns, target, slots[0])
        return RegressionStats(tl, int(n), int(missing), {k: ExactSum.from_native(sums[k]) for k in REGRESSION_SUMS},
                               float(max_abs))
    scores = score_slots(t, tl) if tl.score else []
    if tl.kind == "binary":
        number, text = label_parts(tl.positive)
        decision, is_proba = _decisions(t, tl)
        confusion, n, missing, ll, ll2 = _native.binary(t.columns, target, decision, number, text, is_proba,
                                                         tl.threshold, scores[0] if scores and slots else None)
        shape = (2, 2)
    else:
        k = len(tl.classes)
        if (tl.has_proba and len(slots) != k) or (tl.score and len(scores) != k):
            raise MismatchError("the probability columns do not match the reference's classes")
        if slots:
            confusion, n, missing, ll, ll2 = _native.multiclass(t.columns, target, slots, list(tl.classes),
                                                                 tl.has_proba, scores)
        else:  # scores alone: the most probable class decides
            confusion, n, missing, ll, ll2 = _native.multiclass(t.columns, target, scores, list(tl.classes), True)
        shape = (k, k)
    histograms = _score_counts(t, tl, target, scores or slots, slots) if has_scores(tl) else (None, None)
    return ClassificationStats(tl, int(n), int(missing), frozen(np.asarray(confusion).reshape(shape)),
                               ExactSum.from_native(ll), ExactSum.from_native(ll2), *histograms)


def _incomplete(t: Table, tl: TaskLayout, present: set):
    """The task of a window without its target (labels not known yet) or its predictions: nothing
    measured, every row missing; with scores and decisions present, the scores are still counted (in
    the row of rows without a target), for the estimated performance."""
    fields = {"missing": t.n_rows}
    if has_scores(tl) and all(c in present for c in (*tl.prediction, *tl.score)):
        slots = prediction_slots(t, tl.prediction) if tl.prediction else []
        scores = score_slots(t, tl) if tl.score else slots
        fields["scores"], fields["scores_by_decision"] = _score_counts(t, tl, None, scores, slots)
    return dataclasses.replace(empty_task(tl), **fields)


def _score_counts(t: Table, tl: TaskLayout, target: int | None, scores: list, decisions: list):
    """The score histograms per true class and decision (binary), or per true class and per decided
    class (multiclass), by the native kernel; the decisions are the prediction's when given."""
    if tl.kind == "binary":
        number, text = label_parts(tl.positive)
        decision, is_proba = _decisions(t, tl)
        counts, _, _, _ = _native.binary_scores(t.columns, target, scores[0], decision, number, text, is_proba,
                                                tl.threshold)
        return frozen(counts), None
    decided = decisions[0] if decisions and not tl.has_proba else None
    by_class, by_decision, _, _, _ = _native.multiclass_scores(t.columns, target, scores, decided, list(tl.classes))
    return frozen(by_class), frozen(by_decision)


def _facet_stats(t: Table, layout: Layout, present: set) -> dict:
    facets = {}
    tl = layout.task
    for fl in layout.facets:
        if not _complete(tl, present):
            facets[fl.column] = FacetStats.empty(fl)
            continue
        number, text = label_parts(tl.positive)
        values = [label_parts(v) for v in fl.values] if fl.op in ("==", "in") else [(float(v), "") for v in fl.values]
        decision, is_proba = _decisions(t, tl)
        counts, missing = _native.facet(t.columns, t.slot(fl.column), fl.op, values,
                                        list(fl.groups if fl.op == "each" else ()), t.slot(tl.target),
                                        decision, number, text, is_proba, tl.threshold)
        facets[fl.column] = FacetStats(fl, frozen(np.asarray(counts).reshape(len(fl.groups), 2, 2)), int(missing))
    return facets


def count(t: Table, layout: Layout, threads: int, progress=None, known=None) -> Profile:
    """The profile of table ``t`` on ``layout``; ``known`` holds feature counts the layout pass
    already made ({name: (counts, missing, minimum, maximum)})."""
    present = read_as_reference(t, layout)
    features = _feature_counts(t, layout, threads, progress, known or {})
    return Profile._make(layout, t.n_rows, features, _task_stats(t, layout.task, present),
                         _facet_stats(t, layout, present), extras=count_extras(t, layout, threads))
