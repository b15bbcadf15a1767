"""Layouts from a table: which columns are features and of which kind, their bins or categories,
the task and its columns, the facets and their groups. The engines build the same layouts from
mergeable summaries (profiling/distributed.py)."""

from __future__ import annotations

import dataclasses
import math

import numpy as np

from morvane import _native
from morvane.profiling import roles as _roles
from morvane.profiling.inputs import require
from morvane.state.exact_sum import ExactSum
from morvane.state.layout import (
    QUANTILE, RULES, TASKS, FacetLayout, FeatureLayout, Layout, TaskLayout, check_edges, check_threshold,
    rule_edges_from_summary, sorted_categories,
)
from morvane.state.rules import as_rule
from morvane.tables.read import Table


def _feature_layouts(t: Table, names, categorical, bins, n_bins, threads, found_categories=None):
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
            quantiles = _native.quantile_layout(t.columns, [t.slot(n) for n in cont], int(n_bins), threads)
            found = [q[0] for q in quantiles]
            # Selecting the edges counted the values on them too.
            counted = {n: (counts, missing, low, high) for n, (_, counts, missing, low, high) in zip(cont, quantiles)}
        elif bins in RULES:
            found = [rule_edges_from_summary(bins, n, lo, hi, q1, q3, ExactSum.from_native(s1), ExactSum.from_native(s2))
                     for n, lo, hi, q1, q3, s1, s2 in _native.rule_summary(t.columns, [t.slot(n) for n in cont], threads)]
        else:
            raise ValueError(f"bins must be \"quantile\", {', '.join(repr(r) for r in RULES)} or an array of edges")
        edges = {n: tuple(float(x) for x in e) for n, e in zip(cont, found)}
    else:
        fixed = check_edges(bins)
        edges = {n: fixed for n in cont}
    found_categories = found_categories or {}
    todo = [n for n in cat if n not in found_categories]
    found = dict(zip(todo, _native.categories(t.columns, [t.slot(n) for n in todo], threads)))
    found = [found_categories.get(n) or found[n] for n in cat]
    categories = {n: tuple(c) for n, (c, _, _) in zip(cat, found)}
    # Finding the categories counted them too: the counts with that layout, kept.
    known = {n: (counts, missing, math.inf, -math.inf) for n, (_, counts, missing) in zip(cat, found)}
    known.update(counted)
    return known, tuple(
        FeatureLayout(n, "continuous", edges=edges[n]) if kinds[n] == "continuous"
        else FeatureLayout(n, "categorical", categories=categories[n])
        for n in names)


def prediction_slots(t: Table, prediction: tuple) -> list:
    if len(prediction) == 1 and prediction[0] in t.matrices:
        return t.matrices[prediction[0]]
    return [t.slot(p) for p in prediction]


def score_slots(t: Table, tl: TaskLayout) -> list:
    """The score columns' slots in class order (a 2-D score column: its sub-columns)."""
    return prediction_slots(t, tl.score)


def _labels(t: Table, slots, threads) -> list:
    """The distinct category texts of some columns, together."""
    found = _native.categories(t.columns, list(slots), threads)
    return sorted_categories([c for cats, _, _ in found for c in cats])


def _task_layout(t: Table, task, roles: _roles.Roles, positive, threshold, threads):
    if task is None:
        return None
    if task not in TASKS:
        raise ValueError(f"task must be one of {', '.join(map(repr, TASKS))} or None")
    pred, score = roles.prediction, roles.score
    if roles.target is None or not (pred or score):
        raise ValueError(f"task {task!r} needs target= and prediction= or score=")
    t.slot(roles.target)
    slots = prediction_slots(t, pred) if pred else []
    if task == "regression":
        if score:
            raise ValueError("score= holds probabilities of classes: it is for binary and multiclass tasks")
        if len(slots) != 1:
            raise ValueError("a regression prediction is one column")
        return TaskLayout("regression", roles.target, pred, positive=None, threshold=0.5)
    score_slots = prediction_slots(t, score) if score else []
    _roles.check_scores(t, [score[0]] * len(score_slots) if len(score) == 1 else score, score_slots)
    if task == "binary":
        if len(slots) > 1 or len(score_slots) > 1:
            raise ValueError("a binary prediction is one column (labels, or probabilities of the positive class), "
                             "and so is its score")
        has_proba = bool(slots) and _roles.is_probability(t, slots[0])
        if slots and not has_proba and _roles.looks_like_scores(t, slots[0]):
            _roles.check_scores(t, pred)  # fractions outside [0, 1]: names the first such value
        threshold = _roles.check_threshold(threshold) if has_proba or score else check_threshold(threshold)
        if isinstance(positive, np.generic):
            positive = positive.item()
        if t.type(roles.target) == "boolean" and type(positive) is int and positive in (0, 1):
            positive = bool(positive)  # the default positive=1 of a True/False target is True
        ((labels, _, _),) = _native.categories(t.columns, [t.slot(roles.target)], threads)
        if labels:  # a reference without labels cannot say which label is positive
            _roles.check_positive(positive, list(labels), roles.target, t.type(roles.target))
        return TaskLayout("binary", roles.target, pred, positive=positive, threshold=threshold, has_proba=has_proba,
                          score=score)
    threshold = check_threshold(threshold)
    target_labels = _labels(t, [t.slot(roles.target)], threads)
    # Multiclass, the older forms first: probabilities as the prediction (one column per class,
    # named by the classes, or a 2-D column in sorted class order).
    if len(slots) > 1 or (pred and pred[0] in t.matrices):
        if score:
            raise ValueError("give the probabilities once: as score= beside label predictions")
        _roles.check_scores(t, [pred[0]] * len(slots) if len(pred) == 1 else pred, slots)
        if pred[0] in t.matrices:
            if len(target_labels) != len(slots):
                raise ValueError(f"the probability matrix has {len(slots)} columns but the target {len(target_labels)} "
                                 "classes")
            classes = tuple(target_labels)
        else:
            classes = _roles.score_classes(pred, None, tuple(target_labels))
        return TaskLayout("multiclass", roles.target, pred, positive=None, threshold=threshold, has_proba=True,
                          classes=tuple(classes))
    known = target_labels if not slots else _labels(t, [t.slot(roles.target), slots[0]], threads)
    if not score:
        return TaskLayout("multiclass", roles.target, pred, positive=None, threshold=threshold, has_proba=False,
                          classes=tuple(known))
    if score[0] in t.matrices:  # a 2-D score: its columns are the sorted classes
        if len(known) != len(score_slots):
            raise ValueError(f"the score matrix {score[0]!r} has {len(score_slots)} columns but the target and "
                             f"prediction {len(known)} classes ({', '.join(map(repr, known))})")
        return TaskLayout("multiclass", roles.target, pred, positive=None, threshold=threshold, classes=tuple(known),
                          score=score)
    mapped = _roles.score_classes(score, roles.score_labels, tuple(known))
    known = known or sorted_categories(mapped)  # a target without values: the classes the scores name
    by_class = dict(zip(mapped, score))
    return TaskLayout("multiclass", roles.target, pred, positive=None, threshold=threshold, classes=tuple(known),
                      score=tuple(by_class[k] for k in known))


