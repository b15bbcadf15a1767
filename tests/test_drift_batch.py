"""Baselines, binning, drift metrics and the batch drift detectors."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _morvane as mv
from conftest import raises_with
from drift_reference import METRICS, drift, edges, histogram

EMPTY_BASELINE = "Baseline data must be non empty"
EMPTY_RUNTIME = "Data used for runtime drift analysis must be non empty"
NAN = "NaN values are not supported"
UNSUPPORTED = "Unsupported drift type"
HEURISTICS = ["FreedmanDiaconis", "Scott", "Sturges"]


def snapshot_of(baseline, quantile=None):
    """The baseline's edges and fractions, read through a streaming detector."""
    s = mv.PyStreamingContinuousDataDriftDecay(np.asarray(baseline, dtype=np.float64), quantile, None)
    s.update_stream(0.0)
    return s.export_snapshot()


# ---- baselines and binning ----

@pytest.mark.parametrize(
    "values, quantile, n_bins, edge_list, fractions",
    [
        (np.arange(100.0), None, 5, [0.0, 33.0, 66.0], [0.0, 0.33, 0.33, 0.01, 0.33]),
        (np.arange(100.0), "Scott", 5, [0.0, 33.0, 66.0], [0.0, 0.33, 0.33, 0.01, 0.33]),
        (np.arange(100.0), "Sturges", 7, [0, 19.8, 39.6, 59.400000000000006, 79.2], [0.0, 0.2, 0.2, 0.2, 0.2, 0.0, 0.2]),
        (np.arange(1.0, 11.0), "FreedmanDiaconis", 3, [1.0], [0.0, 0.1, 0.9]),
        (np.arange(1.0, 11.0), "Scott", 3, [1.0], [0.0, 0.1, 0.9]),
        (np.arange(1.0, 11.0), "Sturges", 4, [1.0, 5.5], [0.0, 0.5, 0.0, 0.5]),
        (np.array([5.0, 5.0]), None, 3, [5.0], [0.0, 1.0, 0.0]),
    ],
)
def test_worked_baselines(values, quantile, n_bins, edge_list, fractions):
    d = mv.PyContinuousDataDrift(values, quantile)
    assert d.num_bins == n_bins
    assert d.export_baseline() == fractions
    assert snapshot_of(values, quantile)["binEdges"] == edge_list


@pytest.mark.parametrize("quantile", HEURISTICS)
@pytest.mark.parametrize("count", [2, 7, 8, 20, 1000])
def test_constant_baseline_has_three_bins(quantile, count):
    s = mv.PyStreamingContinuousDataDriftFlush(np.full(count, 4.5), quantile, None, None)
    assert s.n_bins == 3 and s.export_baseline() == [0.0, 1.0, 0.0]
    for v in (-1.0, 4.5, 4.5, 9.0, 9.0, 9.0):
        s.update_stream(v)
    snap = s.export_snapshot()
    assert snap["binEdges"] == [4.5]
    assert snap["streamBins"] == [1 / 6, 2 / 6, 3 / 6]


@pytest.mark.parametrize("count, n_bins", [(7, 3), (8, 4), (16, 5)])
def test_sturges_count(count, n_bins):
    assert mv.PyContinuousDataDrift(np.arange(float(count)), "Sturges").num_bins == n_bins


@pytest.mark.parametrize("value, expected_bin", [(66.0, 3), (67.0, 4), (65.99, 2), (-0.5, 0), (1e9, 4), (0.0, 1)])
def test_bin_of_runtime_value(value, expected_bin):
    d = mv.PyStreamingContinuousDataDriftDecay(np.arange(100.0), None, None)
    d.update_stream_batch(np.array([value]))
    stream = d.export_snapshot()["streamBins"]
    assert stream.index(1.0) == expected_bin


