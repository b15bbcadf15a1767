"""An independent float32 model of the post-training bias formulas, used as the oracle
of the model-bias tests. Counts are exact Python ints; every formula converts them to
numpy.float32 where it reads them and evaluates in the written grouping."""

import numpy as np

F = np.float32

METRICS = [
    "DifferenceInPositivePredictedLabels",
    "DisparateImpact",
    "AccuracyDifference",
    "RecallDifference",
    "DifferenceInConditionalAcceptance",
    "DifferenceInAcceptanceRate",
    "SpecialityDifference",
    "DifferenceInConditionalRejection",
    "DifferenceInRejectionRate",
    "TreatmentEquity",
    "ConditionalDemographicDesparityPredictedLabels",
    "GeneralizedEntropy",
]


def counts(feature, pred, gt, member=lambda v: v == 1):
    """Per-facet confusion counts; an element is in facet a, predicted positive or
    labelled positive when `member` holds for its value."""
    c = {x: dict(tp=0, fp=0, tn=0, fn=0) for x in "ad"}
    for f, p, g in zip(feature, pred, gt):
        box = c["a" if member(f) else "d"]
        pp, lp = member(p), member(g)
        box["tp" if pp and lp else "fp" if pp else "fn" if lp else "tn"] += 1
    return c


def facet(box):
    tp, fp, tn, fn = (box[k] for k in ("tp", "fp", "tn", "fn"))
    return dict(tp=tp, fp=fp, tn=tn, fn=fn, n=tp + fp + tn + fn, l=tp + fn, p=tp + fp)


def guard(c):
    """None when every metric can be computed, else "empty" (a facet has no element)
    or "zero" (a guarded denominator is zero)."""
    a, d = facet(c["a"]), facet(c["d"])
    if a["n"] == 0 or d["n"] == 0:
        return "empty"
    refused = (
        d["p"] == 0
        or a["l"] == 0
        or d["l"] == 0
        or F(d["n"] - d["p"]) == 0
        or F(a["n"] - a["p"]) == 0
        or F(d["tn"]) + F(d["fn"]) == 0
        or F(a["tn"]) + F(a["fn"]) == 0
        or d["fp"] == 0
        or a["fp"] == 0
    )
    return "zero" if refused else None


def cddpl(c):
    a, d = facet(c["a"]), facet(c["d"])
    total = a["n"] + d["n"]
    n0 = F(total - (a["p"] + d["p"]))
    with np.errstate(all="ignore"):
        da = F(a["n"] - a["p"]) / n0 - F(a["p"]) / n0
        dd = F(d["n"] - d["p"]) / n0 - F(d["p"]) / n0
        return (da * F(a["n"]) + dd * F(d["n"])) / F(total)


def values(c, ge):
    """The twelve metrics as Python floats (float32 values widened), in metric order."""
    ia, id_ = facet(c["a"]), facet(c["d"])
    a = {k: F(v) for k, v in ia.items()}
    d = {k: F(v) for k, v in id_.items()}
    # Label and prediction negatives: exact integer differences, converted once.
    a_ln, a_pn, d_ln, d_pn = (F(x["n"] - x[k]) for x in (ia, id_) for k in ("l", "p"))
    with np.errstate(all="ignore"):
        pa, pd = a["p"] / a["n"], d["p"] / d["n"]
        out = [
            pa - pd,
            pa / pd,
            (a["tp"] + a["tn"]) / (a["tn"] + ((a["tp"] + a["fp"]) + a["fn"]))
            - (d["tp"] + d["tn"]) / (d["tn"] + ((d["tp"] + d["fp"]) + d["fn"])),
            a["tp"] / (a["tp"] + a["fn"]) - d["tp"] / (d["tp"] + d["fn"]),
            a["p"] / a["l"] - d["p"] / d["l"],
            a["tp"] / (a["tp"] + a["fp"]) - d["tp"] / (d["tp"] + d["fp"]),
            a["tn"] / (a["tn"] + a["fp"]) - d["tn"] / (d["tn"] + d["fp"]),
            d_ln / d_pn - a_ln / a_pn,
            d["tn"] / (d["tn"] + d["fn"]) - a["tn"] / (a["tn"] + a["fn"]),
            d["fn"] / d["fp"] - a["fn"] / a["fp"],
            cddpl(c),
            F(ge),
        ]
    assert all(type(v) is np.float32 for v in out)
    return dict(zip(METRICS, (float(v) for v in out)))


def benefit(label_flag, pred_flag):
    if label_flag == 1 and pred_flag in (0, 1):
        return pred_flag
    return 2


def entropy_sum(label_flags, pred_flags):
    """The one-shot form: sum of ((b * r) * (b * r) - 1) in index order, 32 bits."""
    b = [benefit(lf, pf) for lf, pf in zip(label_flags, pred_flags)]
    with np.errstate(all="ignore"):
        mu = F(sum(b)) / F(len(b))
        r = F(1.0) / mu
        acc = F(-0.0)
        for x in b:
            acc = acc + ((F(x) * r) * (F(x) * r) - F(1.0))
    return acc


def entropy_buckets(c0, c1, c2):
    """The streaming form: ((n * n) / (S * S)) * Q - n over benefit counts."""
    n, s, q = F(c0 + c1 + c2), F(c1 + 2 * c2), F(c1 + 4 * c2)
    with np.errstate(all="ignore"):
        return ((n * n) / (s * s)) * q - n


def buckets(gt, pred, member=lambda v: v == 1):
    c = [0, 0, 0]
    for g, p in zip(gt, pred):
        c[2 if not member(g) else 1 if member(p) else 0] += 1
    return c


def relative_change(runtime, baseline):
    with np.errstate(all="ignore"):
        return float(abs((F(runtime) - F(baseline)) / F(baseline)))


def same(x, y):
    """Equal as metric values: both NaN, or equal."""
    return (x != x and y != y) or x == y
