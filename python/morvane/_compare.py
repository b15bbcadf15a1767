"""`compare(reference, current)`: drift, performance and bias checks between two profiles, each with
a two-sample test that accounts for both sample sizes, computed from the profiles' sufficient
statistics alone, and Holm's correction over the distinct hypotheses of the report.

Several metrics often rest on one hypothesis (RootMeanSquaredError and MeanSquaredError; the label-rate
distances of a facet): such checks share one test, counted once in the correction. A one-sided
performance check fails only when its metric also moved toward degradation; a bias metric built from
within-group rates only when its own change is significant as well as its inputs'.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np
from scipy import special

from . import _metrics as _shared_metrics
from . import _multiclass, _tests
from ._errors import MismatchError
from ._report import Check, Report

FAMILIES = ("drift", "performance", "bias")
DRIFT_METRIC = "Distribution"
BINARY_METRICS = ("BalancedAccuracy", "PrecisionPositive", "PrecisionNegative", "RecallPositive",
                  "RecallNegative", "Accuracy", "F1Score", "LogLoss")
REGRESSION_METRICS = ("RootMeanSquaredError", "MeanSquaredError", "MeanAbsoluteError", "RSquared", "MaxError",
                      "MeanSquaredLogError", "RootMeanSquaredLogError", "MeanAbsolutePercentageError")
PRE_TRAINING = ("ClassImbalance", "DifferenceInProportionOfLabels", "KlDivergence", "JsDivergence", "LpNorm",
                "TotalVariationDistance", "KolmogorovSmirnov")
POST_TRAINING = ("DifferenceInPositivePredictedLabels", "DisparateImpact", "AccuracyDifference", "RecallDifference",
                 "DifferenceInConditionalAcceptance", "DifferenceInAcceptanceRate", "SpecialityDifference",
                 "DifferenceInConditionalRejection", "DifferenceInRejectionRate", "TreatmentEquity",
                 "ConditionalDemographicDesparityPredictedLabels", "GeneralizedEntropy")
METRIC_NAMES = frozenset((DRIFT_METRIC,) + BINARY_METRICS + REGRESSION_METRICS + _multiclass.METRICS
                         + PRE_TRAINING + POST_TRAINING)


@dataclass
class _Pending:
    """A check before the correction: its values, the hypothesis it tests and that test's p-value."""
    family: str
    column: str | None
    metric: str
    reference: float | None
    current: float | None
    key: tuple
    p: float | None
    worse: bool = True  # one-sided checks: the metric moved toward degradation
    change: float | None = None  # when not current - reference (drift: the Jensen-Shannon distance)
    interval: tuple[float, float] | None = None
    details: dict = field(default_factory=dict)


def compare(reference, current, *, alpha=0.01, checks=None) -> Report:
    """Compare a current profile with its reference; see the README section "Verdicts"."""
    alpha = float(alpha)
    if not 0.0 < alpha < 1.0:
        raise ValueError(f"alpha must lie strictly between 0 and 1, got {alpha!r}")
    wanted = _selection(checks)
    ref, cur = reference._stats(), current._stats()
    _same_layout(ref, cur)
    pending: list[_Pending] = []
    tables: dict[str, list[dict]] = {}
    if wanted("drift"):
        pending += _drift(ref, cur)
    if wanted("performance") and ref.get("task") is not None:
        pending += _performance(ref["task"], cur["task"], alpha, tables)
    if wanted("bias") and (ref.get("task") or {}).get("kind") == "binary":
        pending += _bias(ref, cur, alpha, tables)
    pending = [item for item in pending if wanted(item.family, item.metric)]
    return _verdicts(pending, alpha, reference, current, tables)


def _selection(checks):
    """A predicate over (family, metric) from `checks=`: family names and metric names, mixed."""
    if checks is None:
        return lambda family, metric=None: True
    names = {checks} if isinstance(checks, str) else set(checks)
    unknown = names - set(FAMILIES) - METRIC_NAMES
    if unknown:
        raise ValueError(f"unknown checks {sorted(unknown)}: use families {list(FAMILIES)} or metric names")
    families, metrics = names & set(FAMILIES), names & METRIC_NAMES

    def wanted(family, metric=None):
        if family in families:
            return True
        if metric is None:  # a family is computed when any of its metrics is asked for
            return bool(metrics)
        return metric in metrics
    return wanted


