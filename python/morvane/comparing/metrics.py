"""Metric values from profile statistics, through the same C++ formulas `_morvane` uses: the
binary and regression performance metrics, the pre-training and post-training bias metrics, and
the four drift distances. Every name and its order comes from the core's metric tables."""

from __future__ import annotations

import numpy as np

from morvane import _native
from morvane.state.stats import ClassificationStats, FacetStats, RegressionStats, TaskStats

CLASSIFICATION = tuple(_native.classification_names())  # the ratios of the confusion matrix, then LogLoss
RATIOS = tuple(name for name in CLASSIFICATION if name != "LogLoss")
REGRESSION = tuple(_native.regression_names())
PRE_TRAINING = tuple(_native.data_bias_names())
POST_TRAINING = tuple(_native.model_bias_names())
DISTANCES = ("JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler")


def performance(task: TaskStats) -> dict:
    """{metric: value} of a binary or regression task's statistics; empty when no row was counted."""
    if task.n == 0:
        return {}
    if isinstance(task, RegressionStats):
        s = task.total
        values = _native.regression_metrics(float(task.n), s("e2"), s("abs_e"), task.max_abs_error, s("sle"),
                                            s("ape"), s("y"), s("y2"), s("p2"), s("yp"))
        return dict(zip(REGRESSION, values, strict=True))
    if not isinstance(task, ClassificationStats) or task.layout.kind != "binary":
        raise ValueError(f"performance() covers binary and regression tasks, not {task.layout.kind!r}")
    c = task.confusion
    out = dict(zip(RATIOS, _native.binary_metrics(int(c[1, 1]), int(c[0, 1]), int(c[0, 0]), int(c[1, 0])),
                   strict=True))
    if task.has_proba:
        # As the fixed module: the sum narrowed to 32 bits, divided by the count in 32 bits.
        out["LogLoss"] = float(np.float32(float(task.log_loss)) / np.float32(task.n))
    return out


def pre_training(facet: FacetStats, g: int) -> dict:
    """The data-bias metrics of group ``g`` against the rest; empty when either side has no rows."""
    a, d = facet.split(g)
    values = _native.pre_training(int(a[1].sum()), int(a.sum()), int(d[1].sum()), int(d.sum()))
    return {} if values is None else dict(zip(PRE_TRAINING, values, strict=True))


def post_training(facet: FacetStats, g: int) -> dict:
    """The model-bias metrics of group ``g`` against the rest; empty when the formulas' guards refuse
    the counts (a side without rows, or a zero denominator)."""
    a, d = facet.split(g)
    values = _native.post_training([int(x) for x in a.ravel()], [int(x) for x in d.ravel()])
    return {} if values is None else dict(zip(POST_TRAINING, values, strict=True))


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


def _rows(columns) -> tuple[np.ndarray, tuple]:
    """Arrays broadcast to one shape, as the C-ordered (rows, columns) float64 table the kernels read."""
    arrays = np.broadcast_arrays(*(np.asarray(c, dtype=np.float64) for c in columns))
    return np.ascontiguousarray(np.stack(arrays, axis=-1).reshape(-1, len(arrays))), arrays[0].shape


def ratios_many(tn, fp, fn, tp) -> dict[str, np.ndarray]:
    """The binary ratio metrics of many confusion tables at once (whole or expected counts, arrays
    broadcast), each a float32 array of the broadcast shape."""
    rows, shape = _rows((tp, fp, tn, fn))
    values = _native.binary_metrics_many(rows)
    return {name: values[:, i].reshape(shape) for i, name in enumerate(RATIOS)}


def bias_many(a, d, *, wide: bool = False) -> dict[str, np.ndarray]:
    """The data-bias metrics and the model-bias count metrics (all but GeneralizedEntropy) of groups a
    and d, given as (..., 2, 2) [label, prediction] counts or shares, without the guards that refuse a
    whole set: an undefined model-bias value is NaN, the data-bias ones are what IEEE gives. In 32 bits
    as the metrics are, or in 64 (`wide`) for derivatives of the formulas."""
    a, d = np.broadcast_arrays(np.asarray(a, np.float64), np.asarray(d, np.float64))
    shape = a.shape[:-2]
    a, d = a.reshape(-1, 4), d.reshape(-1, 4)  # tn, fp, fn, tp
    pre, _ = _rows((a[:, 2] + a[:, 3], a.sum(axis=1), d[:, 2] + d[:, 3], d.sum(axis=1)))
    pre = _native.pre_training_many(pre, wide)
    post = _native.post_training_many(np.ascontiguousarray(np.concatenate([a, d], axis=1)), wide)
    post = np.where(np.isfinite(post), post, np.nan)  # every infinity here is a zero denominator
    names = PRE_TRAINING + POST_TRAINING[:post.shape[1]]
    return {name: column.reshape(shape) for name, column in zip(names, np.concatenate([pre, post], axis=1).T,
                                                                strict=True)}


def generalized_entropy(benefits) -> float:
    """The generalized entropy index (alpha = 2) per row of elements counted by benefit 0, 1 and 2: the
    core's sum divided by 2n in 32 bits; NaN without rows or benefit."""
    zero, one, two = (int(b) for b in benefits)
    n = zero + one + two
    with np.errstate(all="ignore"):
        return float(np.float32(_native.generalized_entropy(zero, one, two)) / np.float32(2 * n))
