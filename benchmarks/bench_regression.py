"""Regression metrics on 1e6 and 1e7 random float64 pairs: morvane against scikit-learn
computing the same eight metrics and against a vectorised NumPy version, in CPU time.

Targets at n = 1,000,000: 10x scikit-learn, 3x NumPy, within 6x the floor."""

import os
import sys
import time

# One BLAS thread: idle BLAS threads spinning after np.dot would count as CPU time of
# every row measured after it.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np

import _morvane
from _timing import median_time, print_table


def numpy_version(t, p):
    t = t.astype(np.float32).astype(np.float64)
    p = p.astype(np.float32).astype(np.float64)
    n = t.size
    d = t - p
    ad = np.abs(d)
    mse = np.dot(d, d) / n
    sst = np.dot(t, t) - t.sum() ** 2 / n
    tp = np.dot(t, p)
    sse = np.dot(p, p) + (np.dot(t, t) - (tp + tp))
    ld = np.log(t + 1.0) - np.log(p + 1.0)
    msle = np.dot(ld, ld) / n
    return {
        "RootMeanSquaredError": np.float32(np.sqrt(mse)),
        "MeanSquaredError": np.float32(mse),
        "MeanAbsoluteError": np.float32(ad.sum() / n),
        "RSquared": np.float32(1 - sse / sst),
        "MaxError": np.float32(ad.max()),
        "MeanSquaredLogError": np.float32(msle),
        "RootMeanSquaredLogError": np.float32(np.sqrt(msle)),
        "MeanAbsolutePercentageError": np.float32(np.abs(ad / t).sum() / n),
    }


def sklearn_version(t, p):
    from sklearn import metrics as m

    mse = m.mean_squared_error(t, p)
    msle = m.mean_squared_log_error(t, p)
    return {
        "RootMeanSquaredError": np.sqrt(mse),
        "MeanSquaredError": mse,
        "MeanAbsoluteError": m.mean_absolute_error(t, p),
        "RSquared": m.r2_score(t, p),
        "MaxError": m.max_error(t, p),
        "MeanSquaredLogError": msle,
        "RootMeanSquaredLogError": np.sqrt(msle),
        "MeanAbsolutePercentageError": m.mean_absolute_percentage_error(t, p),
    }


def main(sizes=(1_000_000, 10_000_000)):
    rng = np.random.default_rng(0)
    for n in sizes:
        t = rng.uniform(1.0, 100.0, size=n)
        p = t + rng.normal(scale=3.0, size=n).clip(-0.9, None)
        repeats = 7 if n <= 1_000_000 else 3
        ours = _morvane.py_model_perf_linear_regression(t, p)
        ref = numpy_version(t, p)
        for k in ours:
            assert abs(ours[k] - ref[k]) <= 1e-5 * max(1.0, abs(ref[k])), (k, ours[k], ref[k])
        cpu = dict(clock=time.process_time)
        rows = [
            ("morvane", median_time(lambda: _morvane.py_model_perf_linear_regression(t, p), repeats, **cpu)),
            ("numpy (vectorised)", median_time(lambda: numpy_version(t, p), repeats, **cpu)),
            ("numpy floor (read inputs once)", median_time(lambda: (t.sum(), p.sum()), repeats, **cpu)),
        ]
        try:
            rows.append(("scikit-learn", median_time(lambda: sklearn_version(t, p), max(1, repeats // 2), **cpu)))
        except ImportError:
            print("scikit-learn not installed: skipped", file=sys.stderr)
        print_table(f"regression metrics, n = {n:,} (CPU time)", rows)
        d = dict(rows)
        floor = d["numpy floor (read inputs once)"]
        print(f"morvane: {d['morvane'] / floor:.1f}x the floor (target 6x), "
              f"{d['numpy (vectorised)'] / d['morvane']:.1f}x faster than NumPy (target 3x)"
              + (f", {d['scikit-learn'] / d['morvane']:.1f}x faster than scikit-learn (target 10x)" if "scikit-learn" in d else ""))


if __name__ == "__main__":
    main(tuple(int(float(a)) for a in sys.argv[1:]) or (1_000_000, 10_000_000))
