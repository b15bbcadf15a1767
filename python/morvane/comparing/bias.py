"""The bias family: the fixed module's pre-training and post-training metrics per facet, each tested
on a change between the windows in what the metric is built from, with a per-group table.

Rates per group use exact two-sided tests (Bonferroni over the two groups); a metric built from
rates within each group fails only when its own change is significant as well as its inputs'."""

from __future__ import annotations

import math

import numpy as np
from scipy import special

from morvane.comparing import significance
from morvane.comparing.checks import Pending, defined, difference, div, interval
from morvane.comparing.metrics import POST_TRAINING, PRE_TRAINING, bias_many, generalized_entropy
from morvane.state.profile import Profile
from morvane.state.stats import FacetStats

METRICS = PRE_TRAINING + POST_TRAINING


def _facet_cells(x):
    """TN, FP, FN, TP of one group's [label, prediction] counts, as floats."""
    x = np.asarray(x, dtype=np.float64)
    return x[0, 0], x[0, 1], x[1, 0], x[1, 1]


def _benefits(counts) -> np.ndarray:
    """Rows by benefit 0 (positive label, negative prediction), 1 (both positive), 2 (negative label)."""
    tn, fp, fn, tp = _facet_cells(np.asarray(counts).sum(axis=0))
    return np.array([fn, tp, tn + fp])


def _two_facets(test, a_ref, a_cur, d_ref, d_cur):
    """Bonferroni of one two-sided exact rate test per facet."""
    return significance.bonferroni([test(*a_cur, *a_ref), test(*d_cur, *d_ref)])


def _split(counts, g):
    """The counts of group ``g`` and of all the other groups together."""
    counts = np.asarray(counts, dtype=np.int64)
    return counts[g], counts.sum(axis=0) - counts[g]


def _values(facet: FacetStats, g: int) -> dict:
    """The metrics of group ``g`` against the rest, each NaN only where its own denominator is zero
    (the shared formulas refuse a whole set when one denominator is zero)."""
    a, d = facet.split(g)
    return {metric: float(value) for metric, value in bias_many(a, d).items()}


def checks(reference: Profile, current: Profile, alpha: float, tables: dict) -> list[Pending]:
    task = reference.task_stats
    if task is None or task.layout.kind != "binary":
        return []
    out = []
    cur_facets = current.facets
    for name, rf in reference.facets.items():
        cf = cur_facets[name]
        rc, cc = np.asarray(rf.counts, np.int64), np.asarray(cf.counts, np.int64)
        groups = rf.groups
        table = []
        # Two groups: the check compares "a" with "d"; one group per value: each value with the rest.
        compared = [0] if len(groups) == 2 else range(len(groups))
        for g in compared:
            tested = _bias_tests(rc, cc, g)
            (ra, rd), (ca, cd) = rf.split(g), cf.split(g)
            moved = _change_tests(ra, ca, rd, cd)
            values = (_values(rf, g), _values(cf, g))
            entropy = (generalized_entropy(_benefits(rc)), generalized_entropy(_benefits(cc)))
            for metric in METRICS:
                key = _BIAS_HYPOTHESES[metric]
                if metric == "GeneralizedEntropy":
                    ref_value, cur_value = entropy
                else:
                    ref_value, cur_value = values[0][metric], values[1][metric]
                p = tested[key] if defined(ref_value, cur_value) else None
                details = {"group": groups[g], "test": _BIAS_TEST_NAMES[key]}
                band = None
                if metric in _WITHIN_GROUP and p is not None:
                    p_moved, variance = moved.get(metric, (None, None))
                    if p_moved is not None:
                        p = max(p, p_moved)
                        details["test"] += "; the larger p with the delta-method test of its change"
                        band = interval(difference(cur_value, ref_value), variance, alpha)
                    key = _SAME_TEST.get(metric, metric)
                if metric == "GeneralizedEntropy":
                    details["normalised"] = "per row, alpha = 2"
                out.append(Pending("bias", name, metric, ref_value, cur_value, ("bias", name, groups[g], key), p,
                                    interval=band, details=details))
            for window, counts in (("reference", rc), ("current", cc)):
                table.append(_group_row(groups[g], window, counts, g))
        tables[f"bias: {name}"] = table
    return out


