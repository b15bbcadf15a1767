"""Counting seasons: a profile whose layout keeps seasons (state/seasons.py) also counts its features
and task per season of the timestamps, in the same call of `profile()` for the reference, `like=`
windows and the engines' partitions alike, so the per-season state of split tables merges into the
whole's. Windows are compared with the seasons they cover in comparing/seasonal.py."""

from __future__ import annotations

import numpy as np

from morvane.state.seasons import Seasons, checked


def seasons_option(seasons, tz, timestamp) -> Seasons | None:
    """`seasons=` and `tz=` of `profile()` validated."""
    if seasons is None:
        if tz is not None:
            raise ValueError("tz= places seasons in a time zone: give seasons= too")
        return None
    if timestamp is None:
        raise ValueError("seasons= reads the timestamp column: give timestamp= too")
    return checked(seasons, tz)


def season_times(table, name: str) -> np.ndarray:
    """The timestamp column of any table kind as UTC nanoseconds (naive times are UTC; the minimum
    int64 where the time is missing)."""
    import pandas as pd

    from morvane.profiling import subsets

    col = subsets.columns(subsets.readable(table), [name])[name]
    if hasattr(col, "to_pandas"):
        col = col.to_pandas()
    times = pd.to_datetime(col if isinstance(col, pd.Series) else pd.Series(col), utc=True)
    return times.to_numpy(dtype="datetime64[ns]").astype(np.int64)


def count_seasons(table, layout, count_part, has_times: bool = True) -> tuple:
    """One profile per season of the table's rows (None for a season without rows), counted by
    `count_part(rows)` on the layout's features and task; rows without a time are in no season, and
    so are all of a table without the timestamp column (`has_times` False)."""
    from morvane.profiling import subsets

    seasons = layout.extra("seasons")
    if not has_times:
        return (None,) * seasons.count
    keys = seasons.of(season_times(table, layout.timestamp))
    parts = [None] * seasons.count
    for key, rows in subsets.groups(keys):
        if key >= 0:
            parts[key] = count_part(subsets.take(table, rows))
    return tuple(parts)
