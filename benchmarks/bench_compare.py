"""How long `mv.compare` takes as profiles grow, one everyday comparison, and the package's import.

    python benchmarks/bench_compare.py [--repeats 5]

CPU seconds (`time.process_time`, medians of repeats: the work done, whatever else loads the machine).
- profiles: a profile of 110 columns, and one text column of 10,000 and 100,000 categories, beside a
  peer doing part of the same work on the same counts (SciPy's chi-square test of every column's two
  count vectors) and the NumPy floor (reading every count once), with compare's ratio to each;
- scale: compare at 1,000 and 10,000 columns, 10 and 100 segments, 100,000 and 1,000,000 categories,
  with the ratio of the larger to the smaller over the ratio of their sizes (1.0: linear). Targets:
  10,000 columns <= 2 s, 100 segments <= 0.5 s, 1e6 categories <= 0.1 s;
- one 5,000-row window of a binary task with scores (7 features, 2 of them categorical) against a
  50,000-row reference, every check (target <= 5 ms), and the drift family alone;
- import: `import numpy, pandas`, `import morvane` (target <= 2x the first) and
  `python -m morvane --help` (target <= 0.5 s), each in a fresh interpreter (its CPU seconds).
"""

import argparse
import os
import resource
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _timing import median_time  # noqa: E402

import morvane as mv  # noqa: E402


def cpu(fn, repeats):
    return median_time(fn, repeats, clock=lambda: __import__("time").process_time())


def wide_table(rng, n):
    table = {f"x{i:03d}": rng.normal(i % 7, 1.0 + i % 3, n) for i in range(100)}
    for i in range(10):
        table[f"c{i}"] = rng.choice([f"v{j:02d}" for j in range(50)], n).astype(object)
    table["label"] = rng.integers(0, 2, n)
    table["proba"] = np.clip(table["label"] * 0.6 + rng.random(n) * 0.4, 0.0, 1.0)
    return table


def many_categories(rng, n, k):
    """A long-tailed text column: half the rows Zipf over k categories, half uniform over them."""
    ranks = np.where(rng.random(n) < 0.5, np.minimum(rng.zipf(1.05, n), k) - 1, rng.integers(0, k, n))
    return {"c": np.array([f"cat{j:06d}" for j in range(k)], dtype=object)[ranks]}


def counts_of(reference, current):
    return [(reference.histogram(c)[1], current.histogram(c)[1]) for c in reference.columns]


def scipy_peer(pairs):
    from scipy import stats

    for r, c in pairs:
        keep = (r + c) > 0
        stats.chi2_contingency(np.array([r[keep], c[keep]]) + 0.5, correction=False)


def numpy_floor(pairs):
    return sum(int(r.sum()) + int(c.sum()) for r, c in pairs)


def profiles(rng, repeats):
    print(f"{'profile':<34} {'cells':>9} {'compare ms':>10} {'SciPy ms':>10} {'ratio':>7} {'floor ms':>9} {'ratio':>8}")
    options = dict(target="label", prediction="proba", task="binary", facets={"c0": "v00"})
    reference = mv.profile(wide_table(rng, 100_000), **options)
    current = mv.profile(wide_table(rng, 20_000), like=reference)
    pairs = [("110 columns, binary task, a facet", reference, current)]
    for k in (10_000, 100_000):
        reference = mv.profile(many_categories(rng, 1_000_000, k))
        pairs.append((f"one text column, {k:,} categories", reference,
                      mv.profile(many_categories(rng, 200_000, k), like=reference)))
    for label, reference, current in pairs:
        counts = counts_of(reference, current)
        ours = cpu(lambda: mv.compare(reference, current), repeats)
        peer = cpu(lambda: scipy_peer(counts), repeats)
        floor = cpu(lambda: numpy_floor(counts), repeats)
        cells = sum(len(r) for r, _ in counts)
        print(f"{label:<34} {cells:>9,} {ours * 1e3:>10.1f} {peer * 1e3:>10.1f} {ours / peer:>7.2f} "
              f"{floor * 1e3:>9.2f} {ours / floor:>8.0f}")


