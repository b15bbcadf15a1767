"""Estimated regression performance of a window whose targets are not known yet: MAE, MSE and RMSE
from the reference's errors per prediction bin and the window's predictions in those bins.

The assumption (the error model): the distribution of the error given the prediction is the
reference's. Then the window's expected mean absolute error is the mix of the reference's per-bin
means in the window's own proportions, and likewise for the squared error; a window's predictions
may move (covariate shift) as far as the reference's bins reach (beyond them, the outer bins'
errors hold). Bins the window has and the reference has no errors in take the nearest bin with
errors.

The interval is a prediction interval for the window's realised value: the spread of its rows'
errors within their bins plus the uncertainty of the reference's per-bin means, normal. The test
asks whether the window's expected metric rose above the reference's, with the variance of the
measured metric of a labeled window of the same size drawn from the reference (plus the
reference's own): conservative, as the estimate varies less than the measurement."""

from __future__ import annotations

import math

import numpy as np
from scipy import special

from morvane.comparing.checks import Pending
from morvane.state.prediction_bins import PredictionBins

METRICS = ("MeanAbsoluteError", "MeanSquaredError", "RootMeanSquaredError")


def _nearest(n: np.ndarray) -> np.ndarray:
    """For each bin, the nearest bin with errors (itself when it has some; the lower one on ties)."""
    have = np.flatnonzero(n > 0)
    at = np.arange(len(n))
    return have[np.abs(at[:, None] - have[None, :]).argmin(axis=1)]


def estimate(ref: PredictionBins, window: PredictionBins, alpha: float) -> list[Pending]:
    """The three estimated checks (`details["estimated"]` True), or none when the reference has no
    errors or the window no predictions."""
    n = np.asarray(ref.n, np.float64)
    w = np.asarray(window.predicted, np.float64)
    total_w, total_r = w.sum(), n.sum()
    if total_r < 2 or total_w <= 0:
        return []
    sums = ref.moments()[_nearest(np.asarray(ref.n))]
    rows = n[_nearest(np.asarray(ref.n))]
    mean_abs, mean_sq, mean_fourth = sums[:, 0] / rows, sums[:, 1] / rows, sums[:, 2] / rows
    share = w / total_w
    z = float(-special.ndtri(alpha / 2.0))
    whole = ref.moments().sum(axis=0) / total_r
    out = []
    for metric, first, second, ref_first, ref_second in (
            ("MeanAbsoluteError", mean_abs, mean_sq, whole[0], whole[1]),
            ("MeanSquaredError", mean_sq, mean_fourth, whole[1], whole[2])):
        value = float(share @ first)
        spread = np.maximum(second - first * first, 0.0)
        variance = float(share @ spread / total_w + (share * share) @ (spread / rows))
        half = z * math.sqrt(variance)
        interval = (max(value - half, 0.0), value + half)
        null = max(ref_second - ref_first * ref_first, 0.0) * (1.0 / total_w + 1.0 / total_r)
        change = value - ref_first
        p = float(special.ndtr(-change / math.sqrt(null))) if null > 0 else (0.0 if change > 0 else 1.0)
        details = {"estimated": True, "rows": int(total_w), "test": "normal one-sided, variance of a labeled "
                   "window's metric (conservative)", "reference_bins": int((n > 0).sum())}
        key = ("performance", "estimated", "e2" if metric == "MeanSquaredError" else metric)
        out.append(Pending("performance", None, metric, ref_first, value, key, p, worse=change > 0,
                           interval=interval, details=details))
        if metric == "MeanSquaredError":  # its root: the same test, the interval's roots
            out.append(Pending("performance", None, "RootMeanSquaredError", math.sqrt(ref_first), math.sqrt(value),
                               key, p, worse=change > 0, interval=(math.sqrt(interval[0]), math.sqrt(interval[1])),
                               details=dict(details)))
    return out
