"""Profiling a wide table: morvane against a NumPy/pandas loop and whylogs, threads, input kinds,
peak memory, and the byte form.

    python benchmarks/bench_profile.py [--rows 1000000] [--whylogs-rows 200000] [--repeats 3]

The table has 100 float64 columns and 10 string columns. whylogs is timed on the first
--whylogs-rows rows and its time scaled linearly to the full table (it is far slower; the scaling
is printed). Targets: >= 50x whylogs, >= 5x the NumPy loop, 2 threads >= 1.7x one thread, peak
memory at most the input plus a few MB, pyarrow and polars inputs as fast as NumPy."""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _timing import median_time, print_table  # noqa: E402

import morvane as mv  # noqa: E402


def make_table(rows, seed=0):
    import pandas as pd

    rng = np.random.default_rng(seed)
    data = {f"f{i}": rng.normal(i, 1 + i % 7, rows) for i in range(100)}
    words = np.array([f"value-{k}" for k in range(50)])
    for i in range(10):
        data[f"s{i}"] = words[rng.integers(0, 5 + 5 * i, rows)]
    df = pd.DataFrame(data)
    for i in range(10):
        df[f"s{i}"] = df[f"s{i}"].astype("str")
    return df


def numpy_loop(df):
    for name in df.columns:
        col = df[name]
        if col.dtype.kind == "f":
            np.histogram(col.to_numpy(), bins=10)
        else:
            col.value_counts()


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_growth(fn) -> int:
    """Peak resident memory above the level before fn, sampled every millisecond."""
    import threading

    base, peak, done = rss(), [0], threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], rss() - base)
            time.sleep(0.001)

    t = threading.Thread(target=sample)
    t.start()
    try:
        fn()
    finally:
        done.set()
        t.join()
    return max(peak[0], rss() - base)


def cpu_time(fn, repeats):
    """Median process CPU time (all threads)."""
    return median_time(fn, repeats, warmup=0, clock=time.process_time)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--whylogs-rows", type=int, default=100_000)
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    rows, rep = args.rows, args.repeats

    df = make_table(rows)
    print(f"table: {rows:,} rows x {df.shape[1]} columns (100 float64, 10 str), "
          f"{df.memory_usage(deep=True).sum() / 1e6:.0f} MB")
    ref = mv.profile(df, threads=2)

    t_full2 = median_time(lambda: mv.profile(df, threads=2), rep)
    t_full1 = median_time(lambda: mv.profile(df, threads=1), rep)
    t_like2 = median_time(lambda: mv.profile(df, like=ref, threads=2), rep)
    t_like1 = median_time(lambda: mv.profile(df, like=ref, threads=1), rep)
    t_numpy = median_time(lambda: numpy_loop(df), rep)
    t_floor = median_time(lambda: [df[c].to_numpy().sum() for c in df.columns[:100]], rep)

    c_full = cpu_time(lambda: mv.profile(df, threads=1), rep)
    c_like = cpu_time(lambda: mv.profile(df, like=ref, threads=1), rep)
    c_numpy = cpu_time(lambda: numpy_loop(df), rep)
    print_table("CPU time, one thread (independent of other load on the machine)",
                [("morvane", c_full), ("morvane counting (like=)", c_like), ("NumPy/pandas loop", c_numpy)])
    print(f"load average while measuring: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")

    # The string columns alone, in each input kind, against pandas value_counts on the same kind
    # (np.unique for NumPy unicode arrays, which pandas would first turn into Python objects).
    texts = df[[f"s{i}" for i in range(10)]]
    tref = mv.profile(texts, threads=1)
    kinds = [
        ("Arrow-backed pandas str", {k: texts[k] for k in texts.columns},
         "pandas value_counts", lambda c: c.value_counts()),
        ("object columns of str", {k: texts[k].astype(object) for k in texts.columns},
         "pandas value_counts, object", lambda c: c.value_counts()),
        ("dictionary (pandas categorical)", {k: texts[k].astype("category") for k in texts.columns},
         "pandas value_counts, categorical", lambda c: c.value_counts()),
        ("NumPy unicode arrays", {k: texts[k].to_numpy(dtype=str) for k in texts.columns},
         "np.unique(return_counts=True)", lambda c: np.unique(c, return_counts=True)),
    ]
    for kind, cols, peer, count in kinds:
        print_table(f"CPU time, 10 string columns counted (like=), one thread: {kind}",
                    [("morvane", cpu_time(lambda cols=cols: mv.profile(cols, like=tref, threads=1), rep)),
                     (peer, cpu_time(lambda cols=cols, count=count: [count(c) for c in cols.values()], rep))])

    rows_table = [("morvane", t_full2), ("morvane, 1 thread", t_full1), ("NumPy/pandas loop", t_numpy),
                  ("NumPy floor (sum each float column)", t_floor)]
    try:
        np.unicode_ = np.str_  # whylogs 1.6 still names the alias NumPy 2 removed
        import whylogs as why

        small = df.iloc[: args.whylogs_rows]
        start = time.perf_counter()
        why.log(small)
        t_why = (time.perf_counter() - start) * rows / len(small)
        rows_table.append((f"whylogs (scaled from {len(small):,} rows)", t_why))
    except Exception as e:  # not installable beside this NumPy/pandas, or failing on it
        print(f"whylogs skipped: {type(e).__name__}: {e}")
    print_table("Profile with layout (quantile edges + categories, then counts), 2 threads", rows_table)

    print_table("Counting only (like=reference), 2 threads", [("morvane", t_like2), ("morvane, 1 thread", t_like1),
                                                            ("NumPy/pandas loop", t_numpy)])
    print(f"\nthreads: full profile 1 -> 2 threads speed-up {t_full1 / t_full2:.2f}x; "
          f"counting {t_like1 / t_like2:.2f}x")

    # Input kinds: the same float columns, read without copying.
    import pandas as pd  # noqa: F401
    import polars as pl
    import pyarrow as pa

    floats = df[[f"f{i}" for i in range(100)]]
    fref = mv.profile(floats, threads=2)
    inputs = {
        "morvane": {k: floats[k].to_numpy() for k in floats.columns},
        "pandas DataFrame": floats,
        "pyarrow Table": pa.Table.from_pandas(floats, preserve_index=False),
        "polars DataFrame": pl.from_pandas(floats),
    }
    print_table("Input kinds, 100 float64 columns, counting (like=), 2 threads; 'morvane' = dict of NumPy arrays",
                [(k, median_time(lambda t=t: mv.profile(t, like=fref, threads=2), rep)) for k, t in inputs.items()])

    import gc

    gc.collect()
    growth_full = peak_growth(lambda: mv.profile(df, threads=2))
    growth_like = peak_growth(lambda: mv.profile(df, like=ref, threads=2))
    print(f"\npeak memory above the input ({df.memory_usage(deep=True).sum() / 1e6:.0f} MB): full profile "
          f"{growth_full / 1e6:.1f} MB, counting {growth_like / 1e6:.1f} MB (RSS sampled every ms)")

    b = ref.to_bytes()
    from morvane.state import format as _format

    enc = median_time(lambda: _format.encode_profile(ref), 20)
    dec = median_time(lambda: mv.Profile.from_bytes(b), 20)
    print(f"bytes of the 110-column profile: {len(b):,} B; encode {enc * 1e3:.2f} ms, decode {dec * 1e3:.2f} ms")


if __name__ == "__main__":
    main()
