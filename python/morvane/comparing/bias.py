"""The bias family: the fixed module's pre-training and post-training metrics per facet, each tested
on a change between the windows in what the metric is built from, with a per-group table.

Rates per group use exact two-sided tests (Bonferroni over the two groups); a metric built from
rates within each group fails only when its own change is significant as well as its inputs'."""

from __future__ import annotations

import math

import numpy as np

from morvane import _native
from morvane.comparing import significance
from morvane.comparing.checks import Pending, defined, difference, div, interval
from morvane.comparing.metrics import POST_TRAINING, PRE_TRAINING, post_training, pre_training
from morvane.state.profile import Profile
from morvane.state.stats import FacetStats

METRICS = PRE_TRAINING + POST_TRAINING


def _facet_cells(x):
    """TN, FP, FN, TP of one group's [label, prediction] counts, as floats."""
    x = np.asarray(x, dtype=np.float64)
    return x[0, 0], x[0, 1], x[1, 0], x[1, 1]


def _local_pre(a, d) -> dict:
    """The pre-training metrics of group counts a and d ([label, prediction], counts or shares)."""
    n_a, n_d = float(a.sum()), float(d.sum())
    out = {"ClassImbalance": div(abs(n_a - n_d), n_a + n_d)}
    qa, qd = div(float(a[1].sum()), n_a), div(float(d[1].sum()), n_d)
    with np.errstate(all="ignore"):
        qa64, qd64, m = np.float64(qa), np.float64(qd), np.float64((qa + qd) * 0.5)
        kl = qa64 * np.log(qa64 / qd64) + (1 - qa64) * np.log((1 - qa64) / (1 - qd64))
        js = 0.5 * (qa64 * np.log(qa64 / m) + (1 - qa64) * np.log((1 - qa64) / (1 - m))
                    + qd64 * np.log(qd64 / m) + (1 - qd64) * np.log((1 - qd64) / (1 - m)))
    dpl = qa - qd
    out.update({"DifferenceInProportionOfLabels": dpl, "KlDivergence": float(kl), "JsDivergence": float(js),
                "LpNorm": math.sqrt(2.0) * abs(dpl) if math.isfinite(dpl) else dpl,
                "TotalVariationDistance": abs(dpl), "KolmogorovSmirnov": abs(dpl)})
    return out


def _local_post(a, d) -> dict:
    """The post-training metrics of group counts a and d, except GeneralizedEntropy."""
    (tna, fpa, fna, tpa), (tnd, fpd, fnd, tpd) = _facet_cells(a), _facet_cells(d)
    na, nd = tna + fpa + fna + tpa, tnd + fpd + fnd + tpd
    pa, pd_ = fpa + tpa, fpd + tpd
    la, ld = fna + tpa, fnd + tpd
    n0 = na + nd - pa - pd_
    disparity = [div(na - pa, n0) - div(pa, n0), div(nd - pd_, n0) - div(pd_, n0)]
    return {
        "DifferenceInPositivePredictedLabels": div(pa, na) - div(pd_, nd),
        "DisparateImpact": div(div(pa, na), div(pd_, nd)),
        "AccuracyDifference": div(tpa + tna, na) - div(tpd + tnd, nd),
        "RecallDifference": div(tpa, la) - div(tpd, ld),
        "DifferenceInConditionalAcceptance": div(pa, la) - div(pd_, ld),
        "DifferenceInAcceptanceRate": div(tpa, pa) - div(tpd, pd_),
        "SpecialityDifference": div(tna, tna + fpa) - div(tnd, tnd + fpd),
        "DifferenceInConditionalRejection": div(nd - ld, nd - pd_) - div(na - la, na - pa),
        "DifferenceInRejectionRate": div(tnd, tnd + fnd) - div(tna, tna + fna),
        "TreatmentEquity": div(fnd, fpd) - div(fna, fpa),
        "ConditionalDemographicDesparityPredictedLabels": div(disparity[0] * na + disparity[1] * nd, na + nd),
    }


def _benefits(counts) -> np.ndarray:
    """Rows by benefit 0 (positive label, negative prediction), 1 (both positive), 2 (negative label)."""
    tn, fp, fn, tp = _facet_cells(np.asarray(counts).sum(axis=0))
    return np.array([fn, tp, tn + fp])


