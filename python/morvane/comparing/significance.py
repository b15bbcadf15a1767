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

import heapq
import math

import numpy as np

from morvane import _native

# A cell of a pooled contingency table needs this expected count in the smaller window. At 5 (the
# textbook rule) Pearson's statistic over-rejects by half at the 3e-4 level where a correction for
# thirty checks puts it, in 50-row windows; at 10 it holds its level there.
MIN_EXPECTED = 10.0
# Below this many rows in the smaller window the rank test's normal tail is not trusted.
MIN_RANK_ROWS = 20
# The ufuncs' reductions called directly: most count vectors here are a dozen bins long, where the
# method wrappers cost as much as the sums.
_sum, _least = np.add.reduce, np.minimum.reduce


def proportion_lower(x_cur: int, n_cur: int, x_ref: int, n_ref: int) -> float | None:
    """One-sided exact test that the current success rate x_cur / n_cur is below the reference
    rate: the hypergeometric lower tail of the 2x2 table, conditional on the margins."""
    x_cur, n_cur, x_ref, n_ref = int(x_cur), int(n_cur), int(x_ref), int(n_ref)
    if n_cur <= 0 or n_ref <= 0:
        return None
    total, successes = n_cur + n_ref, x_cur + x_ref
    if successes == 0 or successes == total:
        return 1.0
    return min(1.0, _native.hypergeom_cdf(x_cur, total, successes, n_cur))


def proportion_higher(x_cur: int, n_cur: int, x_ref: int, n_ref: int) -> float | None:
    """One-sided exact test that the current rate x_cur / n_cur is above the reference rate."""
    return proportion_lower(int(n_cur) - int(x_cur), n_cur, int(n_ref) - int(x_ref), n_ref)


def beyond_range(below_cur: int, above_cur: int, n_cur: int, below_ref: int, above_ref: int, n_ref: int,
                 sides=(True, True)) -> float | None:
    """Exact test that more current rows lie beyond the reference's range than exchangeable rows
    would put there. With none of the reference's rows beyond its own minimum, k current rows below
    it have probability C(n, k) / C(n + m, k) (the k least of all n + m rows all in the window),
    which is the one-sided exact test of the two counts; the same above the maximum, and Bonferroni
    over the sides that exist (`sides`: a side with no reference bound, as an infinite maximum,
    has none). Ties make rows beyond the range rarer, so the test stays valid on discrete values."""
    tested = [proportion_higher(x, n_cur, r, n_ref)
              for x, r, side in ((below_cur, below_ref, sides[0]), (above_cur, above_ref, sides[1])) if side]
    return bonferroni(tested)


def unseen_higher(ref_counts, cur_counts, unseen_ref: int, unseen_cur: int) -> tuple[float | None, dict]:
    """One-sided test that more current rows hold values the reference never saw than exchangeable
    rows would give, from the counts of both windows on the reference's categories and the rows
    outside them (`unseen_ref`: a merged reference's own "other" rows).

    Under the null the n current and m reference rows are exchangeable: given the values of all
    N = n + m rows, a value with c rows in all is unseen by the reference exactly when all c land in
    the window, with probability C(n, c) / C(N, c); the unseen count is the sum of c over such values
    (independent draws up to a negative dependence, which only thins the tail). The values of the
    unseen current rows are not kept, so they are taken as all distinct (one row each), the grouping
    that makes the most of them land in the window by chance (the least significant), and the
    reference's own rows outside its categories likewise. The p-value is the Chernoff bound of that
    sum's upper tail: valid for every vocabulary (values seen once, twice or thousands of times) and
    every window size, and tiny for a window made of new values."""
    rc = np.asarray(ref_counts, dtype=np.int64)
    cc = np.asarray(cur_counts, dtype=np.int64)
    u, m = int(unseen_cur), int(rc.sum()) + int(unseen_ref)
    n = int(cc.sum()) + u
    if n <= 0 or m <= 0:
        return None, {}
    combined = rc + cc
    combined = np.concatenate([combined[combined > 0], np.ones(u + int(unseen_ref), dtype=np.int64)])
    sizes, values = np.unique(combined[combined <= n], return_counts=True)
    total = n + m
    log_h = (_lgamma(n + 1) - _lgamma(n - sizes + 1) - _lgamma(total + 1) + _lgamma(total - sizes + 1))
    h = np.exp(log_h)
    expected = float((values * sizes * h).sum())
    info = {"expected_share": expected / n}
    if u <= expected:
        return 1.0, info
    log_1h = np.log1p(-np.minimum(h, 1.0 - 1e-16))

    def exponent(t):  # log E[exp(t S)] - t u: its minimum over t > 0 bounds log P(S >= u)
        return float((values * np.logaddexp(log_1h, log_h + t * sizes)).sum()) - t * u

    hi = 1.0
    while exponent(2.0 * hi) < exponent(hi) and hi < 1e6:
        hi *= 2.0
    best = _convex_minimum(exponent, 0.0, 2.0 * hi)
    return float(min(1.0, math.exp(min(0.0, best, exponent(hi))))), info


