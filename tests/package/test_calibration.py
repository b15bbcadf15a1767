"""The report's false-alarm and detection rates, measured by simulation (a quick version of
benchmarks/bench_calibration.py: fewer windows, one fixed seed). Bounds are binomial: a run fails
only if its count would be rarer than 1 in 1,000 at the target rate."""

import numpy as np
import pytest
from scipy.stats import binom

from calibration_model import Population, rates

ALPHA = 0.01
WINDOWS = 100


@pytest.mark.parametrize("task", ["binary", "regression", "multiclass"])
def test_unchanged_windows_rarely_fail(task):
    rng = np.random.default_rng(20261207)
    population = Population(task)
    total = 0
    for n in (50, 200, 1_000, 10_000, 1_000_000):
        failed, windows, families = rates(population, n, WINDOWS, rng)
        assert failed <= binom.ppf(0.999, windows, ALPHA), (task, n, failed, families)
        total += failed
    assert total <= binom.ppf(0.999, 5 * WINDOWS, ALPHA)


@pytest.mark.parametrize("n, scenario, family", [
    (200, {"shift": 0.5}, "drift"),
    (2_000, {"shift": 0.2}, "drift"),
    (2_000, {"accuracy": 0.85}, "performance"),
    (5_000, {"selection_gap": 0.1}, "bias"),
])
def test_changes_are_found(n, scenario, family):
    rng = np.random.default_rng(7)
    failed, windows, families = rates(Population("binary"), n, WINDOWS, rng, **scenario)
    bound = binom.ppf(0.001, windows, 0.95)
    assert failed >= bound and families.get(family, 0) >= bound, (failed, families)
