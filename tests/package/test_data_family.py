"""The data family and the questions it takes from Distribution, through mv.profile and mv.compare:
each change fails its own check and leaves the others quiet, layouts see ties, and alpha is spent by
the weights of the hierarchy."""

import numpy as np
import pytest

import morvane as mv
from morvane.comparing import checks as checks_module


@pytest.fixture
def rng():
    return np.random.default_rng(20)


def table(rng, n, *, missing=0.0, new=0.0, sentinel=0.0, constant=5.0, flag=0.05):
    x = rng.normal(size=n)
    x[rng.random(n) < sentinel] = 999999.0
    x[rng.random(n) < missing] = np.nan
    c = rng.choice(["a", "b", "c", "d"], n, p=[0.4, 0.3, 0.2, 0.1]).astype(object)
    c[rng.random(n) < new] = "new"
    return {"x": x, "c": c, "k": np.full(n, constant), "f": (rng.random(n) < flag).astype(float)}


def by_check(report):
    return {(c.column, c.metric): c for c in report.checks}


@pytest.mark.parametrize("change, failing", [
    (dict(missing=0.05), ("x", "Missing")),
    (dict(new=0.05), ("c", "Unseen")),
    (dict(sentinel=0.02), ("x", "OutOfRange")),
    (dict(constant=6.0), ("k", "OutOfRange")),
    (dict(flag=0.2), ("f", "Distribution")),
])
def test_each_change_fails_its_own_check_only(rng, change, failing):
    reference = mv.profile(table(rng, 10_000))
    current = mv.profile(table(rng, 2_000, **change), like=reference)
    report = mv.compare(reference, current)
    assert not report.passed
    failed = {(c.column, c.metric) for c in report.failures}
    assert failing in failed and failed <= {failing, (failing[0], "Distribution")}, failed
    # The known values of x and c are unchanged: their Distribution does not move with the new rows.
    for column in {"x", "c"} - {failing[0]}:
        assert not by_check(report)[(column, "Distribution")].failed


def test_unchanged_windows_pass_and_every_data_check_is_reported(rng):
    reference = mv.profile(table(rng, 10_000))
    report = mv.compare(reference, mv.profile(table(rng, 3_000), like=reference))
    assert report.passed
    metrics = {(c.column, c.metric) for c in report.checks if c.family == "data"}
    assert metrics == {(None, "Rows"), ("x", "Missing"), ("x", "OutOfRange"), ("c", "Missing"), ("c", "Unseen"),
                       ("k", "Missing"), ("k", "OutOfRange"), ("f", "Missing"), ("f", "OutOfRange")}


def test_an_empty_window_fails_rows_and_nothing_else(rng):
    reference = mv.profile(table(rng, 1_000))
    report = mv.compare(reference, mv.profile({k: v[:0] for k, v in table(rng, 10).items()}, like=reference))
    assert [(c.column, c.metric) for c in report.failures] == [(None, "Rows")]


def test_distribution_compares_only_known_values(rng):
    """Missing and unseen values in every other row: Distribution sees the known values' shares."""
    reference = mv.profile(table(rng, 10_000))
    window = table(rng, 4_000)
    window["x"][::2] = np.nan
    window["c"][::2] = "unseen"
    current = mv.profile(window, like=reference)
    checks = by_check(mv.compare(reference, current))
    assert checks[("x", "Missing")].failed and checks[("c", "Unseen")].failed
    assert checks[("x", "Distribution")].details["raw_p_value"] > 1e-3
    assert checks[("c", "Distribution")].details["raw_p_value"] > 1e-3


def test_ties_get_bins_and_ranges_close_the_layout(rng):
    p = mv.profile(table(rng, 5_000))
    edges, counts = p.histogram("f")
    # A 0/1 flag: below, [0], (0, 1), [1], above.
    assert edges.tolist() == [0.0, np.nextafter(0.0, 1.0), 1.0, np.nextafter(1.0, 2.0)]
    assert counts[0] == counts[2] == counts[-1] == 0 and counts[1] + counts[3] == 5_000
    edges, counts = p.histogram("k")
    assert edges.tolist() == [5.0, np.nextafter(5.0, 6.0)] and counts.tolist() == [0, 5_000, 0]
    x = p.features["x"]
    assert (x.minimum, x.maximum) == (p.histogram("x")[0][0], np.nextafter(p.histogram("x")[0][-1], -np.inf))
    assert x.range_bins() == (True, True)


def test_unseen_is_explained_by_the_reference_rare_values(rng):
    """A long tail: values the reference saw once predict the window's never-seen ones."""
    def zipf(n):
        return {"c": np.array([f"v{k}" for k in np.minimum(rng.zipf(1.3, n), 10**6)], dtype=object)}
    reference = mv.profile(zipf(20_000))
    unseen = by_check(mv.compare(reference, mv.profile(zipf(20_000), like=reference)))[("c", "Unseen")]
    assert unseen.current > 0 and unseen.details["singletons"] > 0 and not unseen.failed


def test_weights_follow_the_hierarchy_and_narrowing_gives_all_of_alpha():
    pending = [checks_module.Pending("performance", None, "Accuracy", 0.9, 0.8, ("performance", "Accuracy"), 0.01),
               checks_module.Pending("performance", None, "Recall", 0.9, 0.8, ("performance", "Recall"), 0.01),
               checks_module.Pending("drift", "x", "Distribution", None, None, ("drift", "x"), 0.5),
               checks_module.Pending("drift", "y", "Distribution", None, None, ("drift", "y"), 0.5),
               checks_module.Pending("data", None, "Rows", 1.0, 1.0, ("data", "Rows"), None)]
    w = checks_module.weights(pending)
    total = sum(checks_module.SHARES[k] for k in ("headline", "performance", "drift"))
    assert sum(w.values()) == pytest.approx(1.0)
    assert w[("performance", "Accuracy")] == pytest.approx(checks_module.SHARES["headline"] / total)
    assert w[("drift", "x")] == w[("drift", "y")] == pytest.approx(checks_module.SHARES["drift"] / total / 2)
    assert ("data", "Rows") not in w  # a rule spends no alpha
    alone = checks_module.verdicts(pending[:1], 0.01)[0]
    assert alone.p_value == pytest.approx(0.01) and alone.failed
