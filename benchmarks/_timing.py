"""Shared timing helpers: medians of repeats and a printed comparison table."""

import statistics
import time


def median_time(fn, repeats=5, warmup=1, clock=time.perf_counter):
    """Median of `repeats` runs by `clock`: wall time by default, `time.process_time` for the
    CPU time of all threads (the work done, whatever else loads the machine)."""
    for _ in range(warmup):
        fn()
    times = []
    for _ in range(repeats):
        start = clock()
        fn()
        times.append(clock() - start)
    return statistics.median(times)


def print_table(title, rows, ours="morvane"):
    """rows: list of (label, seconds). Ratios are each row's time over ours."""
    base = dict(rows)[ours]
    print(f"\n{title}")
    print(f"{'implementation':<34}{'median':>12}{'ratio to morvane':>20}")
    for label, seconds in rows:
        print(f"{label:<34}{seconds * 1e3:>10.2f}ms{seconds / base:>19.2f}x")