@pytest.mark.parametrize(
    "values, quantile, message",
    [
        ([5.0], None, EMPTY_BASELINE),
        ([], None, EMPTY_BASELINE),
        ([math.nan], None, EMPTY_BASELINE),
        ([1.0, 2.0, math.nan], None, NAN),
        ([1.0, 2.0], "scott", UNSUPPORTED),
        ([1.0, 2.0], "", UNSUPPORTED),
    ],
)
def test_baseline_errors(values, quantile, message):
    with raises_with(ValueError, message):
        mv.PyContinuousDataDrift(np.array(values, dtype=np.float64), quantile)
    with raises_with(ValueError, message):
        mv.py_compute_drift_continuous_distribtuion(np.array(values, dtype=np.float64), np.ones(3), [], quantile)


def test_outlier_caps_bin_count():
    values = np.append(np.arange(1000.0), 1e12)
    snap = snapshot_of(values)
    assert len(snap["baselineBins"]) == 65536
    e = snap["binEdges"]
    assert len(e) == 65534 and e[0] == 0.0
    assert np.all(np.diff(e) > 0)
    assert math.isclose(e[1] - e[0], 1e12 / 65534)
    assert math.isclose(sum(snap["baselineBins"]), 1.0)


def test_infinite_values_bin_outside_the_finite_grid():
    finite = np.arange(10.0)
    values = np.concatenate([[-np.inf], finite, [np.inf, np.inf]])
    for q in HEURISTICS:
        with_inf, plain = snapshot_of(values, q), snapshot_of(finite, q)
        assert with_inf["binEdges"] == plain["binEdges"]
        n, e = edges(q, list(finite))
        expected = [c / 13 for c in histogram(e, n, list(values))]
        assert with_inf["baselineBins"] == expected
        assert expected[0] == 1 / 13 and expected[-1] >= 2 / 13


@pytest.mark.parametrize(
    "values, edge_list",
    [
        ([np.inf, np.inf], [np.inf]),
        ([-np.inf, np.inf], [-np.inf]),
        ([-np.inf, 3.0, np.inf], [3.0]),
    ],
)
def test_baselines_without_finite_spread(values, edge_list):
    snap = snapshot_of(values)
    assert snap["binEdges"] == edge_list and len(snap["baselineBins"]) == 3
    assert math.isclose(sum(snap["baselineBins"]), 1.0)


@pytest.mark.parametrize("size", [10, 3000, 50000])
def test_large_baselines_sort_like_numpy(size):
    rng = np.random.default_rng(size)
    values = np.concatenate([rng.normal(0.0, 1e3, size), [0.0, -0.0, -np.inf, np.inf, 5e-324, -5e-324]])
    rng.shuffle(values)
    x = np.sort(values)
    finite = list(x[np.isfinite(x)])
    for q in HEURISTICS:
        n, e = edges(q, finite)
        snap = snapshot_of(values, q)
        assert snap["binEdges"] == e
        assert snap["baselineBins"] == [c / len(values) for c in histogram(e, n, list(values))]


def test_range_beyond_largest_double_keeps_edges_finite():
    values = np.array([-1.7e308, -1.0, 0.0, 1.0, 1.7e308])
    for q in HEURISTICS:
        e = snapshot_of(values, q)["binEdges"]
        assert all(math.isfinite(x) for x in e) and all(a < b for a, b in zip(e, e[1:]))


finite_floats = st.floats(-1e6, 1e6, allow_nan=False, allow_infinity=False)
samples = st.lists(finite_floats | st.integers(-50, 50).map(float), min_size=2, max_size=120)


@settings(max_examples=60, deadline=None)
@given(samples, st.sampled_from(HEURISTICS), st.lists(finite_floats | st.just(math.nan), max_size=60))
def test_baseline_and_binning_follow_the_rule(values, quantile, runtime):
    """Edges, fractions and runtime bins equal the reference; batch binning (direct index
    computation) equals the reference binary search."""
    x = sorted(values)
    n, e = edges(quantile, x)
    fractions = [c / len(x) for c in histogram(e, n, x)]
    s = mv.PyStreamingContinuousDataDriftDecay(np.array(values), quantile, None)
    assert s.n_bins == n and s.export_baseline() == fractions
    if runtime:
        s.update_stream_batch(np.array(runtime))
        snap = s.export_snapshot()
        assert snap["binEdges"] == e
        assert snap["streamBins"] == [c / len(runtime) for c in histogram(e, n, runtime)]


