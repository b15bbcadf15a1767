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


def _ratio(numerator, denominator) -> np.ndarray:
    numerator, denominator = np.broadcast_arrays(np.asarray(numerator, np.float64), np.asarray(denominator, np.float64))
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


def summary(confusion) -> dict[str, np.ndarray]:
    """Accuracy and the macro and weighted precision, recall and F1 of (..., k, k) [truth, prediction]
    counts (whole, expected or drawn), each an array over the leading axes."""
    c = np.asarray(confusion, dtype=np.float64)
    tp = np.diagonal(c, axis1=-2, axis2=-1)
    support, predicted = c.sum(axis=-1), c.sum(axis=-2)
    out = {"Accuracy": _ratio(tp.sum(axis=-1), c.sum(axis=(-2, -1)))}
    rates = {"Precision": _ratio(tp, predicted), "Recall": _ratio(tp, support), "F1": _ratio(2.0 * tp, support + predicted)}
    for title, r in rates.items():
        defined = ~np.isnan(r)
        kept = np.where(defined, r, 0.0)
        out["Macro" + title] = _ratio(kept.sum(axis=-1), defined.sum(axis=-1).astype(np.float64))
        weights = np.where(defined, support, 0.0)
        out["Weighted" + title] = _ratio((kept * weights).sum(axis=-1), weights.sum(axis=-1))
    return out


def metrics(task: ClassificationStats) -> dict[str, float]:
    """The multiclass metrics of a task's stats (LogLoss only when probabilities were given)."""
    out = {name: float(value) for name, value in summary(task.confusion).items()}
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
