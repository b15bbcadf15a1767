"""Rows of bench_calibration.py for verdicts over time and verdicts that matter: `Unseen` on every
kind of reference vocabulary, seasons, cumulative checks, floors (`min_effect`), `Calibration`,
and the drift of the model's outputs. Rows are profiled end to end through `mv.profile`, `History`
and `compare`; each function takes the number of runs and a NumPy generator and prints its rows
with `row(label, rows, failed, runs, families, target, at_most)`."""

import numpy as np

import morvane as mv

DAY = np.timedelta64(86_400 * 10**9, "ns")
START = np.datetime64("2024-01-01", "ns")  # a Monday


def unseen(runs, rng, row):
    """`Unseen` alone on vocabularies whose values the reference saw about twice, once, or thousands of
    times: unchanged windows (false alarms at the report's alpha, the check's own level), and a
    window made wholly of new values (found)."""
    for label, codes, m, n in (("seen twice", 1_000, 2_000, 2_000), ("seen once", 5_000, 5_000, 500),
                               ("seen thousands of times", 10, 20_000, 200), ("seen twice, big", 100_000, 200_000,
                                                                              5_000)):
        false = found = 0
        for _ in range(runs):
            draw = lambda k: {"c": np.char.add("v", rng.integers(0, codes, k).astype(str)).astype(object)}  # noqa: E731
            reference = mv.profile(draw(m), categorical=["c"])
            same = mv.compare(reference, mv.profile(draw(n), like=reference), checks=["Unseen"])
            false += not same.passed
            new = {"c": np.char.add("w", rng.integers(0, codes, n).astype(str)).astype(object)}
            found += not mv.compare(reference, mv.profile(new, like=reference), checks=["Unseen"]).passed
        row(f"Unseen unchanged, {label}", n, false, runs, {}, 0.01, True)
        row(f"Unseen all new, {label}", n, found, runs, {}, 1.0, False)


def _weekly(days, rows_per_day, rng, *, start=START, shift=None):
    """`days` days of `rows_per_day` rows: x is 1 sd higher at weekends (Saturday and Sunday), plus
    `shift(day)` sd; a region of three values whose mix changes at weekends too."""
    out = {"x": [], "region": [], "ts": []}
    for d in range(days):
        when = start + d * DAY
        weekend = ((when.astype("datetime64[D]").astype(np.int64) + 3) % 7) >= 5
        extra = 0.0 if shift is None else shift(d)
        out["x"].append(rng.normal((1.0 if weekend else 0.0) + extra, 1.0, rows_per_day))
        mix = [0.2, 0.3, 0.5] if weekend else [0.5, 0.3, 0.2]
        out["region"].append(np.array(["north", "south", "west"], dtype=object)[rng.choice(3, rows_per_day, p=mix)])
        out["ts"].append(when + rng.integers(0, 86_400 * 10**9, rows_per_day).astype("timedelta64[ns]"))
    return {k: np.concatenate(v) for k, v in out.items()}


