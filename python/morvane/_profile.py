"""Profiles: exact sufficient statistics of one table, laid out first, then counted."""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass

import numpy as np

from morvane import _native
from morvane._errors import MismatchError
from morvane._inputs import Table, read_table
from morvane._layout import (
    QUANTILE, RULES, TASKS, FacetLayout, FeatureLayout, Layout, TaskLayout, check_edges, check_threshold, label_parts,
    rule_edges_from_summary,
)
from morvane._rules import as_rule

SCALE_BITS = 1074
REGRESSION_SUMS = tuple(_native.regression_sum_names())


@dataclass(frozen=True)
class ExactSum:
    """An exact sum of doubles: ``value / 2**1074``, with infinities and NaN counted apart."""

    value: int = 0
    pos_inf: int = 0
    neg_inf: int = 0
    nan: int = 0

    @classmethod
    def from_native(cls, parts) -> "ExactSum":
        limbs, pos_inf, neg_inf, nan = parts
        return cls(sum(int(x) << (32 * i) for i, x in enumerate(limbs)), int(pos_inf), int(neg_inf), int(nan))

    def __add__(self, other: "ExactSum") -> "ExactSum":
        return ExactSum(self.value + other.value, self.pos_inf + other.pos_inf, self.neg_inf + other.neg_inf,
                        self.nan + other.nan)

    def __float__(self) -> float:
        """The exact sum rounded once to the nearest double."""
        if self.nan or (self.pos_inf and self.neg_inf):
            return float("nan")
        if self.pos_inf:
            return float("inf")
        if self.neg_inf:
            return float("-inf")
        try:
            return self.value / (1 << SCALE_BITS)
        except OverflowError:
            return float("inf") if self.value > 0 else float("-inf")


def _threads(threads) -> int:
    if threads is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except AttributeError:
            return max(1, os.cpu_count() or 1)
    threads = int(threads)
    if threads < 1:
        raise ValueError("threads must be at least 1")
    return threads


def _readonly(a: np.ndarray) -> np.ndarray:
    a.setflags(write=False)
    return a


# ---- building the layout ------------------------------------------------------------------------

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


def _prediction_slots(t: Table, prediction: tuple) -> list:
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
    slots = _prediction_slots(t, pred)
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
    from morvane._layout import sorted_categories

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
                 n_bins, threads):
    """The layout of a table, and the counts of the features whose layout pass counted them."""
    task_layout = _task_layout(t, task, target, prediction, positive, threshold, threads)
    if features is None:
        skip = {target} | set(task_layout.prediction if task_layout else
                               ((prediction,) if isinstance(prediction, str) else tuple(prediction or ())))
        names = [n for n in t.names if n not in skip]
    else:
        names = [str(f) for f in features]
        if len(set(names)) != len(names):
            raise ValueError("features names a column twice")
    for c in categorical:
        t.slot(c)
    known, features = _feature_layouts(t, names, categorical, bins, n_bins, threads)
    return Layout(features, task_layout, _facet_layouts(t, facets, task_layout, threads)), known


# ---- counting ---------------------------------------------------------------------------------

def _progress_bar(progress, work: int, total: int):
    if progress is False:
        return None
    if progress is None:
        # About two seconds of work, and someone to see the bar.
        attached = (getattr(sys.stderr, "isatty", lambda: False)() or "ipykernel" in sys.modules)
        if work < 400_000_000 or not attached:
            return None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None
    return tqdm(total=total, desc="profiling", unit="col")


def count(t: Table, layout: Layout, threads: int, progress=None, known=None) -> "Profile":
    known = known or {}
    features = {}
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
    for f in layout.features:
        counts, missing = found[f.name]
        features[f.name] = (_readonly(np.asarray(counts, dtype=np.int64)), int(missing))
    task = _count_task(t, layout.task)
    facets = {}
    for fl in layout.facets:
        tl = layout.task
        number, text = label_parts(tl.positive)
        values = [label_parts(v) for v in fl.values] if fl.op in ("==", "in") else [(float(v), "") for v in fl.values]
        counts, missing = _native.facet(t.columns, t.slot(fl.column), fl.op, values, list(fl.groups if fl.op == "each" else ()),
                                        t.slot(tl.target), _prediction_slots(t, tl.prediction)[0], number, text,
                                        tl.has_proba, tl.threshold)
        facets[fl.column] = (_readonly(np.asarray(counts, dtype=np.int64).reshape(len(fl.groups), 2, 2)), int(missing))
    return Profile._make(layout, t.n_rows, features, task, facets)


