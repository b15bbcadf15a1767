"""Two-sample tests on the sufficient statistics that profiles keep (counts, sums, second moments),
and the correction for the number of checks. Every function returns a p-value in [0, 1], or None
when the data cannot carry a test (an empty window, an undefined metric): such a check never fails.

The tests are chosen to hold their level when one window is tiny and the other large (50 rows
against 10,000), far in the tail where a correction for many checks puts the threshold:
- proportions use the exact conditional (Fisher) test, one-sided or doubled for two sides;
- distributions use Pearson's chi-square after pooling sparse cells, with the pooling decided from
  the margins alone (so it does not peek at the difference being tested);
- ordered bins add a rank test (Mann-Whitney with ties) that is far stronger against shifts;
- means use t tests from sums and sums of squares (the larger p of Welch's and the pooled one).
"""

from __future__ import annotations

import math

import numpy as np
from scipy import special
from scipy.stats import hypergeom

# A cell of a pooled contingency table needs this expected count in the smaller window. At 5 (the
# textbook rule) Pearson's statistic over-rejects by half at the 3e-4 level where a correction for
# thirty checks puts it, in 50-row windows; at 10 it holds its level there.
MIN_EXPECTED = 10.0
# Below this many rows in the smaller window the rank test's normal tail is not trusted.
MIN_RANK_ROWS = 20


def proportion_lower(x_cur: int, n_cur: int, x_ref: int, n_ref: int) -> float | None:
    """One-sided exact test that the current success rate x_cur / n_cur is below the reference
    rate: the hypergeometric lower tail of the 2x2 table, conditional on the margins."""
    x_cur, n_cur, x_ref, n_ref = int(x_cur), int(n_cur), int(x_ref), int(n_ref)
    if n_cur <= 0 or n_ref <= 0:
        return None
    total, successes = n_cur + n_ref, x_cur + x_ref
    if successes == 0 or successes == total:
        return 1.0
    return float(min(1.0, hypergeom.cdf(x_cur, total, successes, n_cur)))


def proportion_two_sided(x_cur: int, n_cur: int, x_ref: int, n_ref: int) -> float | None:
    """Two-sided exact test of equal rates: the smaller exact tail, doubled."""
    lower = proportion_lower(x_cur, n_cur, x_ref, n_ref)
    if lower is None:
        return None
    upper = proportion_lower(n_cur - x_cur, n_cur, n_ref - x_ref, n_ref)
    return min(1.0, 2.0 * min(lower, upper))


def _pool(columns: np.ndarray, smaller: int, total: int, ordered: bool) -> list[list[int]]:
    """Groups of cell indices such that every group's expected count in the smaller window reaches
    MIN_EXPECTED. Only the column totals decide, so the grouping is fixed under the null. Ordered
    cells merge with their smaller neighbour (a shift stays visible); unordered ones smallest-first."""
    groups = [[j] for j in range(len(columns)) if columns[j] > 0]
    sizes = [float(columns[g[0]]) for g in groups]
    need = MIN_EXPECTED * total / smaller
    while len(groups) > 1:
        k = int(np.argmin(sizes))
        if sizes[k] >= need:
            break
        if ordered:
            if k == 0:
                other = 1
            elif k == len(groups) - 1:
                other = k - 1
            else:
                other = k - 1 if sizes[k - 1] <= sizes[k + 1] else k + 1
        else:
            order = np.argsort(sizes, kind="stable")
            other = int(order[1])
        keep, drop = min(k, other), max(k, other)
        groups[keep] = groups[keep] + groups[drop]
        sizes[keep] += sizes[drop]
        del groups[drop], sizes[drop]
    return groups


def homogeneity(ref_counts, cur_counts, *, ordered: bool = False) -> tuple[float | None, dict]:
    """Pearson's chi-square test that two count vectors come from one distribution, after pooling
    sparse cells. Returns the p-value and the statistic, degrees of freedom and number of groups."""
    ref = np.asarray(ref_counts, dtype=np.float64)
    cur = np.asarray(cur_counts, dtype=np.float64)
    n_ref, n_cur = ref.sum(), cur.sum()
    if n_ref <= 0 or n_cur <= 0:
        return None, {}
    total = n_ref + n_cur
    groups = _pool(ref + cur, min(n_ref, n_cur), total, ordered)
    if len(groups) < 2:
        return 1.0, {"statistic": 0.0, "dof": 0}
    r = np.array([ref[g].sum() for g in groups])
    c = np.array([cur[g].sum() for g in groups])
    col = r + c
    e_r, e_c = col * n_ref / total, col * n_cur / total
    statistic = float(((r - e_r) ** 2 / e_r).sum() + ((c - e_c) ** 2 / e_c).sum())
    dof = len(groups) - 1
    return float(special.chdtrc(dof, statistic)), {"statistic": statistic, "dof": dof}


