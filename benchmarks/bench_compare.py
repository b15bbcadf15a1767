"""How long `mv.compare` takes as profiles grow: a profile of 110 columns, and one text column of
100,000 categories (compare is linear in the size of the profiles).

    python benchmarks/bench_compare.py [--repeats 5]

Each row prints the median time of compare, a peer doing part of the same work on the same counts
(SciPy's chi-square test of every column's two count vectors) and the NumPy floor (reading every
count once), with compare's ratio to each.
"""

import argparse
import statistics
import time

import numpy as np
from scipy import stats

import morvane as mv


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


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
    for r, c in pairs:
        keep = (r + c) > 0
        stats.chi2_contingency(np.array([r[keep], c[keep]]) + 0.5, correction=False)


def numpy_floor(pairs):
    return sum(int(r.sum()) + int(c.sum()) for r, c in pairs)


def measure(label, reference, current, repeats):
    pairs = counts_of(reference, current)
    ours = median_time(lambda: mv.compare(reference, current), repeats)
    peer = median_time(lambda: scipy_peer(pairs), repeats)
    floor = median_time(lambda: numpy_floor(pairs), repeats)
    cells = sum(len(r) for r, _ in pairs)
    print(f"{label:<34} {cells:>9,} {ours * 1e3:>10.1f} {peer * 1e3:>10.1f} {ours / peer:>7.2f} "
          f"{floor * 1e3:>9.2f} {ours / floor:>8.0f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    print(f"{'profile':<34} {'cells':>9} {'compare ms':>10} {'SciPy ms':>10} {'ratio':>7} {'floor ms':>9} {'ratio':>8}")
    options = dict(target="label", prediction="proba", task="binary", facets={"c0": "v00"})
    reference = mv.profile(wide_table(rng, 100_000), **options)
    current = mv.profile(wide_table(rng, 20_000), like=reference)
    measure("110 columns, binary task, a facet", reference, current, args.repeats)
    for k in (10_000, 100_000):
        reference = mv.profile(many_categories(rng, 1_000_000, k))
        current = mv.profile(many_categories(rng, 200_000, k), like=reference)
        measure(f"one text column, {k:,} categories", reference, current, args.repeats)


if __name__ == "__main__":
    main()
