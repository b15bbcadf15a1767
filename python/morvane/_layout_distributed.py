"""How the engines profile a table no one machine sees whole: first its layout, from mergeable
per-partition summaries, then partition profiles counted with that layout and merged as bytes.

The layout must not depend on how the rows are partitioned. Order statistics (quantile edges,
the bin rules' range and quartiles) come from a radix selection over an order-preserving 64-bit
key of each double: every pass, each partition reports, for each open bucket (a key prefix),
either its keys (when few) or a histogram of the next bits; the driver adds the reports up,
which is exact and order-free, and narrows each wanted rank to one sub-bucket. A bucket whose
keys were all shipped, or whose smallest and largest keys agree, or whose prefix is the whole
key, gives its values exactly. Columns of a few thousand values take one pass, smooth columns
up to about 10**8 values two, any column at most four. Categories and the other value-dependent
parts of a layout come from small typed samples of each column (every distinct value of a
categorical one), from which `mv.profile` itself builds them.
"""

from __future__ import annotations

import math
from functools import partial

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


# --- reading partitions (pandas DataFrames from Dask, Arrow tables from Spark) ------------------


def _is_pandas(table) -> bool:
    return hasattr(table, "iloc")


def float_values(table, name) -> np.ndarray:
    """A numeric column as float64, missing values (nulls, NaN, NA) as NaN."""
    if _is_pandas(table):
        return table[name].to_numpy(dtype=np.float64, na_value=np.nan)
    import pyarrow as pa
    import pyarrow.compute as pc

    # safe=False: integers beyond 2**53 round to the nearest double, as one machine reads them.
    return pc.cast(table.column(name), pa.float64(), safe=False).to_numpy()


def is_numeric(table, name) -> bool:
    """Integers and floats (not booleans): the columns whose values have an order."""
    if _is_pandas(table):
        from pandas.api import types

        dtype = table[name].dtype
        return types.is_numeric_dtype(dtype) and not types.is_bool_dtype(dtype)
    import pyarrow as pa

    t = table.schema.field(name).type
    return pa.types.is_integer(t) or pa.types.is_floating(t)


# A sample of a column keeps its type, so a small table of samples has the whole table's kinds:
# "distinct" keeps every distinct present value, "extremes" the rows of the least and greatest
# values, "any" one present value.


def sample(table, name, how):
    column = table[name] if _is_pandas(table) else table.column(name)
    if how == "extremes":
        v = float_values(table, name)
        present = ~np.isnan(v)
        if not present.any():
            return _take(column, [])
        idx = np.flatnonzero(present)
        return _take(column, [idx[np.argmin(v[idx])], idx[np.argmax(v[idx])]])
    if _is_pandas(table):
        column = column.dropna()
        return column.drop_duplicates() if how == "distinct" else column.iloc[:1]
    column = column.drop_null()
    if how == "distinct":
        import pyarrow.compute as pc

        return pc.unique(column)
    return column.slice(0, 1)


def _take(column, idx):
    idx = np.asarray(idx, dtype=np.int64)
    return column.iloc[idx] if hasattr(column, "iloc") else column.take(idx)


def merge_samples(how, samples):
    """The sample of the union of the partitions these samples come from."""
    if hasattr(samples[0], "iloc"):
        import pandas as pd

        return sample(pd.DataFrame({"c": pd.concat(samples, ignore_index=True)}), "c", how)
    import pyarrow as pa

    return sample(pa.table({"c": pa.chunked_array(samples, type=samples[0].type)}), "c", how)


def sample_table(empty, samples):
    """A table of the given samples in the empty table's column order, padded to one length by
    repeating a value (or with nulls)."""
    order = list(empty.columns) if _is_pandas(empty) else empty.column_names
    samples = {name: samples[name] for name in order if name in samples}
    length = max([len(s) for s in samples.values()], default=0)
    if length == 0:
        return empty
    if _is_pandas(empty):
        import pandas as pd

        cols = {}
        for name, s in samples.items():
            pad = [s.iloc[0]] * (length - len(s)) if len(s) else [None] * length
            cols[name] = pd.concat([s.reset_index(drop=True), pd.Series(pad, dtype=empty[name].dtype)], ignore_index=True)
        return pd.DataFrame(cols)
    import pyarrow as pa

    cols = {}
    for name, s in samples.items():
        s = s.combine_chunks() if isinstance(s, pa.ChunkedArray) else s
        pad = s.take(np.zeros(length - len(s), np.int64)) if len(s) else pa.nulls(length, s.type)
        cols[name] = pa.concat_arrays([s, pad]) if len(s) else pad
    return pa.table(cols, schema=pa.schema([empty.schema.field(n) for n in samples]))