def _same_layout(ref: dict, cur: dict) -> None:
    problems = []
    if list(ref["features"]) != list(cur["features"]):
        problems.append("features differ")
    else:
        for name, r in ref["features"].items():
            c = cur["features"][name]
            same_edges = (r["edges"] is None) == (c["edges"] is None) and (
                r["edges"] is None or np.array_equal(r["edges"], c["edges"]))
            if r["kind"] != c["kind"] or not same_edges or r["categories"] != c["categories"]:
                problems.append(f"bins of {name!r} differ")
    rt, ct = ref.get("task"), cur.get("task")
    if (rt is None) != (ct is None) or (rt is not None and rt["kind"] != ct["kind"]):
        problems.append("tasks differ")
    elif rt is not None and rt.get("classes") != ct.get("classes"):
        problems.append("classes differ")
    if {k: (v["rule"], list(v["groups"])) for k, v in ref["facets"].items()} != \
            {k: (v["rule"], list(v["groups"])) for k, v in cur["facets"].items()}:
        problems.append("facets differ")
    if problems:
        raise MismatchError("profiles do not share a layout: " + "; ".join(problems) +
                            " (profile the current table with like=reference)")


def _verdicts(pending, alpha, reference, current, tables) -> Report:
    """Holm over the distinct hypotheses, then one Check per pending item."""
    tested = {}
    for item in pending:
        if item.p is not None:
            tested[item.key] = item.p
    adjusted = _tests.holm(tested)
    out = []
    for item in pending:
        p = adjusted.get(item.key) if item.p is not None else None
        details = dict(item.details)
        if item.p is not None:
            details["raw_p_value"] = item.p
        change = item.change if item.change is not None else _difference(item.current, item.reference)
        failed = p is not None and p <= alpha and item.worse
        out.append(Check(item.family, item.column, item.metric, _float(item.reference), _float(item.current),
                         change, p, bool(failed), item.interval, details))
    return Report(out, alpha=alpha, reference=reference, current=current, tables=tables)


def _float(value):
    return None if value is None else float(value)


def _difference(cur, ref):
    if cur is None or ref is None:
        return None
    with np.errstate(all="ignore"):
        return float(np.float64(cur) - np.float64(ref))


def _defined(*values) -> bool:
    return all(v is not None and math.isfinite(v) for v in values)


def _z(alpha: float) -> float:
    return float(-special.ndtri(alpha / 2.0))


def _interval(change, variance, alpha):
    """The (1 - alpha) normal interval of a change, when both are finite."""
    if change is None or variance is None or not (math.isfinite(change) and math.isfinite(variance)):
        return None
    half = _z(alpha) * math.sqrt(max(variance, 0.0))
    return (change - half, change + half)


def _proportion_variance(x, n):
    return (x / n) * (1.0 - x / n) / n if n > 0 else float("nan")


# ---- metric values: the package's shared formulas (those of the fixed module) ----

def _call_shared(name, *args):
    """The shared formulas' values, or None where they give none (the fixed module's guards refuse
    a whole set of bias metrics when any one denominator is zero: the formulas below then give each
    metric its own value, NaN only where its own denominator is zero)."""
    try:
        values = dict(getattr(_shared_metrics, name)(*args))
    except (ValueError, TypeError, ZeroDivisionError):
        return None
    return values or None


def _div(a, b):
    return a / b if b != 0 else float("nan")


def _performance_values(task) -> dict:
    """Binary or regression metric values; empty when the window has no rows."""
    return _call_shared("performance", task) or {}


def _facet_cells(x):
    """TN, FP, FN, TP of one group's [label, prediction] counts, as floats."""
    x = np.asarray(x, dtype=np.float64)
    return x[0, 0], x[0, 1], x[1, 0], x[1, 1]


def _group_split(facet, g):
    counts = np.asarray(facet["counts"], dtype=np.int64)
    return counts[g], counts.sum(axis=0) - counts[g]


def _pre_values(facet, g) -> dict:
    return _call_shared("pre_training", facet, facet["groups"][g]) or _local_pre(*_group_split(facet, g))


def _post_values(facet, g) -> dict:
    return _call_shared("post_training", facet, facet["groups"][g]) or _local_post(*_group_split(facet, g))


