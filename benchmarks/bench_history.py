"""A year of daily periods through a history, and nannyml's chunked calculators over the same periods.

    python benchmarks/bench_history.py [--days 365] [--rows 10000] [--features 20]
        [--peer-python /path/to/venv-with-nannyml/bin/python]

Data: `--days` periods of `--rows` rows, `--features` continuous features, a binary task with scores,
a segment column of three values (`segments=`: each period keeps the whole table's statistics and
each segment's), event times spread over each day. Days 120-149 shift one
feature, days 250-269 degrade the model, days 300-309 move the segment mix.

morvane: `History.update` of one day's pandas DataFrame at a time into a persistent history (SQLite
file), against `mv.profile(day, like=reference)` alone (the counting floor) and an in-memory
history; one update of 30 shuffled days (rows split by period); `window()` of random ranges;
`timeline()` of every period (also with two worker processes); the dashboard's size and the time
headless Chromium takes to open it (beside an empty page). Targets: update >= 1,000,000 rows/s, window < 50 ms, timeline < 5 s,
dashboard < 5 MB, Chromium < 2 s.

nannyml (a peer, never a dependency: run with a Python that has it, e.g. a separate venv) fits its
univariate drift calculator (Kolmogorov-Smirnov and chi-squared) and its realized-performance
calculator (ROC AUC, F1, accuracy) on the reference and calculates them on the same rows chunked by
day. The peer part imports neither morvane nor anything of ours: `--peer` runs it alone.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

START = np.datetime64("2024-01-01", "ns")
DAY_NS = 86_400 * 10**9


def day_frame(day, rows, features, seed=7):
    """One day's rows as a pandas DataFrame (day -1: the reference, ten days of rows)."""
    import pandas as pd

    rng = np.random.default_rng([seed, day + 1])
    n = rows * 10 if day < 0 else rows
    shift = 0.25 if 120 <= day < 150 else 0.0
    columns = {f"f{i}": rng.normal(shift if i == 0 else 0.0, 1.0, n) for i in range(features)}
    mix = [0.2, 0.3, 0.5] if 300 <= day < 310 else [0.5, 0.3, 0.2]
    columns["segment"] = np.array(["north", "south", "west"], dtype=object)[rng.choice(3, n, p=mix)]
    signal = columns["f1"] - columns["f2"]
    noise = 2.5 if 250 <= day < 270 else 1.0
    score = 1.0 / (1.0 + np.exp(-(signal + rng.normal(0, noise, n) * 0.5)))
    truth = (rng.random(n) < 1.0 / (1.0 + np.exp(-signal))).astype(np.int64)
    columns.update(score=score, pred=(score >= 0.5).astype(np.int64), y=truth)
    # The reference spans the ten days before the first period (the peer's thresholds need chunks).
    base = START + np.timedelta64(day if day >= 0 else -10, "D")
    columns["ts"] = base + np.sort(rng.integers(0, DAY_NS * (n // rows), n)).astype("timedelta64[ns]")
    return pd.DataFrame(columns)


def median(values):
    return statistics.median(values)


# ---- the peer ---------------------------------------------------------------------------------------

def peer(args):
    os.environ["NML_DISABLE_USAGE_LOGGING"] = "1"  # no usage reports sent anywhere
    import pandas as pd
    import nannyml as nml

    reference = day_frame(-1, args.rows, args.features)
    analysis = pd.concat([day_frame(d, args.rows, args.features) for d in range(args.days)], ignore_index=True)
    names = [f"f{i}" for i in range(args.features)] + ["segment"]
    out = {"version": nml.__version__}
    used = time.process_time()
    start = time.perf_counter()
    drift = nml.UnivariateDriftCalculator(column_names=names, timestamp_column_name="ts", chunk_period="D",
                                          continuous_methods=["kolmogorov_smirnov"], categorical_methods=["chi2"])
    drift.fit(reference)
    found = drift.calculate(analysis)
    out["drift_s"], out["drift_cpu"] = time.perf_counter() - start, time.process_time() - used
    used = time.process_time()
    table = found.filter(period="analysis").to_df()
    alerts = [c for c in table.columns if c[-1] == "alert"]
    out["drift_alert_days"] = int(table[alerts].any(axis=1).sum())
    start = time.perf_counter()
    perf = nml.PerformanceCalculator(y_pred_proba="score", y_pred="pred", y_true="y", timestamp_column_name="ts",
                                     problem_type="classification_binary", metrics=["roc_auc", "f1", "accuracy"],
                                     chunk_period="D")
    perf.fit(reference)
    result = perf.calculate(analysis)
    out["performance_s"], out["performance_cpu"] = time.perf_counter() - start, time.process_time() - used
    table = result.filter(period="analysis").to_df()
    alerts = [c for c in table.columns if c[-1] == "alert"]
    out["performance_alert_days"] = int(table[alerts].any(axis=1).sum())
    out["chunks"] = int(len(table))
    print(json.dumps(out))


# ---- morvane ----------------------------------------------------------------------------------------

def chromium_seconds(path, repeats=3):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        return None
    times = []
    with tempfile.TemporaryDirectory() as profile:
        for _ in range(repeats):
            start = time.perf_counter()
            subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={profile}",
                            "--dump-dom", f"file://{os.path.abspath(path)}"], capture_output=True, timeout=120,
                           check=True)
            times.append(time.perf_counter() - start)
    return median(times)


def ours(args):
    import morvane as mv
    from morvane.history import History

    reference_frame = day_frame(-1, args.rows, args.features)
    features = [f"f{i}" for i in range(args.features)]
    reference = mv.profile(reference_frame, target="y", prediction="score", task="binary", features=features,
                           timestamp="ts", segments=["segment"])
    frames = [day_frame(d, args.rows, args.features) for d in range(args.days)]
    total = sum(len(f) for f in frames)
    rows = []

    cpu = {}

    def timed(fn, label=None):
        start, used = time.perf_counter(), time.process_time()
        fn()
        if label is not None:
            cpu[label] = time.process_time() - used
        return time.perf_counter() - start

    floor = timed(lambda: [mv.profile(f, like=reference, progress=False) for f in frames], "floor")
    memory = timed(lambda: _fill(History(reference, "1D"), frames), "memory")
    work = tempfile.mkdtemp()
    path = os.path.join(work, "history.sqlite")
    h = History(reference, "1D", path=path)
    persistent = timed(lambda: _fill(h, frames), "persistent")
    import pandas as pd

    month = pd.concat(frames[:30], ignore_index=True).sample(frac=1.0, random_state=1)
    shuffled = History(reference, "1D", path=os.path.join(work, "shuffled.sqlite"))
    split = timed(lambda: shuffled.update(month), "split")
    rows += [("profile(day, like=reference) only (floor)", floor, cpu["floor"], total),
             ("History.update, in memory, a day per batch", memory, cpu["memory"], total),
             ("History.update, SQLite file, a day per batch", persistent, cpu["persistent"], total),
             ("History.update, SQLite file, 30 shuffled days", split, cpu["split"], len(month))]
    print(f"\nupdate: {args.days} days x {args.rows:,} rows, {args.features} features, binary task, 3 segments "
          f"(load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores: CPU time is the work done)")
    print(f"{'run':<52}{'wall s':>8}{'rows/s':>13}{'CPU s':>8}{'rows/CPU s':>13}")
    for label, seconds, used, n in rows:
        print(f"{label:<52}{seconds:>8.2f}{n / seconds:>13,.0f}{used:>8.2f}{n / used:>13,.0f}")
    blobs = sum(len(p.to_counts()) for _, _, p in h.profiles())  # what each period stores
    n_periods = len(h)
    h.close()  # the last connection folds the write-ahead log into the file
    size = os.path.getsize(path)
    h = History.open(path)
    print(f"file {size / 1e6:.2f} MB for {n_periods} periods: {size / n_periods / args.features:,.0f} bytes per "
          f"period and feature, of which the counts {blobs / n_periods / args.features:,.0f} (10 bins, the task's "
          "statistics, the whole table and 3 segments + other)")

    cold = timed(lambda: h.window())  # builds the cached blocks of periods
    rng = np.random.default_rng(3)
    windows = []
    for _ in range(100):
        a, b = sorted(rng.integers(0, args.days + 1, 2))
        lo, hi = START + np.timedelta64(int(a), "D"), START + np.timedelta64(int(b), "D")
        windows.append(timed(lambda: h.window(lo, hi)))
    whole = timed(lambda: h.window())
    reopened = timed(lambda: History.open(path).window())
    print(f"\nwindow(): median {median(windows) * 1e3:.1f} ms, max {max(windows) * 1e3:.1f} ms over 100 random ranges "
          f"(target < 50 ms); the whole year {whole * 1e3:.1f} ms, the first time (building the cached blocks) "
          f"{cold * 1e3:.0f} ms; History.open + whole year {reopened * 1e3:.0f} ms")

    start, used = time.perf_counter(), time.process_time()
    tl = h.timeline(alpha=0.01)
    timeline_s, timeline_cpu = time.perf_counter() - start, time.process_time() - used
    failing = [i for i, (_, _, r) in enumerate(tl.reports) if not r.passed]
    start = time.perf_counter()
    h.timeline(alpha=0.01, processes=2)
    parallel_s = time.perf_counter() - start
    start = time.perf_counter()
    corrected = h.timeline(alpha=0.01, correction="holm")
    holm_s = time.perf_counter() - start
    held = [i for i, (_, _, r) in enumerate(corrected.reports) if not r.passed]
    html = os.path.join(work, "dashboard.html")
    start = time.perf_counter()
    tl.to_html(html)
    html_s = time.perf_counter() - start
    empty = os.path.join(work, "empty.html")
    with open(empty, "w") as f:
        f.write("<!DOCTYPE html><html><body></body></html>")
    opened, blank = chromium_seconds(html), chromium_seconds(empty)
    drifted = (set(range(120, 150)) | set(range(250, 270)) | set(range(300, 310))) & set(range(args.days))
    print(f"\ntimeline() of {len(tl)} periods: {timeline_s:.2f} s, {timeline_cpu:.2f} s CPU (target < 5 s); "
          f"{len(failing)} periods failed, "
          f"{len(set(failing) & drifted)} of {len(drifted)} changed days, {len(set(failing) - drifted)} others")
    print(f"timeline(processes=2): {parallel_s:.2f} s (two worker processes)")
    print(f"timeline(correction=\"holm\"): {holm_s:.2f} s; {len(held)} periods failed, "
          f"{len(set(held) & drifted)} of the changed days, {len(set(held) - drifted)} others")
    print(f"dashboard: {os.path.getsize(html) / 1e6:.2f} MB (target < 5 MB), written in {html_s:.2f} s; "
          + ("Chromium not installed" if opened is None else
             f"headless Chromium opens it in {opened:.2f} s (an empty page {blank:.2f} s; target < 2 s)"))
    shutil.rmtree(work)
    return {"update_s": persistent, "timeline_s": timeline_s, "total_rows": total,
            "update_cpu": cpu["persistent"], "timeline_cpu": timeline_cpu,
            "failing": len(failing), "changed_found": len(set(failing) & drifted)}


def _fill(h, frames):
    for f in frames:
        h.update(f)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--days", type=int, default=365)
    parser.add_argument("--rows", type=int, default=10_000)
    parser.add_argument("--features", type=int, default=20)
    parser.add_argument("--peer", action="store_true", help="run only nannyml's part (prints JSON)")
    parser.add_argument("--peer-python", help="a Python with nannyml installed, for the peer's part")
    args = parser.parse_args()
    if args.peer:
        return peer(args)
    mine = ours(args)
    python = args.peer_python or sys.executable
    command = [python, os.path.abspath(__file__), "--peer", "--days", str(args.days), "--rows", str(args.rows),
               "--features", str(args.features)]
    try:
        result = subprocess.run(command, capture_output=True, text=True)
    except OSError as error:
        print(f"\nnannyml: not run ({error})")
        return
    if result.returncode != 0:
        print(f"\nnannyml: not run ({result.stderr.strip().splitlines()[-1] if result.stderr.strip() else 'failed'})")
        return
    theirs = json.loads(result.stdout.strip().splitlines()[-1])
    rows = [("morvane: History.update (SQLite) + timeline()", mine["update_s"] + mine["timeline_s"],
             mine["update_cpu"] + mine["timeline_cpu"]),
            ("nannyml: UnivariateDriftCalculator fit + calculate", theirs["drift_s"], theirs["drift_cpu"]),
            ("nannyml: PerformanceCalculator fit + calculate", theirs["performance_s"], theirs["performance_cpu"]),
            ("nannyml: both", theirs["drift_s"] + theirs["performance_s"],
             theirs["drift_cpu"] + theirs["performance_cpu"])]
    print(f"\nthe same {args.days} daily periods, reference to verdicts (nannyml {theirs['version']}, "
          f"{theirs['chunks']} chunks); CPU ratios are the fair ones on a shared machine")
    print(f"{'run':<56}{'wall s':>8}{'CPU s':>8}{'CPU ratio':>11}")
    for label, wall, used in rows:
        print(f"{label:<56}{wall:>8.2f}{used:>8.2f}{used / rows[0][2]:>11.2f}")
    print(f"days alerted: morvane {mine['failing']} ({mine['changed_found']} of them changed), nannyml drift "
          f"{theirs['drift_alert_days']}, nannyml performance {theirs['performance_alert_days']}")


if __name__ == "__main__":
    main()
