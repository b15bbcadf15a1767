"""The drift family's joint checks, from a profile's joint moments (`profile(..., joint=True)`):
changes of the relation between features that leave every feature's own distribution as it was.

- `Reconstruction`: the window's mean squared reconstruction error by the reference's principal
  components (those keeping 65% of the reference's variance), against the reference's own. A row's
  error is e = d^T Q d with d the standardised row less the reference's mean and Q the projection
  off the components, so a window's mean error is tr(Q A) with A its mean of d d^T: a closed form of
  the second moments the profile keeps. Its variance under the reference is that of a quadratic
  form of an elliptical vector, (1 + kappa) 2 tr((Q S)^2) + kappa tr(Q S)^2, with S the reference's
  covariance and kappa the kurtosis read from each window's mean of (z^T z)^2 (the larger of the
  two: heavy tails widen the test, never narrow it). Two-sided normal test.
- `Covariance`: equal covariance matrices, Box's M with Box's small-sample factor, its chi-square
  divided by 1 + kappa (the likelihood ratio's scale under elliptical distributions). It needs more
  rows than features in both windows (MIN_ROWS_PER_FEATURE per feature)."""

from __future__ import annotations

import math

import numpy as np
from scipy import stats

from morvane.comparing.checks import Pending
from morvane.state.joint import JointLayout, JointStats

METRICS = ("Reconstruction", "Covariance")
MIN_ROWS_PER_FEATURE = 5  # the Covariance test's chi-square needs several rows per feature in each window


def kurtosis(s: JointStats) -> float:
    """kappa with E[(z^T z)^2] = (1 + kappa) ((tr M)^2 + 2 tr(M^2)), M the mean of z z^T (0 for
    normal rows; NaN without rows)."""
    m = s.second_moment()
    scale = np.trace(m) ** 2 + 2.0 * np.sum(m * m)
    return s.norm_fourth_mean() / scale - 1.0 if s.n and scale > 0 else math.nan


def _kappa(ref: JointStats, cur: JointStats) -> float:
    found = [k for k in (kurtosis(ref), kurtosis(cur)) if math.isfinite(k)]
    return max(found + [0.0])


def feature_kurtosis(s: JointStats) -> float:
    """The largest excess kurtosis of one standardised feature (about the reference's mean)."""
    second = np.diag(s.second_moment())
    with np.errstate(all="ignore"):
        found = s.fourth_moment() / (second * second) - 3.0
    found = found[np.isfinite(found)]
    return float(found.max()) if s.n and found.size else math.nan


def reconstruction_error(layout: JointLayout, ref: JointStats, s: JointStats) -> float:
    """The mean over a window's rows of the squared distance between the standardised row and its
    reconstruction by the reference's kept components (centred on the reference's mean)."""
    basis = layout.basis()
    q = np.eye(len(layout.columns)) - basis @ basis.T
    mu_r, mu = ref.mean(), s.mean()
    a = s.second_moment() - np.outer(mu, mu_r) - np.outer(mu_r, mu) + np.outer(mu_r, mu_r)
    return float(np.sum(q * a))


def reconstruction(layout: JointLayout, ref: JointStats, cur: JointStats) -> tuple:
    """(reference error, window error, p-value or None, details)."""
    if not layout.kept or ref.n < 2 or cur.n < 2:
        return None, None, None, {}
    basis = layout.basis()
    q = np.eye(len(layout.columns)) - basis @ basis.T
    qs = q @ ref.covariance()
    kappa = _kappa(ref, cur)
    variance = (1.0 + kappa) * 2.0 * np.sum(qs * qs.T) + kappa * np.trace(qs) ** 2
    e_ref, e_cur = reconstruction_error(layout, ref, ref), reconstruction_error(layout, ref, cur)
    optimism = _optimism(np.array(layout.eigenvalues), layout.kept, kappa, ref.n)
    centre = e_ref + optimism
    v = max(variance, 0.0) * (1.0 / ref.n + 1.0 / cur.n)
    diff = e_cur - centre
    if v == 0 or centre <= 0:
        p = 0.0 if diff != 0 else 1.0
    else:  # e_cur ~ g chi2(h) with mean `centre` and variance v
        g, h = v / (2.0 * centre), 2.0 * centre * centre / v
        p = float(min(1.0, 2.0 * min(stats.chi2.cdf(e_cur / g, h), stats.chi2.sf(e_cur / g, h))))
    return e_ref, e_cur, p, {"test": "scaled chi-square two-sided (elliptical variance)", "components": layout.kept,
                             "features": len(layout.columns), "kurtosis": kappa, "optimism": optimism,
                             "z": diff / math.sqrt(v) if v else None}


