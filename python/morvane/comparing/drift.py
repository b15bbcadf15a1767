"""The drift family: one `Distribution` check per feature on the values the reference knows (its
categories, or its bins inside its range), with the fixed module's distances on the same bins in its
details. Missing rows, values the reference never saw and rows beyond its range are the data family's
questions (data.py), so they neither dilute this test nor fail it."""

from __future__ import annotations

import math

import numpy as np

from morvane.comparing import joint, significance
from morvane.comparing.checks import Pending, difference, interval
from morvane.comparing.metrics import distances
from morvane.state.profile import Profile
from morvane.state.stats import FeatureStats, RegressionStats

METRICS = ("Distribution",) + joint.METRICS
# A category is a cell of the test only when its count in both windows together gives the reference
# this many rows in expectation (see known_cells).
KNOWN_ROWS = 20.0


def known_cells(r: FeatureStats, c: FeatureStats) -> tuple[np.ndarray, np.ndarray]:
    """The reference's and the window's counts on the values the reference knows.

    Continuous: the bins inside the reference's range. Categorical: the categories, but only those
    whose combined count T would give the reference at least KNOWN_ROWS rows (T * m / (m + n)):
    which values a reference saw at all is decided by the reference itself, and a value seen by
    chance is over-counted in it (over the categories, by the whole missing mass). Above that count
    the chance that a value with T rows in both windows is absent from the reference, about
    exp(-KNOWN_ROWS), is negligible, so the cells are fixed by the margins, as the test needs."""
    rc, cc = np.asarray(r.counts, np.int64), np.asarray(c.counts, np.int64)
    if r.kind == "continuous":
        lower, upper = r.range_bins()
        return rc[int(lower):len(rc) - int(upper)], cc[int(lower):len(cc) - int(upper)]
    rk, ck = rc[:-1], cc[:-1]
    m, n = int(rc.sum()), int(cc.sum())
    if m == 0 or n == 0:
        return rk, ck
    keep = (rk + ck) * (m / (m + n)) >= KNOWN_ROWS
    return rk[keep], ck[keep]


def checks(reference: Profile, current: Profile, alpha: float, tables: dict) -> list[Pending]:
    """One check per feature on the known values, then the model's outputs and the target."""
    out = []
    cur_features = current.features
    for name, r in reference.features.items():
        c = cur_features[name]
        r_known, c_known = known_cells(r, c)
        out.append(distribution(name, r_known, c_known, r.kind == "continuous", alpha, r.counts, c.counts,
                                missing=(int(r.missing), int(c.missing))))
    return (out + outputs(reference, current, alpha)
            + joint.checks(reference.layout.extra("joint"), reference.extra("joint"), current.extra("joint")))


def distribution(column, r_known, c_known, ordered: bool, alpha: float, r_counts=None, c_counts=None, *,
                 key=None, missing=None) -> Pending:
    """The `Distribution` check of one column's counts: Pearson's chi-square after pooling sparse
    cells; ordered cells add a rank test on the pooled bins, Bonferroni of the two. `change` is the
    total variation distance of the known values (`details["distance"]`), with its 1 - alpha interval
    (delta method) and standard error, so a floor on it can be tested; the fixed module's distances on
    all the counts (`r_counts`, `c_counts`) are in the details."""
    r_known, c_known = np.asarray(r_known, np.int64), np.asarray(c_known, np.int64)
    p_chi, chi = significance.homogeneity(r_known, c_known, ordered=ordered)
    details = {"test": "chi-square", "cells": int(len(r_known))}
    if chi:
        details.update({"chi_square": chi["statistic"], "dof": chi["dof"]})
    p = p_chi
    if ordered:
        # On the pooled bins: a bin expected to hold a few rows of the smaller window would leave the
        # rank test's normal tail to a handful of rows (a rare value of a 0/1 flag in 50 rows).
        p_rank, rank = significance.rank_shift(*significance.pooled(r_known, c_known, ordered=True))
        if p_rank is not None:
            details.update({"test": "chi-square and rank (Bonferroni)", "rank_z": rank["z"]})
            p = significance.bonferroni([p_chi, p_rank])
    if r_counts is not None:
        found = distances(np.asarray(r_counts, np.int64), np.asarray(c_counts, np.int64),
                          "continuous" if ordered else "categorical")
        details.update({k: v for k, v in found.items() if v is None or math.isfinite(v)})
    if missing is not None:
        details["missing_reference"], details["missing_current"] = missing
    # On the test's pooled cells: on fine bins (a score's histogram) the plain distance of two samples
    # of one distribution is far from zero.
    distance, se = total_variation(*significance.pooled(r_known, c_known, ordered=ordered))
    details["distance"] = "TotalVariation"
    details["TotalVariation"] = distance
    band = interval(distance, None if se is None else se * se, alpha)
    if band is not None:
        band = (max(0.0, band[0]), min(1.0, band[1]))
    return Pending("drift", column, "Distribution", None, None, key or ("drift", column), p, details=details,
                   change=distance, interval=band, se=se)


