"""The report's false-alarm and detection rates, measured by simulation (a quick version of
benchmarks/bench_calibration.py: fewer windows, one fixed seed). Bounds are binomial: a run fails
only if its count would be rarer than 1 in 1,000 at the target rate."""

import zlib

import numpy as np
import pytest
from scipy.stats import binom

from calibration_model import Population, _feature_models, rates
from calibration_shapes import CHANGES, ERRORS, SHAPES, regression_rates, shape_rates

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


@pytest.mark.parametrize("name", list(SHAPES))
def test_unchanged_shapes_rarely_fail(name):
    rng = np.random.default_rng(zlib.crc32(name.encode()))
    total = 0
    for m, n in ((10_000, 50), (10_000, 100_000), (200, 1_000_000), (100_000, 200)):
        failed, windows, families = shape_rates(SHAPES[name], m, n, WINDOWS // 2, rng)
        assert failed <= binom.ppf(0.999, windows, ALPHA), (name, m, n, failed, families)
        total += failed
    assert total <= binom.ppf(0.999, 2 * WINDOWS, ALPHA)


@pytest.mark.parametrize("label, base, n, change", CHANGES, ids=[c[0] for c in CHANGES])
def test_shape_changes_are_found_by_their_family(label, base, n, change):
    rng = np.random.default_rng(11)
    shape = SHAPES[base]
    failed, windows, families = shape_rates(shape, 10_000, n, WINDOWS, rng, shape.changed(**change))
    assert failed >= binom.ppf(0.001, windows, 0.95), (label, failed, families)


@pytest.mark.parametrize("errors", list(ERRORS))
def test_heavy_tailed_errors_rarely_fail(errors):
    rng = np.random.default_rng(5)
    for m, n in ((10_000, 1_000_000), (200, 1_000_000), (1_000_000, 200)):
        failed, windows, metrics = regression_rates(errors, m, n, WINDOWS // 2, rng)
        assert failed <= binom.ppf(0.999, windows, ALPHA), (errors, m, n, failed, metrics)


def test_the_full_report_keeps_most_of_the_accuracy_test_power():
    rng = np.random.default_rng(12)
    features = _feature_models()
    population = Population("binary", features[:10] + features[20:], accuracy=0.85)
    failed, windows, families = rates(population, 500, WINDOWS, rng, accuracy=0.80)
    assert failed >= binom.ppf(0.001, windows, 0.60), (failed, families)
