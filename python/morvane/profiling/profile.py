"""``profile(table, ...)``: read a table, build its layout (or take a reference's), count it."""

from __future__ import annotations

import os
from dataclasses import replace

import numpy as np

from morvane.profiling.build import build_layout
from morvane.profiling.count import count
from morvane.profiling.extras import completed, configured, count_extras
from morvane.profiling.seasons import count_seasons, seasons_option
from morvane.profiling.quality import with_rules
from morvane.profiling.subsets import groups
from morvane.state import sections
from morvane.profiling.segments import segment_layout, segment_of_rows
from morvane.state.layout import QUANTILE, Layout
from morvane.state.profile import Profile, merge
from morvane.tables import kinds
from morvane.tables.read import read_table

_DEFAULTS = dict(target=None, prediction=None, score=None, task=None, positive=1, threshold=0.5, features=None,
                 categorical=(), exclude=(), facets=None, timestamp=None, segments=None, bins=QUANTILE,
                 n_bins=10, joint=False, explain=False, rules=None, seasons=None, tz=None)


def profile(table, *, like=None, target=None, prediction=None, score=None, task=None, positive=1, threshold=0.5,
            features=None, categorical=(), exclude=(), facets=None, timestamp=None, segments=None, bins=QUANTILE,
            n_bins=10, joint=False, explain=False, rules=None, progress=None, threads=None, seasons=None,
            tz=None) -> Profile:
    """Profile a table into exact, mergeable statistics.

    ``table`` is a pandas or polars DataFrame, a pyarrow Table or RecordBatch, any object with
    ``__arrow_c_stream__``, or a dict of one-dimensional columns. Without ``like``, the layout is
    built from the table: every column but the task's and the timestamp is a feature (or those named
    by ``features``), numbers continuous on ``bins`` (``"quantile"`` with ``n_bins`` bins,
    ``"FreedmanDiaconis"``, ``"Scott"``, ``"Sturges"`` or explicit edges), booleans and texts
    categorical (``categorical=`` for integer codes); ``task`` is ``"regression"``, ``"binary"``,
    ``"multiclass"`` or None, with ``target``, ``prediction``, ``positive`` and ``threshold``;
    ``facets`` maps columns to rules (``mv.at_least(40)``, a value, ``None`` for one group per value);
    ``timestamp`` names the column of event times (never a feature); ``segments`` lists categorical
    columns whose combinations (the 100 most frequent in this table, the rest as "other") get drift and
    performance statistics of their own (``Profile.segments``); ``joint=True`` keeps the exact second
    moments of the standardised continuous features (the drift checks Reconstruction and Covariance);
    ``explain=True`` the task's outcomes per feature bin (``mv.explain``); ``rules`` lists ``mv.Rule``
    objects counted in the same pass (``Profile.violations(name)``), checked against the table first (a
    rule on an absent column, of the wrong type, or whose expression does not parse raises ValueError
    naming it); ``seasons`` ("weekday", "hour", "weekday-hour", in UTC or in the time zone ``tz``) keeps
    the features' and the task's statistics per season of the timestamps (``Profile.seasons``). With
    ``like=reference`` the
    table is counted on the reference's layout, and no other option may be given.

    Returns a ``Profile``. Raises ``KeyError`` for a missing column, ``ValueError`` for an invalid
    option, ``TypeError`` for an unsupported table and ``MismatchError`` when a column cannot be
    read as the reference's kind.

    >>> reference = mv.profile(training, target="label", prediction="score", task="binary")
    >>> current = mv.profile(today, like=reference)
    """
    threads = _threads(threads)
    if like is not None:
        given = dict(target=target, prediction=prediction, score=score, task=task, positive=positive,
                     threshold=threshold, features=features, categorical=categorical, exclude=exclude, facets=facets,
                     timestamp=timestamp, segments=segments, bins=bins, n_bins=n_bins, joint=joint, explain=explain,
                     rules=rules, seasons=seasons, tz=tz)
        extra = [k for k, v in given.items() if not _same_default(v, _DEFAULTS[k])]
        if extra:
            raise ValueError(f"like= takes everything from the reference; do not also give {', '.join(extra)}")
        layout, known = (like.layout if isinstance(like, Profile) else like), None
        if not isinstance(layout, Layout):
            raise TypeError("like= takes a Profile or a Layout")
    season_kind = seasons_option(seasons, tz, timestamp) if like is None else layout.extra("seasons")
    if (segments if like is None else layout.segments) is not None or season_kind is not None:
        table = kinds.readable(table)  # read by segment or season as well as whole: a one-shot stream is read once
    t = read_table(table)
    if like is None:
        if isinstance(categorical, str):
            categorical = (categorical,)
        found = segment_layout(table, segments) if segments is not None else None
        layout, known = build_layout(t, target=target, prediction=prediction, score=score, task=task,
                                     positive=positive, threshold=threshold, features=features,
                                     categorical=tuple(categorical), exclude=exclude, facets=facets or {}, bins=bins,
                                     n_bins=n_bins, threads=threads, timestamp=timestamp,
                                     segments=found)
        layout = configured(t, layout, threads, joint_moments=bool(joint), explained=bool(explain))
        if rules is not None:
            layout = with_rules(t, layout, rules)
        if season_kind is not None:
            layout = replace(layout, extras=sections.with_extra(layout.extras, "seasons", season_kind))
    if layout.segments is None:
        found = count(t, layout, threads, progress, known)
    else:
        found = _with_segments(t, table, layout, threads, progress, known)
    if layout.extra("seasons") is not None:
        sub = layout.segment_layout()
        parts = count_seasons(table, layout, lambda rows: count(read_table(rows), sub, threads, False),
                              layout.timestamp in t.names)
        found = Profile._make(layout, found.n_rows, found.features, found.task_stats, found.facets, found._segments,
                              {**found._extras, "seasons": parts})
    return found if like is not None else completed(found)


def _with_segments(t, table, layout: Layout, threads: int, progress, known) -> Profile:
    """Each segment's rows counted on the segment layout, and the whole table's features and task as
    their exact merge (every row is in one segment); facets, when any, counted on the whole table."""
    sub = layout.segment_layout()
    columns = kinds.columns(table, sorted(_counted_columns(layout) & set(t.names)))
    parts = [None] * len(layout.segments.keys)
    for index, rows in groups(segment_of_rows(table, layout.segments)):
        parts[index] = count(read_table(kinds.take(columns, rows)), sub, threads, progress)
    empty = Profile._empty(sub)
    parts = tuple(empty if p is None else p for p in parts)
    merged = merge(parts)
    facets = {}
    if layout.facets:
        facets = count(t, Layout(task=layout.task, facets=layout.facets, types=layout.types), threads).facets
    return Profile._make(layout, t.n_rows, merged.features, merged.task_stats, facets, parts,
                         count_extras(t, layout, threads))


def _counted_columns(layout: Layout) -> set:
    names = {f.name for f in layout.features}
    if layout.task is not None:
        names |= {layout.task.target, *layout.task.prediction, *layout.task.score}
    return names


def _same_default(v, d) -> bool:
    if isinstance(v, np.ndarray) or isinstance(d, np.ndarray):
        return False
    try:
        return bool(v == d) and type(v) is type(d) or (v is None and d is None) or (v == () and d == ())
    except Exception:
        return False


def _threads(threads) -> int:
    if threads is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except AttributeError:
            return max(1, os.cpu_count() or 1)
    threads = int(threads)
    if threads < 1:
        raise ValueError("threads must be at least 1")
    return threads


