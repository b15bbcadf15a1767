"""Why it changed: joint drift from exact moments, the bins behind a performance drop, and
estimated regression performance, side by side with nannyml where it does the same job.

    python benchmarks/bench_joint.py [--runs 100] [--rows 1000000] [--features 50]

1. CPU seconds of profiling `--features` continuous features x `--rows` rows with and without
   joint=True (medians of 3; target: at most 2x).
2. The flipped-correlation case (two features whose correlation goes from 0.8 to -0.8, every
   marginal unchanged), 2,000-row windows against a 10,000-row reference: how often morvane's
   Reconstruction and Covariance checks and nannyml's DataReconstructionDriftCalculator (its own
   threshold, mean +- 3 sd over reference chunks) find it, and how often each raises an alarm on
   unchanged windows; CPU seconds of each.
3. explain: how often an injected failing region (accuracy 0.85 -> 0.34 among 8% of rows) ranks
   first among the bins at 20,000 rows (target 95%), and how often an unchanged window fails no bin
   (target 99%).
4. Estimated regression MAE under covariate shift (errors whose spread grows with the prediction:
   the error model holds): relative error against the realised MAE (target 5%), interval coverage
   at alpha = 0.05, beside nannyml's DLE on the same data.

nannyml is optional (pip install --target peers nannyml; the directory is appended to sys.path):
its rows are skipped with a message when it is absent.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
import warnings

import numpy as np

os.environ.setdefault("NML_DISABLE_USAGE_LOGGING", "1")
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
PEERS = os.environ.get("MORVANE_PEERS", os.path.join(sys.prefix, "peers"))
if os.path.isdir(PEERS):
    sys.path.append(PEERS)  # after the environment's own packages: they win

import morvane as mv  # noqa: E402
from _timing import median_time  # noqa: E402


def nannyml():
    try:
        import nannyml as nml

        return nml
    except Exception as exc:  # absent, or not importable beside this environment's packages
        print(f"  (nannyml not available: {type(exc).__name__}: {exc}; its rows are skipped)")
        return None


def timing(rows, features):
    rng = np.random.default_rng(0)
    table = {f"x{i}": rng.standard_normal(rows) for i in range(features)}
    plain = median_time(lambda: mv.profile(table), repeats=3, warmup=0, clock=time.process_time)
    joint = median_time(lambda: mv.profile(table, joint=True), repeats=3, warmup=0, clock=time.process_time)
    ref = mv.profile(table, joint=True)
    window = median_time(lambda: mv.profile(table, like=ref), repeats=3, warmup=0, clock=time.process_time)
    plain_window = mv.profile(table)
    window_plain = median_time(lambda: mv.profile(table, like=plain_window), repeats=3, warmup=0,
                               clock=time.process_time)
    print(f"\n1. profile {features} features x {rows:,} rows, CPU seconds (median of 3)")
    print(f"  reference without joint {plain:8.2f} s   with joint {joint:8.2f} s   ratio {joint / plain:5.2f}x (target <= 2x)")
    print(f"  window    without joint {window_plain:8.2f} s   with joint {window:8.2f} s   ratio "
          f"{window / window_plain:5.2f}x")


def flipped(n, rho, rng, extra=3):
    a = rng.standard_normal(n)
    b = rho * a + np.sqrt(1 - rho * rho) * rng.standard_normal(n)
    out = {"a": a, "b": b}
    for i in range(extra):
        out[f"x{i}"] = rng.standard_normal(n)
    return out


def joint_drift(runs):
    rng = np.random.default_rng(1)
    reference_rows = flipped(10_000, 0.8, rng)
    ref = mv.profile(reference_rows, joint=True)
    found = {"unchanged": [0, 0, 0], "flipped": [0, 0, 0]}  # Reconstruction, Covariance, any marginal
    windows = {"unchanged": [flipped(2_000, 0.8, rng) for _ in range(runs)],
               "flipped": [flipped(2_000, -0.8, rng) for _ in range(runs)]}
    start = time.process_time()
    for case, tables in windows.items():
        for table in tables:
            report = mv.compare(ref, mv.profile(table, like=ref))
            failed = {c.metric for c in report.failures}
            for i, metric in enumerate(("Reconstruction", "Covariance", "Distribution")):
                found[case][i] += metric in failed
    ours = time.process_time() - start
    print(f"\n2. flipped correlation, 2,000-row windows, {runs} runs each, alarm rates")
    print(f"  {'':<32}{'unchanged':>10}{'flipped':>10}")
    for i, label in enumerate(("morvane Reconstruction", "morvane Covariance", "morvane marginal Distribution")):
        print(f"  {label:<32}{found['unchanged'][i] / runs:>10.1%}{found['flipped'][i] / runs:>10.1%}")
    print(f"  morvane CPU seconds (profile + compare, {2 * runs} windows): {ours:.2f}")
    nml = nannyml()
    if nml is None:
        return
    import pandas as pd

    chunk = 2_000
    reference = pd.DataFrame(reference_rows)
    columns = list(reference.columns)
    alarms = {"unchanged": 0, "flipped": 0}
    start = time.process_time()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        calc = nml.DataReconstructionDriftCalculator(column_names=columns, chunk_size=chunk).fit(reference)
        for case, tables in windows.items():
            analysis = pd.concat([pd.DataFrame(t) for t in tables], ignore_index=True)
            result = calc.calculate(analysis).filter(period="analysis").to_df()
            alerts = result[("reconstruction_error", "alert")].to_numpy()
            alarms[case] = int(alerts.sum())
    theirs = time.process_time() - start
    print(f"  {'nannyml DataReconstructionDrift':<32}{alarms['unchanged'] / runs:>10.1%}{alarms['flipped'] / runs:>10.1%}")
    print(f"  nannyml CPU seconds (fit + calculate, {2 * runs} chunks): {theirs:.2f}   ratio to morvane "
          f"{theirs / ours:.2f}x")


def classified(n, rng, broken=0.0):
    age = rng.uniform(18, 90, n)
    city = rng.choice(["Oslo", "Paris", "Rome"], n)
    income = rng.lognormal(10, 1, n)
    y = rng.random(n) < 0.4
    right = rng.random(n) < 0.85
    region = (city == "Rome") & (age > 70)
    right &= ~(region & (rng.random(n) < broken))
    return {"age": age, "city": city, "income": income, "y": y.astype(int), "p": np.where(right, y, ~y).astype(int)}


def explaining(runs):
    rng = np.random.default_rng(2)
    ref = mv.profile(classified(20_000, rng), target="y", prediction="p", task="binary", explain=True)
    first = clean = 0
    start = time.process_time()
    for _ in range(runs):
        found = mv.explain(ref, mv.profile(classified(20_000, rng, broken=0.6), like=ref), top=1)
        first += (found.iloc[0]["column"], found.iloc[0]["bin"]) == ("city", "Rome") and bool(found.iloc[0]["failed"])
        clean += not mv.explain(ref, mv.profile(classified(20_000, rng), like=ref), top=None)["failed"].any()
    seconds = time.process_time() - start
    print(f"\n3. explain at 20,000 rows, {runs} runs: the failing region ranked first and failed {first / runs:.1%} "
          f"(target 95%), unchanged windows failing no bin {clean / runs:.1%} (target 99%); "
          f"CPU {seconds / (2 * runs) * 1e3:.1f} ms a window")


def regression_rows(n, rng, shift=0.0):
    x = rng.normal(shift, 1.0, n)
    p = 2.0 * x
    return {"x": x, "p": p, "y": p + rng.normal(0.0, 0.5 + np.abs(x), n)}


def regression(runs):
    rng = np.random.default_rng(3)
    reference_rows = regression_rows(50_000, rng)
    ref = mv.profile(reference_rows, target="y", prediction="p", task="regression")
    errors, covered, windows = [], 0, []
    start = time.process_time()
    for i in range(runs):
        window = regression_rows(5_000, rng, shift=0.8 * i / max(runs - 1, 1))
        windows.append(window)
        report = mv.compare(ref, mv.profile({"x": window["x"], "p": window["p"]}, like=ref), alpha=0.05)
        mae = next(c for c in report.checks if c.metric == "MeanAbsoluteError")
        realised = np.abs(window["p"] - window["y"]).mean()
        errors.append(abs(mae.current - realised) / realised)
        covered += mae.interval[0] <= realised <= mae.interval[1]
    ours = time.process_time() - start
    print(f"\n4. estimated MAE, 5,000-row windows shifted 0 to 0.8 sd, {runs} runs")
    print(f"  morvane: median relative error {np.median(errors):.2%}, largest {max(errors):.2%} (target 5%); "
          f"95% interval coverage {covered / runs:.1%}; CPU {ours:.2f} s")
    nml = nannyml()
    if nml is None:
        return
    import pandas as pd

    reference = pd.DataFrame(reference_rows)
    analysis = pd.concat([pd.DataFrame(w) for w in windows], ignore_index=True)
    start = time.process_time()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        dle = nml.DLE(feature_column_names=["x"], y_pred="p", y_true="y", metrics=["mae"], chunk_size=5_000,
                      tune_hyperparameters=False).fit(reference)
        result = dle.estimate(analysis.drop(columns="y")).filter(period="analysis").to_df()
    theirs = time.process_time() - start
    estimates = result[("mae", "value")].to_numpy()
    realised = np.array([np.abs(w["p"] - w["y"]).mean() for w in windows])
    rel = np.abs(estimates[:len(realised)] - realised) / realised
    print(f"  nannyml DLE: median relative error {np.median(rel):.2%}, largest {rel.max():.2%}; CPU {theirs:.2f} s "
          f"(ratio to morvane {theirs / ours:.2f}x)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--features", type=int, default=50)
    parser.add_argument("--parts", default="timing,joint,explain,regression")
    args = parser.parse_args()
    parts = args.parts.split(",")
    if "timing" in parts:
        timing(args.rows, args.features)
    if "joint" in parts:
        joint_drift(args.runs)
    if "explain" in parts:
        explaining(args.runs)
    if "regression" in parts:
        regression(args.runs)


if __name__ == "__main__":
    main()
