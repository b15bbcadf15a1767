"""Layouts from a table: which columns are features and of which kind, their bins or categories,
the task and its columns, the facets and their groups. The engines build the same layouts from
mergeable summaries (profiling/distributed.py)."""

from __future__ import annotations

import numpy as np

from morvane import _native
from morvane.profiling.inputs import Table
from morvane.state.exact_sum import ExactSum
from morvane.state.layout import (
    QUANTILE, RULES, TASKS, FacetLayout, FeatureLayout, Layout, TaskLayout, check_edges, check_threshold,
    rule_edges_from_summary, sorted_categories,
)
from morvane.state.rules import as_rule


def _feature_layouts(t: Table, names, categorical, bins, n_bins, threads):
    cats = set(categorical)
    kinds = {}
    for name in names:
        slot = t.slot(name)
        if name in t.matrices:
            raise ValueError(f"column {name!r} is a matrix; only a prediction may be")
        natural = t.columns.kind(slot)
        kinds[name] = "categorical" if name in cats else natural
    cont = [n for n in names if kinds[n] == "continuous"]
    cat = [n for n in names if kinds[n] == "categorical"]
    edges, counted = {}, {}
    if isinstance(bins, str):
        if bins == QUANTILE:
            if not isinstance(n_bins, (int, np.integer)) or isinstance(n_bins, bool) or not 1 <= n_bins <= 1 << 20:
                raise ValueError("n_bins must be an integer from 1 to 2**20")
            quantiles = _native.quantile_edges(t.columns, [t.slot(n) for n in cont], int(n_bins), threads)
            found = [e for e, _, _ in quantiles]
            # Selecting the edges counted the values on them too.
            counted = {n: (counts, missing) for n, (_, counts, missing) in zip(cont, quantiles)}
        elif bins in RULES:
            found = [rule_edges_from_summary(bins, n, lo, hi, q1, q3, ExactSum.from_native(s1), ExactSum.from_native(s2))
                     for n, lo, hi, q1, q3, s1, s2 in _native.rule_summary(t.columns, [t.slot(n) for n in cont], threads)]
        else:
            raise ValueError(f"bins must be \"quantile\", {', '.join(repr(r) for r in RULES)} or an array of edges")
        edges = {n: tuple(float(x) for x in e) for n, e in zip(cont, found)}
    else:
        fixed = check_edges(bins)
        edges = {n: fixed for n in cont}
    found = _native.categories(t.columns, [t.slot(n) for n in cat], threads)
    categories = {n: tuple(c) for n, (c, _, _) in zip(cat, found)}
    # Finding the categories counted them too: the counts with that layout, kept.
    known = {n: (counts, missing) for n, (_, counts, missing) in zip(cat, found)}
    known.update(counted)
    return known, tuple(
        FeatureLayout(n, "continuous", edges=edges[n]) if kinds[n] == "continuous"
        else FeatureLayout(n, "categorical", categories=categories[n])
        for n in names)


def prediction_slots(t: Table, prediction: tuple) -> list:
    if len(prediction) == 1 and prediction[0] in t.matrices:
        return t.matrices[prediction[0]]
    return [t.slot(p) for p in prediction]


def _is_probability(t: Table, slot: int) -> bool:
    """A float column whose present values all lie in [0, 1]."""
    if not t.columns.is_float(slot):
        return False
    (counts, _), = _native.count(t.columns, [(slot, [0.0, np.nextafter(1.0, 2.0)], None)], 1)
    return counts[0] == 0 and counts[2] == 0


