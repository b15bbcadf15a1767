"""Data-bias benchmark: the one-shot analyzer against a vectorised NumPy computation of
the same seven metrics (masks and counts), and the streaming monitor's push_batch.

    python benchmarks/bench_data_bias.py [--sizes 1e6 1e7] [--repeats 30] [--malloc steady|default]

The implementations being compared take turns in rounds (a few calls each per round),
so that the load of a shared machine falls on all of them alike while each still runs
in its own steady state. Prints medians of wall and CPU time and their ratios (each
row's time over the first row's: above 1 means the first row is faster)."""

import argparse
import ctypes
import statistics
import time

import numpy as np

import _morvane as mv

F = np.float32


def median_times(fns, repeats, per_round=3):
    """Median wall time and median CPU time of the calling thread for each function,
    over `repeats` calls taken per_round at a time in turns (after one warm-up call at
    the start of each turn). On a shared machine the CPU time is the steadier of the
    two: it leaves out the time the process waits for a core."""
    wall = [[] for _ in fns]
    cpu = [[] for _ in fns]
    for _ in range(max(1, repeats // per_round)):
        for fn, w, c in zip(fns, wall, cpu):
            fn()
            for _ in range(per_round):
                c0, w0 = time.thread_time(), time.perf_counter()
                fn()
                w.append(time.perf_counter() - w0)
                c.append(time.thread_time() - c0)
    return [(statistics.median(w), statistics.median(c)) for w, c in zip(wall, cpu)]


def steady_malloc():
    """Keep freed memory in the heap instead of returning it to the system after every
    call. With glibc's defaults, whether a megabyte-sized temporary is page-faulted
    afresh on each call depends on what the process allocated before (its mmap
    threshold adapts), which can make the same NumPy code 3x slower or faster from one
    run to the next. This gives every implementation the same, favourable state."""
    libc = ctypes.CDLL("libc.so.6")
    M_TRIM_THRESHOLD, M_MMAP_THRESHOLD = -1, -3
    libc.mallopt(M_MMAP_THRESHOLD, 32 << 20)
    libc.mallopt(M_TRIM_THRESHOLD, 1 << 30)


def metrics_from_counts(pa, na, pd, nd):
    one, half = F(1), F(0.5)
    with np.errstate(all="ignore"):
        qa, qd = F(pa) / F(na), F(pd) / F(nd)
        dpl = qa - qd
        m = (qa + qd) * half
        e = (one - qa) + (qd - one)
        return {
            "ClassImbalance": float(F(abs(na - nd)) / F(na + nd)),
            "DifferenceInProportionOfLabels": float(dpl),
            "KlDivergence": float(qa * np.log(qa / qd) + (one - qa) * np.log((one - qa) / (one - qd))),
            "JsDivergence": float(
                ((qa * np.log(qa / m) + (one - qa) * np.log((one - qa) / (one - m)))
                 + (qd * np.log(qd / m) + (one - qd) * np.log((one - qd) / (one - m)))) * half
            ),
            "LpNorm": float(np.sqrt(dpl * dpl + e * e)),
            "TotalVariationDistance": float((abs(dpl) + abs(e)) * half),
            "KolmogorovSmirnov": float(max(abs(e), abs(dpl))),
        }


def numpy_analyzer(feature, label, threshold):
    facet = feature >= threshold
    positive = label == 1
    na = int(np.count_nonzero(facet))
    pa = int(np.count_nonzero(positive & facet))
    pd = int(np.count_nonzero(positive)) - pa
    return metrics_from_counts(pa, na, pd, feature.size - na)


def numpy_counts_int8(f, g):
    facet = f == 1
    positive = g == 1
    na = int(np.count_nonzero(facet))
    pa = int(np.count_nonzero(positive & facet))
    return pa, na, int(np.count_nonzero(positive)) - pa, f.size - na


def row(label, times, base, n):
    (wall, cpu), (base_wall, base_cpu) = times, base
    return (f"{label:<36}{wall * 1e3:>9.2f} ms{wall / base_wall:>8.2f}x{cpu * 1e3:>11.2f} ms{cpu / base_cpu:>8.2f}x"
            f"{n / cpu / 1e6:>10.0f} M/s")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", nargs="+", type=float, default=[1e6, 1e7])
    ap.add_argument("--repeats", type=int, default=30)
    ap.add_argument("--malloc", choices=["steady", "default"], default="steady")
    args = ap.parse_args()
    if args.malloc == "steady":
        steady_malloc()
    print(f"malloc: {args.malloc}")
    rng = np.random.default_rng(0)
    header = f"{'':<36}{'wall':>12}{'ratio':>9}{'cpu':>14}{'ratio':>9}{'rows/cpu s':>14}"
    for size in args.sizes:
        n = int(size)
        repeats = args.repeats if n <= 1_000_000 else max(3, args.repeats // 2)
        feature = rng.normal(size=n)
        label = rng.integers(0, 2, size=n)
        ours = mv.py_data_bias_analyzer(feature, label, 0.0, 1)
        ref = numpy_analyzer(feature, label, 0.0)
        for k in ("ClassImbalance", "DifferenceInProportionOfLabels", "LpNorm", "TotalVariationDistance"):
            assert ours[k] == ref[k], (k, ours[k], ref[k])
        strided = np.repeat(feature, 2)[::2]
        t_ours, t_np, t_strided = median_times(
            [
                lambda: mv.py_data_bias_analyzer(feature, label, 0.0, 1),
                lambda: numpy_analyzer(feature, label, 0.0),
                lambda: mv.py_data_bias_analyzer(strided, label, 0.0, 1),
            ],
            repeats,
        )
        print(f"\npy_data_bias_analyzer, {n:,} rows (float64 feature >= 0.0, int64 label == 1), median of {repeats}")
        print(header)
        print(row("morvane py_data_bias_analyzer", t_ours, t_ours, n))
        print(row("morvane, strided feature", t_strided, t_ours, n))
        print(row("NumPy masks and counts", t_np, t_ours, n))

    n = 1_000_000
    base_f, base_g = rng.integers(0, 2, size=1000).tolist(), rng.integers(0, 2, size=1000).tolist()
    f8, g8 = rng.integers(0, 3, size=n).astype(np.int8), rng.integers(0, 2, size=n).astype(np.int8)
    f64, g64 = f8.astype(np.int64), g8.astype(np.int64)
    fl, gl = f8.tolist(), g8.tolist()
    s = mv.PyDataBiasStreaming(base_f, base_g)

    def push(f, g):
        s.push_batch(f, g)
        s.flush()

    print(f"\nPyDataBiasStreaming.push_batch, {n:,} pairs per batch, median of {args.repeats}")
    print(header)
    labels = ["push_batch int8 arrays", "push_batch int64 arrays", "push_batch lists of int", "NumPy counts of int8 arrays"]
    times = median_times(
        [lambda: push(f8, g8), lambda: push(f64, g64), lambda: push(fl, gl), lambda: numpy_counts_int8(f8, g8)],
        args.repeats,
    )
    for label, t in zip(labels, times):
        print(row(label, t, times[0], n))


if __name__ == "__main__":
    main()