def test_categorical_baseline():
    d = mv.PyCategoricalDataDrift(["b", "a", "b", "ab"])
    assert d.num_bins == 4
    assert d.export_baseline() == {"a": 0.25, "ab": 0.25, "b": 0.5}
    # "c" is unseen: it counts in the trailing bin.
    assert d.compute_drift(["c"], "JensenShannon") == drift([0.25, 0.25, 0.5, 0.0], [0, 0, 0, 1], 1.0, "cat", "JensenShannon")
    single = mv.PyCategoricalDataDrift(["x", "x", "x"])
    assert single.num_bins == 2 and single.export_baseline() == {"x": 1.0}


# ---- drift metrics ----

def test_worked_metrics_categorical():
    d = mv.PyCategoricalDataDrift(["a", "b"])
    js, psi, wd, kl = d.compute_drift_mutliple_criteria(["a", "a", "a", "z"], METRICS)
    assert js == pytest.approx(0.393155878428, abs=1e-12)
    assert psi == pytest.approx(20.1314849334, abs=1e-10)
    assert wd == 0.5
    assert kl == pytest.approx(13.9593515942, abs=1e-10)


def test_worked_metrics_continuous():
    d = mv.PyContinuousDataDrift(np.arange(100.0), None)
    runtime = np.array([5.0, 40.0, 70.0, 80.0])  # counts [0, 1, 1, 0, 2]
    js, psi, wd, kl = d.compute_drift_mutliple_criteria(runtime, METRICS)
    assert js == pytest.approx(0.0256328427704, abs=1e-13)
    assert psi == pytest.approx(0.345317212630, abs=1e-12)
    assert wd == pytest.approx((0.08 + 0.08 + 0.01) / 3, abs=1e-13)
    assert kl == pytest.approx(0.290238302587, abs=1e-12)


@settings(max_examples=60, deadline=None)
@given(
    st.lists(st.sampled_from("abcde"), min_size=1, max_size=40),
    st.lists(st.sampled_from("abcdefg"), min_size=1, max_size=40),
)
def test_categorical_scores_equal_formulas(baseline, runtime):
    labels = sorted(set(baseline))
    b = [baseline.count(l) / len(baseline) for l in labels] + [0.0]
    r = [float(runtime.count(l)) for l in labels] + [float(sum(x not in labels for x in runtime))]
    total = 0.0
    for c in r:
        total += c
    got = mv.py_compute_drift_categorical_distribtuion(baseline, runtime, METRICS)
    assert got == [drift(b, r, total, "cat", m) for m in METRICS]


@settings(max_examples=60, deadline=None)
@given(samples, st.lists(finite_floats, min_size=1, max_size=60), st.sampled_from(HEURISTICS))
def test_continuous_scores_equal_formulas(baseline, runtime, quantile):
    n, e = edges(quantile, sorted(baseline))
    b = [c / len(baseline) for c in histogram(e, n, sorted(baseline))]
    r = histogram(e, n, runtime)
    got = mv.py_compute_drift_continuous_distribtuion(np.array(baseline), np.array(runtime), METRICS, quantile)
    assert got == [drift(b, r, float(len(runtime)), "cont", m) for m in METRICS]


def test_identical_distributions():
    js, psi, wd, kl = mv.py_compute_drift_categorical_distribtuion(["a", "b"], ["a", "b", "a", "b"], METRICS)
    assert js == 0.0 and wd == 0.0
    assert 0 < psi < 1e-23 and psi == pytest.approx(2.2e-24, rel=0.1)
    assert kl == pytest.approx(2.9e-12, rel=0.1)


