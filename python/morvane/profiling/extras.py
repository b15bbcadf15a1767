"""The state sections a profile's pass counts: one row per concept that keeps counted state beside
the features, the task and the facets (state/sections.py holds its bytes and its merge).

Each row maps a state section's name to ``count(table, layout, threads) -> value``, called for every
section the layout asks for, so the reference, ``like=`` windows and the engines count the same state
from the same rows."""

from __future__ import annotations

from morvane.state import sections

# Seasons split the rows by their timestamps, which the profile's pass reads from the table itself:
# `profile()` counts them (profiling/seasons.py); the pass leaves them empty.
COUNTERS: dict = {"seasons": lambda t, layout, threads: sections.kind_named(sections.STATE_KINDS, "seasons").empty(layout)}


def count_extras(t, layout, threads: int) -> dict:
    """The values of the state sections ``layout`` asks for, counted on table ``t``."""
    found = {}
    for kind in sections.STATE_KINDS:
        if kind.empty is None or kind.empty(layout) is None:
            continue
        found[kind.name] = COUNTERS[kind.name](t, layout, threads)
    return found
