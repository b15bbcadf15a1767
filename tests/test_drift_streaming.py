"""Streaming drift detectors in decay and flush mode."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _morvane as mv
from conftest import raises_with
from drift_reference import METRICS, drift, histogram

EMPTY_RUNTIME = "Data used for runtime drift analysis must be non empty"
DEFAULT_FACTOR = 0.9999919774953684


def cont_decay(half_life=None, baseline=None):
    return mv.PyStreamingContinuousDataDriftDecay(np.arange(100.0) if baseline is None else baseline, None, half_life)


def cont_flush(rate=None, cadence=None):
    return mv.PyStreamingContinuousDataDriftFlush(np.arange(100.0), None, rate, cadence)


def cat_decay(half_life=None):
    return mv.PyStreamingCategoricalDataDriftDecay(["a", "b", "c"], half_life)


def cat_flush(rate=None, cadence=None):
    return mv.PyStreamingCategoricalDataDriftFlush(["a", "b", "c"], rate, cadence)


ALL = [cont_decay, cont_flush, cat_decay, cat_flush]
SAMPLE = {cont_decay: 1.5, cont_flush: 1.5, cat_decay: "a", cat_flush: "a"}


def batch_of(factory, n):
    return np.arange(float(n)) if factory in (cont_decay, cont_flush) else ["a", "b", "z"] * (n // 3) + ["a"] * (n % 3)


@pytest.mark.parametrize("factory", ALL)
def test_fresh_detector_is_empty(factory):
    s = factory()
    assert s.total_samples == 0
    with raises_with(ValueError, EMPTY_RUNTIME):
        s.compute_drift("JensenShannon")
    with raises_with(ValueError, EMPTY_RUNTIME):
        s.compute_drift_multiple_criteria([])
    with raises_with(ValueError, EMPTY_RUNTIME):
        s.update_stream_batch(batch_of(factory, 0))
    if factory in (cont_flush, cat_flush):
        assert s.last_flush == 0
    if factory in (cont_decay, cont_flush):
        with raises_with(ValueError, EMPTY_RUNTIME):
            s.export_snapshot()
    else:
        assert s.export_snapshot() == {"a": 0.0, "b": 0.0, "c": 0.0}


@pytest.mark.parametrize("factory", [cont_decay, cat_decay])
def test_half_life_zero_refused(factory):
    with raises_with(ValueError, "Configuration not supported in current drift mode"):
        factory(0)


@pytest.mark.parametrize("factory", ALL)
def test_counts_must_be_non_negative_ints(factory):
    with pytest.raises(OverflowError):
        factory(-1)
    with pytest.raises(OverflowError):
        factory(2**64)
    with pytest.raises(TypeError):
        factory(1.5)


def test_decay_half_life_one_halves_total():
    s = cont_decay(1)
    s.update_stream_batch(np.array([1.0, 2.0, 3.0, 4.0]))
    s.compute_drift("JensenShannon")
    assert s.total_samples == 2
    s.compute_drift("JensenShannon")
    assert s.total_samples == 1


@pytest.mark.parametrize("half_life, factor", [(None, DEFAULT_FACTOR), (1, 0.5), (3, 2 ** (-1 / 3))])
def test_decay_factor(half_life, factor):
    s = cat_decay(half_life)
    s.update_stream_batch(["a", "a", "b"])
    s.compute_drift("WassersteinDistance")
    assert s.export_snapshot() == {"a": 2.0 * factor, "b": 1.0 * factor, "c": 0.0}
    s.compute_drift_multiple_criteria([])  # an empty list still decays once
    assert s.export_snapshot()["b"] == factor * factor


def test_decay_scores_follow_formulas_on_decayed_counts():
    s = cat_decay(2)
    s.update_stream_batch(["a", "b", "b", "q"])
    s.compute_drift("JensenShannon")
    s.update_stream("a")
    f = 2 ** (-1 / 2)
    # counts [1, 2, 0, 1] decayed once, one more "a", decayed again
    r = [(f + 1.0) * f, (2.0 * f) * f, 0.0, f * f]
    total = (4.0 * f + 1.0) * f
    got = s.compute_drift_multiple_criteria(METRICS)
    b = [1 / 3, 1 / 3, 1 / 3, 0.0]
    assert got == pytest.approx([drift(b, r, total, "cat", m) for m in METRICS], rel=1e-12)


def test_multiple_criteria_decays_once():
    one, two = cont_decay(1), cont_decay(1)
    for s in (one, two):
        s.update_stream_batch(np.array([1.0, 50.0, 50.0, 99.0]))
    js, kl = two.compute_drift_multiple_criteria(["JensenShannon", "KullbackLeibler"])
    assert js == one.compute_drift("JensenShannon")
    assert one.export_snapshot() == two.export_snapshot() and two.total_samples == 2


@pytest.mark.parametrize("factory", ALL)
def test_unknown_metric_leaves_stream_untouched(factory):
    s = factory(1)
    s.update_stream_batch(batch_of(factory, 6))
    before = (s.export_snapshot(), s.total_samples)
    with raises_with(ValueError, "Unsupported drift type"):
        s.compute_drift_multiple_criteria(["JensenShannon", "Nope"])
    with raises_with(ValueError, "Unsupported drift type"):
        s.compute_drift("jensenShannon")
    assert (s.export_snapshot(), s.total_samples) == before


def test_flush_rate_three():
    s = cont_flush(3)
    for v in range(5):
        s.update_stream(float(v))
    # the fourth sample flushed the first three
    assert s.total_samples == 2
    assert s.export_snapshot()["streamBins"] == [0.0, 1.0, 0.0, 0.0, 0.0]


def test_flush_rate_zero_keeps_only_last_sample():
    s = cont_flush(0)
    s.update_stream_batch(np.array([1.0, 40.0, 99.0]))
    assert s.total_samples == 1
    assert s.export_snapshot()["streamBins"] == [0.0, 0.0, 0.0, 0.0, 1.0]


def test_flush_cadence_zero_checks_clock_every_256_samples():
    s = cont_flush(None, 0)
    s.update_stream_batch(np.full(256, 10.0))
    assert s.total_samples == 256
    s.update_stream(10.0)  # the window holds 256: the clock is read and the cadence has passed
    assert s.total_samples == 1
    s.update_stream_batch(np.full(300, 10.0))
    assert s.total_samples == 45  # flushed again when the window reached 256


def test_huge_cadence_never_flushes():
    s = cat_flush(None, 2**64 - 1)
    s.update_stream_batch(["a"] * 600)
    assert s.total_samples == 600


def test_categorical_flush_rate_two():
    s = cat_flush(2)
    for label in "abc":
        s.update_stream(label)
    assert s.total_samples == 1
    assert s.export_snapshot() == {"a": 0.0, "b": 0.0, "c": 1.0}


def test_explicit_flush_and_last_flush():
    s = cat_flush()
    s.update_stream_batch(["a", "b"])
    s.flush()
    assert s.total_samples == 0 and s.last_flush == 0
    assert s.export_snapshot() == {"a": 0.0, "b": 0.0, "c": 0.0}
    with raises_with(ValueError, EMPTY_RUNTIME):
        s.compute_drift("KullbackLeibler")


@pytest.mark.parametrize("factory", [cont_flush, cat_flush])
def test_flush_mode_scoring_does_not_flush(factory):
    s = factory(10)
    s.update_stream_batch(batch_of(factory, 9))
    first = s.compute_drift("PopulationStabilityIndex")
    assert s.total_samples == 9 and s.compute_drift("PopulationStabilityIndex") == first


def test_single_sample_and_snapshot():
    s = cont_decay()
    s.update_stream(1.5)
    assert s.total_samples == 1
    snap = s.export_snapshot()
    assert set(snap) == {"binEdges", "baselineBins", "streamBins"}
    assert snap["streamBins"] == [0.0, 1.0, 0.0, 0.0, 0.0]
    assert snap["binEdges"] == [0.0, 33.0, 66.0] and snap["baselineBins"] == s.export_baseline()


def test_nan_sample_bins_differ_between_single_and_batch():
    single, batch = cont_decay(), cont_decay()
    single.update_stream(math.nan)
    batch.update_stream_batch(np.array([math.nan]))
    assert single.export_snapshot()["streamBins"] == [0.0, 0.0, 0.0, 0.0, 1.0]
    assert batch.export_snapshot()["streamBins"] == [1.0, 0.0, 0.0, 0.0, 0.0]


def test_values_outside_baseline_are_counted():
    s = cont_flush()
    s.update_stream_batch(np.array([-1e300, 1e300, np.inf, -np.inf]))
    assert s.export_snapshot()["streamBins"] == [0.5, 0.0, 0.0, 0.0, 0.5]
    c = cat_decay()
    c.update_stream_batch(["a", "a", "z"])
    assert c.total_samples == 3 and c.export_snapshot() == {"a": 2.0, "b": 0.0, "c": 0.0}


def test_categorical_scores_match_formulas():
    s = cat_flush()
    s.update_stream_batch(["a", "a", "b", "q", "q"])
    b, r = [1 / 3, 1 / 3, 1 / 3, 0.0], [2.0, 1.0, 0.0, 2.0]
    assert s.compute_drift_multiple_criteria(METRICS) == [drift(b, r, 5.0, "cat", m) for m in METRICS]
    assert s.export_baseline() == {"a": 1 / 3, "b": 1 / 3, "c": 1 / 3} and s.n_bins == 4


@pytest.mark.parametrize("factory", ALL)
def test_reset_baseline(factory):
    s = factory(5)
    s.update_stream_batch(batch_of(factory, 4))
    before = (s.export_baseline(), s.n_bins, s.total_samples)
    bad = np.array([1.0]) if factory in (cont_decay, cont_flush) else []
    with pytest.raises(ValueError):
        s.reset_baseline(bad)
    assert (s.export_baseline(), s.n_bins, s.total_samples) == before
    new = np.arange(1.0, 11.0) if factory in (cont_decay, cont_flush) else ["x", "y"]
    s.reset_baseline(new)
    assert s.total_samples == 0 and s.n_bins == 3
    with raises_with(ValueError, EMPTY_RUNTIME):
        s.compute_drift("JensenShannon")


finite = st.floats(-1e4, 1e4, allow_nan=False, allow_infinity=False)


@settings(max_examples=60, deadline=None)
@given(
    st.lists(finite, min_size=2, max_size=60),
    st.lists(finite | st.sampled_from([math.inf, -math.inf, 1e308, -1e308, 5e-324]), min_size=1, max_size=80),
)
def test_batch_equals_single_samples(baseline, runtime):
    one, many = cont_decay(None, np.array(baseline)), cont_decay(None, np.array(baseline))
    many.update_stream_batch(np.array(runtime))
    for v in runtime:
        one.update_stream(v)
    snap = many.export_snapshot()
    assert snap == one.export_snapshot()
    e, n = snap["binEdges"], len(snap["baselineBins"])
    assert snap["streamBins"] == [c / len(runtime) for c in histogram(e, n, runtime)]


@settings(max_examples=40, deadline=None)
@given(st.lists(st.sampled_from("abcxy"), min_size=1, max_size=40), st.sampled_from(["name", "batch", "reset"]))
def test_failed_calls_leave_detector_unchanged(labels, failure):
    s = cat_decay(3)
    s.update_stream_batch(labels)
    s.compute_drift("JensenShannon")
    before = (s.export_snapshot(), s.export_baseline(), s.total_samples, s.n_bins)
    with pytest.raises(ValueError):
        if failure == "name":
            s.compute_drift_multiple_criteria(["KullbackLeibler", "Bogus"])
        elif failure == "batch":
            s.update_stream_batch([])
        else:
            s.reset_baseline([])
    assert (s.export_snapshot(), s.export_baseline(), s.total_samples, s.n_bins) == before


def test_reentrant_conversion_is_refused():
    s = cont_decay()

    class Sneaky:
        def __float__(self):
            return float(s.total_samples)

    with raises_with(RuntimeError, "Already mutably borrowed"):
        s.update_stream(Sneaky())
    assert s.total_samples == 0


CLASS_DOCS = {
    mv.PyStreamingContinuousDataDriftDecay: (
        "(baseline_data, quantile_type_str, decay_opt)",
        "Streaming continuous data drift detector in decay mode. Applies exponential\n"
        "decay to accumulated runtime bins on each drift computation, giving more weight\n"
        "to recent samples.",
    ),
    mv.PyStreamingContinuousDataDriftFlush: (
        "(baseline_data, quantile_type_str, flush_rate_opt, flush_cadence_opt)",
        "Streaming continuous data drift detector in flush mode. Accumulates runtime\n"
        "samples and resets accumulated bins on each flush.",
    ),
    mv.PyStreamingCategoricalDataDriftDecay: (
        "(baseline_data, half_life_opt)",
        "Streaming categorical data drift detector in decay mode. Applies exponential\n"
        "decay to accumulated label counts on each drift computation, giving more weight\n"
        "to recent samples.",
    ),
    mv.PyStreamingCategoricalDataDriftFlush: (
        "(baseline_data, flush_rate, flush_cadence)",
        "Streaming categorical data drift detector in flush mode. Accumulates runtime\n"
        "label counts and resets accumulated bins on each flush.",
    ),
}


@pytest.mark.parametrize("cls", list(CLASS_DOCS))
def test_streaming_class_surface(cls):
    signature, doc = CLASS_DOCS[cls]
    assert cls.__text_signature__ == signature and cls.__doc__ == doc
    flush = cls.__name__.endswith("Flush")
    cont = "Continuous" in cls.__name__
    assert hasattr(cls, "flush") == flush and hasattr(cls, "last_flush") == flush
    texts = {
        "reset_baseline": "Replace the baseline distribution with a new "
        + ("data slice" if cont else "set of labels") + " and clear the stream.",
        "update_stream_batch": f"Add a batch of runtime {'samples' if cont else 'labels'} to the stream buffer.",
        "update_stream": f"Add a single runtime {'sample' if cont else 'label'} to the stream buffer.",
        "n_bins": "Number of histogram bins." if cont else "Number of distinct label bins.",
        "export_snapshot": "Export the current stream histogram as a map of bin label to bin values."
        if cont else "Export the current stream label counts as a map of label to count.",
        "export_baseline": "Return the baseline as a normalized probability distribution (sums to 1.0)."
        if cont else "Return the baseline label frequencies as a normalized distribution.",
        "total_samples": "Total number of runtime samples accumulated since the last flush."
        if flush else "Effective sample count after decay weighting.",
        "compute_drift_multiple_criteria": "Compute multiple drift metrics in a single pass. Returns scores in the same\n"
        "order as `drift_types`." if flush else "Apply decay and compute multiple drift metrics in a single pass. Returns\n"
        "scores in the same order as `drift_types`.",
    }
    if flush:
        texts["flush"] = "Flush the stream, resetting accumulated runtime " + ("bins." if cont else "label counts.")
        texts["last_flush"] = "Unix timestamp (seconds) of the last flush."
    for name, text in texts.items():
        assert getattr(cls, name).__doc__ == text, name
    assert cls.reset_baseline.__text_signature__ == ("($self, baseline_data)" if cont else "($self, new_baseline)")
    assert cls.update_stream.__text_signature__ == "($self, runtime_example)"
    compute = cls.compute_drift.__doc__
    head = ("Compute a single drift metric against the current stream bins. Triggers a\n"
            "flush if the configured flush cadence or rate has been reached.") if flush else \
        "Apply decay to stream bins and compute a single drift metric."
    assert compute.startswith(head + "\n\n") and all(f'`"{m}"`' in compute for m in METRICS)