def _local_pre(a, d) -> dict:
    """The pre-training metrics of group counts a and d ([label, prediction], counts or shares)."""
    n_a, n_d = float(a.sum()), float(d.sum())
    out = {"ClassImbalance": _div(abs(n_a - n_d), n_a + n_d)}
    qa, qd = _div(float(a[1].sum()), n_a), _div(float(d[1].sum()), n_d)
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
    disparity = [_div(na - pa, n0) - _div(pa, n0), _div(nd - pd_, n0) - _div(pd_, n0)]
    return {
        "DifferenceInPositivePredictedLabels": _div(pa, na) - _div(pd_, nd),
        "DisparateImpact": _div(_div(pa, na), _div(pd_, nd)),
        "AccuracyDifference": _div(tpa + tna, na) - _div(tpd + tnd, nd),
        "RecallDifference": _div(tpa, la) - _div(tpd, ld),
        "DifferenceInConditionalAcceptance": _div(pa, la) - _div(pd_, ld),
        "DifferenceInAcceptanceRate": _div(tpa, pa) - _div(tpd, pd_),
        "SpecialityDifference": _div(tna, tna + fpa) - _div(tnd, tnd + fpd),
        "DifferenceInConditionalRejection": _div(nd - ld, nd - pd_) - _div(na - la, na - pa),
        "DifferenceInRejectionRate": _div(tnd, tnd + fnd) - _div(tna, tna + fna),
        "TreatmentEquity": _div(fnd, fpd) - _div(fna, fpa),
        "ConditionalDemographicDesparityPredictedLabels": _div(disparity[0] * na + disparity[1] * nd, na + nd),
    }


def _distances(ref_counts, cur_counts, kind) -> dict:
    return _call_shared("distances", ref_counts, cur_counts, kind) or {}


# ---- drift ----

def _drift(ref, cur) -> list[_Pending]:
    """One check per feature: the binned counts plus the missing count, Pearson's chi-square after
    pooling; ordered (continuous) features add a rank test on the value bins, Bonferroni of the two."""
    out = []
    for name, r in ref["features"].items():
        c = cur["features"][name]
        r_counts, c_counts = np.asarray(r["counts"], np.int64), np.asarray(c["counts"], np.int64)
        continuous = r["kind"] == "continuous"
        p_chi, chi = _tests.homogeneity(np.append(r_counts, r["missing"]), np.append(c_counts, c["missing"]),
                                        ordered=continuous)
        details = {"test": "chi-square"}
        if chi:
            details.update({"chi_square": chi["statistic"], "dof": chi["dof"]})
        p = p_chi
        if continuous:
            p_rank, rank = _tests.rank_shift(r_counts, c_counts)
            if p_rank is not None:
                details.update({"test": "chi-square and rank (Bonferroni)", "rank_z": rank["z"]})
                p = _tests.bonferroni([p_chi, p_rank])
        distances = _distances(r_counts, c_counts, r["kind"])
        details.update(distances)
        details["missing_reference"], details["missing_current"] = int(r["missing"]), int(c["missing"])
        js = distances.get("JensenShannon")
        out.append(_Pending("drift", name, DRIFT_METRIC, None, None, ("drift", name), p, details=details,
                            change=float(js) if js is not None and math.isfinite(js) else None))
    return out


# ---- performance ----

def _performance(rt, ct, alpha, tables) -> list[_Pending]:
    kind = rt["kind"]
    if kind == "binary":
        return _binary(rt, ct, alpha)
    if kind == "regression":
        return _regression(rt, ct, alpha)
    if kind == "multiclass":
        return _multiclass_checks(rt, ct, alpha, tables)
    return []


def _proportion_check(metric, key, ref_value, cur_value, x_ref, n_ref, x_cur, n_cur, alpha):
    """A check on a success rate: one-sided exact test toward a lower current rate."""
    p = _tests.proportion_lower(x_cur, n_cur, x_ref, n_ref) if _defined(ref_value, cur_value) else None
    change = _difference(cur_value, ref_value)
    variance = _proportion_variance(x_ref, n_ref) + _proportion_variance(x_cur, n_cur)
    return _Pending("performance", None, metric, ref_value, cur_value, key, p,
                    worse=change is not None and change < 0, interval=_interval(change, variance, alpha),
                    details={"test": "exact one-sided (Fisher)"})


def _log_loss_check(rt, ct, ref_value, cur_value, alpha):
    p, info = _tests.mean_higher(ct["log_loss_sum"], ct["log_loss_sq_sum"], ct["n"],
                                 rt["log_loss_sum"], rt["log_loss_sq_sum"], rt["n"])
    if not _defined(ref_value, cur_value):
        p = None
    change = _difference(cur_value, ref_value)
    interval = _interval(change, info["se"] ** 2, alpha) if info else None
    return _Pending("performance", None, "LogLoss", ref_value, cur_value, ("performance", "LogLoss"), p,
                    worse=change is not None and change > 0, interval=interval,
                    details={"test": "Welch one-sided"})


