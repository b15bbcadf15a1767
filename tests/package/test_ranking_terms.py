"""The ranking metrics' variances in closed form against resampling, computed only for the checks
asked, and the reference's terms computed once for every window compared with it."""

import gc

import numpy as np
import pytest

import morvane as mv
from morvane.comparing import cache, performance, ranking

EDGES = ranking.score_edges(0.5)


def histograms(rng, n, prevalence, separation):
    y = rng.random(n) < prevalence
    s = 1.0 / (1.0 + np.exp(-rng.normal(separation * y, 1.0)))
    counts = lambda v: np.bincount(np.searchsorted(EDGES, v, side="right") - 1, minlength=len(EDGES))  # noqa: E731
    return counts(s[y]), counts(s[~y])


# (rows, prevalence, separation, the closed form's ratio to resampling): within 10% from about 20
# positives making 5% of the rows up; 15-20% low when 30-40 positives are 2% of the rows (the metric's
# curvature in the positives' count, which a first-order formula leaves out).
ACCURACY = [(60, 0.5, 1.0, (0.9, 1.1)), (200, 0.1, 1.0, (0.9, 1.1)), (1_000, 0.05, 1.5, (0.9, 1.1)),
            (5_000, 0.3, 0.5, (0.9, 1.1)), (20_000, 0.5, 2.0, (0.9, 1.1)), (2_000, 0.02, 1.0, (0.75, 0.95))]


@pytest.mark.parametrize("n, prevalence, separation, ratio", ACCURACY)
def test_average_precision_variance_against_resampling(n, prevalence, separation, ratio):
    # The delta method against 4,000 resampled windows (their own spread: about 2% of the variance).
    pos, neg = histograms(np.random.default_rng(n), n, prevalence, separation)
    closed = ranking.average_precision_variance(pos, neg)
    drawn = ranking.bootstrap_variance(ranking.average_precision_many, pos, neg, draws=4_000, seed=1)
    assert ratio[0] <= closed / drawn <= ratio[1]


def _scored(rng, n, noise=1.0):
    signal = rng.normal(size=n)
    y = (rng.random(n) < 1.0 / (1.0 + np.exp(-signal))).astype(np.int64)
    return {"x": signal, "y": y, "s": 1.0 / (1.0 + np.exp(-(signal + rng.normal(0.0, noise, n))))}


def test_ranking_terms_only_for_the_checks_asked(monkeypatch):
    rng = np.random.default_rng(3)
    reference = mv.profile(_scored(rng, 4_000), target="y", prediction="s", task="binary")
    current = mv.profile(_scored(rng, 1_000), like=reference)

    def refused(*args, **kwargs):
        raise AssertionError("computed though not asked")

    monkeypatch.setattr(ranking, "roc_auc", refused)
    monkeypatch.setattr(ranking, "average_precision", refused)
    assert {c.metric for c in mv.compare(reference, current, checks=["Accuracy"]).checks} == {"Accuracy"}
    monkeypatch.setattr(performance, "checks", refused)
    assert {c.metric for c in mv.compare(reference, current, checks=["Distribution"]).checks} == {"Distribution"}


def test_the_reference_terms_once_for_every_window_and_segment_then_released(monkeypatch):
    rng = np.random.default_rng(4)
    rows = _scored(rng, 6_000)
    rows["g"] = np.array(["a", "b"], dtype=object)[rng.integers(0, 2, 6_000)]
    reference = mv.profile(rows, target="y", prediction="s", task="binary", segments=["g"])
    windows = []
    for _ in range(3):
        w = _scored(rng, 1_000)
        w["g"] = np.array(["a", "b"], dtype=object)[rng.integers(0, 2, 1_000)]
        windows.append(mv.profile(w, like=reference))
    counted = []
    original = ranking.SIDES["AveragePrecision"]
    monkeypatch.setitem(ranking.SIDES, "AveragePrecision", lambda stats: counted.append(1) or original(stats))
    first = [mv.compare(reference, w) for w in windows]
    # Each window's whole table and 2 segments (a, b; "other" has no rows) once, the reference's once.
    assert len(counted) == 3 * 3 + 3
    again = mv.compare(reference, windows[0])
    assert len(counted) == 3 * 3 + 3 and again.to_dict() == first[0].to_dict()
    kept = len(cache._TERMS)
    del reference, windows, first, again
    gc.collect()
    assert len(cache._TERMS) <= kept - 12