def total_variation(r_counts, c_counts) -> tuple[float | None, float | None]:
    """Half the L1 distance of the two count vectors' shares, and its delta-method standard error
    (each window's shares multinomial; the gradient is half the sign of each cell's difference)."""
    r, c = np.asarray(r_counts, np.float64), np.asarray(c_counts, np.float64)
    m, n = r.sum(), c.sum()
    if m <= 0 or n <= 0:
        return None, None
    p, q = r / m, c / n
    sign = np.sign(q - p)
    value = 0.5 * float(np.abs(q - p).sum())
    spread = lambda shares, rows: (float((sign * sign * shares).sum()) - float((sign * shares).sum()) ** 2) / rows  # noqa: E731
    return value, 0.5 * math.sqrt(max(spread(p, m) + spread(q, n), 0.0))


def outputs(reference: Profile, current: Profile, alpha: float) -> list[Pending]:
    """`Distribution` checks of the model's outputs and of the target, read from the task's counts:
    each score column's histogram (binary and multiclass with scores; labeled or not), the decisions'
    mix and the target's mix (labeled rows); regression, the target's and the predictions' means.
    The window needs only what each check reads: scores and decisions are checked without labels."""
    rt, ct = reference.task_stats, current.task_stats
    if rt is None:
        return []
    task = rt.layout
    if isinstance(rt, RegressionStats):
        return [_mean_shift(name, rt, ct, total, square, alpha)
                for name, total, square in ((task.target, "y", "y2"), (task.prediction[0], "p", "p2"))
                if name]
    out = []
    labels = [str(label) for label in (task.classes or ())]
    if rt.scores is not None:
        names = _score_names(task, labels)
        if task.kind == "binary":
            ref_scores, cur_scores = [rt.scores.sum(axis=(0, 1))], [ct.scores.sum(axis=(0, 1))]
        else:
            ref_scores, cur_scores = rt.scores.sum(axis=0), ct.scores.sum(axis=0)
        for name, r, c in zip(names, ref_scores, cur_scores):
            out.append(distribution(name, r, c, True, alpha, key=("drift", "score", name)))
    decision = task.prediction[0] if len(task.prediction) == 1 and not task.has_proba else "decision"
    r_dec, c_dec = _decisions(rt), _decisions(ct)
    out.append(distribution(decision, r_dec, c_dec, False, alpha, key=("drift", "decision")))
    out.append(distribution(task.target, np.asarray(rt.confusion).sum(axis=1), np.asarray(ct.confusion).sum(axis=1),
                            False, alpha, key=("drift", "target")))
    return out


def _score_names(task, labels) -> list[str]:
    columns = task.score or task.prediction
    if task.kind == "binary":
        return [columns[0]]
    if len(columns) == len(labels):
        return list(columns)
    return [f"{columns[0]}[{label}]" for label in labels]


def _decisions(s) -> np.ndarray:
    """The decided classes' counts: from the score histograms (every row with scores, labeled or not),
    else from the confusion counts (labeled rows)."""
    if s.scores is not None:
        if s.layout.kind == "binary":
            return s.scores.sum(axis=(0, 2))
        return s.scores_by_decision[:, 0, :].sum(axis=1)
    return np.asarray(s.confusion).sum(axis=0)


def _mean_shift(name, rt, ct, total: str, square: str, alpha: float) -> Pending:
    """A regression column's mean, two-sided (Bonferroni of the two one-sided t tests)."""
    higher, info = significance.mean_higher(ct.total(total), ct.total(square), ct.n, rt.total(total),
                                            rt.total(square), rt.n)
    lower, _ = significance.mean_higher(-ct.total(total), ct.total(square), ct.n, -rt.total(total),
                                        rt.total(square), rt.n)
    p = significance.bonferroni([higher, lower]) if higher is not None and lower is not None else None
    change = difference(ct.total(total) / ct.n, rt.total(total) / rt.n) if ct.n and rt.n else None
    se = info.get("se") if info else None
    return Pending("drift", name, "Distribution", None, None, ("drift", "output", total), p, change=change,
                   se=se, interval=interval(change, None if se is None else se * se, alpha) if change is not None else None,
                   details={"test": "Welch two-sided on the mean (Bonferroni)", "distance": "MeanDifference",
                            "MeanDifference": change})
