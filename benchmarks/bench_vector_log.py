"""Block logarithms: a long random sweep against the C library's log and logf (mismatches
must be 0; the fallback rate is the share handed to the library), then the throughput
against one library call per element and NumPy's np.log.

    python bench_vector_log.py [--n 100000000] [--exhaustive] [--plus-one]

--exhaustive also compares every positive float32 (2^31 arguments) with logf; --plus-one
every argument f + 1 of the regression kernel (2^32 float bit patterns f) with log.
Needs the self-test module (build with -DMORVANE_SELFTEST=ON)."""

import argparse
import time

import numpy as np

import _morvane_selftest as selftest
from _timing import median_time, print_table

CHUNK = 1 << 23


def bits_of(a):
    return a.view(np.uint64 if a.dtype == np.float64 else np.uint32)


def random_args(rng, dtype, n, kind):
    """n arguments: 'full' draws bit patterns uniformly over the positive normal range
    (uniform in the exponent), 'near1' values in [0.5, 2) and 1 ± up to 2^-20."""
    if kind == "full":
        if dtype == np.float64:
            return rng.integers(0x0010000000000000, 0x7FF0000000000000, n, dtype=np.uint64).view(np.float64)
        return rng.integers(0x00800000, 0x7F800000, n, dtype=np.uint32).view(np.float32)
    half = n // 2
    x = np.concatenate([rng.uniform(0.5, 2.0, half), 1.0 + rng.uniform(-(2.0**-20), 2.0**-20, n - half)])
    return x.astype(dtype)


def compare(x):
    """(mismatches, fallbacks) of the block logarithms against the library on x."""
    y, fallbacks = selftest.vector_log(x, "best")
    ref, _ = selftest.vector_log(x, "library")
    bad = np.nonzero(bits_of(y) != bits_of(ref))[0]
    for i in bad[:5]:
        print(f"  MISMATCH x={float(x[i]).hex()} ours={float(y[i]).hex()} library={float(ref[i]).hex()}")
    return bad.size, fallbacks


def sweep(n, seed=0):
    rng = np.random.default_rng(seed)
    print(f"{'sweep':<26}{'arguments':>14}{'mismatches':>12}{'fallback rate':>16}")
    total_bad = 0
    for dtype in (np.float64, np.float32):
        for kind in ("full", "near1"):
            bad = fallbacks = done = 0
            while done < n:
                m = min(CHUNK, n - done)
                b, f = compare(random_args(rng, dtype, m, kind))
                bad, fallbacks, done = bad + b, fallbacks + f, done + m
            total_bad += bad
            label = f"{np.dtype(dtype).name} {kind}"
            print(f"{label:<26}{done:>14,}{bad:>12}{fallbacks / done:>15.3%}")
    return total_bad


def exhaustive_float32():
    start = time.perf_counter()
    bad = fallbacks = 0
    top = 0x7F800000
    for lo in range(0, top, CHUNK):
        x = np.arange(lo, min(lo + CHUNK, top), dtype=np.uint32).view(np.float32)
        b, f = compare(x)
        bad, fallbacks = bad + b, fallbacks + f
    print(f"every positive float32 ({top:,} arguments): {bad} mismatches, fallback rate {fallbacks / top:.3%}, "
          f"{time.perf_counter() - start:.0f}s")
    return bad


def exhaustive_plus_one():
    start = time.perf_counter()
    decided = bad = 0
    for lo in range(0, 1 << 32, 1 << 28):
        d, b = selftest.log_plus_one_sweep(lo, lo + (1 << 28))
        decided, bad = decided + d, bad + b
    print(f"every f + 1, f a float32 (2^32 bit patterns): {bad} mismatches, {decided:,} decided, "
          f"{time.perf_counter() - start:.0f}s")
    return bad


def cpu_median(fn, repeats):
    """Median CPU time of the calling thread: steadier than wall time on a shared machine."""
    return median_time(fn, repeats, clock=time.thread_time)


def throughput(n=1_000_000, repeats=9):
    rng = np.random.default_rng(1)
    cases = {
        "float64, regression (1 + y, y in [1, 100])": 1.0 + rng.uniform(1.0, 100.0, n),
        "float64, full range": random_args(rng, np.float64, n, "full"),
        "float32, probabilities (0, 1)": rng.uniform(1e-7, 1.0, n).astype(np.float32),
        "float32, full range": random_args(rng, np.float32, n, "full"),
    }
    for title, x in cases.items():
        _, fallbacks = selftest.vector_log(x, "best")
        rows = [
            ("morvane", cpu_median(lambda: selftest.vector_log(x, "best"), repeats)),
            ("morvane portable path", cpu_median(lambda: selftest.vector_log(x, "portable"), repeats)),
            ("library call per element", cpu_median(lambda: selftest.vector_log(x, "library"), repeats)),
            ("numpy np.log (not the library's bits)", cpu_median(lambda: np.log(x), repeats)),
        ]
        print_table(f"{title}, n = {n:,}, fallback rate {fallbacks / n:.2%} (CPU time)", rows)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000_000, help="arguments per width and kind")
    parser.add_argument("--exhaustive", action="store_true")
    parser.add_argument("--plus-one", action="store_true")
    args = parser.parse_args()
    bad = sweep(args.n)
    if args.exhaustive:
        bad += exhaustive_float32()
    if args.plus_one:
        bad += exhaustive_plus_one()
    throughput()
    if bad:
        raise SystemExit(f"{bad} mismatches")


if __name__ == "__main__":
    main()
