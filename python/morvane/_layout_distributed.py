"""Exact order statistics and distinct values from mergeable per-partition summaries.

The engines build a profile's layout (quantile edges, category sets) without one machine seeing
all rows, and the result must not depend on how the rows are partitioned. Order statistics come
from a radix selection over an order-preserving 64-bit key of each double: every pass, each
partition reports, for each open bucket (a key prefix), either its keys (when few) or a histogram
of the next bits; the driver adds the reports up, which is exact and order-free, and narrows each
wanted rank to one sub-bucket. A bucket whose keys were all shipped, or whose smallest and largest
keys agree, or whose prefix is the whole key, gives its values exactly. Tables of a few thousand
rows per column take one pass; ten million rows of smooth data take three.
"""

from __future__ import annotations

import numpy as np

TOP = np.uint64(1 << 63)
# A partition ships a bucket's keys instead of a histogram when it holds at most this many.
LOCAL_SHIP = 4096
# The driver asks every partition for a bucket's keys once the bucket holds at most this many.
SHIP_MAX = 1 << 16
FIRST_BITS = 16


def float_keys(values) -> np.ndarray:
    """Order-preserving uint64 keys of the non-missing values (NaN dropped; -0.0 reads as 0.0)."""
    x = np.asarray(values, dtype=np.float64)
    x = x[~np.isnan(x)] + 0.0
    bits = x.view(np.uint64)
    # Negative doubles: all bits flipped; others: the sign bit set. Integer order is then value order.
    flip = (x.view(np.int64) >> 63).view(np.uint64) | TOP
    return bits ^ flip


def key_floats(keys) -> np.ndarray:
    """The doubles whose keys these are."""
    k = np.atleast_1d(np.asarray(keys, dtype=np.uint64))
    flip = np.where(k & TOP, TOP, ~np.uint64(0))
    return (k ^ flip).view(np.float64)


def _top(keys: np.ndarray, bits: int) -> np.ndarray:
    """The first `bits` bits of each key, as a right-aligned integer (0 bits: all zero)."""
    if bits == 0:
        return np.zeros(len(keys), dtype=np.uint64)
    return keys >> np.uint64(64 - bits)


def _sub(keys: np.ndarray, level: int, width: int) -> np.ndarray:
    """The `width` bits after the first `level` bits of each key."""
    return ((keys >> np.uint64(64 - level - width)) & np.uint64((1 << width) - 1)).astype(np.intp)


def _histogram(sub: np.ndarray, width: int):
    counts = np.bincount(sub, minlength=1 << width)
    idx = np.flatnonzero(counts)
    return idx.astype(np.uint32), counts[idx].astype(np.int64)


def _add_histograms(parts, width: int):
    idx = np.concatenate([p[0] for p in parts]).astype(np.intp)
    # float64 weights are exact: every count stays far below 2**53.
    total = np.bincount(idx, weights=np.concatenate([p[1] for p in parts]), minlength=1 << width)
    nz = np.flatnonzero(total)
    return nz.astype(np.uint32), total[nz].astype(np.int64)


# --- executor side ---------------------------------------------------------------------------
# A plan maps each column to a list of probes (level, prefix, width, ship): the bucket of keys
# whose first `level` bits equal `prefix`, and whether to ship its keys or a `width`-bit histogram.
# A report maps each column to one entry per probe: (count, min key, max key, keys or None,
# histogram or None).


def summarise(plan: dict, column_values: dict) -> dict:
    """One partition's report for `plan`; `column_values` maps each column to float64 values (NaN missing)."""
    report = {}
    for name, probes in plan.items():
        keys = float_keys(column_values[name])
        report[name] = [_probe(keys, *probe) for probe in probes]
    return report


def _probe(keys, level, prefix, width, ship):
    inside = keys[_top(keys, level) == np.uint64(prefix)] if level else keys
    n = len(inside)
    if n == 0:
        return (0, None, None, inside, None)
    lo, hi = int(inside.min()), int(inside.max())
    if ship or n <= LOCAL_SHIP or lo == hi:
        return (n, lo, hi, inside, None)
    return (n, lo, hi, None, _histogram(_sub(inside, level, width), width))


def combine(plan: dict, reports: list) -> dict:
    """The report of the union of the partitions these reports describe (associative, order-free)."""
    out = {}
    for name, probes in plan.items():
        out[name] = [_combine_probe(probe, [r[name][i] for r in reports]) for i, probe in enumerate(probes)]
    return out


def _combine_probe(probe, entries):
    level, _prefix, width, ship = probe
    entries = [e for e in entries if e[0]]
    if not entries:
        return (0, None, None, np.empty(0, np.uint64), None)
    n = sum(e[0] for e in entries)
    lo, hi = min(e[1] for e in entries), max(e[2] for e in entries)
    if all(e[3] is not None for e in entries) and (ship or n <= SHIP_MAX or lo == hi):
        return (n, lo, hi, np.concatenate([e[3] for e in entries]), None)
    hists = [e[4] if e[4] is not None else _histogram(_sub(e[3], level, width), width) for e in entries]
    return (n, lo, hi, None, _add_histograms(hists, width))


