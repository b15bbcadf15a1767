"""Metric values from profile statistics, through the same C++ formulas `_morvane` uses: the
binary and regression performance metrics, the pre-training and post-training bias metrics, and
the four drift distances."""

from __future__ import annotations

import numpy as np

from morvane import _native

CLASSIFICATION = tuple(_native.classification_names())  # the seven ratios, then LogLoss
REGRESSION = tuple(_native.regression_names())
PRE_TRAINING = tuple(_native.data_bias_names())
POST_TRAINING = tuple(_native.model_bias_names())
DISTANCES = ("JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler")


def performance(task_stats: dict) -> dict:
    """{metric: value} of a binary or regression task's statistics (``Profile._stats()["task"]``);
    empty when no row was counted."""
    kind = task_stats["kind"]
    n = task_stats["n"]
    if n == 0:
        return {}
    if kind == "binary":
        c = np.asarray(task_stats["confusion"])
        values = _native.binary_metrics(int(c[1, 1]), int(c[0, 1]), int(c[0, 0]), int(c[1, 0]))
        out = dict(zip(CLASSIFICATION[:7], values))
        if task_stats["has_proba"]:
            # As the fixed module: the sum narrowed to 32 bits, divided by the count in 32 bits.
            out["LogLoss"] = float(np.float32(task_stats["log_loss_sum"]) / np.float32(n))
        return out
    if kind == "regression":
        s = task_stats["sums"]
        values = _native.regression_metrics(float(n), s["e2"], s["abs_e"], task_stats["max_abs_error"], s["sle"], s["ape"],
                                            s["y"], s["y2"], s["p2"], s["yp"])
        return dict(zip(REGRESSION, values))
    raise ValueError(f"performance() covers binary and regression tasks, not {kind!r}")


def _split(facet_stats: dict, group):
    counts = np.asarray(facet_stats["counts"], dtype=np.int64)
    groups = list(facet_stats["groups"])
    g = groups.index(group) if not isinstance(group, int) else group
    a = counts[g]
    d = counts.sum(axis=0) - a
    return a, d


def pre_training(facet_stats: dict, group="a") -> dict:
    """The data-bias metrics of ``group`` against the rest; empty when either side has no rows."""
    a, d = _split(facet_stats, group)
    values = _native.pre_training(int(a[1].sum()), int(a.sum()), int(d[1].sum()), int(d.sum()))
    return {} if values is None else dict(zip(PRE_TRAINING, values))


def post_training(facet_stats: dict, group="a") -> dict:
    """The model-bias metrics of ``group`` against the rest; empty when the formulas' guards refuse
    the counts (a side without rows, or a zero denominator)."""
    a, d = _split(facet_stats, group)
    values = _native.post_training([int(x) for x in a.ravel()], [int(x) for x in d.ravel()])
    return {} if values is None else dict(zip(POST_TRAINING, values))


def distances(ref_counts, cur_counts, kind: str) -> dict:
    """The four drift scores between a reference histogram and a current one on the same bins."""
    ref = np.asarray(ref_counts, dtype=np.float64)
    cur = np.asarray(cur_counts, dtype=np.float64)
    if ref.shape != cur.shape or ref.ndim != 1:
        raise ValueError("histograms must be one-dimensional and of the same length")
    if kind not in ("continuous", "categorical"):
        raise ValueError("kind must be 'continuous' or 'categorical'")
    total_ref = ref.sum()
    fractions = (ref / total_ref if total_ref > 0 else ref).tolist()
    return {name: _native.drift(fractions, cur.tolist(), float(cur.sum()), kind == "continuous", name)
            for name in DISTANCES}
