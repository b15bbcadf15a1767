"""Mergeable summaries of numeric columns: exact order statistics and exact sums.

Order statistics come from a radix selection over an order-preserving 64-bit key of each double:
every pass, each partition reports, for each open bucket (a key prefix), either its keys (when
few) or a histogram of the next bits; the driver adds the reports up, which is exact and
order-free, and narrows each wanted rank to one sub-bucket. A bucket whose keys were all shipped,
or whose smallest and largest keys agree, or whose prefix is the whole key, gives its values
exactly. Columns of a few thousand values take one pass, smooth columns up to about 10**8 values
two, any column at most four. Sums are exact integers in units of 2**-1074, so they merge by
addition.
"""

from __future__ import annotations

import math

import numpy as np

TOP = np.uint64(1 << 63)
# A partition ships a bucket's keys instead of a histogram when it holds at most this many.
LOCAL_SHIP = 4096
# The driver asks every partition for a bucket's keys once the bucket holds at most this many.
SHIP_MAX = 1 << 16
# The first pass's histogram: sign, exponent and 8 bits of mantissa, so that a bucket holds
# about 1/256 of a binade and, up to about 10**8 smooth values, the second pass ships its keys.
FIRST_BITS = 20


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


def _add_histograms(parts):
    """The sum of sparse histograms (occupied sub-buckets and their counts)."""
    idx, inverse = np.unique(np.concatenate([p[0] for p in parts]), return_inverse=True)
    # float64 weights are exact: every count stays far below 2**53.
    total = np.bincount(inverse.ravel(), weights=np.concatenate([p[1] for p in parts]), minlength=len(idx))
    return idx.astype(np.uint32), total.astype(np.int64)


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
        inside = [None] * len(probes)
        # One scan per prefix length finds every probe's keys: a binary search among its prefixes.
        for level in sorted({p[0] for p in probes}):
            which = [i for i, p in enumerate(probes) if p[0] == level]
            if level == 0:
                for i in which:
                    inside[i] = keys
                continue
            prefixes = np.array([probes[i][1] for i in which], dtype=np.uint64)
            top = _top(keys, level)
            if level <= 22:  # short prefixes: a lookup table, a third of a binary search's time
                table = np.full(1 << level, -1, np.int32)
                table[prefixes.astype(np.intp)] = np.arange(len(which))
                slot = table[top.astype(np.intp)]
                hit = slot >= 0
            else:
                order = np.argsort(prefixes)
                pos = np.minimum(np.searchsorted(prefixes[order], top), len(order) - 1)
                hit = prefixes[order][pos] == top
                slot = order[pos]
            slot, found = slot[hit], keys[hit]
            by_slot = np.argsort(slot, kind="stable")
            bounds = np.searchsorted(slot[by_slot], np.arange(len(which) + 1))
            for j, i in enumerate(which):
                inside[i] = found[by_slot[bounds[j]:bounds[j + 1]]]
        report[name] = [_probe(keys_in, *probe) for keys_in, probe in zip(inside, probes)]
    return report


def _probe(inside, level, prefix, width, ship):
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
    if len(entries) == 1 and (entries[0][3] is None or ship or entries[0][0] <= SHIP_MAX):
        return entries[0]
    n = sum(e[0] for e in entries)
    lo, hi = min(e[1] for e in entries), max(e[2] for e in entries)
    if all(e[3] is not None for e in entries) and (ship or n <= SHIP_MAX or lo == hi):
        return (n, lo, hi, np.concatenate([e[3] for e in entries]), None)
    hists = [e[4] if e[4] is not None else _histogram(_sub(e[3], level, width), width) for e in entries]
    return (n, lo, hi, None, _add_histograms(hists))


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
                # 16 more bits a pass: the whole key is known after at most four passes.
                slot = new[(level2, prefix2)] = [min(64 - level2, 16), size <= SHIP_MAX, []]
            slot[2].append((rank, r - below))


def order_statistics(ranks_for: dict, run_pass) -> tuple[dict, dict, int]:
    """Run the selection to the end. `run_pass(plan)` returns the combined report over all partitions.

    Returns ({column: m}, {column: {rank: value}}, number of passes).
    """
    sel = OrderStatistics(ranks_for)
    while (plan := sel.plan()) is not None:
        sel.absorb(run_pass(plan))
    return sel.m, sel.values, sel.passes


def rule_ranks(m, neg, pos):
    """Ranks (among all m present values, the neg -inf first) of the finite values' minimum,
    maximum and the two quartiles the Freedman-Diaconis rule reads."""
    n = m - neg - pos
    if n <= 0:
        return []
    return sorted({neg, neg + n - 1, neg + math.floor(0.25 * n), neg + min(math.floor(0.75 * n), n - 1)})


def scaled_sum(values) -> int:
    """The exact sum of finite doubles, times 2**1074 (an integer: every double is a multiple of 2**-1074)."""
    total = 0
    for start in range(0, len(values), 1 << 24):  # float64 tallies below stay exact (< 2**53)
        f, e = np.frexp(values[start:start + (1 << 24)])
        m = (f * 2.0**53).astype(np.int64)  # the value is m * 2**(e - 53), m an exact integer
        group = e.astype(np.intp) + 1073  # frexp's exponents run from -1073 up
        hi = np.bincount(group, weights=m >> 26)
        lo = np.bincount(group, weights=m & ((1 << 26) - 1))
        for g in np.flatnonzero(hi.astype(bool) | lo.astype(bool)):
            t = (int(hi[g]) << 26) + int(lo[g])
            shift = int(g) - 1073 - 53 + 1074
            total += t << shift if shift >= 0 else t >> -shift  # exact: each term is a multiple
    return total


def exact_sums(values):
    """Scaled exact sums of the finite values and of their squares (rounded to double first, as one
    machine squares them), and the count of squares that overflow."""
    finite = values[np.isfinite(values)]
    squares = finite * finite
    big = np.isinf(squares)
    return np.array([scaled_sum(finite), scaled_sum(squares[~big]), int(np.count_nonzero(big))], dtype=object)
