"""The performance family: every metric of the task, each a row of its task's table of checks.

A row says how the metric is tested: a success rate (the exact one-sided test toward a lower rate),
the mean of a per-row quantity (one-sided t tests from sums and sums of squares), or a rule of its
own. Names and their order come from the core's metric tables (metrics.py) and from multiclass.py;
a name without a row fails at import, so a new metric cannot be silently left unchecked."""

from __future__ import annotations

import math

import numpy as np

from morvane import _native
from morvane.comparing import estimated, estimated_regression, multiclass, ranking, significance
from morvane.comparing.checks import Pending, defined, difference, interval, proportion_variance
from morvane.comparing.metrics import CLASSIFICATION, REGRESSION, performance
from morvane.state.profile import Profile
from morvane.state.stats import ClassificationStats, RegressionStats


def _rate(successes, trials):
    return ("rate", successes, trials)


# Binary: metric -> how it is tested, from the confusion cells (TN, FP, FN, TP).
BINARY = {
    "BalancedAccuracy": ("both recalls",),
    "PrecisionPositive": _rate(lambda tn, fp, fn, tp: tp, lambda tn, fp, fn, tp: tp + fp),
    "PrecisionNegative": _rate(lambda tn, fp, fn, tp: tn, lambda tn, fp, fn, tp: tn + fn),
    "RecallPositive": _rate(lambda tn, fp, fn, tp: tp, lambda tn, fp, fn, tp: tp + fn),
    "RecallNegative": _rate(lambda tn, fp, fn, tp: tn, lambda tn, fp, fn, tp: tn + fp),
    "Accuracy": _rate(lambda tn, fp, fn, tp: tp + tn, lambda tn, fp, fn, tp: tp + tn + fp + fn),
    # F1 = 2J / (1 + J) with J = TP / (TP + FP + FN): F1 falls exactly when J does.
    "F1Score": _rate(lambda tn, fp, fn, tp: tp, lambda tn, fp, fn, tp: tp + fp + fn),
    "LogLoss": ("log loss",),
}
# Regression: metric -> ("mean", per-row quantity, its square) tested for a higher current mean, or a rule.
REGRESSION_CHECKS = {
    "RootMeanSquaredError": ("mean", "e2", "e4"), "MeanSquaredError": ("mean", "e2", "e4"),
    "MeanAbsoluteError": ("mean", "abs_e", "e2"), "RSquared": ("r2",), "MaxError": ("max",),
    "MeanSquaredLogError": ("mean", "sle", "sle2"), "RootMeanSquaredLogError": ("mean", "sle", "sle2"),
    "MeanAbsolutePercentageError": ("mean", "ape", "ape2"),
}
# Multiclass: metric -> the per-class rate whose classes it averages, or a rule.
MULTICLASS = {
    "Accuracy": ("accuracy",), "WeightedRecall": ("accuracy",), "LogLoss": ("log loss",),
    "MacroPrecision": ("classes", "precision"), "MacroRecall": ("classes", "recall"), "MacroF1": ("classes", "f1"),
    "WeightedPrecision": ("classes", "precision"), "WeightedF1": ("classes", "f1"),
}
for _names, _table in ((CLASSIFICATION, BINARY), (REGRESSION, REGRESSION_CHECKS), (multiclass.METRICS, MULTICLASS)):
    if set(_names) != set(_table):
        raise RuntimeError(f"the performance checks do not cover the metrics {sorted(set(_names) ^ set(_table))}")

# Ranking metrics, from the score histograms of tasks with probabilities.
BINARY_RANKING = ("ROCAUC", "AveragePrecision")
MULTICLASS_RANKING = ("MacroROCAUC",)
# Checks of labeled windows with scores beyond the metrics (both classification tasks).
SCORED = ("Calibration",)
METRICS = tuple(dict.fromkeys(CLASSIFICATION + BINARY_RANKING + REGRESSION + multiclass.METRICS
                              + MULTICLASS_RANKING + SCORED))