# --- partition work (runs on the executors) -----------------------------------------------------


def _tallies(values, sums):
    """Counts of -inf and +inf and, if asked, the exact sums of a column's values."""
    counts = np.array([np.count_nonzero(values == -np.inf), np.count_nonzero(values == np.inf)], dtype=object)
    return np.concatenate([counts, exact_sums(values) if sums else np.zeros(3, dtype=object)])


def _summarise_chunks(plan, sampling, sums, chunks):
    """A partition's selection report, tallies of the selected columns, and column samples."""
    reports, samples = [], {name: [] for name in sampling}
    tallies = {c: np.zeros(5, dtype=object) for c in plan}
    for t in chunks:
        values = {c: float_values(t, c) for c in plan}
        reports.append(summarise(plan, values))
        for c, v in values.items():
            tallies[c] = tallies[c] + _tallies(v, sums)
        for name, how in sampling.items():
            samples[name].append(sample(t, name, how))
    if not reports:
        return None
    return combine(plan, reports), tallies, {n: merge_samples(sampling[n], s) for n, s in samples.items()}


def _combine_summaries(plan, sampling, parts):
    report = combine(plan, [p[0] for p in parts])
    tallies = {c: sum(p[1][c] for p in parts) for c in plan}
    return report, tallies, {n: merge_samples(how, [p[2][n] for p in parts]) for n, how in sampling.items()}


def engine_pass(engine, plan, sampling=None, sums=False):
    """One pass over every partition: the combined selection report, tallies and column samples."""
    sampling = sampling or {}
    out = engine.map_reduce(partial(_summarise_chunks, plan, sampling, sums), partial(_combine_summaries, plan, sampling))
    if out is None:  # no rows at all
        empty = engine.empty()
        out = (summarise(plan, {c: np.empty(0) for c in plan}), {c: np.zeros(5, dtype=object) for c in plan},
               {n: sample(empty, n, how) for n, how in sampling.items()})
    return out


def _profile_chunks(reference: bytes, options: dict, chunks):
    """A partition's profile, counted on the reference's layout, as bytes (None when empty)."""
    import morvane as mv

    like = mv.Profile.from_bytes(reference)
    merged = None
    for t in chunks:
        p = mv.profile(t, like=like, **options)
        merged = p if merged is None else merged.merge(p)
    return None if merged is None else merged.to_bytes()


def _merge_bytes(blobs):
    import morvane as mv

    return mv.merge([mv.Profile.from_bytes(b) for b in blobs]).to_bytes()


# --- the driver ---------------------------------------------------------------------------------


def _layout_columns(layout) -> set:
    cols = {f.name for f in layout.features} | {f.column for f in layout.facets}
    if layout.task is not None:
        cols |= {layout.task.target, *layout.task.prediction}
    return cols


def _sampling(layout, empty, categorical) -> dict:
    """How each column is sampled so that a small table of samples builds the same layout:
    categories need every distinct value (features that are not numbers or are named categorical,
    per-value facets, multiclass labels), a binary prediction its least and greatest values
    (probabilities or labels), every other column only its type."""
    distinct = {f.name for f in layout.features if f.name in categorical or not is_numeric(empty, f.name)}
    distinct |= {f.column for f in layout.facets if f.op == "each"}
    extremes = set()
    if layout.task is not None and layout.task.kind == "multiclass":
        distinct |= {layout.task.target, *(() if layout.task.has_proba else layout.task.prediction)}
    if layout.task is not None and layout.task.kind == "binary":
        extremes |= set(layout.task.prediction)
    return {c: "distinct" if c in distinct else "extremes" if c in extremes else "any" for c in _layout_columns(layout)}


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