def columns(rng, k, n=2_000):
    make = lambda: {f"x{i}": rng.normal(size=n) for i in range(k)}  # noqa: E731
    reference = mv.profile(make(), progress=False)
    return reference, mv.profile(make(), like=reference, progress=False)


def segments(rng, k, n=200_000):
    def make():
        return {"x": rng.normal(size=n), "y": rng.integers(0, 2, n), "s": rng.random(n),
                "g": rng.integers(0, k, n).astype(str).astype(object)}
    reference = mv.profile(make(), target="y", prediction="s", task="binary", segments=["g"], progress=False)
    return reference, mv.profile(make(), like=reference, progress=False)


def categories(rng, k):
    names = np.array([f"c{j}" for j in range(k)], dtype=object)
    reference = mv.profile({"c": names[rng.integers(0, k, 2 * k)]}, progress=False)
    return reference, mv.profile({"c": names[rng.integers(0, k, 2 * k)]}, like=reference, progress=False)


def scale(rng, repeats):
    print(f"\n{'scale':<34} {'small s':>9} {'large s':>9} {'target s':>9} {'growth / size growth':>22}")
    for label, make, small, large, target in (("columns", columns, 1_000, 10_000, 2.0),
                                             ("segments", segments, 10, 100, 0.5),
                                             ("categories", categories, 100_000, 1_000_000, 0.1)):
        times = []
        for k in (small, large):
            reference, current = make(rng, k)
            times.append(cpu(lambda: mv.compare(reference, current), repeats))
        print(f"{label + f' {small:,} -> {large:,}':<34} {times[0]:>9.3f} {times[1]:>9.3f} {target:>9.1f} "
              f"{times[1] / times[0] / (large / small):>22.2f}")


def window(rng, n):
    """A binary task with scores: 5 continuous and 2 categorical features."""
    signal = rng.normal(size=n)
    table = {f"x{i}": rng.normal(size=n) + (signal if i == 0 else 0.0) for i in range(5)}
    for i in range(2):
        table[f"c{i}"] = np.array([f"v{j}" for j in range(6)], dtype=object)[rng.integers(0, 6, n)]
    table["y"] = (rng.random(n) < 1.0 / (1.0 + np.exp(-2.0 * signal))).astype(np.int64)
    table["score"] = 1.0 / (1.0 + np.exp(-2.0 * signal - rng.normal(0.0, 0.5, n)))
    return table


def one_window(rng, repeats):
    reference = mv.profile(window(rng, 50_000), target="y", prediction="score", task="binary")
    current = mv.profile(window(rng, 5_000), like=reference)
    mv.compare(reference, current)  # the reference's terms, once
    every = cpu(lambda: mv.compare(reference, current), repeats * 20)
    drift = cpu(lambda: mv.compare(reference, current, checks="drift"), repeats * 20)
    print(f"\none 5,000-row binary window with scores, 7 features, against 50,000 rows: every check "
          f"{every * 1e3:.2f} ms (target <= 5 ms), the drift family alone {drift * 1e3:.2f} ms")


def child_cpu(args, repeats):
    """Median CPU seconds of a fresh interpreter running `args`."""
    times = []
    for _ in range(repeats):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run([sys.executable, *args], check=True, capture_output=True)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        times.append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
    return float(np.median(times))


def imports(repeats):
    base = child_cpu(["-c", "import numpy, pandas"], repeats)
    package = child_cpu(["-c", "import morvane"], repeats)
    helped = child_cpu(["-m", "morvane", "--help"], repeats)
    scipy = subprocess.run([sys.executable, "-c", "import sys, morvane; print('scipy' in sys.modules)"],
                           capture_output=True, text=True).stdout.strip()
    print(f"\nimport (CPU s of a fresh interpreter): numpy + pandas {base:.3f}; morvane {package:.3f} "
          f"({package / base:.2f}x, target <= 2x; SciPy imported: {scipy}); python -m morvane --help {helped:.3f} "
          "(target <= 0.5 s)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores; CPU seconds, medians of "
          f"{args.repeats} repeats")
    profiles(rng, args.repeats)
    scale(rng, args.repeats)
    one_window(rng, args.repeats)
    imports(args.repeats)


if __name__ == "__main__":
    main()