def _binary(rt, ct, alpha) -> list[_Pending]:
    rv, cv = _performance_values(rt), _performance_values(ct)
    (tn_r, fp_r), (fn_r, tp_r) = np.asarray(rt["confusion"], np.int64)
    (tn_c, fp_c), (fn_c, tp_c) = np.asarray(ct["confusion"], np.int64)
    rates = {  # metric: (successes, trials) in the reference and in the current window
        "PrecisionPositive": ((tp_r, tp_r + fp_r), (tp_c, tp_c + fp_c)),
        "PrecisionNegative": ((tn_r, tn_r + fn_r), (tn_c, tn_c + fn_c)),
        "RecallPositive": ((tp_r, tp_r + fn_r), (tp_c, tp_c + fn_c)),
        "RecallNegative": ((tn_r, tn_r + fp_r), (tn_c, tn_c + fp_c)),
        "Accuracy": ((tp_r + tn_r, tp_r + tn_r + fp_r + fn_r), (tp_c + tn_c, tp_c + tn_c + fp_c + fn_c)),
        # F1 = 2J / (1 + J) with J = TP / (TP + FP + FN): F1 falls exactly when J does.
        "F1Score": ((tp_r, tp_r + fp_r + fn_r), (tp_c, tp_c + fp_c + fn_c)),
    }
    out = []
    for metric in BINARY_METRICS:
        if metric in rates:
            (xr, nr), (xc, nc) = rates[metric]
            item = _proportion_check(metric, ("performance", metric), rv.get(metric), cv.get(metric),
                                     xr, nr, xc, nc, alpha)
            if metric == "F1Score":
                item.interval = None
            out.append(item)
        elif metric == "BalancedAccuracy":
            # The mean of the two recalls falls only if one of them does: Bonferroni of their tests.
            ref_value, cur_value = rv.get(metric), cv.get(metric)
            p = None
            if _defined(ref_value, cur_value):
                p = _tests.bonferroni([_tests.proportion_lower(*rates[m][1], *rates[m][0])
                                       for m in ("RecallPositive", "RecallNegative")])
            change = _difference(cur_value, ref_value)
            variance = 0.25 * sum(_proportion_variance(*rates[m][w]) for m in ("RecallPositive", "RecallNegative")
                                  for w in (0, 1))
            out.append(_Pending("performance", None, metric, ref_value, cur_value, ("performance", metric), p,
                                worse=change is not None and change < 0, interval=_interval(change, variance, alpha),
                                details={"test": "exact one-sided on both recalls (Bonferroni)"}))
        elif metric == "LogLoss" and rt.get("has_proba") and ct.get("has_proba"):
            out.append(_log_loss_check(rt, ct, rv.get(metric), cv.get(metric), alpha))
    return out


def _r2_variance(s, n):
    """Delta-method variance of R^2 = 1 - mean(e^2) / var(y) from the window's moment sums."""
    if n < 3:
        return float("nan")
    m = {k: s[k] / n for k in ("y", "y2", "y3", "y4", "e2", "e4", "e2y", "e2y2")}
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


def _regression(rt, ct, alpha) -> list[_Pending]:
    rv, cv = _performance_values(rt), _performance_values(ct)
    rs, cs, nr, nc = rt["sums"], ct["sums"], rt["n"], ct["n"]
    means = {  # metric: (per-row quantity, its square), tested for a higher current mean
        "RootMeanSquaredError": ("e2", "e4"), "MeanSquaredError": ("e2", "e4"), "MeanAbsoluteError": ("abs_e", "e2"),
        "MeanSquaredLogError": ("sle", "sle2"), "RootMeanSquaredLogError": ("sle", "sle2"),
        "MeanAbsolutePercentageError": ("ape", "ape2"),
    }
    out = []
    for metric in REGRESSION_METRICS:
        ref_value, cur_value = rv.get(metric), cv.get(metric)
        change = _difference(cur_value, ref_value)
        defined = _defined(ref_value, cur_value)
        if metric in means:
            total, square = means[metric]
            p, info = _tests.mean_higher(cs[total], cs[square], nc, rs[total], rs[square], nr)
            interval = None
            if info and metric not in ("RootMeanSquaredError", "RootMeanSquaredLogError"):
                interval = _interval(change, info["se"] ** 2, alpha)
            out.append(_Pending("performance", None, metric, ref_value, cur_value, ("performance", total),
                                p if defined else None, worse=change is not None and change > 0,
                                interval=interval, details={"test": "Welch one-sided"}))
        elif metric == "MaxError":
            p = _tests.maximum_higher(ct["max_abs_error"], nc, rt["max_abs_error"], nr) if defined else None
            out.append(_Pending("performance", None, metric, ref_value, cur_value, ("performance", metric), p,
                                worse=change is not None and change > 0,
                                details={"test": "exact, exchangeable maxima"}))
        elif metric == "RSquared":
            variance = _r2_variance(rs, nr) + _r2_variance(cs, nc)
            p = _tests.normal_lower(change, variance) if defined and change is not None else None
            out.append(_Pending("performance", None, metric, ref_value, cur_value, ("performance", metric), p,
                                worse=change is not None and change < 0, interval=_interval(change, variance, alpha),
                                details={"test": "delta method one-sided"}))
    return out


