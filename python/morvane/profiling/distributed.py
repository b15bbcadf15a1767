"""How the engines profile a table no one machine sees whole: first its layout, from mergeable
per-partition summaries, then partition profiles counted with that layout and merged as bytes.

The layout must not depend on how the rows are partitioned. Edges come from exact order
statistics and exact sums (`_summaries`). Categories and the other value-dependent parts of a
layout come from small typed samples of each column (every distinct value of a categorical one),
from which `mv.profile` itself builds them.
"""

from __future__ import annotations

import dataclasses
import math
from functools import partial

import numpy as np

from morvane.profiling.extras import completed
from morvane.profiling.profile import profile
from morvane.profiling.roles import KEY_ROWS, warn_keys
from morvane.profiling.summaries import OrderStatistics, combine, exact_sums, rule_ranks, summarise
from morvane.state import layout as layout_rules
from morvane.state.exact_sum import ExactSum
from morvane.state.joint import JointLayout, scale_of
from morvane.state.prediction_bins import N_BINS as PREDICTION_BINS, PredictionBinsLayout
from morvane.state.sections import with_extra
from morvane.state.profile import Profile, merge
from morvane.tables import kinds
from morvane.tables.read import read_table


# --- reading partitions (pandas DataFrames from Dask, Arrow tables from Spark) ------------------


def float_values(table, name) -> np.ndarray:
    """A numeric column as float64 exactly as one machine reads it (integers beyond 2**53 rounded,
    times as UTC nanoseconds, decimals as numbers), missing values (nulls, NaN, NA, NaT) as NaN."""
    t = read_table({name: kinds.column(table, name)})
    out = np.empty(t.n_rows, dtype=np.float64)
    if t.n_rows:
        t.columns.numbers_into(t.slot(name), out.__array_interface__["data"][0])
    return out


def is_numeric(table, name) -> bool:
    """Integers, floats, times and decimals (not booleans): the columns whose values have an order."""
    if kinds.is_pandas(table):
        from pandas.api import types

        dtype = table[name].dtype
        return ((types.is_numeric_dtype(dtype) and not types.is_bool_dtype(dtype))
                or types.is_datetime64_any_dtype(dtype) or types.is_timedelta64_dtype(dtype))
    import pyarrow as pa

    t = table.schema.field(name).type
    return (pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_timestamp(t) or pa.types.is_date(t)
            or pa.types.is_duration(t) or pa.types.is_time(t) or pa.types.is_decimal(t))


# A sample of a column keeps its type, so a small table of samples has the whole table's kinds:
# "distinct" keeps every distinct present value, "extremes" the rows of the least and greatest
# values, "any" one present value.


def sample(table, name, how):
    column = kinds.column(table, name)
    if how == "extremes":
        v = float_values(table, name)
        present = ~np.isnan(v)
        if not present.any():
            return _take(column, [])
        idx = np.flatnonzero(present)
        return _take(column, [idx[np.argmin(v[idx])], idx[np.argmax(v[idx])]])
    if kinds.is_pandas(table):
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
    order = list(empty.columns) if kinds.is_pandas(empty) else empty.column_names
    samples = {name: samples[name] for name in order if name in samples}
    length = max([len(s) for s in samples.values()], default=0)
    if length == 0:
        return empty
    if kinds.is_pandas(empty):
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
    return pa.table(cols)  # the samples' own types: those the executors read


# --- keys: columns whose values are all present and distinct over the whole table --------------


def is_key_type(table, name) -> bool:
    """Integer and text columns can be keys (floats, booleans and times cannot)."""
    if kinds.is_pandas(table):
        from pandas.api import types

        dtype = table[name].dtype
        return (types.is_integer_dtype(dtype) or types.is_string_dtype(dtype) or types.is_object_dtype(dtype)
                or getattr(dtype, "name", "") == "category") and not types.is_bool_dtype(dtype)
    import pyarrow as pa

    t = table.schema.field(name).type
    if pa.types.is_dictionary(t):
        t = t.value_type
    return pa.types.is_integer(t) or pa.types.is_string(t) or pa.types.is_large_string(t) or pa.types.is_string_view(t)


def _distinct_values(table, name):
    """The column's values sorted when all are present and distinct, else None."""
    column = kinds.column(table, name)
    if (column.isna().any() if kinds.is_pandas(table) else column.null_count):
        return None
    values = column.to_numpy(dtype=object) if kinds.is_pandas(table) else np.array(column.to_pylist(), dtype=object)
    if len(values) and isinstance(values[0], str):
        values = values.astype(str)
    try:
        values = np.sort(values)
    except TypeError:
        return None
    if len(values) > 1 and (values[1:] == values[:-1]).any():
        return None
    return values


