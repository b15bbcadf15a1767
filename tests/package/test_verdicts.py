"""Verdicts that fit real feeds: seasons, every period listed, cumulative evidence, floors, weights,
the model's outputs, calibration, and estimates marked and checked in hindsight."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morvane as mv

DAY = np.timedelta64(86_400 * 10**9, "ns")
MONDAY = np.datetime64("2024-01-01", "ns")


@pytest.fixture
def rng():
    return np.random.default_rng(28)


def weekly(rng, days, rows=600, start=MONDAY, shift=0.0, weekends=1.0):
    """x is `weekends` sd higher on Saturdays and Sundays."""
    ts = start + np.repeat(np.arange(days), rows) * DAY + rng.integers(0, 86_400 * 10**9, days * rows).astype(
        "timedelta64[ns]")
    weekend = ((ts.astype("datetime64[D]").astype(np.int64) + 3) % 7) >= 5
    return {"x": rng.normal(weekends * weekend + shift, 1.0), "ts": ts}


def scored(rng, n, flip=0.0, prior=0.5, shift=0.0):
    base = rng.beta(4 * prior, 4 * (1 - prior), n)
    label = (rng.random(n) < base).astype(np.int64)
    flipped = rng.random(n) < flip
    label[flipped] = 1 - label[flipped]
    return {"x": rng.normal(size=n), "score": np.clip(base + shift, 0, 1), "label": label}


def failed(report, family=None, metric=None, column=None):
    return [c for c in report.checks if c.failed and (family is None or c.family == family)
            and (metric is None or c.metric == metric) and (column is None or c.column == column)]


def test_seasons_compare_a_day_with_its_weekday_and_keep_exact_state(rng):
    reference = mv.profile(weekly(rng, 28), timestamp="ts", seasons="weekday")
    plain = mv.profile(weekly(rng, 28), timestamp="ts")
    assert reference.seasons == "weekday" and plain.seasons is None
    days = weekly(rng, 14, start=MONDAY + 28 * DAY)
    for ref, most in ((reference, 2), (plain, None)):
        h = mv.History(ref, "1D")
        h.update(days)
        n_failed = sum(not r.passed for _, _, r in h.timeline().reports)
        assert n_failed <= most if most is not None else n_failed == 14
    # A shift on one Saturday is found against Saturdays, and a week is compared with its own mix.
    saturday = weekly(rng, 1, start=MONDAY + 33 * DAY, shift=0.4)
    assert failed(mv.compare(reference, mv.profile(saturday, like=reference)), "drift")
    untimed = mv.profile({"x": saturday["x"]}, like=reference)
    assert untimed.n_rows == 600 and not any(untimed.extra("seasons"))
    week = mv.compare(reference, mv.profile(weekly(rng, 7), like=reference))
    assert week.passed and "mixed" in week.tables["seasons"][0]["seasons"]
    # Profiles of a split table merge into the profile of the whole, season by season.
    table = weekly(rng, 10)
    whole = mv.profile(table, like=reference)
    half = {k: v[:3_000] for k, v in table.items()}, {k: v[3_000:] for k, v in table.items()}
    merged = mv.profile(half[0], like=reference).merge(mv.profile(half[1], like=reference))
    assert merged == whole and merged.to_bytes() == whole.to_bytes()
    again = mv.Profile.from_bytes(whole.to_bytes())
    assert again.seasons == "weekday" and all(a == b for a, b in zip(again.extra("seasons"), whole.extra("seasons")))
    assert sum(p.n_rows for p in whole.extra("seasons") if p is not None) == whole.n_rows


def test_seasons_follow_the_time_zone_and_refuse_bad_options(rng):
    late_sunday = {"x": np.zeros(3), "ts": np.array(["2024-01-07T23:30"] * 3, dtype="datetime64[ns]")}
    utc = mv.profile(late_sunday, timestamp="ts", seasons="weekday")
    oslo = mv.profile(late_sunday, timestamp="ts", seasons="weekday", tz="Europe/Oslo")
    assert utc.extra("seasons")[6].n_rows == 3 and oslo.extra("seasons")[0].n_rows == 3
    hours = mv.profile(late_sunday, timestamp="ts", seasons="weekday-hour", tz="Europe/Oslo")
    assert hours.extra("seasons")[0].n_rows == 3  # Monday 00h in Oslo
    for options in (dict(seasons="month", timestamp="ts"), dict(seasons="hour"), dict(tz="Europe/Oslo", timestamp="ts"),
                    dict(seasons="hour", tz="Mars/Olympus", timestamp="ts")):
        with pytest.raises(ValueError):
            mv.profile(late_sunday, **options)


def test_timeline_lists_every_period_and_a_stopped_feed_fails(rng):
    reference = mv.profile(weekly(rng, 7, weekends=0.0), timestamp="ts")
    h = mv.History(reference, "1D")
    rows = weekly(rng, 1, weekends=0.0)
    h.update(rows)
    h.update({"x": rows["x"], "ts": rows["ts"] + 3 * DAY})
    tl = h.timeline()
    assert [r.passed for _, _, r in tl.reports] == [True, False, False, True]
    assert failed(tl.reports[1][2]) == failed(tl.reports[1][2], "data", "Rows")
    tl = h.timeline(start=MONDAY - DAY, end=MONDAY + 6 * DAY)
    assert len(tl) == 7 and tl.reports[0][0] == MONDAY - DAY and sum(r.passed for _, _, r in tl.reports) == 2
    frame = tl.to_pandas()
    assert set(frame[frame.metric == "Rows"].failed) == {True, False} and "no rows" in tl.to_html()


def test_cumulative_checks_accumulate_a_persistent_shift(rng):
    reference = mv.profile({"x": rng.normal(size=40_000), "ts": MONDAY + np.zeros(40_000, "timedelta64[ns]")},
                           timestamp="ts")
    h = mv.History(reference, "1D")
    days = 30
    h.update({"x": rng.normal(0.05, 1.0, days * 1_000), "ts": MONDAY + np.repeat(np.arange(days), 1_000) * DAY})
    plain = h.timeline()
    assert not any(c.family == "cumulative" for _, _, r in plain.reports for c in r.checks)
    tl = h.timeline(cumulative=365)
    cumulative = [c for _, _, r in tl.reports for c in r.checks if c.family == "cumulative"]
    assert {(c.column, c.metric) for c in cumulative} == {("x", "Distribution")}
    assert cumulative[-1].failed and not cumulative[0].failed
    assert cumulative[0].details["horizon"] == 365 and cumulative[0].details["alpha"] <= 0.01 / 365
    unchanged = mv.History(reference, "1D")
    unchanged.update({"x": rng.normal(size=days * 1_000), "ts": MONDAY + np.repeat(np.arange(days), 1_000) * DAY})
    assert unchanged.timeline(cumulative=True).passed


def test_floors_are_tested_in_their_units(rng):
    n = 400_000
    reference = mv.profile({"x": rng.normal(size=n), "m": np.where(rng.random(n) < 0.02, np.nan, 1.0)})
    small = mv.profile({"x": rng.normal(0.03, 1.0, n), "m": np.where(rng.random(n) < 0.025, np.nan, 1.0)},
                       like=reference)
    assert failed(mv.compare(reference, small), "drift") and failed(mv.compare(reference, small), metric="Missing")
    floored = mv.compare(reference, small, min_effect={"drift": 0.1, "Missing": 0.01})
    assert floored.passed
    drift = [c for c in floored.checks if c.family == "drift"][0]
    assert drift.details["distance"] == "TotalVariation" and drift.interval[0] <= drift.change <= drift.interval[1]
    big = mv.profile({"x": rng.normal(0.5, 1.0, n), "m": np.where(rng.random(n) < 0.05, np.nan, 1.0)}, like=reference)
    assert failed(mv.compare(reference, big, min_effect={"drift": 0.1, "Missing": 0.01}), "drift", column="x")
    with pytest.raises(ValueError):
        mv.compare(reference, big, min_effect={"Drift": 0.1})
    # Performance in its own units: a 2-point drop of accuracy matters only below a floor of 2 points.
    ref = mv.profile(scored(rng, 200_000), target="label", score="score", task="binary")
    cur = mv.profile(scored(rng, 200_000, flip=0.04), like=ref)
    assert failed(mv.compare(ref, cur, checks=["Accuracy"]))
    assert not failed(mv.compare(ref, cur, checks=["Accuracy"], min_effect={"Accuracy": 0.05}))


def test_weights_share_the_drift_alpha_and_every_check_states_its_level(rng):
    columns = {name: rng.normal(size=3_000) for name in "abcd"}
    reference = mv.profile(columns)
    current = mv.profile({name: rng.normal(size=3_000) for name in "abcd"}, like=reference)
    report = mv.compare(reference, current, alpha=0.01, weights={"a": 6.0, "b": 2.0})
    levels = {c.column: c.details["alpha"] for c in report.checks if c.family == "drift"}
    assert levels["a"] == pytest.approx(3 * levels["b"]) and levels["c"] == pytest.approx(levels["d"])
    assert sum(levels.values()) <= 0.01 and all("alpha" in c.details for c in report.checks)
    with pytest.raises(ValueError):
        mv.compare(reference, current, weights={"a": -1.0})


@pytest.mark.parametrize("scenario, column", [(dict(shift=0.08), "score"), (dict(prior=0.6), "label")])
def test_outputs_and_target_drift_with_or_without_labels(rng, scenario, column):
    reference = mv.profile(scored(rng, 20_000), target="label", score="score", task="binary")
    window = scored(rng, 5_000, **scenario)
    assert failed(mv.compare(reference, mv.profile(window, like=reference)), "drift", column=column)
    unlabeled = mv.compare(reference, mv.profile({k: window[k] for k in ("x", "score")}, like=reference))
    assert {c.column for c in failed(unlabeled, "drift")} >= {"score"}
    same = mv.compare(reference, mv.profile(scored(rng, 5_000), like=reference))
    assert {c.column for c in same.checks if c.family == "drift"} == {"x", "score", "decision", "label"}


def test_calibration_fails_under_concept_drift_and_hindsight_reports_the_estimate(rng):
    reference = mv.profile(scored(rng, 20_000) | {"ts": MONDAY + np.zeros(20_000, "timedelta64[ns]")},
                           target="label", score="score", task="binary", timestamp="ts")
    day = scored(rng, 5_000, flip=0.2) | {"ts": MONDAY + np.zeros(5_000, "timedelta64[ns]")}
    assert failed(mv.compare(reference, mv.profile(day, like=reference)), metric="Calibration")
    assert not failed(mv.compare(reference, mv.profile(scored(rng, 5_000) | {"ts": day["ts"]}, like=reference)),
                      metric="Calibration")
    h = mv.History(reference, "1D")
    h.update({k: v for k, v in day.items() if k != "label"})
    before = h.timeline()
    assert before.to_dict()["periods"][0]["estimated"] and "ESTIMATED" in before.to_html()
    assert any("assuming" in note for note in before.reports[0][2].notes())
    h.update(day, replace=True)
    report = h.timeline().reports[0][2]
    accuracy = [c for c in report.checks if c.metric == "Accuracy"][0]
    assert accuracy.details["estimate_held"] is False and "missed" in " ".join(report.notes())


def test_unseen_fires_on_new_codes_when_each_known_code_was_seen_twice(rng):
    codes = np.array([f"c{i}" for i in range(1_000)], dtype=object)
    reference = mv.profile({"c": np.repeat(codes, 2)})
    new = mv.profile({"c": np.array([f"n{i}" for i in range(500)], dtype=object)}, like=reference)
    assert failed(mv.compare(reference, new), "data", "Unseen")


@given(st.dictionaries(st.integers(0, 20), st.tuples(st.floats(0, 1), st.floats(0.01, 1)), min_size=1, max_size=10),
       st.floats(0.001, 0.2))
@settings(max_examples=200, deadline=None)
def test_each_level_is_the_one_weighted_holm_decides_at(items, alpha):
    """A check fails exactly when its raw p-value is at most the level it reports."""
    from morvane.comparing import checks, significance

    p_values = {k: v[0] for k, v in items.items()}
    shares = {k: v[1] for k, v in items.items()}
    adjusted = significance.weighted_holm(p_values, shares)
    levels = checks.levels(p_values, shares, alpha)
    for k, p in p_values.items():
        assert (adjusted[k] <= alpha) == (p <= levels[k]) or abs(p - levels[k]) < 1e-12 * max(1.0, p)


@pytest.mark.parametrize("shift", [0.1, 0.3])
def test_the_distance_interval_covers_the_population_distance(rng, shift):
    """Away from zero, the total variation distance's interval holds the populations' distance on the
    same bins about 1 - alpha of the time (alpha = 0.1, 200 windows)."""
    from scipy.stats import norm

    from morvane.comparing.drift import total_variation

    edges = np.r_[-np.inf, np.linspace(-2, 2, 9), np.inf]
    p, q = np.diff(norm.cdf(edges)), np.diff(norm.cdf(edges - shift))
    truth = 0.5 * np.abs(p - q).sum()
    covered = 0
    for _ in range(200):
        d, se = total_variation(rng.multinomial(20_000, p), rng.multinomial(20_000, q))
        covered += abs(d - truth) <= 1.645 * se + 1e-12
    assert covered >= 165


def test_multiclass_calibration_fails_when_outcomes_stop_following_scores(rng):
    n = 6_000
    p = rng.dirichlet([1, 1, 1], n)
    y = (rng.random(n)[:, None] > np.cumsum(p, axis=1)).sum(axis=1)
    table = {"a": p[:, 0], "b": p[:, 1], "c": p[:, 2], "y": y}
    reference = mv.profile(table, target="y", score={0: "a", 1: "b", 2: "c"}, task="multiclass")
    assert not failed(mv.compare(reference, mv.profile(table, like=reference)), metric="Calibration")
    shuffled = dict(table, y=np.where(rng.random(n) < 0.2, rng.integers(0, 3, n), y))
    assert failed(mv.compare(reference, mv.profile(shuffled, like=reference)), metric="Calibration")