def _optimism(values: np.ndarray, kept: int, kappa: float, m: int) -> float:
    """How much a fresh window's expected reconstruction error exceeds the reference's own."""
    scale = (1.0 + kappa) / m
    total = 0.0
    for i in range(kept):
        for j in range(kept, len(values)):
            product = values[i] * values[j]
            gap = max(values[i] - values[j], math.sqrt(2.0 * scale * product))
            total += product / gap if gap > 0 else 0.0
    return 2.0 * scale * total


def covariance(layout: JointLayout, ref: JointStats, cur: JointStats) -> tuple:
    """(p-value or None, details) of equal covariance matrices."""
    k = len(layout.columns)
    n_r, n_c = ref.n, cur.n
    if k < 2 or min(n_r, n_c) < MIN_ROWS_PER_FEATURE * (k + 1):
        return None, {"test": "Box's M", "not_tested": f"needs {MIN_ROWS_PER_FEATURE * (k + 1)} rows in each window"}
    s_r, s_c = ref.covariance() * n_r / (n_r - 1), cur.covariance() * n_c / (n_c - 1)
    pooled = ((n_r - 1) * s_r + (n_c - 1) * s_c) / (n_r + n_c - 2)
    signs, logs = zip(*(np.linalg.slogdet(m) for m in (pooled, s_r, s_c)))
    if signs[0] <= 0 or signs[1] <= 0:
        return None, {"test": "Box's M", "not_tested": "the reference's covariance is singular"}
    if signs[2] <= 0:  # the window's features lie in a subspace: a certain change
        return 0.0, {"test": "Box's M", "statistic": math.inf, "dof": k * (k + 1) // 2}
    m = (n_r + n_c - 2) * logs[0] - (n_r - 1) * logs[1] - (n_c - 1) * logs[2]
    c = (2 * k * k + 3 * k - 1) / (6.0 * (k + 1)) * (1.0 / (n_r - 1) + 1.0 / (n_c - 1) - 1.0 / (n_r + n_c - 2))
    marginal = [x for x in (feature_kurtosis(ref), feature_kurtosis(cur)) if math.isfinite(x)]
    scale = max(1.0 + _kappa(ref, cur), 1.0 + max(marginal + [0.0]) / 2.0)
    statistic = max(m * (1.0 - c), 0.0) / scale
    dof = k * (k + 1) // 2
    return float(stats.chi2.sf(statistic, dof)), {"test": "Box's M (kurtosis scale)", "statistic": statistic,
                                                 "dof": dof, "scale": scale}


def checks(layout: JointLayout | None, ref: JointStats | None, cur: JointStats | None) -> list[Pending]:
    """The two joint checks (column None), when both profiles kept joint moments."""
    if layout is None or ref is None or cur is None or len(layout.columns) < 2:
        return []
    e_ref, e_cur, p_rec, rec = reconstruction(layout, ref, cur)
    p_cov, cov = covariance(layout, ref, cur)
    return [Pending("drift", None, "Reconstruction", e_ref, e_cur, ("drift", "joint", "Reconstruction"), p_rec,
                    details=rec),
            Pending("drift", None, "Covariance", None, None, ("drift", "joint", "Covariance"), p_cov,
                    change=cov.get("statistic"), details=cov)]