def _lgamma(x) -> np.ndarray:
    """log Γ elementwise (the sizes here are a few distinct values)."""
    return np.array([math.lgamma(float(v)) for v in np.atleast_1d(x)])


def _convex_minimum(f, lo: float, hi: float, tolerance: float = 1e-10) -> float:
    """The least value of a convex function on [lo, hi], by golden-section search."""
    ratio = (math.sqrt(5.0) - 1.0) / 2.0
    a, b = lo, hi
    c, d = b - ratio * (b - a), a + ratio * (b - a)
    fc, fd = f(c), f(d)
    while b - a > tolerance * max(1.0, abs(a) + abs(b)):
        if fc < fd:
            b, d, fd = d, c, fc
            c = b - ratio * (b - a)
            fc = f(c)
        else:
            a, c, fc = c, d, fd
            d = a + ratio * (b - a)
            fd = f(d)
    return min(fc, fd, f(lo), f(hi))


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
    labels = _pool_labels(np.asarray(columns, dtype=np.float64), MIN_EXPECTED * total / smaller, ordered)
    cells = np.flatnonzero(labels >= 0)
    order = cells[np.argsort(labels[cells], kind="stable")]
    bounds = np.flatnonzero(np.diff(labels[order])) + 1
    return [part.tolist() for part in np.split(order, bounds)] if len(order) else []


def _pool_labels(columns: np.ndarray, need: float, ordered: bool) -> np.ndarray:
    """Each cell's group, named by its first cell (-1: an empty cell), in O(k log k) for k cells."""
    labels = np.full(len(columns), -1, dtype=np.int64)
    cells = np.flatnonzero(columns > 0)
    if len(cells) == 0:
        return labels
    if ordered:
        return _pool_ordered(columns, cells, need, labels)
    # Smallest first: the cells in ascending order fill groups one after another until each
    # reaches `need`; a group still short when a cell of `need` or more comes takes that cell,
    # and a short last group joins the group before it.
    order = cells[np.argsort(columns[cells], kind="stable")]
    sizes = columns[order].tolist()
    group, first, acc, last_full = [], int(order[0]), 0.0, -1
    position = 0
    for position, size in enumerate(sizes):
        if acc == 0.0 and size >= need:
            break
        if acc == 0.0:
            first = int(order[position])
        acc += size
        group.append(first)
        if acc >= need:
            last_full, acc = first, 0.0
    else:
        position = len(sizes)
    starts = np.array(group, dtype=np.int64)
    if acc > 0.0 and last_full >= 0 and position == len(sizes):
        starts[starts == first] = last_full  # the short last group joins the one before it
    taken = order[:len(group)]
    names = np.full(len(columns), -1, dtype=np.int64)
    names[taken] = starts
    rest = order[len(group):]
    names[rest] = rest
    # A group is named by its first cell (its smallest index), as the heap version named them.
    mins = np.full(len(columns), np.iinfo(np.int64).max, dtype=np.int64)
    np.minimum.at(mins, names[cells], cells)
    labels[cells] = mins[names[cells]]
    return labels


