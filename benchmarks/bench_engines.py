"""Profiles on Spark and Dask against the engines' own aggregates, whylogs, and one machine.

Run against an installed morvane (with Java for Spark):
    python benchmarks/bench_engines.py [--rows 10000000] [--columns 20] [--partitions 16]

Spark (local[2]): `morvane.spark.profile` with `like=` (one pass: the monitoring case) and without
(layout passes plus the counting pass: the reference case), against `df.agg` of one sum per column
(a floor: one pass in the JVM, no Python) and whylogs' Spark integration when it is installed.
Dask (a LocalCluster of two worker processes): `morvane.dask.profile` against `mv.profile` of the
same rows on one machine. Medians of --repeats runs; ratios are peer time over morvane time
(> 1 means morvane is faster) and, for the native aggregate, morvane time over its time.
"""

import argparse
import os
import statistics
import sys
import time

import numpy as np


def median_time(fn, repeats):
    times, result = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def print_rows(title, rows):
    print(f"\n{title}")
    print(f"{'run':<52}{'median':>10}  note")
    for label, seconds, note in rows:
        print(f"{label:<52}{seconds:>9.2f}s  {note}")


def bench_spark(args):
    os.environ.setdefault("SPARK_LOCAL_IP", "127.0.0.1")
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    from pyspark.sql import SparkSession, functions as F

    import morvane as mv
    import morvane.spark

    spark = (SparkSession.builder.master("local[2]").appName("bench-engines")
             .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
             .config("spark.driver.memory", "6g").config("spark.sql.shuffle.partitions", "4").getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    cols = [f"c{i}" for i in range(args.columns)]
    df = spark.range(args.rows, numPartitions=args.partitions).select(
        *[(F.randn(seed=i) * (i + 1)).alias(c) for i, c in enumerate(cols)]).cache()
    df.count()
    rows = []
    native, _ = median_time(lambda: df.agg(*[F.sum(c) for c in cols]).collect(), args.repeats)
    rows.append(("Spark df.agg(sum of each column)", native, "floor: one pass in the JVM"))
    ref_t, reference = median_time(lambda: morvane.spark.profile(df), args.repeats)
    like_t, current = median_time(lambda: morvane.spark.profile(df, like=reference), args.repeats)
    rows.append(("morvane.spark.profile(df, like=reference)", like_t, f"{like_t / native:.2f}x the aggregate"))
    rows.append(("morvane.spark.profile(df)  (layout + counts)", ref_t, f"{ref_t / native:.2f}x the aggregate"))
    if args.rows <= args.check_rows:
        one = mv.profile(df.toArrow())
        rows.append(("  equals mv.profile(df.toArrow()) byte for byte", 0.0, str(reference.to_bytes() == one.to_bytes())))
    try:
        if args.no_whylogs:
            raise ImportError("--no-whylogs")
        from whylogs.api.pyspark.experimental import collect_dataset_profile_view
    except Exception as e:  # not installed, or not importable beside this pyspark / pandas
        rows.append(("whylogs collect_dataset_profile_view(df)", float("nan"), f"skipped: {type(e).__name__}: {e}"))
    else:
        try:
            why, _ = median_time(lambda: collect_dataset_profile_view(df), args.repeats)
            rows.append(("whylogs collect_dataset_profile_view(df)", why,
                         f"{why / like_t:.1f}x like=, {why / ref_t:.1f}x layout + counts"))
        except Exception as e:
            rows.append(("whylogs collect_dataset_profile_view(df)", float("nan"), f"failed: {type(e).__name__}: {e}"))
    df.unpersist()
    spark.stop()
    print_rows(f"Spark local[2]: {args.rows:,} rows x {args.columns} columns, {args.partitions} partitions", rows)


def _chunk(i, rows, columns, seed=0):
    import pandas as pd

    rng = np.random.default_rng([seed, i])
    return pd.DataFrame({f"c{j}": rng.normal(size=rows) * (j + 1) for j in range(columns)})


def bench_dask(args):
    import dask.dataframe as dd
    import pandas as pd
    from distributed import Client, LocalCluster

    import morvane as mv
    import morvane.dask

    sizes = [len(a) for a in np.array_split(np.empty(args.rows, np.int8), args.partitions)]
    rows = []
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster):
        ddf = dd.from_map(lambda i: _chunk(i, sizes[i], args.columns), range(args.partitions)).persist()
        local = pd.concat([_chunk(i, sizes[i], args.columns) for i in range(args.partitions)], ignore_index=True)
        one_t, one = median_time(lambda: mv.profile(local), args.repeats)
        rows.append(("mv.profile(pandas) on one machine (layout + counts)", one_t, "all cores of the driver"))
        ref_t, reference = median_time(lambda: morvane.dask.profile(ddf), args.repeats)
        rows.append(("morvane.dask.profile(ddf)  (layout + counts)", ref_t, f"{ref_t / one_t:.2f}x one machine"))
        one_like, _ = median_time(lambda: mv.profile(local, like=reference), args.repeats)
        rows.append(("mv.profile(pandas, like=reference) on one machine", one_like, ""))
        like_t, _ = median_time(lambda: morvane.dask.profile(ddf, like=reference), args.repeats)
        rows.append(("morvane.dask.profile(ddf, like=reference)", like_t, f"{like_t / one_like:.2f}x one machine"))
        rows.append(("  equals mv.profile(pandas) byte for byte", 0.0, str(reference.to_bytes() == one.to_bytes())))
    print_rows(f"Dask LocalCluster (2 worker processes): {args.rows:,} rows x {args.columns} columns, "
               f"{args.partitions} partitions", rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--columns", type=int, default=20)
    parser.add_argument("--partitions", type=int, default=16)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--check-rows", type=int, default=2_000_000,
                        help="compare with a one-machine profile up to this many rows (Spark)")
    parser.add_argument("--only", choices=["spark", "dask"])
    parser.add_argument("--no-whylogs", action="store_true", help="skip whylogs (about 60 s a million rows)")
    args = parser.parse_args()
    if args.only != "dask":
        bench_spark(args)
    if args.only != "spark":
        bench_dask(args)


if __name__ == "__main__":
    main()