def seasons(runs, rng, row, rows_per_day=1_500, days=365):
    """A weekly pattern against a reference of four whole weeks with seasons="weekday": the share of
    unchanged days that fail over years of days (each day at alpha), without seasons for contrast,
    and a 0.4 sd shift on one day."""
    years = max(1, runs // 100)
    plain = seasonal = total = 0
    for _ in range(years):
        table = _weekly(28, rows_per_day, rng)
        with_seasons = mv.profile(table, timestamp="ts", seasons="weekday")
        without = mv.profile(table, timestamp="ts")
        year = _weekly(days, rows_per_day, rng, start=START + 28 * DAY)
        for reference, counter in ((with_seasons, "seasonal"), (without, "plain")):
            h = mv.History(reference, "1D")
            h.update(year)
            failed = sum(not r.passed for _, _, r in h.timeline(alpha=0.01).reports)
            if counter == "seasonal":
                seasonal += failed
            else:
                plain += failed
        total += days
    row("weekly, seasons=weekday", rows_per_day, seasonal, total, {}, 0.01, True)
    row("weekly, no seasons", rows_per_day, plain, total, {}, 1.0, False)
    table = _weekly(28, rows_per_day, rng)
    reference = mv.profile(table, timestamp="ts", seasons="weekday")
    found = 0
    for i in range(runs):
        day = _weekly(1, rows_per_day, rng, start=START + (28 + i % 7) * DAY, shift=lambda d: 0.4)
        found += not mv.compare(reference, mv.profile(day, like=reference)).passed
    row("weekly, one day 0.4 sd", rows_per_day, found, runs, {}, 0.95, False)


def cumulative(runs, rng, row, rows_per_day=1_500, days=365):
    """Cumulative checks over runs of `days` daily periods: unchanged runs raising any cumulative false
    alarm, and a 0.06 sd shift from the first day found within 30 days."""
    options = dict(timestamp="ts")

    def year(n_days, shift):
        x = rng.normal(shift, 1.0, (n_days, rows_per_day)).ravel()
        ts = START + np.repeat(np.arange(n_days), rows_per_day) * DAY
        return {"x": x, "y": rng.normal(0.0, 1.0, n_days * rows_per_day), "ts": ts}

    false = 0
    for _ in range(runs):
        reference = mv.profile(year(28, 0.0), **options)
        h = mv.History(reference, "1D")
        h.update(year(days, 0.0))
        tl = h.timeline(alpha=0.01, cumulative=True, checks=["drift"])
        false += any(c.failed for _, _, r in tl.reports for c in r.checks if c.family == "cumulative")
    row(f"cumulative, unchanged {days} days", rows_per_day, false, runs, {}, 0.01, True)
    found = 0
    for _ in range(runs):
        reference = mv.profile(year(28, 0.0), **options)
        h = mv.History(reference, "1D")
        h.update(year(30, 0.06))
        tl = h.timeline(alpha=0.01, cumulative=days, checks=["drift"])
        found += any(c.failed for _, _, r in tl.reports for c in r.checks if c.family == "cumulative")
    row("cumulative, 0.06 sd in 30 days", rows_per_day, found, runs, {}, 0.90, False)


def floors(runs, rng, row, n=1_000_000):
    """Windows of a million rows with {"drift": 0.1}: unchanged and 0.02 sd pass, 0.5 sd fails."""
    reference = mv.profile({"x": rng.normal(0.0, 1.0, n), "c": rng.choice(np.array(["a", "b", "c"], dtype=object), n)})
    for label, shift, target, at_most in (("unchanged", 0.0, 0.01, True), ("0.02 sd", 0.02, 0.01, True),
                                          ("0.5 sd", 0.5, 1.0, False)):
        failed = 0
        for _ in range(runs):
            window = {"x": rng.normal(shift, 1.0, n), "c": rng.choice(np.array(["a", "b", "c"], dtype=object), n)}
            report = mv.compare(reference, mv.profile(window, like=reference), checks=["drift"],
                                min_effect={"drift": 0.1})
            failed += not report.passed
        row(f"floor drift 0.1, {label}", n, failed, runs, {}, target, at_most)


def _scored(n, rng, flip=0.0, prior=0.5, shift=0.0):
    """A binary task whose score is calibrated: label ~ Bernoulli(score); `flip` of the labels
    flipped (concept drift), `prior` the share of positives (through the score's distribution),
    `shift` moves the scores without touching x."""
    base = rng.beta(2.0 * prior / 0.5, 2.0 * (1 - prior) / 0.5, n)
    score = np.clip(base + shift, 0.0, 1.0)
    label = (rng.random(n) < base).astype(np.int64)
    flipped = rng.random(n) < flip
    label[flipped] = 1 - label[flipped]
    return {"x": rng.normal(0.0, 1.0, n), "score": score, "label": label}


def calibration_and_outputs(runs, rng, row, n=5_000):
    """`Calibration` under concept drift (10% of labels flipped) and unchanged; the score's drift with
    the inputs unchanged; a class-prior change of 10 points."""
    reference = mv.profile(_scored(50_000, rng), target="label", score="score", task="binary")
    for label, scenario, metric, column, target, at_most in (
            ("Calibration, 10% flipped", dict(flip=0.1), "Calibration", None, 0.95, False),
            ("Calibration, unchanged", {}, "Calibration", None, 0.01, True),
            ("score drift, x unchanged", dict(shift=0.05), "Distribution", "score", 0.95, False),
            ("class prior 50% -> 60%", dict(prior=0.6), "Distribution", "label", 0.95, False)):
        failed = 0
        for _ in range(runs):
            report = mv.compare(reference, mv.profile(_scored(n, rng, **scenario), like=reference))
            failed += any(c.failed for c in report.checks if c.metric == metric and c.column == column)
        row(label, n, failed, runs, {}, target, at_most)
