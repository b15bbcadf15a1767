"""Counting seasons: a profile whose layout keeps seasons (state/seasons.py) also counts its features
and task per season of the timestamps, in the same call of `profile()` for the reference, `like=`
windows and the engines' partitions alike, so the per-season state of split tables merges into the
whole's. Windows are compared with the seasons they cover in comparing/seasonal.py."""

from __future__ import annotations

from morvane.profiling.subsets import groups
from morvane.state.seasons import Seasons, checked
from morvane.tables import kinds
from morvane.tables.times import event_times


def seasons_option(seasons, tz, timestamp) -> Seasons | None:
    """`seasons=` and `tz=` of `profile()` validated."""
    if seasons is None:
        if tz is not None:
            raise ValueError("tz= places seasons in a time zone: give seasons= too")
        return None
    if timestamp is None:
        raise ValueError("seasons= reads the timestamp column: give timestamp= too")
    return checked(seasons, tz)


def count_seasons(table, layout, count_part, has_times: bool = True) -> tuple:
    """One profile per season of the table's rows (None for a season without rows), counted by
    `count_part(rows)` on the layout's features and task; rows without a time are in no season, and
    so are all of a table without the timestamp column (`has_times` False)."""
    seasons = layout.extra("seasons")
    if not has_times:
        return (None,) * seasons.count
    keys = seasons.of(event_times(table, layout.timestamp))
    parts = [None] * seasons.count
    for key, rows in groups(keys):
        if key >= 0:
            parts[key] = count_part(kinds.take(table, rows))
    return tuple(parts)