def _key_chunks(names, chunks):
    rows, found = 0, {n: [] for n in names}
    for t in chunks:
        rows += len(t)
        for n in names:
            if found[n] is not None:
                v = _distinct_values(t, n)
                found[n] = None if v is None else found[n] + [v]
    return rows, found


def _combine_keys(names, parts):
    rows = sum(p[0] for p in parts)
    found = {}
    for n in names:
        pieces = [p[1][n] for p in parts]
        if any(x is None for x in pieces):
            found[n] = None
            continue
        values = [v for piece in pieces for v in piece]
        merged = np.sort(np.concatenate(values)) if values else np.array([])
        found[n] = None if len(merged) > 1 and (merged[1:] == merged[:-1]).any() else [merged]
    return rows, found


def find_keys(engine, candidates, key_rows) -> list:
    """The candidates whose values are all present and distinct over at least `key_rows` rows: one
    pass, each partition's sorted values shipped only while every partition so far is distinct."""
    if not candidates:
        return []
    out = engine.map_reduce(partial(_key_chunks, candidates), partial(_combine_keys, candidates))
    if out is None:
        return []
    rows, found = out
    if rows < key_rows:
        return []
    return [n for n in candidates if found[n] is not None and sum(len(v) for v in found[n]) == rows]


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
    like = Profile.from_bytes(reference)
    merged = None
    for t in chunks:
        p = profile(t, like=like, **options)
        merged = p if merged is None else merged.merge(p)
    return None if merged is None else merged.to_bytes()


def _merge_bytes(blobs):
    return merge([Profile.from_bytes(b) for b in blobs]).to_bytes()


# --- the driver ---------------------------------------------------------------------------------


def _layout_columns(layout) -> set:
    cols = {f.name for f in layout.features} | {f.column for f in layout.facets}
    if layout.task is not None:
        cols |= {layout.task.target, *layout.task.prediction, *layout.task.score}
    if layout.timestamp is not None:
        cols.add(layout.timestamp)
    if layout.segments is not None:
        cols |= set(layout.segments.columns)
    return cols | {c for rule in layout.extra("rules") or () for c in rule.columns()}


def _sampling(layout, empty, categorical) -> dict:
    """How each column is sampled so that a small table of samples builds the same layout:
    categories need every distinct value (features that are not numbers or are named categorical,
    per-value facets, multiclass and binary labels: the positive must be one of them), predictions
    and scores their least and greatest values (probabilities must lie in [0, 1]), every other
    column only its type."""
    distinct = {f.name for f in layout.features if f.name in categorical or not is_numeric(empty, f.name)}
    distinct |= {f.column for f in layout.facets if f.op == "each"}
    extremes = set()
    task = layout.task
    if task is not None and task.kind == "multiclass":
        distinct |= {task.target, *(() if task.has_proba else task.prediction)}
        extremes |= set(task.score) | (set(task.prediction) if task.has_proba else set())
    if task is not None and task.kind == "binary":
        distinct.add(task.target)
        extremes |= set(task.prediction) | set(task.score)
    return {c: "distinct" if c in distinct else "extremes" if c in extremes else "any" for c in _layout_columns(layout)}


def _edges(engine, columns, bins, n_bins, first=None):
    """{column: edges} of continuous columns under a quantile or rule layout, from a selection over
    the partitions; `first` is an already run first pass (report, tallies), if any."""
    quantile = bins == layout_rules.QUANTILE
    sel = OrderStatistics({c: None for c in columns})
    report, tallies = first or engine_pass(engine, sel.plan(), sums=bins == "Scott")[:2]
    tallies = {c: [int(x) for x in tallies[c]] for c in columns}
    for c in columns:  # the wanted ranks follow from the first pass's counts of infinities
        sel.ranks_for[c] = (partial(layout_rules.quantile_ranks, n_bins=n_bins) if quantile
                            else partial(rule_ranks, neg=tallies[c][0], pos=tallies[c][1]))
    sel.absorb(report)
    while (plan := sel.plan()) is not None:  # later passes read only the columns still open
        sel.absorb(engine_pass(engine.select([c for c in engine.columns if c in plan]), plan)[0])
    edges = {}
    for c in columns:
        value = sel.values[c]
        if quantile:
            m = sel.m[c]
            ranks = layout_rules.quantile_ranks(m, n_bins)
            edges[c] = layout_rules.edges_from_order_statistics([value[r] for r in ranks], m, n_bins)
            continue
        neg, pos, total, total_sq, overflow = tallies[c]
        n = sel.m[c] - neg - pos
        lo, hi, q1, q3 = ((value[neg], value[neg + n - 1], value[neg + math.floor(0.25 * n)],
                           value[neg + min(math.floor(0.75 * n), n - 1)]) if n > 0 else (0.0,) * 4)
        edges[c] = layout_rules.rule_edges_from_summary(bins, n, lo, hi, q1, q3, ExactSum(total),
                                                   ExactSum(total_sq, pos_inf=overflow))
    return edges