def _task_layout(t: Table, task, target, prediction, positive, threshold, threads):
    if task is None:
        return None
    if task not in TASKS:
        raise ValueError(f"task must be one of {', '.join(map(repr, TASKS))} or None")
    if target is None or prediction is None:
        raise ValueError(f"task {task!r} needs target= and prediction=")
    pred = (prediction,) if isinstance(prediction, str) else tuple(str(p) for p in prediction)
    if not pred:
        raise ValueError("prediction= names no column")
    t.slot(target)
    slots = prediction_slots(t, pred)
    if task == "regression":
        if len(slots) != 1:
            raise ValueError("a regression prediction is one column")
        return TaskLayout("regression", target, pred, positive=None, threshold=0.5)
    threshold = check_threshold(threshold)
    if task == "binary":
        if len(slots) != 1:
            raise ValueError("a binary prediction is one column (labels, or probabilities of the positive class)")
        if isinstance(positive, np.generic):
            positive = positive.item()
        return TaskLayout("binary", target, pred, positive=positive, threshold=threshold,
                          has_proba=_is_probability(t, slots[0]))
    # Multiclass: labels, or one probability column per class.
    if len(slots) > 1 or pred[0] in t.matrices:
        if len(slots) > 1 and pred[0] not in t.matrices:
            classes = pred
        else:
            ((found, _, _),) = _native.categories(t.columns, [t.slot(target)], threads)
            if len(found) != len(slots):
                raise ValueError(f"the probability matrix has {len(slots)} columns but the target {len(found)} classes")
            classes = tuple(found)
        return TaskLayout("multiclass", target, pred, positive=None, threshold=threshold, has_proba=True,
                          classes=tuple(classes))
    found = _native.categories(t.columns, [t.slot(target), slots[0]], threads)
    return TaskLayout("multiclass", target, pred, positive=None, threshold=threshold, has_proba=False,
                      classes=sorted_categories(list(found[0][0]) + list(found[1][0])))


def _facet_layouts(t: Table, facets, task_layout, threads):
    if not facets:
        return ()
    if task_layout is None or task_layout.kind != "binary":
        raise ValueError("facets need task=\"binary\" (their counts are by label and prediction)")
    out = []
    for column, rule in facets.items():
        slot = t.slot(column)
        rule = as_rule(rule)
        values = tuple(v.item() if isinstance(v, np.generic) else v for v in rule.values)
        if rule.op == "each":
            if t.columns.kind(slot) != "categorical" and not t.columns.is_integer(slot):
                raise ValueError(f"facets={{{column!r}: None}} needs a categorical column")
            ((groups, _, _),) = _native.categories(t.columns, [slot], threads)
            groups = tuple(groups)
        else:
            if rule.op in (">=", ">", "<=", "<") and t.columns.kind(slot) != "continuous":
                raise ValueError(f"rule {rule.readable()} needs a numeric column, {column!r} is categorical")
            groups = ("a", "d")
        out.append(FacetLayout(str(column), rule.op, values, groups))
    return tuple(out)


def build_layout(t: Table, *, target, prediction, task, positive, threshold, features, categorical, facets, bins,
                 n_bins, threads, timestamp=None, segments=None):
    """The layout of a table, and the counts of the features whose layout pass counted them.
    `segments`: a SegmentLayout already found (its columns are not features by default)."""
    task_layout = _task_layout(t, task, target, prediction, positive, threshold, threads)
    if timestamp is not None:
        timestamp = str(timestamp)
        t.slot(timestamp)
    if features is None:
        skip = {target, timestamp} | set(segments.columns if segments is not None else ()) | set(task_layout.prediction if task_layout else
                                          ((prediction,) if isinstance(prediction, str) else tuple(prediction or ())))
        names = [n for n in t.names if n not in skip]
    else:
        names = [str(f) for f in features]
        if len(set(names)) != len(names):
            raise ValueError("features names a column twice")
    for c in categorical:
        t.slot(c)
    known, features = _feature_layouts(t, names, categorical, bins, n_bins, threads)
    if timestamp is not None and timestamp in names:
        raise ValueError(f"the timestamp column {timestamp!r} cannot also be a feature")
    return Layout(features, task_layout, _facet_layouts(t, facets, task_layout, threads), timestamp, segments), known