def test_empty_runtime_bin_gives_large_finite_psi():
    (psi,) = mv.py_compute_drift_categorical_distribtuion(["a", "b"], ["a", "a"], ["PopulationStabilityIndex"])
    # The b term alone is about 0.5 * ln(0.5 / eps).
    assert math.isfinite(psi) and psi > 0.5 * math.log(0.5 / 1e-12)


def test_continuous_wasserstein_ignores_outer_bins():
    d = mv.PyContinuousDataDrift(np.arange(100.0), None)
    below = d.compute_drift(np.array([-5.0, 10.0]), "WassersteinDistance")
    above = d.compute_drift(np.array([500.0, 10.0]), "WassersteinDistance")
    assert below == above
    three = mv.PyContinuousDataDrift(np.arange(1.0, 11.0), None)  # 3 bins: WD = |p1 - q1|
    assert three.compute_drift(np.array([1.0, 5.0]), "WassersteinDistance") == pytest.approx(0.4, abs=1e-11)


@pytest.mark.parametrize("env, eps", [("1e-6", 1e-6), ("not a number", 1e-12), (" 1e-6", 1e-12)])
def test_stability_eps_from_environment(env, eps):
    code = (
        "import _morvane as m; "
        "print(repr(m.py_compute_drift_categorical_distribtuion(['a', 'b'], ['a', 'a', 'z'], "
        "['JensenShannon', 'PopulationStabilityIndex', 'WassersteinDistance', 'KullbackLeibler'])))"
    )
    out = subprocess.run(
        [sys.executable, "-c", code], env={**os.environ, "MORVANE_STABILITY_EPS": env},
        capture_output=True, text=True, check=True,
    ).stdout
    b, r = [0.5, 0.5, 0.0], [2.0, 0.0, 1.0]
    assert eval(out) == [drift(b, r, 3.0, "cat", m, eps) for m in METRICS]


# ---- batch detectors ----

def test_empty_runtime_then_valid_call_matches_fresh_object():
    d = mv.PyContinuousDataDrift(np.arange(100.0), None)
    with raises_with(ValueError, EMPTY_RUNTIME):
        d.compute_drift(np.array([], dtype=np.float64), "JensenShannon")
    with raises_with(ValueError, EMPTY_RUNTIME):
        d.compute_drift_mutliple_criteria(np.array([], dtype=np.float64), ["JensenShannon"])
    fresh = mv.PyContinuousDataDrift(np.arange(100.0), None)
    data = np.array([3.0, 50.0, 99.0])
    assert d.compute_drift(data, "KullbackLeibler") == fresh.compute_drift(data, "KullbackLeibler")
    # Successive calls are independent of each other.
    assert d.compute_drift(data, "KullbackLeibler") == fresh.compute_drift(data, "KullbackLeibler")


@pytest.mark.parametrize("names", [["Jensen"], ["JensenShannon", "jensenshannon"]])
def test_metric_names_parsed_before_data(names):
    d = mv.PyContinuousDataDrift(np.arange(10.0), None)
    empty = np.array([], dtype=np.float64)
    with raises_with(ValueError, UNSUPPORTED):
        d.compute_drift(empty, names[-1])
    with raises_with(ValueError, UNSUPPORTED):
        d.compute_drift_mutliple_criteria(empty, names)
    with raises_with(ValueError, UNSUPPORTED):
        mv.PyCategoricalDataDrift(["a"]).compute_drift_mutliple_criteria([], names)
    with raises_with(ValueError, UNSUPPORTED):
        mv.py_compute_drift_continuous_distribtuion(np.arange(3.0), empty, names, "nope")
    with raises_with(ValueError, UNSUPPORTED):
        mv.py_compute_drift_categorical_distribtuion([], [], names)