def checks(reference: Profile, current: Profile, alpha: float, tables: dict, wanted=None) -> list[Pending]:
    """`wanted(metric)`: whether a ranking metric was asked for (its terms are the costly ones)."""
    wanted = wanted or (lambda metric: True)
    rt, ct = reference.task_stats, current.task_stats
    if rt is None:
        return []
    if isinstance(rt, RegressionStats):
        bins_r, bins_c = reference.extra("prediction_bins"), current.extra("prediction_bins")
        if ct.n == 0 and bins_r is not None and bins_c is not None:  # no targets yet: estimated
            return estimated_regression.estimate(bins_r, bins_c, alpha) or _regression(rt, ct, alpha)
        return _regression(rt, ct, alpha)
    if _estimable(rt, ct):
        return _estimated(rt, ct, alpha)
    if rt.layout.kind == "binary":
        return _binary(rt, ct, alpha) + _binary_ranking(rt, ct, alpha, wanted) + _calibration(rt, ct)
    return _multiclass(rt, ct, alpha, tables) + _multiclass_ranking(rt, ct, alpha, wanted) + _calibration(rt, ct)


# ---- calibration: the score-to-outcome relation ----

CALIBRATION_GROUPS = 10  # groups of the score axis, equal in rows of both windows together


def _calibration(rt: ClassificationStats, ct: ClassificationStats) -> list[Pending]:
    """`Calibration`: do the window's outcomes follow the reference's relation between scores and
    outcomes? The score axis is cut into groups of about equal rows of both windows together (fixed by
    the margins, so under the null); in each group the window's and the reference's outcome rates are
    compared by Pearson's 2 x 2 chi-square, and the groups' statistics add up to a chi-square with one
    degree of freedom per group (independent groups). Binary: the positive class against its score;
    multiclass: each class against its own score column, Bonferroni over the classes. Concept drift
    (the same scores, other outcomes) fails it as soon as labels arrive, whatever the accuracy does."""
    if not (_labeled_scores(rt) and _labeled_scores(ct)):
        return []
    if rt.layout.kind == "binary":
        pairs = [(rt.by_class[:2], ct.by_class[:2])]
    else:
        k = len(rt.layout.classes)
        pairs = [(_one_against_rest(rt.scores[:k, j], j), _one_against_rest(ct.scores[:k, j], j)) for j in range(k)]
    found = [calibration_test(r, c) for r, c in pairs]
    p = significance.bonferroni([f[0] for f in found])
    statistic = sum(f[1] for f in found)
    dof = sum(f[2] for f in found)
    ref_rate, cur_rate = _positive_rate(pairs, 0), _positive_rate(pairs, 1)
    return [Pending("performance", None, "Calibration", ref_rate, cur_rate, ("performance", "Calibration"), p,
                    details={"test": "chi-square over score groups" + (" per class (Bonferroni)" if len(pairs) > 1
                                                                         else ""),
                             "chi_square": statistic, "dof": dof, "groups": CALIBRATION_GROUPS})]


def _one_against_rest(by_class: np.ndarray, j: int) -> np.ndarray:
    """(2, bins): rows of other classes, then of class j, on score column j's bins."""
    return np.stack([by_class.sum(axis=0) - by_class[j], by_class[j]])


def _positive_rate(pairs, side: int):
    """The mean outcome of the first pair (the positive class's share): the value shown beside the test."""
    counts = np.asarray(pairs[0][side], np.float64)
    total = counts.sum()
    return float(counts[1].sum() / total) if total else None


