"""An independent float32 model of the data-bias family, for the tests: the implicit
labelling of a column, the seven pre-training metrics, and the two drift rules."""

import math

import numpy as np

F = np.float32
ONE = F(1)
HALF = F(0.5)
KEYS = [
    "ClassImbalance",
    "DifferenceInProportionOfLabels",
    "KlDivergence",
    "JsDivergence",
    "LpNorm",
    "TotalVariationDistance",
    "KolmogorovSmirnov",
]
# Metrics computed through a logarithm may differ from the C library's in the last
# place; everything else is compared bit for bit.
LOG_METRICS = {"KlDivergence", "JsDivergence"}


def distinct_count(values):
    """Distinct values as 64-bit floats: equal values once, every NaN a new value."""
    seen, nans = set(), 0
    for v in values:
        v = float(v)
        if math.isnan(v):
            nans += 1
        else:
            seen.add(v)  # 0.0 == -0.0, so they fall together
    return len(seen) + nans


def is_continuous(values, heuristic=0.05):
    d, n = distinct_count(values), len(values)
    return d >= 4 and not (F(d) / F(n) <= F(heuristic))


def expected_flags(values, value, heuristic=0.05):
    """Implicit labelling of a numeric column (exact comparisons with the value)."""
    if is_continuous(values, heuristic):
        return [int(v >= value) for v in values]
    return [int(v == value) for v in values]


def counts(facet, label):
    facet = [int(f) == 1 for f in facet]
    na = sum(facet)
    pa = sum(int(l) for f, l in zip(facet, label) if f)
    pd = sum(int(l) for f, l in zip(facet, label) if not f)
    return pa, na, pd, len(facet) - na


def log32(x):
    """A float32 natural logarithm, through the correctly rounded double one."""
    x = float(x)
    if math.isnan(x) or x < 0:
        return F("nan")
    if x == 0:
        return F("-inf")
    return F(math.log(x))


def metrics_from_counts(pa, na, pd, nd):
    """The seven metrics, and for the two logarithmic ones the size of their largest
    term (their rounding error scales with it, not with the result)."""
    with np.errstate(all="ignore"):
        ci = F(abs(na - nd)) / F(na + nd)
        qa, qd = F(pa) / F(na), F(pd) / F(nd)
        dpl = qa - qd
        kl_terms = [qa * log32(qa / qd), (ONE - qa) * log32((ONE - qa) / (ONE - qd))]
        kl = kl_terms[0] + kl_terms[1]
        m = (qa + qd) * HALF
        js_terms = [
            qa * log32(qa / m),
            (ONE - qa) * log32((ONE - qa) / (ONE - m)),
            qd * log32(qd / m),
            (ONE - qd) * log32((ONE - qd) / (ONE - m)),
        ]
        js = ((js_terms[0] + js_terms[1]) + (js_terms[2] + js_terms[3])) * HALF
        e = (ONE - qa) + (qd - ONE)
        lp = np.sqrt(dpl * dpl + e * e)
        tvd = (abs(dpl) + abs(e)) * HALF
        ks = max(abs(e), abs(dpl))
    values = [ci, dpl, kl, js, lp, tvd, ks]
    out = {k: float(F(v)) for k, v in zip(KEYS, values)}
    scale = {"KlDivergence": max(abs(float(t)) for t in kl_terms), "JsDivergence": max(abs(float(t)) for t in js_terms)}
    return out, scale


def reference_metrics(facet_flags, label_flags):
    return metrics_from_counts(*counts(facet_flags, label_flags))[0]


def reference_with_scale(facet_flags, label_flags):
    return metrics_from_counts(*counts(facet_flags, label_flags))


def same_float(a, b, scale=None):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    if a == b:
        return True
    # A logarithm-based value: a few float32 units in the last place of its largest term.
    return scale is not None and math.isfinite(a) and abs(a - b) <= 8 * float(np.spacing(F(max(scale, abs(b)))))


def assert_metrics(got, expected, scale=None):
    """Bit for bit, except the logarithmic metrics: within rounding of their terms
    (taken from `scale`, or from the expected value itself)."""
    assert sorted(got) == sorted(KEYS)
    for k in KEYS:
        s = (scale or {}).get(k, abs(expected[k]) if math.isfinite(expected[k]) else 0.0) if k in LOG_METRICS else None
        assert same_float(got[k], expected[k], s), (k, got[k], expected[k])


def relative_changes(runtime, baseline, eps=float(F(1e-12))):
    """|r - b| / max(|b|, eps) in float32, NaN |b| giving eps."""
    out = {}
    for k in KEYS:
        r, b = F(runtime[k]), F(baseline[k])
        with np.errstate(all="ignore"):
            div = F(eps) if math.isnan(b) else max(abs(b), F(eps))
            out[k] = float(abs(r - b) / div)
    return out