def test_baseline_against_itself_and_multiple_criteria():
    data = np.arange(100.0)
    d = mv.PyContinuousDataDrift(data, None)
    assert d.compute_drift(data, "JensenShannon") == 0.0
    runtime = np.array([1.0, 2.0, 70.0])
    kl, js, kl2 = d.compute_drift_mutliple_criteria(runtime, ["KullbackLeibler", "JensenShannon", "KullbackLeibler"])
    assert [kl, js, kl2] == [d.compute_drift(runtime, "KullbackLeibler"), d.compute_drift(runtime, "JensenShannon"), kl]
    assert d.compute_drift_mutliple_criteria(runtime, []) == []
    assert mv.py_compute_drift_continuous_distribtuion(data, runtime, [], None) == []


def test_nan_runtime_value_counts_in_bin_zero():
    d = mv.PyContinuousDataDrift(np.arange(100.0), None)
    with_nan = d.compute_drift_mutliple_criteria(np.array([np.nan, 10.0, 50.0]), METRICS)
    below = d.compute_drift_mutliple_criteria(np.array([-1.0, 10.0, 50.0]), METRICS)
    assert with_nan == below


def test_categorical_batch_detector():
    d = mv.PyCategoricalDataDrift(["a", "b"])
    assert d.num_bins == 3 and d.export_baseline() == {"a": 0.5, "b": 0.5}
    unseen = d.compute_drift(["c", "c"], "WassersteinDistance")
    assert unseen == drift([0.5, 0.5, 0.0], [0.0, 0.0, 2.0], 2.0, "cat", "WassersteinDistance")
    with raises_with(ValueError, EMPTY_RUNTIME):
        d.compute_drift([], "JensenShannon")
    with raises_with(ValueError, EMPTY_BASELINE):
        mv.PyCategoricalDataDrift([])
    with raises_with(ValueError, EMPTY_BASELINE):
        mv.py_compute_drift_categorical_distribtuion([], ["a"], ["JensenShannon"])


@pytest.mark.parametrize(
    "cls, good, bad, new, new_bins",
    [
        (mv.PyContinuousDataDrift, (np.arange(100.0), None), np.array([1.0]), np.arange(1.0, 11.0), 3),
        (mv.PyContinuousDataDrift, (np.arange(100.0), None), np.array([1.0, np.nan]), np.arange(1e4), 22),
        (mv.PyCategoricalDataDrift, (["a", "b"],), [], ["x", "y", "z", "z"], 4),
    ],
)
def test_reset_baseline(cls, good, bad, new, new_bins):
    d = cls(*good)
    before = (d.num_bins, d.export_baseline())
    with pytest.raises(ValueError):
        d.reset_baseline(bad)
    assert (d.num_bins, d.export_baseline()) == before
    d.reset_baseline(new)
    fresh = cls(new, *good[1:])
    assert (d.num_bins, d.export_baseline()) == (fresh.num_bins, fresh.export_baseline()) and d.num_bins == new_bins