def calibration_test(ref: np.ndarray, cur: np.ndarray) -> tuple[float | None, float, int]:
    """(p, statistic, dof) of equal outcome rates in every score group; `ref`, `cur` are (2, bins)
    counts of negative and positive outcomes per score bin."""
    ref, cur = np.asarray(ref, np.float64), np.asarray(cur, np.float64)
    rows = ref.sum(axis=0) + cur.sum(axis=0)
    total = rows.sum()
    if total <= 0 or ref.sum() <= 0 or cur.sum() <= 0:
        return None, 0.0, 0
    # About 100 rows of the smaller window a group at least: Pearson's tail holds there.
    groups = int(min(CALIBRATION_GROUPS, max(1, min(ref.sum(), cur.sum()) // 100)))
    group = np.minimum((np.cumsum(rows) - rows / 2.0) * groups // total, groups - 1)
    group = group.astype(np.int64)
    statistic, dof = 0.0, 0
    for g in range(groups):
        cells = np.array([[ref[0][group == g].sum(), ref[1][group == g].sum()],
                          [cur[0][group == g].sum(), cur[1][group == g].sum()]])
        n_rows, n_cols, n = cells.sum(axis=1), cells.sum(axis=0), cells.sum()
        if n <= 0 or (n_rows == 0).any() or (n_cols == 0).any():
            continue
        expected = np.outer(n_rows, n_cols) / n
        statistic += float(((cells - expected) ** 2 / expected).sum())
        dof += 1
    if dof == 0:
        return 1.0, 0.0, 0
    return float(_native.chi2_sf(statistic, dof)), statistic, dof


# ---- ranking metrics ----

def _labeled_scores(s: ClassificationStats):
    return s.scores is not None and s.n > 0


def _binary_ranking(rt: ClassificationStats, ct: ClassificationStats, alpha, wanted) -> list[Pending]:
    """ROCAUC (DeLong's variance) and AveragePrecision (delta-method variance over rows), one-sided
    toward a lower current value; `details["bound"]` is the larger distance the binned values may
    have from the row-level ones (see ranking.py)."""
    if not (_labeled_scores(rt) and _labeled_scores(ct)):
        return []
    out = []
    for metric, test in (("ROCAUC", "normal one-sided (DeLong variance)"),
                         ("AveragePrecision", "normal one-sided (delta-method variance)")):
        if not wanted(metric):
            continue
        (ref_value, var_r, bound_r), (cur_value, var_c, bound_c) = ranking.side(rt, metric), ranking.side(ct, metric)
        ok = defined(ref_value, cur_value)
        change = difference(cur_value, ref_value) if ok else None
        variance = var_r + var_c
        p = ranking.lower_p(change, variance) if ok else None
        item = _pending(metric, _value(ref_value), _value(cur_value), ("performance", metric), p,
                        lower_is_worse=True, variance=variance if ok else None, alpha=alpha, test=test)
        item.details["bound"] = max(bound_r, bound_c) if ok else None
        out.append(item)
    return out


def _multiclass_ranking(rt: ClassificationStats, ct: ClassificationStats, alpha, wanted) -> list[Pending]:
    """MacroROCAUC: the macro mean of the one-against-the-rest ROC AUCs; it falls only if some class's
    does, so Bonferroni over the classes' one-sided DeLong tests."""
    if not (_labeled_scores(rt) and _labeled_scores(ct) and wanted("MacroROCAUC")):
        return []
    ref_value, ref_classes, bound_r = ranking.side(rt, "MacroROCAUC")
    cur_value, cur_classes, bound_c = ranking.side(ct, "MacroROCAUC")
    p = None
    if defined(ref_value, cur_value):
        p = significance.bonferroni([ranking.lower_p(c - r, vr + vc) for (r, vr), (c, vc) in zip(ref_classes, cur_classes)
                                     if defined(r, c, vr, vc)])
    item = _pending("MacroROCAUC", _value(ref_value), _value(cur_value), ("performance", "MacroROCAUC"), p,
                    lower_is_worse=True, test="normal one-sided per class (DeLong variance, Bonferroni)")
    item.details["bound"] = max(bound_r, bound_c) if defined(ref_value, cur_value) else None
    return [item]


def _value(v):
    return v if v is not None and np.isfinite(v) else None


# ---- estimated performance ----

def _estimable(rt: ClassificationStats, ct: ClassificationStats) -> bool:
    """A window with scores but no labels, against a reference with both: its performance is estimated."""
    return rt.scores is not None and ct.scores is not None and ct.n == 0 and ct.unlabeled > 0


def _estimated(rt: ClassificationStats, ct: ClassificationStats, alpha) -> list[Pending]:
    """Estimated checks (see estimated.py): `current` the estimate, `interval` its 1 - alpha prediction
    interval for the window's realized value, `details["estimated"]` True; with a reason in
    `details["not_estimated"]` and no p-value when the reference's calibration cannot carry one."""
    if rt.layout.kind == "binary":
        found = estimated.estimate_binary(rt.scores, ct.scores, rt.layout.threshold, alpha)
    else:
        found = estimated.estimate_multiclass(rt.confusion, rt.scores, rt.scores_by_decision, ct.scores,
                                              ct.scores_by_decision, alpha)
    out = []
    for e in found:
        change = difference(e.value, e.reference)
        details = dict(e.details)
        details["test"] = details.get("test", "not estimated")
        if e.reference_estimate is not None:
            details["reference_estimate"] = e.reference_estimate
        out.append(Pending("performance", None, e.metric, e.reference, e.value, ("performance", "estimated", e.metric),
                           e.p, worse=change is not None and change < 0, interval=e.interval, details=details))
    return out


def _pending(metric, ref_value, cur_value, key, p, *, lower_is_worse, variance=None, alpha=None, test=""):
    change = difference(cur_value, ref_value)
    worse = change is not None and (change < 0 if lower_is_worse else change > 0)
    band = interval(change, variance, alpha) if variance is not None else None
    se = math.sqrt(variance) if variance is not None and math.isfinite(variance) and variance >= 0 else None
    return Pending("performance", None, metric, ref_value, cur_value, key, p, worse=worse, interval=band,
                   details={"test": test}, se=se, sign=-1 if lower_is_worse else 1)


def _proportion(metric, key, ref_value, cur_value, x_ref, n_ref, x_cur, n_cur, alpha):
    """A check on a success rate: one-sided exact test toward a lower current rate."""
    p = significance.proportion_lower(x_cur, n_cur, x_ref, n_ref) if defined(ref_value, cur_value) else None
    variance = proportion_variance(x_ref, n_ref) + proportion_variance(x_cur, n_cur)
    return _pending(metric, ref_value, cur_value, key, p, lower_is_worse=True, variance=variance, alpha=alpha,
                    test="exact one-sided (Fisher)")


def _log_loss(rt: ClassificationStats, ct: ClassificationStats, ref_value, cur_value, alpha):
    p, info = significance.mean_higher(float(ct.log_loss), float(ct.log_loss_sq), ct.n,
                                       float(rt.log_loss), float(rt.log_loss_sq), rt.n)
    return _pending("LogLoss", ref_value, cur_value, ("performance", "LogLoss"),
                    p if defined(ref_value, cur_value) else None, lower_is_worse=False,
                    variance=info["se"] ** 2 if info else None, alpha=alpha, test="Welch one-sided")


def _binary(rt: ClassificationStats, ct: ClassificationStats, alpha) -> list[Pending]:
    rv, cv = performance(rt), performance(ct)
    cells = [tuple(int(x) for x in np.asarray(s.confusion, np.int64).ravel()) for s in (rt, ct)]  # TN, FP, FN, TP
    out = []
    for metric in CLASSIFICATION:
        rule = BINARY[metric]
        ref_value, cur_value = rv.get(metric), cv.get(metric)
        if rule[0] == "rate":
            (xr, nr), (xc, nc) = [(rule[1](*c), rule[2](*c)) for c in cells]
            item = _proportion(metric, ("performance", metric), ref_value, cur_value, xr, nr, xc, nc, alpha)
            if metric == "F1Score":
                item.interval = None
            out.append(item)
        elif rule[0] == "both recalls":
            # The mean of the two recalls falls only if one of them does: Bonferroni of their tests.
            recalls = [[(BINARY[m][1](*c), BINARY[m][2](*c)) for c in cells] for m in ("RecallPositive", "RecallNegative")]
            p = None
            if defined(ref_value, cur_value):
                p = significance.bonferroni([significance.proportion_lower(*cur, *ref) for ref, cur in recalls])
            variance = 0.25 * sum(proportion_variance(*w) for pair in recalls for w in pair)
            out.append(_pending(metric, ref_value, cur_value, ("performance", metric), p, lower_is_worse=True,
                                variance=variance, alpha=alpha, test="exact one-sided on both recalls (Bonferroni)"))
        elif rt.has_proba and ct.has_proba:  # LogLoss
            out.append(_log_loss(rt, ct, ref_value, cur_value, alpha))
    return out


def r2_variance(s: RegressionStats) -> float:
    """Delta-method variance of R^2 = 1 - mean(e^2) / var(y) from the window's moment sums."""
    n = s.n
    if n < 3:
        return float("nan")
    m = {k: s.total(k) / n for k in ("y", "y2", "y3", "y4", "e2", "e4", "e2y", "e2y2")}
    b = m["y2"] - m["y"] ** 2
    if not b > 0:
        return float("nan")
    a = m["e2"]
    # Gradient of 1 - a / (m2 - m1^2) in (a, m1, m2).
    grad = np.array([-1.0 / b, -a * 2.0 * m["y"] / b ** 2, a / b ** 2])
    cov = np.array([
        [m["e4"] - a * a, m["e2y"] - a * m["y"], m["e2y2"] - a * m["y2"]],
        [m["e2y"] - a * m["y"], m["y2"] - m["y"] ** 2, m["y3"] - m["y"] * m["y2"]],
        [m["e2y2"] - a * m["y2"], m["y3"] - m["y"] * m["y2"], m["y4"] - m["y2"] ** 2],
    ])
    return float(grad @ cov @ grad / n)


def _regression(rt: RegressionStats, ct: RegressionStats, alpha) -> list[Pending]:
    rv, cv = performance(rt), performance(ct)
    out = []
    for metric in REGRESSION:
        rule = REGRESSION_CHECKS[metric]
        ref_value, cur_value = rv.get(metric), cv.get(metric)
        ok = defined(ref_value, cur_value)
        if rule[0] == "mean":
            _, total, square = rule
            p, info = significance.mean_higher(ct.total(total), ct.total(square), ct.n, rt.total(total),
                                               rt.total(square), rt.n)
            # A root's interval would not be that of the mean tested: none is given.
            variance = info["se"] ** 2 if info and not metric.startswith("Root") else None
            out.append(_pending(metric, ref_value, cur_value, ("performance", total), p if ok else None,
                                lower_is_worse=False, variance=variance, alpha=alpha, test="Welch one-sided"))
        elif rule[0] == "max":
            p = significance.maximum_higher(ct.max_abs_error, ct.n, rt.max_abs_error, rt.n) if ok else None
            out.append(_pending(metric, ref_value, cur_value, ("performance", metric), p, lower_is_worse=False,
                                test="exact, exchangeable maxima"))
        else:  # RSquared
            change = difference(cur_value, ref_value)
            variance = r2_variance(rt) + r2_variance(ct)
            p = None
            if ok and change is not None:
                # Fourth moments of heavy-tailed errors are underestimated in whichever window misses
                # the extreme rows: as the mean tests do, take the larger p of each window's own
                # moments and of the pooled ones.
                pooled = rt.merge(ct)
                shared = r2_variance(pooled) * pooled.n * (1.0 / rt.n + 1.0 / ct.n) if rt.n and ct.n else math.nan
                p = significance.larger_p([significance.normal_lower(change, v) for v in (variance, shared)])
            out.append(_pending(metric, ref_value, cur_value, ("performance", metric), p, lower_is_worse=True,
                                variance=variance, alpha=alpha,
                                test="delta method one-sided, the larger p of own and pooled moments"))
    return out


def _multiclass(rt: ClassificationStats, ct: ClassificationStats, alpha, tables) -> list[Pending]:
    classes = list(rt.layout.classes)
    rv, cv = multiclass.metrics(rt), multiclass.metrics(ct)
    rc, cc = np.asarray(rt.confusion, np.int64), np.asarray(ct.confusion, np.int64)
    tables["classes"] = (multiclass.class_table(classes, rc, "reference")
                         + multiclass.class_table(classes, cc, "current"))
    tp_r, tp_c = np.diag(rc), np.diag(cc)
    per_class = {  # per-class rate: (successes, trials) per window; macro and weighted averages share it
        "precision": ((tp_r, rc.sum(0)), (tp_c, cc.sum(0))),
        "recall": ((tp_r, rc.sum(1)), (tp_c, cc.sum(1))),
        "f1": ((tp_r, rc.sum(0) + rc.sum(1) - tp_r), (tp_c, cc.sum(0) + cc.sum(1) - tp_c)),
    }
    out = []
    for metric in multiclass.METRICS:
        rule = MULTICLASS[metric]
        ref_value, cur_value = rv.get(metric), cv.get(metric)
        if rule[0] == "log loss":
            if rt.has_proba and ct.has_proba:
                out.append(_log_loss(rt, ct, ref_value, cur_value, alpha))
        elif rule[0] == "accuracy":
            out.append(_proportion(metric, ("performance", "Accuracy"), ref_value, cur_value,
                                   tp_r.sum(), rc.sum(), tp_c.sum(), cc.sum(), alpha))
        else:
            # The average of per-class rates falls only if some class's rate does: Bonferroni over the
            # classes defined in both windows (the exact one-sided test of each).
            (xr, nr), (xc, nc) = per_class[rule[1]]
            p = None
            if defined(ref_value, cur_value):
                p = significance.bonferroni([significance.proportion_lower(xc[k], nc[k], xr[k], nr[k])
                                             for k in range(len(classes)) if nr[k] > 0 and nc[k] > 0])
            out.append(_pending(metric, ref_value, cur_value, ("performance", "classes", rule[1]), p,
                                lower_is_worse=True, test="exact one-sided per class (Bonferroni)"))
    return out
