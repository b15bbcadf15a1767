"""NannyML's drift alerts beside morvane's on two years of daily data, 1,500 rows a day:

- a weekly pattern, unchanged (x is 1 sd higher and the region mix differs at weekends), against a
  reference of four whole weeks: the days each library alerts on (false alarms);
- a slow shift, x 0.06 sd higher from the first day on: the first day each alerts, and the share of
  days it alerts on.

    pip install nannyml    # the peer, for this benchmark only
    python benchmarks/peer_nannyml_seasons.py [--days 365] [--seed 1]

NannyML: `UnivariateDriftCalculator` with daily chunks, Kolmogorov-Smirnov and Jensen-Shannon on x,
chi-square and Jensen-Shannon on the region, its default thresholds. morvane: each day's report at
alpha = 0.01 (its whole report, every family), with `seasons="weekday"` or without, and the
cumulative checks (`cumulative=True`: the run at alpha)."""

import argparse
import os
import sys
import time

import numpy as np
import pandas as pd

os.environ.setdefault("NML_DISABLE_USAGE_LOGGING", "1")  # the peer reports its use over the network otherwise

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from calibration_verdicts import DAY, START, _weekly  # noqa: E402

import morvane as mv  # noqa: E402


def shifted(days, rows, rng, start, shift):
    ts = start + np.repeat(np.arange(days), rows) * DAY + rng.integers(0, 86_400 * 10**9, days * rows).astype(
        "timedelta64[ns]")
    return {"x": rng.normal(shift, 1.0, days * rows),
            "region": np.array(["north", "south", "west"], dtype=object)[rng.choice(3, days * rows, p=[0.5, 0.3, 0.2])],
            "ts": ts}


def nannyml_days(reference, analysis):
    """Days NannyML alerts on (any method, any column), in day order."""
    import nannyml as nml

    calc = nml.UnivariateDriftCalculator(column_names=["x", "region"], timestamp_column_name="ts", chunk_period="D",
                                         continuous_methods=["kolmogorov_smirnov", "jensen_shannon"],
                                         categorical_methods=["chi2", "jensen_shannon"])
    calc.fit(pd.DataFrame(reference))
    result = calc.calculate(pd.DataFrame(analysis)).filter(period="analysis").to_df()
    alerts = result.loc[:, [c for c in result.columns if c[-1] == "alert"]].any(axis=1).to_numpy()
    return alerts


def morvane_days(reference_table, analysis, seasons):
    options = dict(timestamp="ts", seasons=seasons) if seasons else dict(timestamp="ts")
    h = mv.History(mv.profile(reference_table, **options), "1D")
    h.update(analysis)
    daily = np.array([not r.passed for _, _, r in h.timeline(alpha=0.01).reports])
    tl = h.timeline(alpha=0.01, cumulative=True, checks=["drift"])
    cumulative = np.array([any(c.failed and c.family == "cumulative" for c in r.checks) for _, _, r in tl.reports])
    return daily, cumulative


def first(days):
    hits = np.flatnonzero(days)
    return "never" if len(hits) == 0 else f"day {hits[0] + 1}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=int, default=365)
    parser.add_argument("--rows", type=int, default=1_500)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    print(f"{'year':<26} {'library':<34} {'days alerted':>13} {'first alert':>12} {'CPU s':>7}")
    years = {
        "weekly pattern, unchanged": (_weekly(28, args.rows, rng),
                                      _weekly(args.days, args.rows, rng, start=START + 28 * DAY)),
        "slow shift 0.06 sd": (shifted(28, args.rows, rng, START, 0.0),
                               shifted(args.days, args.rows, rng, START + 28 * DAY, 0.06)),
    }
    for year, (reference, analysis) in years.items():
        start = time.process_time()
        alerts = nannyml_days(reference, analysis)
        spent = time.process_time() - start
        print(f"{year:<26} {'nannyml (KS, JS, chi2; defaults)':<34} {alerts.sum():>6} of {len(alerts):<4} "
              f"{first(alerts):>12} {spent:>7.1f}")
        for seasons in ("weekday", None):
            start = time.process_time()
            daily, cumulative = morvane_days(reference, analysis, seasons)
            spent = time.process_time() - start
            name = f"morvane, seasons={seasons!r}"
            print(f"{year:<26} {name + ', each day':<34} {daily.sum():>6} of {len(daily):<4} {first(daily):>12} "
                  f"{spent:>7.1f}")
            print(f"{year:<26} {name + ', cumulative':<34} {cumulative.sum():>6} of {len(cumulative):<4} "
                  f"{first(cumulative):>12}")


if __name__ == "__main__":
    main()
