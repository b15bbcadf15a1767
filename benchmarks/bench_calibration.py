"""False-alarm and detection rates of `mv.compare`, measured by simulation.

    python benchmarks/bench_calibration.py [--windows 1000] [--seed 1]

A reference of 10,000 rows (20 continuous and 3 categorical features; a binary task with
probabilities and a facet holding 30% of rows, or a regression or multiclass task) is compared with
windows from the same population (false alarms) or a changed one (detections). Windows are drawn as
the counts and sums a profile keeps, exactly distributed as a row-by-row window's (see
tests/package/calibration_model.py), so a window of 1,000,000 rows costs what one of 50 does.
Each rate is printed with its 99% Clopper-Pearson interval. The timeline and segment rows profile
their rows end to end (fewer runs: a tenth and a fifth of --windows): runs of 30 daily periods
through a History (any false alarm in a run, each period at alpha and with correction="holm"; the
changed periods a corrected run finds), and windows compared segment by segment. The rows of
calibration_verdicts.py follow: `Unseen` on every kind of vocabulary, seasons, cumulative checks,
floors, `Calibration` and the drift of the model's outputs (their runs are stated in each row).
"""

import argparse
import os
import sys
import time

import numpy as np
from scipy.stats import beta

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "package"))
from calibration_model import Population, ScoredPopulation, _feature_models, rates, rows, scored_rates  # noqa: E402
from calibration_shapes import CHANGES, ERRORS, SHAPES, regression_rates, shape_rates  # noqa: E402

SIZES = (50, 200, 1_000, 10_000, 1_000_000)
SHAPE_SIZES = (50, 500, 5_000, 100_000, 1_000_000)
# (reference rows, window rows): a small reference against larger windows, and the reverse.
SMALL_REFERENCE = ((200, 5_000), (200, 1_000_000), (100_000, 200))
DETECTIONS = (  # what changes, window rows, scenario, target rate
    ("x00 shifted 0.5 sd", 200, {"shift": 0.5}),
    ("x00 shifted 0.2 sd", 2_000, {"shift": 0.2}),
    ("accuracy 0.90 -> 0.85", 2_000, {"accuracy": 0.85}),
    ("parity difference 0 -> 0.1", 5_000, {"selection_gap": 0.1}),
)


def interval(k, n, level=0.99):
    low = beta.ppf((1 - level) / 2, k, n - k + 1) if k > 0 else 0.0
    high = beta.ppf(1 - (1 - level) / 2, k + 1, n - k) if k < n else 1.0
    return low, high


def row(label, n, failed, windows, families, target, at_most):
    low, high = interval(failed, windows)
    rate = failed / windows
    # A rate above its target by less than the simulation's noise (the target inside the interval)
    # is no evidence of a miss: "ok~".
    if at_most:
        ok = "ok" if rate <= target else ("ok~" if low <= target else "MISSED")
    else:
        ok = "ok" if rate >= target else ("ok~" if high >= target else "MISSED")
    fams = ", ".join(f"{k} {v}" for k, v in sorted(families.items())) or "-"
    n = f"{n:,}" if isinstance(n, int) else n
    print(f"{label:<28} {n:>9} {windows:>7} {rate:>8.2%}  [{low:6.2%}, {high:6.2%}]  "
          f"{'<=' if at_most else '>='}{target:.0%} {ok:<6} {fams}")


def pooled_row(label, cells, target=0.01):
    """One row for several cells measured at one target: the sum of their failures."""
    failed = sum(c[0] for c in cells)
    windows = sum(c[1] for c in cells)
    families = {}
    for c in cells:
        for k, v in c[2].items():
            families[k] = families.get(k, 0) + v
    row(label, "all", failed, windows, families, target, True)


def unchanged_cells(label, measure):
    """One row per cell, `measure(reference rows, window rows)` at every size against a reference of
    10,000 rows, then a 200-row reference against larger windows and a large one against 200; then
    the pooled row of all cells."""
    cells = []
    for m, n in [(10_000, n) for n in SHAPE_SIZES] + list(SMALL_REFERENCE):
        cells.append(measure(m, n))
        row(label if m == 10_000 else f"{label}, ref {m:,}", n, *cells[-1], 0.01, True)
    pooled_row(f"{label}, all cells", cells)


def shapes(windows, rng):
    """Unchanged one-feature tables of the shapes real tables have."""
    for name, shape in SHAPES.items():
        unchanged_cells(name, lambda m, n: shape_rates(shape, m, n, windows, rng))