def _entropy_index(benefits) -> float:
    """Generalised entropy index with alpha = 2 per row, (1 / 2n) * sum((b / mean)^2 - 1)."""
    c0, c1, c2 = benefits
    n, s, q = c0 + c1 + c2, c1 + 2 * c2, c1 + 4 * c2
    if n <= 0 or s <= 0:
        return float("nan")
    return float((n * q / (s * s) - 1.0) / 2.0)


def _two_facets(test, a_ref, a_cur, d_ref, d_cur):
    """Bonferroni of one two-sided exact rate test per facet."""
    return significance.bonferroni([test(*a_cur, *a_ref), test(*d_cur, *d_ref)])


def _split(counts, g):
    """The counts of group ``g`` and of all the other groups together."""
    counts = np.asarray(counts, dtype=np.int64)
    return counts[g], counts.sum(axis=0) - counts[g]


def _pre_values(facet: FacetStats, g: int) -> dict:
    # The shared formulas refuse a whole set when one denominator is zero: then each metric gets its
    # own value, NaN only where its own denominator is zero.
    return pre_training(facet, g) or _local_pre(*facet.split(g))


def _post_values(facet: FacetStats, g: int) -> dict:
    return post_training(facet, g) or _local_post(*facet.split(g))


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
            values = [(_pre_values(rf, g), _post_values(rf, g)), (_pre_values(cf, g), _post_values(cf, g))]
            entropy = (_entropy_index(_benefits(rc)), _entropy_index(_benefits(cc)))
            for metric in METRICS:
                key = _BIAS_HYPOTHESES[metric]
                if metric == "GeneralizedEntropy":
                    ref_value, cur_value = entropy
                else:
                    ref_value = {**values[0][0], **values[0][1]}.get(metric)
                    cur_value = {**values[1][0], **values[1][1]}.get(metric)
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


def _within_group_values(a, d) -> dict:
    with np.errstate(all="ignore"):
        values = {**_local_pre(a.reshape(2, 2), d.reshape(2, 2)), **_local_post(a.reshape(2, 2), d.reshape(2, 2))}
    return {metric: values[metric] for metric in _WITHIN_GROUP}


def _change_tests(ra, ca, rd, cd) -> dict:
    """{metric: (two-sided p of its change, variance of the change)} for the within-group metrics,
    (None, None) where undefined."""
    cells = [np.asarray(x, np.float64).ravel() for x in (ra, ca, rd, cd)]
    sizes = [x.sum() for x in cells]
    if min(sizes) <= 0:
        return {}
    before = _within_group_values(cells[0] / sizes[0], cells[2] / sizes[2])
    after = _within_group_values(cells[1] / sizes[1], cells[3] / sizes[3])
    pooled = [(cells[0] + cells[1]) / (sizes[0] + sizes[1]), (cells[2] + cells[3]) / (sizes[2] + sizes[3])]
    scale = [1.0 / sizes[0] + 1.0 / sizes[1], 1.0 / sizes[2] + 1.0 / sizes[3]]
    step = 1e-6
    gradients = {metric: [np.zeros(4), np.zeros(4)] for metric in _WITHIN_GROUP}
    for x in (0, 1):
        for j in range(4):
            shifted = [[p.copy() for p in pooled] for _ in range(2)]
            shifted[0][x][j] += step
            shifted[1][x][j] -= step
            up, down = _within_group_values(*shifted[0]), _within_group_values(*shifted[1])
            for metric in _WITHIN_GROUP:
                gradients[metric][x][j] = (up[metric] - down[metric]) / (2 * step)
    out = {}
    for metric in _WITHIN_GROUP:
        change = after[metric] - before[metric]
        variance = sum(g @ (np.diag(p) - np.outer(p, p)) @ g * k
                       for g, p, k in zip(gradients[metric], pooled, scale))
        if not (math.isfinite(change) and math.isfinite(variance)):
            out[metric] = (None, None)
        elif variance <= 0:
            out[metric] = (1.0 if change == 0 else 0.0, 0.0)
        else:
            out[metric] = (2.0 * _native.normal_cdf(-abs(change) / math.sqrt(variance)), float(variance))
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
