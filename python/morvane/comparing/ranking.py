"""Ranking metrics from score histograms: ROC AUC, average precision and the macro one-vs-rest ROC AUC,
with their variances and the bound on their distance from the row-level values.

A histogram keeps, per true class, the count of rows in each score bin (bins ascending in score). Rows
within one bin are ties: the binned ROC AUC counts each positive-negative pair in a bin as half, so it
differs from the row-level value by at most half the share of pairs that share a bin,
``0.5 * sum(pos_b * neg_b) / (P * N)`` (returned as the bound). Average precision sums, over bins from
the top, the bin's share of the positives times the precision down to the end of that bin; the
row-level precision of the i-th positive inside a bin lies between ``(tp0 + i) / (tp0 + i + fp1)`` and
``(tp0 + i) / (tp0 + i + fp0)`` (counts before and after the bin), which bounds its distance likewise
(for scores without ties inside a bin).

The variances are closed forms over the bins, so their cost does not grow with resampling draws:
DeLong's for ROC AUC, and for average precision the delta method over the cells of the histogram as
a multinomial sample of rows (the class shares vary too), which is what resampling rows estimates.
"""

from __future__ import annotations

import math

import numpy as np

from morvane import _native
from morvane.comparing import cache

TAIL_BINS, MIDDLE_BINS = 21, 1022
GRID_BINS = 2 * TAIL_BINS + MIDDLE_BINS


def grid_edges() -> np.ndarray:
    """The lower edges of the fixed score grid (the kernel's bins before the threshold's split)."""
    lower = [0.0] + [2.0 ** e for e in range(-30, -10)]
    middle = [k / 1024.0 for k in range(1, 1023)]
    upper = [1.0 - 2.0 ** e for e in range(-10, -31, -1)]
    return np.array(lower + middle + upper, dtype=np.float64)


def score_edges(threshold: float) -> np.ndarray:
    """Lower edges of the SCORE_BINS bins: the grid with the threshold inserted (it may repeat an edge,
    leaving an empty bin, so the number of bins never depends on the threshold)."""
    grid = grid_edges()
    t = int(np.searchsorted(grid, threshold, side="right")) - 1
    return np.insert(grid, t + 1, threshold)


def threshold_bin(threshold: float) -> int:
    """The last bin below the threshold: bins above it hold the rows decided positive."""
    return int(np.searchsorted(grid_edges(), threshold, side="right")) - 1


def bin_centres(threshold: float) -> np.ndarray:
    lower = score_edges(threshold)
    upper = np.append(lower[1:], 1.0)
    return (lower + upper) / 2.0


def roc_auc(pos, neg) -> tuple[float, float, float]:
    """(ROC AUC, its DeLong variance, the bound on its distance from the row-level value) of two
    histograms on the same ascending bins; NaN when a class is empty."""
    pos, neg = np.asarray(pos, np.float64), np.asarray(neg, np.float64)
    p, n = pos.sum(), neg.sum()
    if p <= 0 or n <= 0:
        return float("nan"), float("nan"), float("nan")
    below = np.cumsum(neg) - neg  # negatives in lower bins
    above = p - np.cumsum(pos)    # positives in higher bins
    auc = float((pos * (below + 0.5 * neg)).sum() / (p * n))
    # DeLong: the placement of each positive among the negatives and of each negative among the
    # positives; their variances (unbiased) over the class sizes.
    v_pos = (below + 0.5 * neg) / n
    v_neg = (above + 0.5 * pos) / p
    var_pos = (pos * (v_pos - auc) ** 2).sum() / (p - 1) if p > 1 else float("nan")
    var_neg = (neg * (v_neg - auc) ** 2).sum() / (n - 1) if n > 1 else float("nan")
    bound = float(0.5 * (pos * neg).sum() / (p * n))
    return auc, float(var_pos / p + var_neg / n), bound


def roc_auc_many(pos, neg) -> np.ndarray:
    """ROC AUC of each row of two (draws x bins) arrays."""
    pos, neg = np.asarray(pos, np.float64), np.asarray(neg, np.float64)
    p, n = pos.sum(axis=-1), neg.sum(axis=-1)
    below = np.cumsum(neg, axis=-1) - neg
    with np.errstate(all="ignore"):
        return (pos * (below + 0.5 * neg)).sum(axis=-1) / (p * n)


def average_precision_many(pos, neg) -> np.ndarray:
    """Average precision of each row of (draws x bins) arrays, bins ascending in score."""
    pos, neg = np.asarray(pos, np.float64)[..., ::-1], np.asarray(neg, np.float64)[..., ::-1]
    tp, fp = np.cumsum(pos, axis=-1), np.cumsum(neg, axis=-1)
    with np.errstate(all="ignore"):
        precision = np.where(tp + fp > 0, tp / np.maximum(tp + fp, 1e-300), 0.0)
        return (pos * precision).sum(axis=-1) / pos.sum(axis=-1)