def _pool_ordered(columns, cells, need, labels):
    """The smallest group, ties to the leftmost, merges with its smaller neighbour until every
    group reaches `need`; groups sit in a heap keyed by (size, first cell) and a linked list."""
    cells = cells.tolist()
    size = dict(zip(cells, columns[cells].tolist()))
    left = dict(zip(cells[1:], cells[:-1]))
    right = dict(zip(cells[:-1], cells[1:]))
    heap = [(s, j) for j, s in size.items()]
    heapq.heapify(heap)
    merged = []  # (keep, drop) in merge order
    alive = len(cells)
    while alive > 1:
        s, k = heapq.heappop(heap)
        if size.get(k) != s:  # a stale entry: the group has grown or gone
            continue
        if s >= need:
            break
        a, b = left.get(k), right.get(k)
        other = b if a is None else a if b is None else (a if size[a] <= size[b] else b)
        keep, drop = (k, other) if k < other else (other, k)
        size[keep] = size[keep] + size.pop(drop)
        merged.append((keep, drop))
        nxt = right.pop(drop, None)  # drop is keep's right neighbour
        del left[drop]
        if nxt is None:
            del right[keep]
        else:
            right[keep] = nxt
            left[nxt] = keep
        heapq.heappush(heap, (size[keep], keep))
        alive -= 1
    labels[cells] = cells
    for keep, drop in reversed(merged):  # a group's later merges come first: one pass resolves all
        labels[drop] = labels[keep]
    return labels


def pooled(ref_counts, cur_counts, *, ordered: bool = False) -> tuple[np.ndarray, np.ndarray]:
    """The two count vectors summed over the groups of `_pool` (in the cells' order), so that every
    group's expected count in the smaller window reaches MIN_EXPECTED."""
    ref = np.asarray(ref_counts, dtype=np.float64)
    cur = np.asarray(cur_counts, dtype=np.float64)
    return _pooled(ref, cur, float(_sum(ref)), float(_sum(cur)), ordered)


def _pooled(ref: np.ndarray, cur: np.ndarray, n_ref: float, n_cur: float, ordered: bool):
    if n_ref <= 0 or n_cur <= 0:
        return ref[:0], cur[:0]
    columns = ref + cur
    need = MIN_EXPECTED * (n_ref + n_cur) / min(n_ref, n_cur)
    if _least(columns) >= need:  # every cell is its own group (a few wide bins)
        return ref, cur
    live = columns > 0
    if _least(columns[live]) >= need:  # the same once the cells without rows are left out
        return ref[live], cur[live]
    labels = _pool_labels(columns, need, ordered)
    used = labels >= 0
    heads = labels == np.arange(len(labels))  # a group is named by its first cell, in the cells' order
    return (np.bincount(labels[used], weights=ref[used], minlength=len(labels))[heads],
            np.bincount(labels[used], weights=cur[used], minlength=len(labels))[heads])


def homogeneity(ref_counts, cur_counts, *, ordered: bool = False) -> tuple[float | None, dict]:
    """Pearson's chi-square test that two count vectors come from one distribution, after pooling
    sparse cells. Returns the p-value and the statistic, degrees of freedom and number of groups."""
    ref = np.asarray(ref_counts, dtype=np.float64)
    cur = np.asarray(cur_counts, dtype=np.float64)
    n_ref, n_cur = float(_sum(ref)), float(_sum(cur))
    if n_ref <= 0 or n_cur <= 0:
        return None, {}
    r, c = _pooled(ref, cur, n_ref, n_cur, ordered)
    if len(r) < 2:
        return 1.0, {"statistic": 0.0, "dof": 0}
    # Two rows: both cells of a column differ from their expectation by d / total, with
    # d = r n_cur - c n_ref, so the statistic is sum d^2 / (col n_ref n_cur).
    d = r * n_cur - c * n_ref
    statistic = float(_sum(d * d / (r + c))) / (n_ref * n_cur)
    dof = len(r) - 1
    return _native.chi2_sf(statistic, dof), {"statistic": statistic, "dof": dof}