def rank_shift(ref_counts, cur_counts) -> tuple[float | None, dict]:
    """Two-sided Mann-Whitney test on counts over ordered bins (ties within a bin), normal
    approximation with the tie correction. Returns the p-value and z (positive: current higher)."""
    ref = np.asarray(ref_counts, dtype=np.float64)
    cur = np.asarray(cur_counts, dtype=np.float64)
    n_ref, n_cur = ref.sum(), cur.sum()
    if min(n_ref, n_cur) < MIN_RANK_ROWS:
        return None, {}
    col = ref + cur
    total = n_ref + n_cur
    below = np.cumsum(col) - col
    midrank = below + (col + 1.0) / 2.0
    u = float((cur * midrank).sum() - n_cur * (n_cur + 1.0) / 2.0)
    ties = float((col ** 3 - col).sum())
    variance = n_ref * n_cur / 12.0 * ((total + 1.0) - ties / (total * (total - 1.0)))
    if variance <= 0:
        return 1.0, {"z": 0.0}
    z = (u - n_ref * n_cur / 2.0) / math.sqrt(variance)
    return float(min(1.0, 2.0 * special.ndtr(-abs(z)))), {"z": z}


def mean_higher(sum_cur: float, sq_cur: float, n_cur: int, sum_ref: float, sq_ref: float,
                n_ref: int) -> tuple[float | None, dict]:
    """One-sided test that the current mean of a per-row quantity is above the reference's, from
    its sums and sums of squares. Per-row errors and losses are right-skewed, and a window's mean
    and spread then rise together: Welch's t (each window's own variance) errs when the reference is
    the smaller window, the pooled variance when the current one is. The p-value is the larger of
    the two, valid either way. Returns it and the difference's (Welch) standard error."""
    if n_cur < 2 or n_ref < 2:
        return None, {}
    values = (sum_cur, sq_cur, sum_ref, sq_ref)
    if not all(math.isfinite(v) for v in values):
        return None, {}
    m_c, m_r = sum_cur / n_cur, sum_ref / n_ref
    v_c = max(sq_cur - n_cur * m_c * m_c, 0.0) / (n_cur - 1) / n_cur
    v_r = max(sq_ref - n_ref * m_r * m_r, 0.0) / (n_ref - 1) / n_ref
    diff, se2 = m_c - m_r, v_c + v_r
    total = n_cur + n_ref
    spread = max(sq_cur - n_cur * m_c * m_c, 0.0) + max(sq_ref - n_ref * m_r * m_r, 0.0)
    pooled = spread / (total - 2) * (1.0 / n_cur + 1.0 / n_ref)
    if se2 <= 0.0 or pooled <= 0.0 or not math.isfinite(se2):
        # No spread in either window: any difference is certain.
        return (0.0 if diff > 0 else 1.0), {"se": math.sqrt(max(se2, 0.0))}
    dof = se2 * se2 / (v_c * v_c / (n_cur - 1) + v_r * v_r / (n_ref - 1)) if v_c + v_r > 0 else total - 2
    welch = float(special.stdtr(dof, -diff / math.sqrt(se2)))
    pooled_p = float(special.stdtr(total - 2, -diff / math.sqrt(pooled)))
    return max(welch, pooled_p), {"se": math.sqrt(se2)}


def normal_lower(change: float, variance: float) -> float | None:
    """One-sided z test that a change is below zero, given the variance of the change."""
    if not (math.isfinite(change) and math.isfinite(variance)) or variance < 0:
        return None
    if variance == 0.0:
        return 0.0 if change < 0 else 1.0
    return float(special.ndtr(change / math.sqrt(variance)))


def maximum_higher(max_cur: float, n_cur: int, max_ref: float, n_ref: int) -> float | None:
    """Exact test that the current window's maximum comes from a larger distribution: under the null
    all rows are exchangeable, so the overall maximum falls in the current window with probability
    n_cur / (n_cur + n_ref)."""
    if n_cur <= 0 or n_ref <= 0 or not (math.isfinite(max_cur) and math.isfinite(max_ref)):
        return None
    return n_cur / (n_cur + n_ref) if max_cur > max_ref else 1.0


def bonferroni(p_values) -> float | None:
    """The smallest of several p-values, multiplied by how many were computed."""
    present = [p for p in p_values if p is not None]
    if not present:
        return None
    return min(1.0, len(present) * min(present))


def holm(p_values: dict) -> dict:
    """Holm's step-down adjustment of {hypothesis: p}; the family-wise error rate of rejecting every
    hypothesis whose adjusted p-value is at most alpha is at most alpha, under any dependence."""
    order = sorted(p_values, key=lambda key: p_values[key])
    m, running, adjusted = len(order), 0.0, {}
    for i, key in enumerate(order):
        running = max(running, min(1.0, (m - i) * p_values[key]))
        adjusted[key] = running
    return adjusted
