"""Plain-Python statements of the drift formulas and the binning rule, written from their
definitions (not from the module) so the tests can compare results bit for bit."""

import bisect
import math

import numpy as np

LN_2 = 0.6931471805599453
MAX_BINS = 65536
METRICS = ["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]


def floor_eps(x, eps):
    return eps if math.isnan(x) else max(x, eps)


def drift(b, r, total, kind, metric, eps=1e-12):
    """One drift score; b are baseline fractions, r runtime counts, kind 'cont' or 'cat'."""
    s = 0.0
    if metric == "JensenShannon":
        for bi, ri in zip(b, r):
            p, q = floor_eps(bi + eps, eps), floor_eps(ri / total + eps, eps)
            m = (p + q) * 0.5
            s += (0.5 * p) * math.log(p / m) + (0.5 * q) * math.log(q / m)
        return s / LN_2
    if metric == "PopulationStabilityIndex":
        for bi, ri in zip(b, r):
            p, q = floor_eps(bi + eps, eps), floor_eps((ri + eps) / total, eps)
            s += (p - q) * math.log(p / q)
        return s
    if metric == "KullbackLeibler":
        for bi, ri in zip(b, r):
            p, q = floor_eps(bi + eps, eps), (ri + eps) / total
            s += p * math.log(floor_eps(p / q, eps))
        return s
    diffs = [abs(floor_eps(bi + eps, eps) - floor_eps(ri / total + eps, eps)) for bi, ri in zip(b, r)]
    if kind == "cat":
        for d in diffs:
            s += d
        return 0.5 * s
    for d in diffs[1:-1]:
        s += d
    return s / max(len(b) - 2, 1)


def ieee_ceil_div(a, b):
    """ceil(a / b) with IEEE results (inf, NaN) where Python would raise."""
    with np.errstate(all="ignore"):
        return float(np.ceil(np.float64(a) / np.float64(b)))


def saturate(x):
    """Float-to-count conversion: NaN and negatives become 0, huge values stay huge."""
    return 0 if not x > 0 else (2**64 - 1 if x >= 2.0**64 else int(x))


def num_bins(quantile, x):
    """Bin count of sorted values x under a heuristic, clamped to [3, MAX_BINS]."""
    n = len(x)
    nf = float(n)
    if quantile == "FreedmanDiaconis":
        i3 = min(math.floor(0.75 * nf), n - 1)
        i1 = math.floor(0.25 * nf)
        iqr = x[i3] - x[i1]
        if iqr == 0.0:
            return 3
        h = 2.0 * iqr * math.pow(nf, -0.3333333333333333)
        bins = saturate(ieee_ceil_div(x[-1] - x[0], h))
    elif quantile == "Scott":
        total = 0.0
        for v in x:
            total += v
        mean = total / nf
        sq = 0.0
        for v in x:
            sq += (v - mean) * (v - mean)
        s = math.sqrt((1.0 / (nf - 1.0)) * sq)
        if x[-1] == x[0]:
            return 3
        h = math.pow(nf, -0.3333333333333333) * (3.49 * s)
        bins = saturate(ieee_ceil_div(x[-1] - x[0], h))
    else:
        bins = math.floor(math.log2(nf)) + 1
    return min(max(bins, 3), MAX_BINS)


def edges(quantile, x):
    """(n_bins, edges) of finite sorted values x by repeated addition; one edge when constant."""
    if x[0] == x[-1]:
        return 3, [x[0]]
    nb = num_bins(quantile, x)
    e = nb - 2
    w = (x[-1] - x[0]) / e
    out = [x[0]]
    for _ in range(1, e):
        out.append(out[-1] + w)
    return nb, out


def bin_of(edge_list, n_bins, v, single=False):
    """The batch rule (NaN in bin 0) or, with single=True, the one-sample rule (NaN last)."""
    if math.isnan(v):
        return n_bins - 1 if single else 0
    if v < edge_list[0]:
        return 0
    if v > edge_list[-1]:
        return n_bins - 1
    return min(bisect.bisect_right(edge_list, v), n_bins - 1)


def histogram(edge_list, n_bins, values, single=False):
    counts = [0.0] * n_bins
    for v in values:
        counts[bin_of(edge_list, n_bins, v, single)] += 1.0
    return counts