def _count_task(t: Table, tl: TaskLayout | None):
    if tl is None:
        return None
    target = t.slot(tl.target)
    slots = _prediction_slots(t, tl.prediction)
    if tl.kind == "regression":
        n, missing, sums, max_abs = _native.regression(t.columns, target, slots[0])
        return {"n": int(n), "missing": int(missing), "sums": {k: ExactSum.from_native(sums[k]) for k in REGRESSION_SUMS},
                "max_abs_error": float(max_abs)}
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
    return {"n": int(n), "missing": int(missing),
            "confusion": _readonly(np.asarray(confusion, dtype=np.int64).reshape(shape)),
            "log_loss": ExactSum.from_native(ll), "log_loss_sq": ExactSum.from_native(ll2)}


def _empty_task(tl: TaskLayout | None):
    if tl is None:
        return None
    if tl.kind == "regression":
        return {"n": 0, "missing": 0, "sums": {k: ExactSum() for k in REGRESSION_SUMS}, "max_abs_error": 0.0}
    k = 2 if tl.kind == "binary" else len(tl.classes)
    return {"n": 0, "missing": 0, "confusion": _readonly(np.zeros((k, k), dtype=np.int64)),
            "log_loss": ExactSum(), "log_loss_sq": ExactSum()}


def _merge_task(a, b):
    if a is None:
        return None
    out = {"n": a["n"] + b["n"], "missing": a["missing"] + b["missing"]}
    if "sums" in a:
        out["sums"] = {k: a["sums"][k] + b["sums"][k] for k in REGRESSION_SUMS}
        out["max_abs_error"] = max(a["max_abs_error"], b["max_abs_error"])
    else:
        out["confusion"] = _readonly(a["confusion"] + b["confusion"])
        out["log_loss"] = a["log_loss"] + b["log_loss"]
        out["log_loss_sq"] = a["log_loss_sq"] + b["log_loss_sq"]
    return out


# ---- the public object ------------------------------------------------------------------------

class Profile:
    """Exact sufficient statistics of one table: per feature, counts on bins or categories plus the
    missing count; per task, the performance statistics; per facet, the bias counts."""

    __slots__ = ("_layout", "_n_rows", "_features", "_task", "_facets", "_bytes", "__weakref__")

    @classmethod
    def _make(cls, layout, n_rows, features, task, facets) -> "Profile":
        p = object.__new__(cls)
        p._layout, p._n_rows, p._features, p._task, p._facets, p._bytes = layout, n_rows, features, task, facets, None
        return p

    @classmethod
    def _empty(cls, layout: Layout) -> "Profile":
        features = {f.name: (_readonly(np.zeros(f.n_counts, dtype=np.int64)), 0) for f in layout.features}
        facets = {f.column: (_readonly(np.zeros((len(f.groups), 2, 2), dtype=np.int64)), 0) for f in layout.facets}
        return cls._make(layout, 0, features, _empty_task(layout.task), facets)

    def __init__(self, *args, **kwargs):
        raise TypeError("profiles are made by mv.profile(), mv.merge() or Profile.from_bytes()")

    @property
    def n_rows(self) -> int:
        return self._n_rows

    @property
    def columns(self) -> list:
        """The profiled feature names, in order."""
        return [f.name for f in self._layout.features]

    @property
    def layout(self) -> Layout:
        return self._layout

    @property
    def task(self) -> str | None:
        return self._layout.task.kind if self._layout.task else None

    def histogram(self, column: str):
        """(edges or categories, counts): counts of the values only, one longer than the edges, or one
        per category plus "other" last."""
        f = self._layout.feature(column)
        counts = self._features[column][0].copy()
        return (np.array(f.edges, dtype=np.float64) if f.kind == "continuous" else list(f.categories)), counts

    def missing(self, column: str) -> int:
        self._layout.feature(column)
        return self._features[column][1]

    def merge(self, other: "Profile") -> "Profile":
        if not isinstance(other, Profile):
            raise TypeError(f"cannot merge a Profile with {type(other).__name__}")
        if self._layout != other._layout:
            raise MismatchError("profiles with different layouts (edges, categories, task or facets) cannot be merged")
        features = {k: (_readonly(a + other._features[k][0]), m + other._features[k][1])
                    for k, (a, m) in self._features.items()}
        facets = {k: (_readonly(a + other._facets[k][0]), m + other._facets[k][1]) for k, (a, m) in self._facets.items()}
        return Profile._make(self._layout, self._n_rows + other._n_rows, features, _merge_task(self._task, other._task),
                             facets)

    def to_bytes(self) -> bytes:
        if self._bytes is None:
            from morvane import _format

            self._bytes = _format.encode_profile(self)
        return self._bytes

    @classmethod
    def from_bytes(cls, data) -> "Profile":
        from morvane import _format

        return _format.decode_profile(data)

    def save(self, path) -> None:
        from morvane import _format

        _format.atomic_write(path, self.to_bytes())

    def __eq__(self, other):
        if not isinstance(other, Profile):
            return NotImplemented
        return self.to_bytes() == other.to_bytes()

    def __hash__(self):
        return hash(self.to_bytes())

    def __reduce__(self):
        return (Profile.from_bytes, (self.to_bytes(),))

    def __repr__(self) -> str:
        task = f", task={self.task!r}" if self.task else ""
        return f"<morvane.Profile {self._n_rows} rows, {len(self._layout.features)} features{task}>"

    def _stats(self) -> dict:
        """Plain data for the statistics and reports (read-only by convention)."""
        features = {}
        for f in self._layout.features:
            counts, missing = self._features[f.name]
            features[f.name] = {"kind": f.kind,
                                "edges": np.array(f.edges, dtype=np.float64) if f.kind == "continuous" else None,
                                "categories": list(f.categories) if f.kind == "categorical" else None,
                                "counts": counts, "missing": missing}
        task = None
        tl = self._layout.task
        if tl is not None:
            s = self._task
            if tl.kind == "regression":
                task = {"kind": "regression", "n": s["n"], "missing": s["missing"],
                        "sums": {k: float(v) for k, v in s["sums"].items()}, "max_abs_error": s["max_abs_error"]}
            else:
                task = {"kind": tl.kind, "n": s["n"], "missing": s["missing"], "confusion": s["confusion"],
                        "has_proba": tl.has_proba, "log_loss_sum": float(s["log_loss"]),
                        "log_loss_sq_sum": float(s["log_loss_sq"])}
                if tl.kind == "binary":
                    task.update(positive=tl.positive, threshold=tl.threshold)
                else:
                    task["classes"] = list(tl.classes)
        facets = {}
        from morvane._rules import Rule

        for fl in self._layout.facets:
            counts, missing = self._facets[fl.column]
            facets[fl.column] = {"rule": Rule(fl.op, fl.values).readable(), "groups": list(fl.groups),
                                 "counts": counts, "missing": missing}
        return {"n_rows": self._n_rows, "features": features, "task": task, "facets": facets}


