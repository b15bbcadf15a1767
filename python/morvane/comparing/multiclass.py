"""Multiclass performance from a profile's confusion matrix and log-loss sums: accuracy, macro and
weighted precision, recall and F1, log loss, and a per-class table.

A per-class value whose denominator is zero (precision of a class never predicted, recall of a class
absent from the truth, F1 of a class neither present nor predicted) is undefined: it is left out of
the averages (weights renormalised), and a metric with no defined class is NaN (so is a weighted
average whose defined classes all lack support, where scikit-learn reports 0).
"""

from __future__ import annotations

import numpy as np

from morvane.state.stats import ClassificationStats

METRICS = ("Accuracy", "MacroPrecision", "MacroRecall", "MacroF1", "WeightedPrecision", "WeightedRecall",
           "WeightedF1", "LogLoss")


def _ratio(numerator: np.ndarray, denominator: np.ndarray) -> np.ndarray:
    out = np.full(numerator.shape, np.nan)
    np.divide(numerator, denominator, out=out, where=denominator > 0)
    return out


def per_class(confusion) -> dict[str, np.ndarray]:
    """Per-class arrays from a (truth, prediction) confusion matrix: support, predicted, tp,
    precision, recall, f1."""
    c = np.asarray(confusion, dtype=np.float64)
    tp = np.diag(c)
    support, predicted = c.sum(axis=1), c.sum(axis=0)
    return {"support": support, "predicted": predicted, "tp": tp,
            "precision": _ratio(tp, predicted), "recall": _ratio(tp, support),
            "f1": _ratio(2.0 * tp, support + predicted)}


def _average(values: np.ndarray, weights: np.ndarray | None = None) -> float:
    keep = ~np.isnan(values)
    if weights is not None:
        keep &= weights > 0
    if not keep.any():
        return float("nan")
    w = np.ones(values.shape) if weights is None else weights
    return float(np.average(values[keep], weights=w[keep]))


def metrics(task: ClassificationStats) -> dict[str, float]:
    """The multiclass metrics of a task's stats (LogLoss only when probabilities were given)."""
    rows = per_class(task.confusion)
    n = float(rows["support"].sum())
    out = {"Accuracy": float(rows["tp"].sum() / n) if n > 0 else float("nan")}
    for name in ("precision", "recall", "f1"):
        title = "F1" if name == "f1" else name.capitalize()
        out["Macro" + title] = _average(rows[name])
        out["Weighted" + title] = _average(rows[name], rows["support"])
    if task.has_proba:
        out["LogLoss"] = float(task.log_loss) / task.n if task.n > 0 else float("nan")
    return {name: out[name] for name in METRICS if name in out}


def class_table(classes, confusion, window: str) -> list[dict]:
    """One row per class: counts and the three per-class rates, tagged with the window's name."""
    rows = per_class(confusion)
    return [{"class": str(label), "window": window, "support": int(rows["support"][k]),
             "predicted": int(rows["predicted"][k]), "true_positive": int(rows["tp"][k]),
             "precision": float(rows["precision"][k]), "recall": float(rows["recall"][k]),
             "f1": float(rows["f1"][k])} for k, label in enumerate(classes)]