def build_layout(engine, options: dict, empty_layout):
    """The layout `profile(whole table, **options)` builds, from passes over the partitions:
    the first pass samples the columns and starts the selection of order statistics, the next
    ones finish it (none for small tables)."""
    bins = options.get("bins", layout_rules.QUANTILE)
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
    layout = profile(sample_table(empty, samples), **options).layout
    # A column whose type left its kind open (numbers in an object column) reads as continuous.
    late = [f.name for f in layout.features if f.kind == "continuous" and f.name not in edges] if ranked else []
    if late:
        edges.update(_edges(engine, late, bins, n_bins))
    features = tuple(dataclasses.replace(f, edges=tuple(edges[f.name])) if f.name in edges and f.kind == "continuous"
                     else f for f in layout.features)
    return _sections_layout(engine, dataclasses.replace(layout, features=features))


def _sections_layout(engine, layout):
    """The value-dependent layout sections from the whole table, as one machine finds them: the
    prediction bins from exact order statistics, joint moments' means and standard deviations from
    exact sums (their components follow the counting, see profile_distributed)."""
    extras = layout.extras
    bins = layout.extra("prediction_bins")
    if bins is not None:
        column = layout.task.prediction[0]
        edges = _edges(engine.select([column]), [column], layout_rules.QUANTILE, PREDICTION_BINS)[column]
        extras = with_extra(extras, "prediction_bins", PredictionBinsLayout(tuple(float(x) for x in edges)))
    jl = layout.extra("joint")
    if jl is not None:
        names = [f.name for f in layout.features if f.kind == "continuous"]
        sel = OrderStatistics({c: (lambda m: []) for c in names})  # only the counts of values
        report, tallies, _ = engine_pass(engine.select(names), sel.plan() or {}, sums=True)
        sel.absorb(report)
        kept = []
        for c in names:
            neg, pos, total, total_sq, overflow = (int(x) for x in tallies[c])
            scale = scale_of(sel.m[c] - neg - pos, ExactSum(total), ExactSum(total_sq, pos_inf=overflow))
            if scale is not None:
                kept.append((c, *scale))
        extras = with_extra(extras, "joint", JointLayout(tuple(k[0] for k in kept), tuple(k[1] for k in kept),
                                                         tuple(k[2] for k in kept)))
    return dataclasses.replace(layout, extras=extras)


def profile_distributed(engine, options: dict):
    """`profile(whole table, **options)` computed over an engine's partitions."""
    options = dict(options)
    options.pop("progress", None)  # no progress bars on the executors
    # One thread per task unless asked: the engine already runs a task per core.
    threads = {"threads": options.pop("threads", 1)}
    like = options.pop("like", None)
    if like is None and options.get("segments") is not None:
        raise ValueError("segments= on an engine needs like=: the most frequent combinations are the reference's, "
                         "profile the reference with segments= first (on one machine, or from a sample)")
    # The options are checked on a table without values first, so a mistake raises before any job runs.
    layout = profile(engine.probe(), like=like, **options).layout
    if like is None and options.get("features") is None:
        # Keys need the whole table; the features are then named, so that the table of samples (whose
        # categories are all distinct) finds no keys of its own.
        categorical = options.get("categorical") or ()
        categorical = {categorical} if isinstance(categorical, str) else {str(c) for c in categorical}
        empty = engine.empty()
        candidates = [f.name for f in layout.features if f.name not in categorical and is_key_type(empty, f.name)]
        keys = find_keys(engine.select(candidates), candidates, KEY_ROWS) if candidates else []
        if keys:
            warn_keys(keys, stacklevel=4)
        options["features"] = [f.name for f in layout.features if f.name not in keys]
        layout = profile(engine.probe(), **options).layout
    used = [c for c in engine.columns if c in _layout_columns(layout)]
    if like is None:
        layout = build_layout(engine.select(used), options, layout)
    empty = profile(engine.empty(), like=layout)
    blob = engine.select(used).map_reduce(partial(_profile_chunks, empty.to_bytes(), {"progress": False, **threads}),
                                          _merge_bytes)
    found = empty if blob is None else merge([empty, Profile.from_bytes(blob)])
    return found if like is not None else completed(found)