def _multiclass_checks(rt, ct, alpha, tables) -> list[_Pending]:
    classes = list(rt["classes"])
    rv, cv = _multiclass.metrics(rt), _multiclass.metrics(ct)
    rc, cc = np.asarray(rt["confusion"], np.int64), np.asarray(ct["confusion"], np.int64)
    tables["classes"] = (_multiclass.class_table(classes, rc, "reference")
                         + _multiclass.class_table(classes, cc, "current"))
    tp_r, tp_c = np.diag(rc), np.diag(cc)
    per_class = {  # per-class rate: (successes, trials) per window; macro and weighted averages share it
        "precision": ((tp_r, rc.sum(0)), (tp_c, cc.sum(0))),
        "recall": ((tp_r, rc.sum(1)), (tp_c, cc.sum(1))),
        "f1": ((tp_r, rc.sum(0) + rc.sum(1) - tp_r), (tp_c, cc.sum(0) + cc.sum(1) - tp_c)),
    }
    out = []
    for metric in _multiclass.METRICS:
        ref_value, cur_value = rv.get(metric), cv.get(metric)
        if metric == "LogLoss":
            if rt.get("has_proba") and ct.get("has_proba"):
                out.append(_log_loss_check(rt, ct, ref_value, cur_value, alpha))
            continue
        if metric in ("Accuracy", "WeightedRecall"):
            out.append(_proportion_check(metric, ("performance", "Accuracy"), ref_value, cur_value,
                                         tp_r.sum(), rc.sum(), tp_c.sum(), cc.sum(), alpha))
            continue
        # The average of per-class rates falls only if some class's rate does: Bonferroni over the
        # classes defined in both windows (the exact one-sided test of each).
        rate = metric.removeprefix("Macro").removeprefix("Weighted").lower()
        (xr, nr), (xc, nc) = per_class[rate]
        p = None
        if _defined(ref_value, cur_value):
            p = _tests.bonferroni([_tests.proportion_lower(xc[k], nc[k], xr[k], nr[k])
                                   for k in range(len(classes)) if nr[k] > 0 and nc[k] > 0])
        change = _difference(cur_value, ref_value)
        out.append(_Pending("performance", None, metric, ref_value, cur_value, ("performance", "classes", rate), p,
                            worse=change is not None and change < 0,
                            details={"test": "exact one-sided per class (Bonferroni)"}))
    return out


# ---- bias ----

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
    return _tests.bonferroni([test(*a_cur, *a_ref), test(*d_cur, *d_ref)])