# Bias metrics built from rates within each group. Their own change is tested too (delta method, the
# variance under no change from each group's cell shares pooled over both windows), and the check's
# p-value is the larger of that and the exact test of its inputs: valid at any window size (the exact
# test is) and failing only when the metric itself moved, not when every group changed alike.
_WITHIN_GROUP = ("DifferenceInProportionOfLabels", "LpNorm", "TotalVariationDistance", "KolmogorovSmirnov",
                 "DifferenceInPositivePredictedLabels", "DisparateImpact", "AccuracyDifference", "RecallDifference",
                 "DifferenceInConditionalAcceptance", "DifferenceInAcceptanceRate", "SpecialityDifference",
                 "DifferenceInConditionalRejection", "DifferenceInRejectionRate", "TreatmentEquity")
_SAME_TEST = {"LpNorm": "label_gap_size", "TotalVariationDistance": "label_gap_size",
              "KolmogorovSmirnov": "label_gap_size"}  # each a multiple of |DifferenceInProportionOfLabels|


def _change_tests(ra, ca, rd, cd) -> dict:
    """{metric: (two-sided p of its change, variance of the change)} for the within-group metrics,
    (None, None) where undefined."""
    cells = [np.asarray(x, np.float64).ravel() for x in (ra, ca, rd, cd)]
    sizes = [x.sum() for x in cells]
    if min(sizes) <= 0:
        return {}
    pooled = [(cells[0] + cells[1]) / (sizes[0] + sizes[1]), (cells[2] + cells[3]) / (sizes[2] + sizes[3])]
    scale = [1.0 / sizes[0] + 1.0 / sizes[1], 1.0 / sizes[2] + 1.0 / sizes[3]]
    # One call of the formulas (in 64 bits) for the shares before and after, and for the pooled shares
    # shifted up and down along each cell of each group: the central differences of the gradient.
    step = 1e-6
    shift = np.zeros((2, 4, 2, 2, 4))  # (group, cell, up/down, group a/d, cell)
    for x in (0, 1):
        for j in range(4):
            shift[x, j, 0, x, j], shift[x, j, 1, x, j] = step, -step
    shares = np.concatenate([[[cells[0] / sizes[0], cells[2] / sizes[2]], [cells[1] / sizes[1], cells[3] / sizes[3]]],
                             (np.stack(pooled) + shift).reshape(-1, 2, 4)])
    with np.errstate(all="ignore"):
        values = bias_many(shares[:, 0].reshape(-1, 2, 2), shares[:, 1].reshape(-1, 2, 2), wide=True)
    out = {}
    for metric in _WITHIN_GROUP:
        v = values[metric]
        change = v[1] - v[0]
        slopes = v[2:].reshape(2, 4, 2)
        gradients = (slopes[..., 0] - slopes[..., 1]) / (2 * step)
        variance = sum(g @ (np.diag(p) - np.outer(p, p)) @ g * k for g, p, k in zip(gradients, pooled, scale))
        if not (math.isfinite(change) and math.isfinite(variance)):
            out[metric] = (None, None)
        elif variance <= 0:
            out[metric] = (1.0 if change == 0 else 0.0, 0.0)
        else:
            out[metric] = (float(2.0 * special.ndtr(-abs(change) / math.sqrt(variance))), float(variance))
    return out


_BIAS_HYPOTHESES = {
    "ClassImbalance": "share", "DifferenceInProportionOfLabels": "label_rate", "KlDivergence": "label_rate",
    "JsDivergence": "label_rate", "LpNorm": "label_rate", "TotalVariationDistance": "label_rate",
    "KolmogorovSmirnov": "label_rate", "DifferenceInPositivePredictedLabels": "selection_rate",
    "DisparateImpact": "selection_rate", "AccuracyDifference": "accuracy", "RecallDifference": "recall",
    "DifferenceInConditionalAcceptance": "acceptance", "DifferenceInAcceptanceRate": "precision",
    "SpecialityDifference": "specificity", "DifferenceInConditionalRejection": "rejection",
    "DifferenceInRejectionRate": "negative_predictive_value", "TreatmentEquity": "error_balance",
    "ConditionalDemographicDesparityPredictedLabels": "facet_by_prediction", "GeneralizedEntropy": "benefit",
}
_BIAS_TEST_NAMES = {
    "share": "exact two-sided on the group's share",
    "facet_by_prediction": "chi-square on group by prediction",
    "acceptance": "chi-square on TP, FP, FN per group (Bonferroni)",
    "rejection": "chi-square on TN, FP, FN per group (Bonferroni)",
    "benefit": "chi-square on benefit counts",
}