def average_precision(pos, neg) -> tuple[float, float]:
    """(average precision, the bound on its distance from the row-level value); NaN without positives."""
    pos, neg = np.asarray(pos, np.float64), np.asarray(neg, np.float64)
    p = pos.sum()
    if p <= 0:
        return float("nan"), float("nan")
    ap = float(average_precision_many(pos, neg))
    # From the top: the i-th positive of a bin has tp0 + i true positives at its rank and between
    # fp0 and fp1 false ones, so its precision lies between the two sums below.
    top_pos, top_neg = pos[::-1].astype(np.int64), neg[::-1]
    tp1, fp1 = np.cumsum(top_pos), np.cumsum(top_neg)
    tp0, fp0 = tp1 - top_pos, fp1 - top_neg
    live = top_pos > 0
    each = np.repeat(np.flatnonzero(live), top_pos[live])
    i = np.arange(len(each)) - np.repeat(np.cumsum(top_pos[live]) - top_pos[live], top_pos[live]) + 1
    tp = tp0[each] + i
    high = np.bincount(each, tp / (tp + fp0[each]), len(top_pos))
    low = np.bincount(each, tp / (tp + fp1[each]), len(top_pos))
    with np.errstate(all="ignore"):
        binned = np.where(live, top_pos * tp1 / (tp1 + fp1), 0.0)
    return ap, float(np.maximum(high - binned, binned - low).sum() / p)


def average_precision_variance(pos, neg) -> float:
    """The delta-method variance of the binned average precision, its rows resampled with
    replacement: with c the 2 x bins cells and g the gradient of AP in them, T (sum pi g^2 -
    (sum pi g)^2) for pi = c / T. From the top, AP = S / P with S = sum_b pos_b tp_b / (tp_b + fp_b);
    a bin's counts enter its own term and, through tp and fp, every term below it (suffix sums)."""
    pos, neg = np.asarray(pos, np.float64)[::-1], np.asarray(neg, np.float64)[::-1]
    p, n = pos.sum(), neg.sum()
    if p < 2 or n < 2:
        return float("nan")
    tp, fp = np.cumsum(pos), np.cumsum(neg)
    seen = np.maximum(tp + fp, 1.0)  # zero only above every row, where pos is zero too
    precision = tp / seen
    s = float((pos * precision).sum())
    below = lambda v: np.cumsum(v[::-1])[::-1]  # noqa: E731  (sum over this bin and those below it)
    g_pos = (precision + below(pos * fp / seen ** 2)) / p - s / (p * p)
    g_neg = -below(pos * tp / seen ** 2) / p
    first = (pos * g_pos).sum() + (neg * g_neg).sum()
    return float((pos * g_pos ** 2).sum() + (neg * g_neg ** 2).sum() - first * first / (p + n))


def bootstrap_variance(metric, pos, neg, draws: int = 200, seed: int = 0) -> float:
    """The variance of a histogram metric over rows resampled with replacement (the class shares vary
    too): the oracle the closed forms are tested against."""
    pos, neg = np.asarray(pos, np.int64), np.asarray(neg, np.int64)
    p, n = int(pos.sum()), int(neg.sum())
    if p < 2 or n < 2:
        return float("nan")
    rng = np.random.default_rng(seed)
    cells = np.concatenate([pos, neg]).astype(np.float64)
    drawn = rng.multinomial(p + n, cells / cells.sum(), size=draws)
    values = metric(drawn[:, :len(pos)], drawn[:, len(pos):])
    return float(np.var(values[np.isfinite(values)], ddof=1))


def one_vs_rest(by_class: np.ndarray, j: int) -> tuple[np.ndarray, np.ndarray]:
    """Positive and negative histograms of class j's score column: rows of class j against the rest
    (rows without a target, the last row of by_class, left out)."""
    k = by_class.shape[1]
    pos = by_class[j, j]
    neg = by_class[:k, j].sum(axis=0) - pos
    return pos, neg


def macro_roc_auc(by_class: np.ndarray) -> tuple[float, list, float]:
    """(macro one-vs-rest ROC AUC over the classes present with others, [(auc, variance)] per class
    (NaN where undefined), the bound: the mean of the classes' bounds)."""
    per, bounds = [], []
    for j in range(by_class.shape[1]):
        auc, var, bound = roc_auc(*one_vs_rest(by_class, j))
        per.append((auc, var))
        if math.isfinite(auc):
            bounds.append(bound)
    defined = [a for a, _ in per if math.isfinite(a)]
    if not defined:
        return float("nan"), per, float("nan")
    return float(np.mean(defined)), per, float(np.mean(bounds))


def side(stats, metric: str) -> tuple:
    """One window's terms of a ranking metric, computed once per statistics object (a reference's
    serve every period and segment compared with it): ROCAUC and AveragePrecision (value, variance,
    bound); MacroROCAUC (value, [(auc, variance)] per class, bound)."""
    return cache.once(stats, metric, lambda: SIDES[metric](stats))


def _average_precision_side(stats) -> tuple[float, float, float]:
    neg, pos = stats.by_class[:2]
    ap, bound = average_precision(pos, neg)
    return ap, average_precision_variance(pos, neg), bound


SIDES = {
    "ROCAUC": lambda stats: roc_auc(stats.by_class[1], stats.by_class[0]),
    "AveragePrecision": _average_precision_side,
    "MacroROCAUC": lambda stats: macro_roc_auc(stats.scores),
}


def lower_p(change: float, variance: float) -> float | None:
    """One-sided normal p-value that a metric fell by `change` given the variance of the change."""
    if not (math.isfinite(change) and math.isfinite(variance)):
        return None
    if variance <= 0:
        return 1.0 if change >= 0 else 0.0
    return _native.normal_cdf(change / math.sqrt(variance))