_DEFAULTS = dict(target=None, prediction=None, task=None, positive=1, threshold=0.5, features=None, categorical=(),
                 facets=None, bins=QUANTILE, n_bins=10)


def profile(table, *, like=None, target=None, prediction=None, task=None, positive=1, threshold=0.5, features=None,
            categorical=(), facets=None, bins=QUANTILE, n_bins=10, progress=None, threads=None) -> Profile:
    """Profile a table: build its layout (or take ``like``'s), then count it with that layout."""
    threads = _threads(threads)
    t = read_table(table)
    if like is not None:
        given = dict(target=target, prediction=prediction, task=task, positive=positive, threshold=threshold,
                     features=features, categorical=categorical, facets=facets, bins=bins, n_bins=n_bins)
        extra = [k for k, v in given.items() if not _same_default(v, _DEFAULTS[k])]
        if extra:
            raise ValueError(f"like= takes everything from the reference; do not also give {', '.join(extra)}")
        layout, known = (like.layout if isinstance(like, Profile) else like), None
        if not isinstance(layout, Layout):
            raise TypeError("like= takes a Profile or a Layout")
    else:
        if isinstance(categorical, str):
            categorical = (categorical,)
        layout, known = build_layout(t, target=target, prediction=prediction, task=task, positive=positive,
                              threshold=threshold, features=features, categorical=tuple(categorical),
                              facets=facets or {}, bins=bins, n_bins=n_bins, threads=threads)
    return count(t, layout, threads, progress, known)


def _same_default(v, d) -> bool:
    if isinstance(v, np.ndarray) or isinstance(d, np.ndarray):
        return False
    try:
        return bool(v == d) and type(v) is type(d) or (v is None and d is None) or (v == () and d == ())
    except Exception:
        return False


def merge(profiles) -> Profile:
    """The exact merge of one or more profiles with the same layout."""
    profiles = list(profiles)
    if not profiles:
        raise ValueError("merge() needs at least one profile")
    out = profiles[0]
    if not isinstance(out, Profile):
        raise TypeError(f"cannot merge {type(out).__name__}")
    for p in profiles[1:]:
        out = out.merge(p)
    return out
