"""mv.compare and its statistics: tests against SciPy and scikit-learn as oracles, undefined metrics,
shared hypotheses, directions, narrowing and layout checks. Profiles are built from NumPy rows by
`calibration_model.stats_from_rows` (profiles made from their statistics)."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy import stats
from sklearn import metrics as skm

from calibration_model import stats_from_rows
from morvane import MismatchError, compare
from morvane.comparing import multiclass as _multiclass, significance as _tests
from morvane.comparing.metrics import distances as _distances
from morvane.comparing.performance import r2_variance


# ---- the tests against SciPy ----

@given(st.integers(0, 40), st.integers(1, 40), st.integers(0, 300), st.integers(1, 300))
@settings(max_examples=60, deadline=None)
def test_exact_proportion_tests_match_fisher(x_cur, n_cur, x_ref, n_ref):
    x_cur, x_ref = min(x_cur, n_cur), min(x_ref, n_ref)
    table = [[x_cur, n_cur - x_cur], [x_ref, n_ref - x_ref]]
    lower = stats.fisher_exact(table, alternative="less").pvalue
    greater = stats.fisher_exact(table, alternative="greater").pvalue
    assert _tests.proportion_lower(x_cur, n_cur, x_ref, n_ref) == pytest.approx(min(lower, 1.0), rel=1e-9, abs=1e-12)
    assert _tests.proportion_two_sided(x_cur, n_cur, x_ref, n_ref) == pytest.approx(
        min(1.0, 2 * min(lower, greater)), rel=1e-9, abs=1e-12)


def test_homogeneity_matches_scipy_without_pooling_and_pools_sparse_cells():
    ref, cur = np.array([120, 340, 260, 280]), np.array([30, 90, 40, 90])
    p, info = _tests.homogeneity(ref, cur)
    expected = stats.chi2_contingency(np.array([ref, cur]), correction=False)
    assert p == pytest.approx(expected.pvalue, rel=1e-9) and info["dof"] == 3
    # A cell expected at 0.05 rows in a 50-row window is pooled, so one row there cannot alarm.
    ref, cur = np.array([5000, 4990, 10]), np.array([25, 24, 1])
    p, info = _tests.homogeneity(ref, cur, ordered=True)
    assert info["dof"] == 1 and p > 0.5
    assert _tests.homogeneity([0, 0], [3, 4]) == (None, {})


def test_rank_shift_matches_mann_whitney_on_expanded_rows():
    ref, cur = np.array([30, 50, 80, 40, 0, 10]), np.array([2, 10, 25, 30, 4, 9])
    rows = lambda counts: np.repeat(np.arange(len(counts)), counts)
    expected = stats.mannwhitneyu(rows(cur), rows(ref), method="asymptotic", use_continuity=False)
    p, info = _tests.rank_shift(ref, cur)
    assert p == pytest.approx(expected.pvalue, rel=1e-9) and info["z"] > 0


def test_mean_test_from_sums_is_the_larger_of_welch_and_pooled_t():
    rng = np.random.default_rng(1)
    for a, b in ((rng.gamma(2.0, size=70), rng.gamma(2.0, size=900) * 0.9),
                 (rng.gamma(2.0, size=900) * 1.05, rng.gamma(2.0, size=70) * 0.5)):
        p, info = _tests.mean_higher(a.sum(), (a * a).sum(), len(a), b.sum(), (b * b).sum(), len(b))
        welch = stats.ttest_ind(a, b, equal_var=False, alternative="greater").pvalue
        pooled = stats.ttest_ind(a, b, equal_var=True, alternative="greater").pvalue
        assert p == pytest.approx(max(welch, pooled), rel=1e-6) and welch != pytest.approx(pooled, rel=1e-3)
    assert _tests.mean_higher(1.0, 1.0, 1, 1.0, 1.0, 5) == (None, {})


def test_holm_adjustment():
    adjusted = _tests.holm({"a": 0.01, "b": 0.04, "c": 0.03, "d": 0.5})
    assert adjusted == pytest.approx({"a": 0.04, "c": 0.09, "b": 0.09, "d": 0.5})
    assert _tests.bonferroni([None, 0.2, 0.01]) == pytest.approx(0.02) and _tests.bonferroni([None]) is None


def test_r_squared_variance_matches_simulation():
    rng = np.random.default_rng(2)
    n, values = 400, []
    for _ in range(1500):
        y = rng.gamma(3.0, size=n)
        e = rng.normal(scale=0.5 + 0.2 * y)
        values.append(1 - (e ** 2).mean() / y.var())
    y = rng.gamma(3.0, size=200_000)
    e = rng.normal(scale=0.5 + 0.2 * y)
    task = stats_from_rows(task="regression", y=y, prediction=y + e).task_stats
    assert r2_variance(task) * 200_000 / n == pytest.approx(np.var(values), rel=0.15)


@pytest.mark.parametrize("kind, ref, cur, expected", [
    ("categorical", [1, 1, 0], [3, 0, 1], (0.393155878428, 20.1314849334, 0.5, 13.9593515942)),
    ("continuous", [0, 33, 33, 1, 33], [0, 1, 1, 0, 2], (0.0256328427704, 0.345317212630, 0.0566666666667,
                                                         0.290238302587)),
])
def test_distances_follow_the_fixed_module(kind, ref, cur, expected):
    got = _distances(np.array(ref), np.array(cur), kind)
    names = ("JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler")
    assert [got[name] for name in names] == pytest.approx(expected, rel=1e-9)


# ---- multiclass metrics against scikit-learn ----

@given(st.integers(0, 10_000), st.integers(2, 5), st.integers(1, 60))
@settings(max_examples=60, deadline=None)
def test_multiclass_metrics_match_scikit_learn(seed, k, n):
    rng = np.random.default_rng(seed)
    present = rng.choice(k, size=rng.integers(1, k + 1), replace=False)  # some classes may be absent
    y = rng.choice(present, size=n)
    p = np.where(rng.random(n) < 0.6, y, rng.integers(0, k, size=n))
    proba = rng.dirichlet(np.ones(k), size=n)
    classes = [f"c{j}" for j in range(k)]
    got = _multiclass.metrics(stats_from_rows(task="multiclass", y=y, prediction=p, proba=proba,
                                              classes=classes).task_stats)
    labels = list(range(k))
    assert got["Accuracy"] == pytest.approx(skm.accuracy_score(y, p))
    for average in ("macro", "weighted"):
        precision, recall, f1, _ = skm.precision_recall_fscore_support(y, p, labels=labels, average=average,
                                                                        zero_division=np.nan)
        title = average.capitalize()
        for name, value in (("Precision", precision), ("Recall", recall), ("F1", f1)):
            if math.isnan(got[title + name]) and average == "weighted":
                # No class with support has a defined value: undefined here, 0 for scikit-learn.
                value = float("nan") if value == 0 else value
            assert got[title + name] == pytest.approx(value, nan_ok=True), (title + name)
    assert got["LogLoss"] == pytest.approx(skm.log_loss(y, proba, labels=labels))


# ---- compare ----

def _binary_rows(rng, n, accuracy=0.9):
    y = (rng.random(n) < 0.4).astype(int)
    facet = rng.random(n) < 0.3
    right = rng.random(n) < accuracy
    proba = np.where(right == (y == 1), rng.uniform(0.5, 0.99, n), rng.uniform(0.01, 0.5, n))
    features = {"age": rng.normal(40, 10, n), "plan": rng.choice(np.array(["a", "b", "c"], dtype=object), n)}
    return dict(features=features, task="binary", y=y, proba=proba, facet=facet)


def test_unchanged_window_passes_and_changes_fail_in_their_family():
    rng = np.random.default_rng(3)
    reference = stats_from_rows(**_binary_rows(rng, 10_000))
    same = compare(reference, stats_from_rows(**_binary_rows(rng, 3_000), like=reference))
    assert same.passed and {c.family for c in same.checks} == {"data", "drift", "performance", "bias"}
    drifted = _binary_rows(rng, 3_000)
    drifted["features"]["age"] = drifted["features"]["age"] + 5
    failures = compare(reference, stats_from_rows(**drifted, like=reference)).failures
    assert [(c.family, c.column) for c in failures] == [("drift", "age")]
    worse = compare(reference, stats_from_rows(**_binary_rows(rng, 3_000, accuracy=0.8), like=reference))
    assert "Accuracy" in {c.metric for c in worse.failures if c.family == "performance"}
    # A better model is never a failure of a one-sided check, however significant.
    better = compare(reference, stats_from_rows(**_binary_rows(rng, 3_000, accuracy=0.99), like=reference))
    assert not [c for c in better.failures if c.family == "performance"]


def test_shared_hypotheses_share_p_values_and_holm_counts_them_once():
    rng = np.random.default_rng(4)
    y = rng.gamma(4.0, size=2_000) + 1
    reference = stats_from_rows(task="regression", y=y, prediction=y + rng.normal(size=y.size))
    y = rng.gamma(4.0, size=500) + 1
    current = stats_from_rows(task="regression", y=y, prediction=y + rng.normal(scale=1.4, size=y.size))
    checks = {c.metric: c for c in compare(reference, current).checks}
    assert checks["MeanSquaredError"].p_value == checks["RootMeanSquaredError"].p_value
    assert checks["MeanSquaredError"].failed and checks["RootMeanSquaredError"].failed
    raw = [c.details["raw_p_value"] for c in checks.values() if c.p_value is not None]
    distinct = len({c.details["raw_p_value"] for c in checks.values() if c.p_value is not None})
    assert distinct < len(raw)
    assert checks["MeanSquaredError"].p_value <= distinct * checks["MeanSquaredError"].details["raw_p_value"]


def _degenerate_windows():
    """Windows where metrics are 0/0: no positive prediction, an empty facet group, an absent class,
    regression targets that make the log errors NaN, no rows at all."""
    rng = np.random.default_rng(5)
    binary = _binary_rows(rng, 2_000)
    reference = stats_from_rows(**binary)
    window = _binary_rows(rng, 40)
    window["proba"] = np.full(40, 0.1)
    window["facet"] = np.zeros(40, dtype=bool)
    yield reference, stats_from_rows(**window, like=reference)
    empty = {"features": {name: values[:0] for name, values in binary["features"].items()}, "task": "binary",
             "y": np.zeros(0, int), "proba": np.zeros(0), "facet": np.zeros(0, bool)}
    yield reference, stats_from_rows(**empty, like=reference)
    classes = ["a", "b", "c"]
    y = rng.integers(0, 3, 600)
    mc = stats_from_rows(task="multiclass", y=y, prediction=y, proba=np.eye(3)[y] * 0.8 + 0.2 / 3, classes=classes)
    y = np.zeros(30, int)
    yield mc, stats_from_rows(task="multiclass", y=y, prediction=np.ones(30, int), classes=classes)
    y = rng.uniform(0, 5, 300)
    regression = stats_from_rows(task="regression", y=y, prediction=y + rng.normal(size=300))
    yield regression, stats_from_rows(task="regression", y=np.full(20, -3.0), prediction=np.full(20, -2.0))


@pytest.mark.parametrize("reference, current", list(_degenerate_windows()))
def test_undefined_metrics_neither_crash_nor_fail(reference, current):
    report = compare(reference, current)
    for check in report.checks:
        undefined = any(v is None or not math.isfinite(v) for v in (check.reference, check.current)) \
            and check.family != "drift"
        if undefined:
            assert check.p_value is None and not check.failed, check
        if check.p_value is not None:
            assert 0.0 <= check.p_value <= 1.0
    tested = [c for c in report.checks if c.metric != "Rows"]
    assert all(c.p_value is None for c in tested) or current.n_rows > 0 or current.task_stats.n > 0
    rows, = [c for c in report.checks if c.metric == "Rows"]
    assert rows.failed == (current.n_rows == 0)


def test_checks_narrow_families_and_metrics():
    rng = np.random.default_rng(6)
    reference = stats_from_rows(**_binary_rows(rng, 1_000))
    current = stats_from_rows(**_binary_rows(rng, 500), like=reference)
    assert {c.family for c in compare(reference, current, checks=["drift"]).checks} == {"drift"}
    picked = compare(reference, current, checks=["Accuracy", "DisparateImpact"]).checks
    assert sorted(c.metric for c in picked) == ["Accuracy", "DisparateImpact"]
    with pytest.raises(ValueError, match="unknown checks"):
        compare(reference, current, checks=["Acuracy"])
    with pytest.raises(ValueError, match="alpha"):
        compare(reference, current, alpha=0)


def test_profiles_with_another_layout_are_refused():
    rng = np.random.default_rng(7)
    reference = stats_from_rows(**_binary_rows(rng, 1_000))
    other = stats_from_rows(**_binary_rows(rng, 1_000))  # its own quantile edges
    with pytest.raises(MismatchError, match="bins of 'age'"):
        compare(reference, other)


def test_bias_tables_hold_groups_of_both_windows():
    rng = np.random.default_rng(8)
    reference = stats_from_rows(**_binary_rows(rng, 2_000))
    report = compare(reference, stats_from_rows(**_binary_rows(rng, 800), like=reference))
    rows = report.tables["bias: group"]
    assert [(r["group"], r["window"]) for r in rows] == [("a", "reference"), ("a", "current")]
    counts = reference.facets["group"].counts
    assert rows[0]["rows"] == counts[0].sum() and rows[0]["rest_rows"] == counts[1].sum()
    assert rows[0]["selection_rate_difference"] == pytest.approx(
        rows[0]["selection_rate"] - rows[0]["selection_rate_rest"])


@pytest.mark.parametrize("task", ["binary", "regression", "multiclass"])
def test_profiles_from_tables_compare_end_to_end(task):
    mv = pytest.importorskip("morvane")
    rng = np.random.default_rng(9)

    def table(n, noise):
        x = rng.normal(size=n)
        if task == "regression":
            y = 3 + x + rng.normal(scale=0.3, size=n)
            return {"x": x, "y": y, "p": y + rng.normal(scale=noise, size=n)}
        k = 2 if task == "binary" else 3
        y = rng.integers(0, k, n)
        wrong = rng.random(n) < noise
        p = np.where(wrong, (y + 1) % k, y)
        return {"x": x, "y": y if task == "binary" else np.array(["a", "b", "c"])[y],
                "p": p if task == "binary" else np.array(["a", "b", "c"])[p]}

    reference = mv.profile(table(5_000, 0.1 if task != "regression" else 0.5), target="y", prediction="p", task=task)
    same = mv.compare(reference, mv.profile(table(1_000, 0.1 if task != "regression" else 0.5), like=reference))
    worse = mv.compare(reference, mv.profile(table(1_000, 0.3 if task != "regression" else 1.0), like=reference))
    assert same.passed and any(c.family == "performance" for c in same.checks)
    assert {c.family for c in worse.failures} == {"performance"}


def test_bias_metrics_fail_when_they_move_not_when_every_group_moves_alike():
    rng = np.random.default_rng(10)
    reference = stats_from_rows(**_binary_rows(rng, 20_000))
    # Every group's accuracy falls alike: performance fails, the accuracy gap does not.
    alike = compare(reference, stats_from_rows(**_binary_rows(rng, 20_000, accuracy=0.75), like=reference))
    assert "Accuracy" in {c.metric for c in alike.failures}
    assert "AccuracyDifference" not in {c.metric for c in alike.failures}
    # Group "a" alone gets more positive predictions: the parity metrics fail.
    rows = _binary_rows(rng, 20_000)
    flip = rows["facet"] & (rng.random(20_000) < 0.15)
    rows["proba"] = np.where(flip, 0.9, rows["proba"])
    failed = {c.metric for c in compare(reference, stats_from_rows(**rows, like=reference)).failures
              if c.family == "bias"}
    assert {"DifferenceInPositivePredictedLabels", "DisparateImpact"} <= failed