@pytest.mark.parametrize(
    "value, message",
    [
        (np.arange(3, dtype=np.float32), "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ([1.0, 2.0], "'list' object cannot be converted to 'PyArray<T, D>'"),
        (np.ones((2, 2)), "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (np.arange(6.0)[::2], "The given array is not contiguous"),
    ],
)
def test_continuous_arrays_are_checked(value, message):
    d = mv.PyContinuousDataDrift(np.arange(10.0), None)
    runtime = message if "contiguous" in message else "argument 'runtime_data': " + message
    with raises_with(TypeError, runtime):
        d.compute_drift(value, "JensenShannon")
    baseline = message if "contiguous" in message else "argument 'baseline_data': " + message
    with raises_with(TypeError, baseline):
        mv.PyContinuousDataDrift(value, None)


def test_contiguity_is_checked_after_every_argument_converts():
    strided = np.arange(6.0)[::2]
    # A bad later argument is reported first: conversion of all arguments comes first.
    with raises_with(TypeError, "argument 'quantile_type_str': 'int' object cannot be converted to 'PyString'"):
        mv.PyContinuousDataDrift(strided, 5)
    # Then the layout, before the quantile name is parsed.
    with raises_with(TypeError, "The given array is not contiguous"):
        mv.PyContinuousDataDrift(strided, "NoSuchHeuristic")
    with raises_with(TypeError, "The given array is not contiguous"):
        mv.PyStreamingContinuousDataDriftDecay(strided, "NoSuchHeuristic", 0)
    with raises_with(TypeError, "The given array is not contiguous"):
        mv.py_compute_drift_continuous_distribtuion(np.arange(5.0), strided, ["Nope"], None)


def test_labels_must_be_a_sequence_of_str():
    d = mv.PyCategoricalDataDrift(["a"])
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        d.compute_drift("abc", "JensenShannon")
    with pytest.raises(TypeError, match="PyString"):
        d.compute_drift(["a", 1], "JensenShannon")
    assert d.compute_drift(("a", "b"), "WassersteinDistance") == 0.5


def test_keyword_arguments_and_required_parameters():
    d = mv.PyContinuousDataDrift(quantile_type_str=None, baseline_data=np.arange(10.0))
    assert d.compute_drift(drift_type="JensenShannon", runtime_data=np.arange(10.0)) == 0.0
    got = mv.py_compute_drift_continuous_distribtuion(
        quantile_type="Sturges", drift_metrics=["WassersteinDistance"], candidate=np.arange(10.0), baseline=np.arange(10.0)
    )
    assert got == [0.0]
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'quantile_type_str'"):
        mv.PyContinuousDataDrift(np.arange(10.0))


DOCS = [
    (mv.PyContinuousDataDrift, "PyContinuousDataDrift(baseline_data, quantile_type_str)",
     "Batch continuous data drift detector. Computes drift metrics between a fixed\n"
     "baseline histogram and a runtime data slice on each call."),
    (mv.PyCategoricalDataDrift, "PyCategoricalDataDrift(baseline_data)",
     "Batch categorical data drift detector. Computes drift metrics between a fixed\n"
     "baseline label distribution and a runtime label slice on each call."),
    (mv.PyContinuousDataDrift.reset_baseline, "reset_baseline($self, baseline_data)",
     "Replace the baseline with a new data slice, recomputing the histogram."),
    (mv.PyCategoricalDataDrift.reset_baseline, "reset_baseline($self, new_baseline)",
     "Replace the baseline with a new set of labels, recomputing the distribution."),
    (mv.PyContinuousDataDrift.export_baseline, "export_baseline($self)",
     "Return the baseline as a normalized probability distribution (sums to 1.0)."),
    (mv.PyCategoricalDataDrift.export_baseline, "export_baseline($self)",
     "Return the baseline label frequencies as a normalized distribution."),
    (mv.PyContinuousDataDrift.compute_drift_mutliple_criteria,
     "compute_drift_mutliple_criteria($self, runtime_data, drift_types)", ""),
    (mv.py_compute_drift_categorical_distribtuion,
     "py_compute_drift_categorical_distribtuion(baseline, candidate, drift_metrics)", ""),
    (mv.py_compute_drift_continuous_distribtuion,
     "py_compute_drift_continuous_distribtuion(baseline, candidate, drift_metrics, quantile_type)", ""),
]


@pytest.mark.parametrize("obj, signature, text", DOCS)
def test_docstrings(obj, signature, text):
    raw = obj.__doc__
    name = signature.split("(")[0]
    assert obj.__text_signature__ == signature[len(name):]
    assert (raw or "") == text


def test_compute_drift_doc_names_every_metric():
    for cls in (mv.PyContinuousDataDrift, mv.PyCategoricalDataDrift):
        doc = cls.compute_drift.__doc__
        assert doc.startswith("Compute a single drift metric against `runtime_data`.\n\n")
        assert all(f'`"{m}"`' in doc for m in METRICS)
    assert mv.PyContinuousDataDrift.num_bins.__doc__ == "Number of histogram bins used for this baseline."