def _bias_tests(rc, cc, g) -> dict:
    """The p-value of each bias hypothesis: a change between the windows in what the metric is
    built from. Rates per group use exact two-sided tests, Bonferroni over the two groups."""
    ra, rd = _split(rc, g)
    ca, cd = _split(cc, g)
    cells = [tuple(int(v) for v in _facet_cells(x)) for x in (ra, ca, rd, cd)]  # TN, FP, FN, TP

    def rate(successes, trials):
        (a_ref, a_cur, d_ref, d_cur) = [(successes(*c), trials(*c)) for c in cells]
        return _two_facets(significance.proportion_two_sided, a_ref, a_cur, d_ref, d_cur)

    def spread(select):
        ps = [significance.homogeneity(select(*ref_cells), select(*cur_cells))[0]
              for ref_cells, cur_cells in ((cells[0], cells[1]), (cells[2], cells[3]))]
        return significance.bonferroni(ps)

    n_ref, n_cur = int(rc.sum()), int(cc.sum())
    p_a_ref, p_a_cur = int(ra[:, 1].sum()), int(ca[:, 1].sum())
    p_d_ref, p_d_cur = int(rd[:, 1].sum()), int(cd[:, 1].sum())
    by_prediction = ([ra.sum() - p_a_ref, p_a_ref, rd.sum() - p_d_ref, p_d_ref],
                     [ca.sum() - p_a_cur, p_a_cur, cd.sum() - p_d_cur, p_d_cur])
    return {
        "share": significance.proportion_two_sided(int(ca.sum()), n_cur, int(ra.sum()), n_ref),
        "label_rate": rate(lambda tn, fp, fn, tp: fn + tp, lambda tn, fp, fn, tp: tn + fp + fn + tp),
        "selection_rate": rate(lambda tn, fp, fn, tp: fp + tp, lambda tn, fp, fn, tp: tn + fp + fn + tp),
        "accuracy": rate(lambda tn, fp, fn, tp: tn + tp, lambda tn, fp, fn, tp: tn + fp + fn + tp),
        "recall": rate(lambda tn, fp, fn, tp: tp, lambda tn, fp, fn, tp: fn + tp),
        "precision": rate(lambda tn, fp, fn, tp: tp, lambda tn, fp, fn, tp: fp + tp),
        "specificity": rate(lambda tn, fp, fn, tp: tn, lambda tn, fp, fn, tp: tn + fp),
        "negative_predictive_value": rate(lambda tn, fp, fn, tp: tn, lambda tn, fp, fn, tp: tn + fn),
        "error_balance": rate(lambda tn, fp, fn, tp: fn, lambda tn, fp, fn, tp: fn + fp),
        "acceptance": spread(lambda tn, fp, fn, tp: [tp, fp, fn]),
        "rejection": spread(lambda tn, fp, fn, tp: [tn, fp, fn]),
        "facet_by_prediction": significance.homogeneity(*by_prediction)[0],
        "benefit": significance.homogeneity(_benefits(rc), _benefits(cc))[0],
    }


if set(_BIAS_HYPOTHESES) != set(METRICS):
    raise RuntimeError(f"the bias checks do not cover the metrics {sorted(set(METRICS) ^ set(_BIAS_HYPOTHESES))}")
for _key in set(_BIAS_HYPOTHESES.values()) - set(_BIAS_TEST_NAMES):
    _BIAS_TEST_NAMES[_key] = "exact two-sided per group (Bonferroni)"


def _group_row(group, window, counts, g) -> dict:
    """Counts and rates of one group and of the rest, with their differences and ratios."""
    a, d = _split(counts, g)
    (tn, fp, fn, tp), (tn_d, fp_d, fn_d, tp_d) = _facet_cells(a), _facet_cells(d)
    n, n_d = tn + fp + fn + tp, tn_d + fp_d + fn_d + tp_d
    row = {"group": str(group), "window": window, "rows": int(n), "rest_rows": int(n_d),
           "true_negative": int(tn), "false_positive": int(fp), "false_negative": int(fn), "true_positive": int(tp)}
    rates = {
        "label_rate": (div(fn + tp, n), div(fn_d + tp_d, n_d)),
        "selection_rate": (div(fp + tp, n), div(fp_d + tp_d, n_d)),
        "accuracy": (div(tn + tp, n), div(tn_d + tp_d, n_d)),
        "recall": (div(tp, fn + tp), div(tp_d, fn_d + tp_d)),
        "false_positive_rate": (div(fp, tn + fp), div(fp_d, tn_d + fp_d)),
        "precision": (div(tp, fp + tp), div(tp_d, fp_d + tp_d)),
    }
    for rate, (own, rest) in rates.items():
        row[rate] = own
        row[rate + "_rest"] = rest
        row[rate + "_difference"] = own - rest
        row[rate + "_ratio"] = div(own, rest)
    return row