def shape_changes(windows, rng):
    for label, base, n, change in CHANGES:
        shape = SHAPES[base]
        row(label, n, *shape_rates(shape, 10_000, n, windows, rng, shape.changed(**change)), 0.95, False)


def heavy_tails(windows, rng):
    """Regression errors from t(2), t(3) and a lognormal: the performance checks alone."""
    for errors in ERRORS:
        unchanged_cells(f"errors {errors}", lambda m, n: regression_rates(errors, m, n, windows, rng))


def full_report_power(windows, rng):
    """Accuracy 0.85 -> 0.80 in 500-row windows: the whole report of a table of 13 features and a
    facet, against the accuracy check alone."""
    features = _feature_models()
    population = Population("binary", features[:10] + features[20:], accuracy=0.85)
    row("accuracy .85->.80, report", 500, *rates(population, 500, windows, rng, accuracy=0.80), 0.60, False)
    row("accuracy .85->.80, alone", 500, *rates(population, 500, windows, rng, accuracy=0.80, checks=["Accuracy"]),
        0.60, False)
    row("unchanged, 13 features", 500, *rates(population, 500, windows, rng), 0.01, True)


# Tasks with scores (tests/package/calibration_model.py, ScoredPopulation): the ranking checks on
# labeled windows and the estimated checks of unlabeled ones, against a labeled reference.
SCORED = (  # label, task, checks, labeled
    ("ranking, binary", "binary", ["ROCAUC", "AveragePrecision"], True),
    ("ranking, multiclass", "multiclass", ["MacroROCAUC"], True),
    ("estimated, binary", "binary", ["performance"], False),
    ("estimated, multiclass", "multiclass", ["performance"], False),
)
SCORED_DETECTIONS = (  # label, task, rows, checks, labeled, scenario
    ("ROCAUC: 30% of labels mixed", "binary", 2_000, ["ROCAUC"], True, {"mixed": 0.3}),
    ("MacroROCAUC: 30% mixed", "multiclass", 2_000, ["MacroROCAUC"], True, {"mixed": 0.3}),
    ("estimated: 20% rows to 1/2", "binary", 5_000, ["performance"], False, {"toward_middle": 0.2}),
    ("estimated mc: 20% flattest", "multiclass", 5_000, ["performance"], False, {"toward_middle": 0.2}),
)


def scored(windows, rng):
    for label, task, checks, labeled in SCORED:
        population = ScoredPopulation(task)
        pooled = [0, 0, {}]
        for n in SIZES:
            failed, total, families = scored_rates(population, n, windows, rng, checks, labeled=labeled)
            row(f"unchanged, {label}", n, failed, total, families, 0.01, True)
            pooled[0] += failed
            pooled[1] += total
            for family, count in families.items():
                pooled[2][family] = pooled[2].get(family, 0) + count
        row(f"unchanged, {label}, all", "all", *pooled, 0.01, True)
    for label, task, n, checks, labeled, scenario in SCORED_DETECTIONS:
        failed, total, families = scored_rates(ScoredPopulation(task), n, windows, rng, checks, labeled=labeled,
                                               **scenario)
        row(label, n, failed, total, families, 0.95, False)


def end_to_end(windows, rng):
    """The same false-alarm rates with every window profiled row by row through `mv.profile`
    (a fresh reference each time), to confirm the count-level simulation."""
    import morvane as mv

    population = Population("binary")
    names = [feature["name"] for feature in population.features]
    options = dict(target="label", prediction="proba", task="binary", features=names, facets={"group": "a"})
    for n in (50, 1_000, 10_000):
        failed, families = 0, {}
        for _ in range(windows):
            reference = mv.profile(rows(population, 10_000, rng), **options)
            report = mv.compare(reference, mv.profile(rows(population, n, rng), like=reference))
            failed += not report.passed
            for family in {check.family for check in report.failures}:
                families[family] = families.get(family, 0) + 1
        row("unchanged, rows profiled", n, failed, windows, families, 0.01, True)


def small_table(n, rng, shift=0.0, mix=(0.5, 0.3, 0.2)):
    """Five continuous features, a region of three values and a binary task with probabilities."""
    score = rng.random(n)
    table = {f"x{i}": rng.normal(shift if i == 0 else 0.0, 1.0, n) for i in range(5)}
    table.update(region=np.array(["north", "south", "west"])[rng.choice(3, n, p=list(mix))], proba=score,
                 label=(rng.random(n) < score).astype(np.int64),
                 ts=np.datetime64("2024-01-01", "ns") + np.sort(rng.integers(0, 86_400 * 10**9, n)).astype(
                     "timedelta64[ns]"))
    return table