def _edges(engine, columns, bins, n_bins, first=None):
    """{column: edges} of continuous columns under a quantile or rule layout, from a selection over
    the partitions; `first` is an already run first pass (report, tallies), if any."""
    from morvane import _layout, _profile

    quantile = bins == _layout.QUANTILE
    sel = OrderStatistics({c: None for c in columns})
    report, tallies = first or engine_pass(engine, sel.plan(), sums=bins == "Scott")[:2]
    tallies = {c: [int(x) for x in tallies[c]] for c in columns}
    for c in columns:  # the wanted ranks follow from the first pass's counts of infinities
        sel.ranks_for[c] = (partial(_layout.quantile_ranks, n_bins=n_bins) if quantile
                            else partial(rule_ranks, neg=tallies[c][0], pos=tallies[c][1]))
    sel.absorb(report)
    while (plan := sel.plan()) is not None:
        sel.absorb(engine_pass(engine, plan)[0])
    edges = {}
    for c in columns:
        value = sel.values[c]
        if quantile:
            edges[c] = _layout.edges_from_order_statistics([value[r] for r in _layout.quantile_ranks(sel.m[c], n_bins)])
            continue
        neg, pos, total, total_sq, overflow = tallies[c]
        n = sel.m[c] - neg - pos
        lo, hi, q1, q3 = ((value[neg], value[neg + n - 1], value[neg + math.floor(0.25 * n)],
                           value[neg + min(math.floor(0.75 * n), n - 1)]) if n > 0 else (0.0,) * 4)
        edges[c] = _layout.rule_edges_from_summary(bins, n, lo, hi, q1, q3, _profile.ExactSum(total),
                                                   _profile.ExactSum(total_sq, pos_inf=overflow))
    return edges


def build_layout(engine, options: dict, empty_layout):
    """The layout `mv.profile(whole table, **options)` builds, from passes over the partitions:
    the first pass samples the columns and starts the selection of order statistics, the next
    ones finish it (none for small tables)."""
    import dataclasses

    import morvane as mv
    from morvane import _layout

    bins = options.get("bins", _layout.QUANTILE)
    n_bins = options.get("n_bins", 10)
    ranked = isinstance(bins, str)
    categorical = options.get("categorical") or ()
    categorical = {categorical} if isinstance(categorical, str) else set(categorical)
    empty = engine.empty()
    sampling = _sampling(empty_layout, empty, categorical)
    continuous = [f.name for f in empty_layout.features if sampling[f.name] != "distinct"] if ranked else []
    if not continuous and all(how == "any" for how in sampling.values()):
        return empty_layout  # nothing in this layout depends on the values
    plan = OrderStatistics({c: None for c in continuous}).plan() or {}
    report, tallies, samples = engine_pass(engine, plan, sampling, sums=bins == "Scott")
    edges = _edges(engine, continuous, bins, n_bins, (report, tallies)) if continuous else {}
    layout = mv.profile(sample_table(empty, samples), **options).layout
    # A column whose type left its kind open (numbers in an object column) reads as continuous.
    late = [f.name for f in layout.features if f.kind == "continuous" and f.name not in edges] if ranked else []
    if late:
        edges.update(_edges(engine, late, bins, n_bins))
    features = tuple(dataclasses.replace(f, edges=tuple(edges[f.name])) if f.name in edges and f.kind == "continuous"
                     else f for f in layout.features)
    return dataclasses.replace(layout, features=features)


def profile_distributed(engine, options: dict):
    """`mv.profile(whole table, **options)` computed over an engine's partitions."""
    import morvane as mv

    import inspect

    options = dict(options)
    options.pop("progress", None)  # no progress bars on the executors
    # One thread per task unless asked: the engine already runs a task per core.
    threads = {"threads": options.pop("threads", 1)} if "threads" in inspect.signature(mv.profile).parameters else {}
    like = options.pop("like", None)
    # The options are checked on a table without values first, so a mistake raises before any job runs.
    layout = mv.profile(engine.probe(), like=like, **options).layout
    used = [c for c in engine.columns if c in _layout_columns(layout)]
    if like is None:
        layout = build_layout(engine.select(used), options, layout)
    empty = mv.profile(engine.empty(), like=layout)
    blob = engine.select(used).map_reduce(partial(_profile_chunks, empty.to_bytes(), {"progress": False, **threads}),
                                          _merge_bytes)
    return empty if blob is None else mv.merge([empty, mv.Profile.from_bytes(blob)])