def _bias(ref, cur, alpha, tables) -> list[_Pending]:
    out = []
    for name, rf in ref["facets"].items():
        cf = cur["facets"][name]
        rc, cc = np.asarray(rf["counts"], np.int64), np.asarray(cf["counts"], np.int64)
        groups = list(rf["groups"])
        table = []
        # Two groups: the check compares "a" with "d"; one group per value: each value with the rest.
        compared = [0] if len(groups) == 2 else range(len(groups))
        for g in compared:
            tested = _bias_tests(rc, cc, g)
            (ra, rd), (ca, cd) = _group_split(rf, g), _group_split(cf, g)
            moved = _change_tests(ra, ca, rd, cd)
            values = [(_pre_values(rf, g), _post_values(rf, g)), (_pre_values(cf, g), _post_values(cf, g))]
            entropy = (_entropy_index(_benefits(rc)), _entropy_index(_benefits(cc)))
            for metric, key in _BIAS_HYPOTHESES.items():
                if metric == "GeneralizedEntropy":
                    ref_value, cur_value = entropy
                else:
                    ref_value = {**values[0][0], **values[0][1]}.get(metric)
                    cur_value = {**values[1][0], **values[1][1]}.get(metric)
                p = tested[key] if _defined(ref_value, cur_value) else None
                details = {"group": groups[g], "test": _BIAS_TEST_NAMES[key]}
                interval = None
                if metric in _WITHIN_GROUP and p is not None:
                    p_moved, variance = moved.get(metric, (None, None))
                    if p_moved is not None:
                        p = max(p, p_moved)
                        details["test"] += "; the larger p with the delta-method test of its change"
                        interval = _interval(_difference(cur_value, ref_value), variance, alpha)
                    key = _SAME_TEST.get(metric, metric)
                if metric == "GeneralizedEntropy":
                    details["normalised"] = "per row, alpha = 2"
                out.append(_Pending("bias", name, metric, ref_value, cur_value, ("bias", name, groups[g], key), p,
                                    interval=interval, details=details))
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
    ra, rd = _group_split({"counts": rc}, g)
    ca, cd = _group_split({"counts": cc}, g)
    cells = [tuple(int(v) for v in _facet_cells(x)) for x in (ra, ca, rd, cd)]  # TN, FP, FN, TP

    def rate(successes, trials):
        (a_ref, a_cur, d_ref, d_cur) = [(successes(*c), trials(*c)) for c in cells]
        return _two_facets(_tests.proportion_two_sided, a_ref, a_cur, d_ref, d_cur)

    def spread(select):
        ps = [_tests.homogeneity(select(*ref_cells), select(*cur_cells))[0]
              for ref_cells, cur_cells in ((cells[0], cells[1]), (cells[2], cells[3]))]
        return _tests.bonferroni(ps)

    n_ref, n_cur = int(rc.sum()), int(cc.sum())
    p_a_ref, p_a_cur = int(ra[:, 1].sum()), int(ca[:, 1].sum())
    p_d_ref, p_d_cur = int(rd[:, 1].sum()), int(cd[:, 1].sum())
    by_prediction = ([ra.sum() - p_a_ref, p_a_ref, rd.sum() - p_d_ref, p_d_ref],
                     [ca.sum() - p_a_cur, p_a_cur, cd.sum() - p_d_cur, p_d_cur])
    return {
        "share": _tests.proportion_two_sided(int(ca.sum()), n_cur, int(ra.sum()), n_ref),
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
        "facet_by_prediction": _tests.homogeneity(*by_prediction)[0],
        "benefit": _tests.homogeneity(_benefits(rc), _benefits(cc))[0],
    }


for _key in set(_BIAS_HYPOTHESES.values()) - set(_BIAS_TEST_NAMES):
    _BIAS_TEST_NAMES[_key] = "exact two-sided per group (Bonferroni)"


def _group_row(group, window, counts, g) -> dict:
    """Counts and rates of one group and of the rest, with their differences and ratios."""
    a, d = _group_split({"counts": counts}, g)
    (tn, fp, fn, tp), (tn_d, fp_d, fn_d, tp_d) = _facet_cells(a), _facet_cells(d)
    n, n_d = tn + fp + fn + tp, tn_d + fp_d + fn_d + tp_d
    row = {"group": str(group), "window": window, "rows": int(n), "rest_rows": int(n_d),
           "true_negative": int(tn), "false_positive": int(fp), "false_negative": int(fn), "true_positive": int(tp)}
    rates = {
        "label_rate": (_div(fn + tp, n), _div(fn_d + tp_d, n_d)),
        "selection_rate": (_div(fp + tp, n), _div(fp_d + tp_d, n_d)),
        "accuracy": (_div(tn + tp, n), _div(tn_d + tp_d, n_d)),
        "recall": (_div(tp, fn + tp), _div(tp_d, fn_d + tp_d)),
        "false_positive_rate": (_div(fp, tn + fp), _div(fp_d, tn_d + fp_d)),
        "precision": (_div(tp, fp + tp), _div(tp_d, fp_d + tp_d)),
    }
    for rate, (own, rest) in rates.items():
        row[rate] = own
        row[rate + "_rest"] = rest
        row[rate + "_difference"] = own - rest
        row[rate + "_ratio"] = _div(own, rest)
    return row
