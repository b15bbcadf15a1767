"""The state sections a profile's pass counts: one row per concept that keeps counted state beside
the features, the task and the facets (state/sections.py holds its bytes and its merge).

Each row maps a state section's name to ``count(table, layout, threads) -> value``, called for every
section the layout asks for, so the reference, ``like=`` windows and the engines count the same state
from the same rows."""

from __future__ import annotations

import dataclasses

from morvane.profiling import explain, joint, prediction_bins, quality
from morvane.state import sections
from morvane.state.explain import ExplainLayout
from morvane.state.profile import Profile

COUNTERS: dict = {"rules": quality.count, "joint": joint.count, "explain": explain.count,
                  "prediction_bins": prediction_bins.count}
# Seasons split the rows by their timestamps, which the profile's pass reads from the table itself:
# `profile()` counts them (profiling/seasons.py); the pass leaves them empty.
COUNTERS["seasons"] = lambda t, layout, threads: sections.kind_named(sections.STATE_KINDS, "seasons").empty(layout)


def count_extras(t, layout, threads: int) -> dict:
    """The values of the state sections ``layout`` asks for, counted on table ``t``."""
    found = {}
    for kind in sections.STATE_KINDS:
        if kind.empty is None or kind.empty(layout) is None:
            continue
        found[kind.name] = COUNTERS[kind.name](t, layout, threads)
    return found


def configured(t, layout, threads: int, *, joint_moments: bool = False, explained: bool = False):
    """A reference's layout with the sections its options ask for: outcomes by bin (explain=True),
    joint moments' standardisation (joint=True; the components follow the counting, see
    `completed`), and a regression task's prediction bins (always: estimated performance)."""
    extras = layout.extras
    if explained:
        if layout.task is None:
            raise ValueError("explain=True needs a task (target=, prediction= and task=)")
        extras = sections.with_extra(extras, "explain", ExplainLayout(tuple(f.name for f in layout.features)))
    found = prediction_bins.bins_layout(t, layout, threads)
    if found is not None:
        extras = sections.with_extra(extras, "prediction_bins", found)
    if joint_moments:
        extras = sections.with_extra(extras, "joint", joint.scales(t, layout, threads))
    return dataclasses.replace(layout, extras=extras)


def completed(p: Profile) -> Profile:
    """A reference counted with joint moments, its layout completed by its own principal components."""
    if p.extra("joint") is None:
        return p
    layout = joint.completed(p.layout, p.extra("joint"))
    segments = tuple(p.segments.values()) if p.layout.segments is not None else None
    return Profile._make(layout, p.n_rows, p.features, p.task_stats, p.facets, segments,
                         {k.name: p.extra(k.name) for k in sections.STATE_KINDS})