def timeline_runs(runs, rng, periods=30, rows_per_period=1_000):
    """Runs of `periods` daily periods through a History, rows profiled end to end: how often a run of
    unchanged periods raises any false alarm, each period at alpha and with correction="holm", and
    which share of changed periods (x0 shifted 0.3 sd in the last third) the corrected run finds."""
    import morvane as mv

    options = dict(target="label", prediction="proba", task="binary", timestamp="ts",
                   features=[f"x{i}" for i in range(5)])
    any_plain = any_holm = found = changed = 0
    for _ in range(runs):
        reference = mv.profile(small_table(10_000, rng), **options)
        for drift, h in ((False, mv.History(reference, "1D")), (True, mv.History(reference, "1D"))):
            for d in range(periods):
                t = small_table(rows_per_period, rng, shift=0.3 if drift and d >= 2 * periods // 3 else 0.0)
                t["ts"] = t["ts"] + np.timedelta64(d, "D")
                h.update(t)
            if drift:
                tl = h.timeline(alpha=0.01, correction="holm")
                hits = [not r.passed for _, _, r in tl.reports]
                found += sum(hits[2 * periods // 3:])
                changed += periods - 2 * periods // 3
            else:
                any_plain += not h.timeline(alpha=0.01).passed
                any_holm += not h.timeline(alpha=0.01, correction="holm").passed
    expected = 1 - 0.99 ** periods
    row(f"run of {periods}, each at alpha", rows_per_period, any_plain, runs, {}, expected, True)
    row(f"run of {periods}, holm", rows_per_period, any_holm, runs, {}, 0.01, True)
    row(f"holm, x0 0.3 sd, 10 of {periods}", rows_per_period, found, changed, {}, 0.95, False)


def segment_runs(windows, rng):
    """Unchanged windows compared with a reference profiled with segments=["region"] (three segments
    and "other": their checks inside the report's one correction), rows profiled end to end; and a
    change of the segment mix alone."""
    import morvane as mv

    options = dict(target="label", prediction="proba", task="binary", segments=["region"],
                   features=[f"x{i}" for i in range(5)])
    for n in (200, 5_000):
        failed, families = 0, {}
        for _ in range(windows):
            reference = mv.profile(small_table(10_000, rng), **options)
            report = mv.compare(reference, mv.profile(small_table(n, rng), like=reference))
            failed += not report.passed
            for family in {check.family for check in report.failures}:
                families[family] = families.get(family, 0) + 1
        row("unchanged, 3 segments", n, failed, windows, families, 0.01, True)
    failed = 0
    for _ in range(windows):
        reference = mv.profile(small_table(10_000, rng), **options)
        report = mv.compare(reference, mv.profile(small_table(5_000, rng, mix=(0.44, 0.33, 0.23)), like=reference))
        failed += any(c.metric == "SegmentMix" and c.failed for c in report.checks)
    row("segment mix 50/30/20->44/33/23", 5_000, failed, windows, {}, 0.95, False)


# Joint shapes (five features, profiled row by row with joint=True): the Reconstruction and Covariance
# checks' own false-alarm rates at alpha = 1% (each p-value before the report's correction), and the
# flipped correlation they must find while every feature's own distribution is unchanged.
def _joint_rows(shape, n, rng, rho=0.6):
    if shape == "normal, correlated":
        z = rng.standard_normal((n, 5))
        z[:, 1] = rho * z[:, 0] + np.sqrt(1 - rho * rho) * z[:, 1]
    elif shape == "t(3), correlated":
        z = rng.standard_normal((n, 5))
        z[:, 1] = rho * z[:, 0] + np.sqrt(1 - rho * rho) * z[:, 1]
        z = z / np.sqrt(rng.chisquare(3, (n, 1)) / 3)
    elif shape == "lognormal, independent":
        z = rng.lognormal(0.0, 1.0, (n, 5))
    else:  # mixed: a 5% flag, Poisson(0.3), half missing, two correlated normals
        a = rng.standard_normal(n)
        z = np.column_stack([rng.random(n) < 0.05, rng.poisson(0.3, n),
                             np.where(rng.random(n) < 0.5, np.nan, rng.standard_normal(n)), a,
                             rho * a + np.sqrt(1 - rho * rho) * rng.standard_normal(n)]).astype(float)
    return {f"x{i}": z[:, i] for i in range(5)}


JOINT_SHAPES = ("normal, correlated", "t(3), correlated", "lognormal, independent", "mixed, ties and missing")
JOINT_SIZES = (200, 2_000, 20_000)


def joint_shapes(windows, rng):
    import morvane as mv
    from morvane.comparing import joint

    for shape in JOINT_SHAPES:
        reference = mv.profile(_joint_rows(shape, 10_000, rng), joint=True)
        layout, ref = reference.layout.extra("joint"), reference.extra("joint")
        for n in JOINT_SIZES:
            counts = {"Reconstruction": 0, "Covariance": 0}
            for _ in range(windows):
                cur = mv.profile(_joint_rows(shape, n, rng), like=reference).extra("joint")
                counts["Reconstruction"] += (joint.reconstruction(layout, ref, cur)[2] or 1.0) <= 0.01
                counts["Covariance"] += (joint.covariance(layout, ref, cur)[0] or 1.0) <= 0.01
            for metric, failed in counts.items():
                row(f"{metric}, {shape}"[:28], n, failed, windows, {}, 0.01, True)
    reference = mv.profile(_joint_rows("normal, correlated", 10_000, rng, rho=0.8), joint=True)
    found = {"Reconstruction": 0, "Covariance": 0, "marginal": 0}
    for _ in range(windows):
        report = mv.compare(reference, mv.profile(_joint_rows("normal, correlated", 2_000, rng, rho=-0.8),
                                                  like=reference))
        failed = {"marginal" if c.metric == "Distribution" else c.metric for c in report.failures}
        for name in found:
            found[name] += name in failed
    row("flipped correlation, Recon.", 2_000, found["Reconstruction"], windows, {}, 0.99, False)
    row("flipped correlation, Cov.", 2_000, found["Covariance"], windows, {}, 0.99, False)
    row("flipped, marginals fail", 2_000, found["marginal"], windows, {}, 0.01, True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--windows", type=int, default=1000, help="windows per row of the table")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--rows", type=int, default=0, help="also profile this many windows row by row")
    parser.add_argument("--tasks", default="binary,regression,multiclass,changes,shapes,shape-changes,tails,power,"
                        "scored,timeline,segments,joint,unseen,seasons,cumulative,floors,calibration",
                        help="which parts of the table to measure")
    parser.add_argument("--scored-windows", type=int, default=0,
                        help="windows per row for tasks with scores (default: --windows; each estimate "
                             "simulates its interval, about 0.1 s)")
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    start = time.perf_counter()
    print(f"{'scenario':<28} {'rows':>9} {'windows':>7} {'rate':>8}  {'99% interval':<18}  target  failing families")
    parts = args.tasks.split(",")
    for task in [t for t in ("binary", "regression", "multiclass") if t in parts]:
        population = Population(task)
        pooled = [0, 0, {}]
        for n in SIZES:
            failed, windows, families = rates(population, n, args.windows, rng)
            row(f"unchanged, {task}", n, failed, windows, families, 0.01, True)
            pooled[0] += failed
            pooled[1] += windows
            for family, count in families.items():
                pooled[2][family] = pooled[2].get(family, 0) + count
        # The five sizes together: the same target with a fifth of the noise.
        row(f"unchanged, {task}, all sizes", "all", *pooled, 0.01, True)
    population = Population("binary")
    for label, n, scenario in DETECTIONS if "changes" in parts else ():
        failed, windows, families = rates(population, n, args.windows, rng, **scenario)
        row(label, n, failed, windows, families, 0.95, False)
    for part, run in (("shapes", shapes), ("shape-changes", shape_changes), ("tails", heavy_tails),
                      ("power", full_report_power)):
        if part in parts:
            run(args.windows, rng)
    if "scored" in parts:
        scored(args.scored_windows or args.windows, rng)
    if "timeline" in parts:
        timeline_runs(max(args.windows // 10, 20), rng)
    if "segments" in parts:
        segment_runs(max(args.windows // 5, 50), rng)
    if "joint" in parts:  # profiled row by row: a fifth of the windows
        joint_shapes(max(args.windows // 5, 50), rng)
    import calibration_verdicts as verdicts

    for part, run, runs in (("unseen", verdicts.unseen, max(args.windows // 5, 50)),
                            ("seasons", verdicts.seasons, args.windows),
                            ("cumulative", verdicts.cumulative, max(args.windows // 10, 20)),
                            ("floors", verdicts.floors, max(args.windows // 10, 50)),
                            ("calibration", verdicts.calibration_and_outputs, max(args.windows // 5, 50))):
        if part in parts:
            run(runs, rng, row)
    if args.rows:
        end_to_end(args.rows, rng)
    print(f"({time.perf_counter() - start:.0f} s)")


if __name__ == "__main__":
    main()