# --- driver side -----------------------------------------------------------------------------


class OrderStatistics:
    """Driver state of an exact selection of order statistics over many columns.

    `ranks_for[column](m)` gives the wanted 0-based ranks among the column's m non-missing values,
    once m is known (after the first pass). Loop: `plan()` (None when done), run `summarise` on
    every partition, `combine` the reports, `absorb` the combined report.
    """

    def __init__(self, ranks_for: dict):
        self.ranks_for = dict(ranks_for)
        self.m = {}
        self.values = {}  # column -> {rank: value}
        # column -> {(level, prefix): [width, ship, [(rank, residual rank), ...]]}; the first pass
        # opens the whole column with rank list None (not known yet).
        self.open = {c: {(0, 0): [FIRST_BITS, False, None]} for c in self.ranks_for}
        self.passes = 0

    def plan(self):
        plan = {c: [(lv, px, w, s) for (lv, px), (w, s, _) in probes.items()] for c, probes in self.open.items() if probes}
        return plan or None

    def absorb(self, report: dict):
        self.passes += 1
        for column, entries in report.items():
            probes = self.open[column]
            new = {}
            for ((level, prefix), (width, _ship, wanted)), entry in zip(list(probes.items()), entries):
                if wanted is None:  # first pass: the column's size is now known
                    m = entry[0]
                    self.m[column] = m
                    self.values[column] = {}
                    wanted = [(r, r) for r in sorted(set(self.ranks_for[column](m)))]
                    if any(not 0 <= r < m for r, _ in wanted):
                        raise ValueError(f"rank out of range for column {column!r}")
                if wanted:
                    self._narrow(column, level, prefix, width, entry, wanted, new)
            self.open[column] = new

    def _narrow(self, column, level, prefix, width, entry, wanted, new):
        n, lo, hi, keys, hist = entry
        done = self.values[column]
        if lo == hi:
            for rank, _ in wanted:
                done[rank] = float(key_floats(lo)[0])
            return
        if keys is not None:
            ordered = np.sort(keys)
            for rank, r in wanted:
                done[rank] = float(key_floats(ordered[r])[0])
            return
        idx, counts = hist
        ends = np.cumsum(counts)
        for rank, r in wanted:
            j = int(np.searchsorted(ends, r, side="right"))
            below = int(ends[j - 1]) if j else 0
            level2, prefix2, size = level + width, (prefix << width) | int(idx[j]), int(counts[j])
            if level2 == 64:
                done[rank] = float(key_floats(prefix2)[0])
                continue
            slot = new.get((level2, prefix2))
            if slot is None:
                # About 256 keys per sub-bucket, so the next pass usually ships them.
                next_width = min(64 - level2, 16, max(4, (size >> 8).bit_length()))
                slot = new[(level2, prefix2)] = [next_width, size <= SHIP_MAX, []]
            slot[2].append((rank, r - below))


def order_statistics(ranks_for: dict, run_pass) -> tuple[dict, dict, int]:
    """Run the selection to the end. `run_pass(plan)` returns the combined report over all partitions.

    Returns ({column: m}, {column: {rank: value}}, number of passes).
    """
    sel = OrderStatistics(ranks_for)
    while (plan := sel.plan()) is not None:
        sel.absorb(run_pass(plan))
    return sel.m, sel.values, sel.passes


def quantile_ranks(n_bins: int):
    """Ranks floor(k*m/n_bins), k = 1 .. n_bins-1, of the quantile layout (none for m = 0)."""
    return lambda m: [k * m // n_bins for k in range(1, n_bins)] if m else []


# --- reading partitions (pandas DataFrames from Dask, Arrow tables from Spark) ------------------


def float_values(table, name) -> np.ndarray:
    """A numeric column as float64, missing values (nulls, NaN, NA) as NaN."""
    if hasattr(table, "iloc"):
        return table[name].to_numpy(dtype=np.float64, na_value=np.nan)
    import pyarrow as pa
    import pyarrow.compute as pc

    # safe=False: integers beyond 2**53 round to the nearest double, as one machine reads them.
    return pc.cast(table.column(name), pa.float64(), safe=False).to_numpy()


def distinct_values(table, name) -> list:
    """The distinct non-missing values of a column, as Python objects, in no particular order."""
    if hasattr(table, "iloc"):
        return list(table[name].dropna().unique())
    import pyarrow.compute as pc

    return pc.unique(table.column(name)).drop_null().to_pylist()


def _summarise_chunks(plan, chunks):
    reports = [summarise(plan, {c: float_values(t, c) for c in plan}) for t in chunks]
    return combine(plan, reports) if reports else None


def engine_pass(engine, plan):
    """One selection pass over every partition of an engine's table: the combined report."""
    from functools import partial

    report = engine.map_reduce(partial(_summarise_chunks, plan), partial(combine, plan))
    if report is None:  # no rows at all
        report = summarise(plan, {c: np.empty(0) for c in plan})
    return report