def rank_shift(ref_counts, cur_counts) -> tuple[float | None, dict]:
    """Two-sided Mann-Whitney test on counts over ordered bins (ties within a bin), normal
    approximation with the tie correction. Returns the p-value and z (positive: current higher)."""
    ref = np.asarray(ref_counts, dtype=np.float64)
    cur = np.asarray(cur_counts, dtype=np.float64)
    n_ref, n_cur = float(_sum(ref)), float(_sum(cur))
    if min(n_ref, n_cur) < MIN_RANK_ROWS:
        return None, {}
    col = ref + cur
    total = n_ref + n_cur
    # A bin's midrank is the rows below it plus (its rows + 1) / 2: cumsum(col) - col / 2 + 1 / 2.
    u = float(cur @ (np.cumsum(col) - 0.5 * col)) + 0.5 * n_cur - n_cur * (n_cur + 1.0) / 2.0
    ties = float(col @ (col * col - 1.0))
    variance = n_ref * n_cur / 12.0 * ((total + 1.0) - ties / (total * (total - 1.0)))
    if variance <= 0:
        return 1.0, {"z": 0.0}
    z = (u - n_ref * n_cur / 2.0) / math.sqrt(variance)
    return min(1.0, 2.0 * _native.normal_cdf(-abs(z))), {"z": z}


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
    welch = _native.t_cdf(-diff / math.sqrt(se2), dof)
    pooled_p = _native.t_cdf(-diff / math.sqrt(pooled), total - 2)
    return max(welch, pooled_p), {"se": math.sqrt(se2)}


def normal_lower(change: float, variance: float) -> float | None:
    """One-sided z test that a change is below zero, given the variance of the change."""
    if not (math.isfinite(change) and math.isfinite(variance)) or variance < 0:
        return None
    if variance == 0.0:
        return 0.0 if change < 0 else 1.0
    return _native.normal_cdf(change / math.sqrt(variance))


def maximum_higher(max_cur: float, n_cur: int, max_ref: float, n_ref: int) -> float | None:
    """Exact test that the current window's maximum comes from a larger distribution: under the null
    all rows are exchangeable, so the overall maximum falls in the current window with probability
    n_cur / (n_cur + n_ref)."""
    if n_cur <= 0 or n_ref <= 0 or not (math.isfinite(max_cur) and math.isfinite(max_ref)):
        return None
    return n_cur / (n_cur + n_ref) if max_cur > max_ref else 1.0


def larger_p(p_values) -> float | None:
    """The largest of several p-values of one hypothesis (valid when any one of them is), None when
    any is missing."""
    if any(p is None for p in p_values) or not p_values:
        return None
    return max(p_values)


def bonferroni(p_values) -> float | None:
    """The smallest of several p-values, multiplied by how many were computed."""
    present = [p for p in p_values if p is not None]
    if not present:
        return None
    return min(1.0, len(present) * min(present))


def weighted_holm(p_values: dict, weights: dict) -> dict:
    """Holm's step-down procedure with weights: hypotheses in order of p / w, the j-th rejected when
    p_j <= alpha * w_j / (the weight of those not yet rejected). Returns adjusted p-values (reject
    where <= alpha); the family-wise error rate is at most alpha under any dependence. Equal weights
    give Holm's procedure."""
    keys = [k for k in p_values if weights.get(k, 0.0) > 0.0]
    order = sorted(keys, key=lambda k: p_values[k] / weights[k])
    left = math.fsum(weights[k] for k in keys)
    running, adjusted = 0.0, {}
    for k in order:
        running = max(running, min(1.0, p_values[k] * (left / weights[k])))
        adjusted[k] = running
        left -= weights[k]
    for k in p_values:
        adjusted.setdefault(k, 1.0)  # a hypothesis without weight is never rejected
    return adjusted


def holm(p_values: dict) -> dict:
    """Holm's step-down adjustment of {hypothesis: p}; the family-wise error rate of rejecting every
    hypothesis whose adjusted p-value is at most alpha is at most alpha, under any dependence."""
    order = sorted(p_values, key=lambda key: p_values[key])
    m, running, adjusted = len(order), 0.0, {}
    for i, key in enumerate(order):
        running = max(running, min(1.0, (m - i) * p_values[key]))
        adjusted[key] = running
    return adjusted