def _facet_layouts(t: Table, facets, task_layout, threads):
    if not facets:
        return ()
    if task_layout is None or task_layout.kind != "binary":
        raise ValueError("facets need task=\"binary\" (their counts are by label and prediction)")
    out = []
    for column, rule in facets.items():
        column = _roles.name_of(column)
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


def _column_types(t: Table, layout: Layout) -> tuple:
    """(column, type family) of every column the layout reads, in the layout's order."""
    names = [f.name for f in layout.features]
    tl = layout.task
    if tl is not None:
        names += [tl.target, *tl.prediction, *tl.score]
    names += [f.column for f in layout.facets]
    if layout.timestamp is not None:
        names.append(layout.timestamp)
    out = {}
    for n in names:
        if n not in out:
            out[n] = t.columns.type(t.matrices[n][0]) if n in t.matrices and t.matrices[n] else t.type(n)
    return tuple(out.items())


def build_layout(t: Table, *, target, prediction, score=None, task, positive, threshold, features, categorical,
                 exclude=(), timestamp=None, facets, bins, n_bins, threads, segments=None):
    """The layout of a table, and the counts of the features whose layout pass counted them.
    `segments`: a SegmentLayout already found (its columns are not features by default)."""
    roles = _roles.parse_roles(target=target, prediction=prediction, score=score, timestamp=timestamp,
                               exclude=exclude)
    require(t, {c: role for role, cols in (("target", (roles.target,)), ("prediction", roles.prediction),
                                           ("score", roles.score), ("timestamp", (roles.timestamp,)))
               for c in cols if c is not None}, "the options name")  # excluded columns may be absent
    task_layout = _task_layout(t, task, roles, positive, threshold, threads)
    if roles.timestamp is not None and t.type(roles.timestamp) not in ("datetime", "null"):
        raise ValueError(f"timestamp column {roles.timestamp!r} holds {t.type(roles.timestamp)} values, not datetimes "
                         "(convert epoch numbers or texts to datetimes first)")
    categorical = tuple(_roles.name_of(c) for c in categorical)
    found_categories = {}
    if features is None:
        segmenting = set(segments.columns) if segments is not None else set()
        names = [n for n in t.names if n not in roles.columns and n not in t.matrices  # 2-D: never a feature
                 and n not in segmenting]
        if t.n_rows >= _roles.KEY_ROWS:
            texts = [n for n in names if n not in categorical and t.type(n) == "text" and n not in t.matrices]
            found_categories = dict(zip(texts, _native.categories(t.columns, [t.slot(n) for n in texts], threads)))
            candidates = [n for n in names if n not in categorical and n not in t.matrices]
            keys = set(_roles.find_keys(t, candidates, t.n_rows, found_categories))
            names = [n for n in names if n not in keys]
    else:
        names = list(_roles.names_of(features, "features"))
        clash = [n for n in names if n in set(roles.exclude) | {roles.timestamp}]
        if clash:
            raise ValueError(f"column {clash[0]!r} is given as a feature and as "
                             f"{'timestamp' if clash[0] == roles.timestamp else 'excluded'}: a column has one role")
    require(t, {n: "feature" for n in names}, "the options name")
    for c in categorical:
        t.slot(c)
    known, features = _feature_layouts(t, names, categorical, bins, n_bins, threads, found_categories)
    layout = Layout(features, task_layout, _facet_layouts(t, facets, task_layout, threads), roles.timestamp)
    return dataclasses.replace(layout, types=_column_types(t, layout), segments=segments), known
