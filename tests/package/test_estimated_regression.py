"""Estimated regression performance of windows without targets: MAE, MSE and RMSE from the
reference's errors per prediction bin, against the realised values under covariate shift, and
replaced by measurements once the targets are there."""

import numpy as np
import pytest

import morvane as mv

ESTIMATED = {"MeanAbsoluteError", "MeanSquaredError", "RootMeanSquaredError"}


def rows(n, rng, shift=0.0):
    """Errors whose spread grows with the prediction: the error model holds under any shift."""
    x = rng.normal(shift, 1.0, n)
    p = 2.0 * x
    y = p + rng.normal(0.0, 0.5 + np.abs(x), n)
    return {"x": x, "p": p, "y": y}


@pytest.mark.parametrize("shift", [0.0, 0.8])
def test_estimates_cover_the_realised_metrics(shift):
    rng = np.random.default_rng(8)
    ref = mv.profile(rows(50_000, rng), target="y", prediction="p", task="regression")
    window = rows(20_000, rng, shift)
    unlabeled = mv.profile({k: v for k, v in window.items() if k != "y"}, like=ref)
    report = mv.compare(ref, unlabeled)
    found = {c.metric: c for c in report.checks if c.family == "performance"}
    assert set(found) == ESTIMATED and all(c.details["estimated"] for c in found.values())
    e = window["p"] - window["y"]
    realised = {"MeanAbsoluteError": np.abs(e).mean(), "MeanSquaredError": (e ** 2).mean(),
                "RootMeanSquaredError": np.sqrt((e ** 2).mean())}
    for metric, value in realised.items():
        c = found[metric]
        assert c.current == pytest.approx(value, rel=0.05)
        assert c.interval[0] <= value <= c.interval[1]
    assert found["MeanAbsoluteError"].failed == (shift > 0)  # the errors grow with the shift
    # The targets arrive: measured checks replace the estimates.
    measured = mv.compare(ref, mv.profile(window, like=ref))
    assert not any(c.details.get("estimated") for c in measured.checks)


def test_estimate_is_the_mix_of_reference_bins():
    rng = np.random.default_rng(9)
    table = rows(5_000, rng)
    ref = mv.profile(table, target="y", prediction="p", task="regression")
    edges = ref.layout.extra("prediction_bins").edges
    window = rows(1_000, rng, 0.5)
    cur = mv.profile({"x": window["x"], "p": window["p"]}, like=ref)
    slot_r = np.searchsorted(edges, table["p"], side="right")
    slot_w = np.searchsorted(edges, window["p"], side="right")
    e = np.abs(table["p"] - table["y"])
    means = np.array([e[slot_r == b].mean() if (slot_r == b).any() else np.nan for b in range(len(edges) + 1)])
    have = np.flatnonzero(~np.isnan(means))  # empty outer bins: the nearest bin's errors
    means = means[have[np.abs(np.arange(len(means))[:, None] - have).argmin(axis=1)]]
    expected = means[slot_w].mean()
    mae = next(c for c in mv.compare(ref, cur).checks if c.metric == "MeanAbsoluteError")
    assert mae.current == pytest.approx(expected, rel=1e-9)
