"""The tests behind the data family and the alpha spending: exact formulas, validity under
exchangeable data (small simulations with binomial bounds), weighted Holm against Holm, and the
pooling of sparse cells against the quadratic procedure it replaces."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy.stats import binom

from morvane.comparing import significance

tests = significance


def level_bound(windows, rate):
    """Failures a valid test exceeds only once in 1,000 runs."""
    return binom.ppf(0.999, windows, rate)


@given(st.integers(0, 30), st.integers(1, 60), st.integers(1, 400))
@settings(max_examples=80, deadline=None)
def test_beyond_range_is_the_exchangeable_extremes_formula(k, n, m):
    k = min(k, n)
    # The k greatest of n + m exchangeable rows all in the window: C(n, k) / C(n + m, k).
    expected = math.comb(n, k) / math.comb(n + m, k)
    one_side = tests.beyond_range(0, k, n, 0, 0, m, sides=(False, True))
    assert one_side == pytest.approx(expected, rel=1e-9, abs=1e-300)
    assert tests.beyond_range(k, 0, n, 0, 0, m) == pytest.approx(min(1.0, 2 * expected), rel=1e-9, abs=1e-300)
    assert tests.beyond_range(0, 0, n, 0, 0, m, sides=(False, False)) is None


@pytest.mark.parametrize("m, n", [(200, 50), (50, 5_000), (1_000, 1_000)])
@pytest.mark.parametrize("draw", ["normal", "integers"])
def test_beyond_range_holds_its_level_on_exchangeable_rows(m, n, draw):
    rng = np.random.default_rng(m + n)
    windows, level, failed = 2_000, 0.05, 0
    for _ in range(windows):
        x = rng.normal(size=m + n) if draw == "normal" else rng.integers(0, 30, m + n).astype(float)
        ref, cur = x[:m], x[m:]
        p = tests.beyond_range((cur < ref.min()).sum(), (cur > ref.max()).sum(), n, 0, 0, m)
        failed += p <= level
    assert failed <= level_bound(windows, level)


def test_beyond_range_finds_a_sentinel():
    assert tests.beyond_range(0, 100, 5_000, 0, 0, 10_000) < 1e-40


@pytest.mark.parametrize("m, n", [(10_000, 50), (10_000, 100_000), (200, 5_000), (2_000, 2_000)])
@pytest.mark.parametrize("population", ["zipf", "rare", "twice", "once"])
def test_unseen_holds_its_level_on_every_vocabulary(m, n, population):
    """Unchanged windows, on long tails and on vocabularies whose values a reference sees about twice
    or once: the test holds its level."""
    rng = np.random.default_rng(m // 7 + n + len(population))
    k = {"zipf": 1_000, "rare": 103, "twice": m // 2, "once": m}[population]
    p = 1.0 / np.arange(1, k + 1) ** 1.1 if population == "zipf" else np.r_[[0.33] * 3, [1e-4] * 100] \
        if population == "rare" else np.ones(k)
    p = p / p.sum()
    windows, level, failed = 200, 0.02, 0
    for _ in range(windows):
        ref, cur = rng.multinomial(m, p), rng.multinomial(n, p)
        seen = ref > 0
        q, _ = tests.unseen_higher(ref[seen], cur[seen], 0, int(cur[~seen].sum()))
        failed += q <= level
    assert failed <= level_bound(windows, level)


@pytest.mark.parametrize("codes", [1_000, 100_000])
def test_unseen_finds_new_values_whatever_the_reference_saw_of_each(codes):
    """Every value seen exactly twice, or thousands of times: a window of new values fails; a reference
    of values each seen once predicts new values, and a window like it passes."""
    twice = np.full(codes, 2)
    assert tests.unseen_higher(twice, np.zeros(codes, np.int64), 0, 2_000)[0] < 1e-12
    assert tests.unseen_higher(np.full(10, 5_000), np.full(10, 20), 0, 10)[0] < 1e-12
    assert tests.unseen_higher(np.full(10, 5_000), np.full(10, 20), 0, 0)[0] == 1.0
    assert tests.unseen_higher(np.ones(codes, np.int64), np.zeros(codes, np.int64), 0, codes // 10)[0] > 0.5
    assert tests.unseen_higher(np.zeros(3, np.int64), np.zeros(3, np.int64), 0, 0) == (None, {})


@given(st.dictionaries(st.integers(0, 30), st.floats(0, 1), min_size=1, max_size=12))
@settings(max_examples=100, deadline=None)
def test_weighted_holm_with_equal_weights_is_holm(p_values):
    weighted = tests.weighted_holm(p_values, {k: 0.5 for k in p_values})
    plain = tests.holm(p_values)
    assert weighted == pytest.approx(plain, rel=1e-12, abs=0.0)


@given(st.dictionaries(st.integers(0, 30), st.tuples(st.floats(0, 1), st.floats(0.01, 1)), min_size=1, max_size=12))
@settings(max_examples=100, deadline=None)
def test_weighted_holm_lies_between_its_first_and_last_steps(items):
    p_values = {k: v[0] for k, v in items.items()}
    weights = {k: v[1] for k, v in items.items()}
    adjusted = tests.weighted_holm(p_values, weights)
    total = sum(weights.values())
    for k, p in p_values.items():
        # At least the hypothesis's own p / w share once its weight is all that is left, at most
        # the weighted Bonferroni bound.
        assert min(1.0, p) <= adjusted[k] + 1e-12
        assert adjusted[k] <= min(1.0, p * total / weights[k]) + 1e-12


def quadratic_pool(columns, smaller, total, ordered):
    """The procedure the pooling replaced: one merge per step with a full sort."""
    groups = [[j] for j in range(len(columns)) if columns[j] > 0]
    sizes = [float(columns[g[0]]) for g in groups]
    need = tests.MIN_EXPECTED * total / smaller
    while len(groups) > 1:
        k = int(np.argmin(sizes))
        if sizes[k] >= need:
            break
        if ordered:
            other = 1 if k == 0 else k - 1 if k == len(groups) - 1 else (k - 1 if sizes[k - 1] <= sizes[k + 1] else k + 1)
        else:
            other = int(np.argsort(sizes, kind="stable")[1])
        keep, drop = min(k, other), max(k, other)
        groups[keep] = groups[keep] + groups[drop]
        sizes[keep] += sizes[drop]
        del groups[drop], sizes[drop]
    return [sorted(g) for g in groups]


@given(st.lists(st.integers(0, 300), max_size=40), st.integers(1, 500), st.integers(0, 5_000))
@settings(max_examples=200, deadline=None)
def test_pooling_keeps_its_rule_in_loglinear_time(cells, smaller, more):
    columns = np.array(cells, dtype=np.float64)
    total = smaller + more
    need = tests.MIN_EXPECTED * total / smaller
    ordered = tests._pool(columns, smaller, total, True)
    assert ordered == quadratic_pool(columns, smaller, total, True)
    unordered = tests._pool(columns, smaller, total, False)
    assert sorted(j for g in unordered for j in g) == [j for j, c in enumerate(cells) if c > 0]
    sums = [columns[g].sum() for g in unordered]
    assert len(unordered) <= 1 or min(sums) >= need
    # A cell that reaches `need` alone stays alone unless short cells are left to take it.
    alone = [j for j, c in enumerate(cells) if c >= need]
    short = sum(c for c in cells if 0 < c < need)
    if short == 0:
        assert unordered == [[j] for j in alone]
