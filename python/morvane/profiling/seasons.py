"""Seasons: a reference with a weekly or daily pattern keeps exact statistics per season of its
timestamps (7 weekdays, 24 hours or 168 weekday-hours, in UTC or in a time zone), and so does every
window profiled like it. A window is then compared with what the reference says of the seasons it
covers (comparing/seasonal.py).

The configuration is the layout's "seasons" extra (a `Seasons` value); the state is the profile's
"seasons" extra: one profile per season, on the layout's features and task, in season order. The
whole table's statistics are the exact merge of its seasons', so a profile with seasons equals one
without on everything else, and profiles of any split merge into the profile of the whole."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

KINDS = {"weekday": 7, "hour": 24, "weekday-hour": 168}
WEEKDAYS = ("Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun")


@dataclass(frozen=True)
class Seasons:
    """Seasons of the timestamp column: `kind` ("weekday", "hour", "weekday-hour") in time zone `tz`
    (an IANA name; None: UTC)."""

    kind: str
    tz: str | None = None

    @property
    def count(self) -> int:
        return KINDS[self.kind]

    def names(self) -> list[str]:
        """The seasons' names, in order: "Mon" .. "Sun", "00h" .. "23h", "Mon 00h" .. "Sun 23h"."""
        if self.kind == "weekday":
            return list(WEEKDAYS)
        hours = [f"{h:02d}h" for h in range(24)]
        return hours if self.kind == "hour" else [f"{d} {h}" for d in WEEKDAYS for h in hours]

    def of(self, ns: np.ndarray) -> np.ndarray:
        """Each instant's season (UTC nanoseconds in; -1 for a missing time)."""
        import pandas as pd

        ns = np.asarray(ns, dtype=np.int64)
        known = ns != np.iinfo(np.int64).min
        times = pd.DatetimeIndex(ns[known].astype("datetime64[ns]"), tz="UTC")
        if self.tz is not None:
            times = times.tz_convert(self.tz)
        day, hour = np.asarray(times.day_of_week, np.int64), np.asarray(times.hour, np.int64)
        found = day if self.kind == "weekday" else hour if self.kind == "hour" else day * 24 + hour
        out = np.full(len(ns), -1, dtype=np.int64)
        out[known] = found
        return out


def seasons_option(seasons, tz, timestamp) -> Seasons | None:
    """`seasons=` and `tz=` of `profile()` validated."""
    if seasons is None:
        if tz is not None:
            raise ValueError("tz= places seasons in a time zone: give seasons= too")
        return None
    if seasons not in KINDS:
        raise ValueError(f"seasons= takes one of {list(KINDS)}, got {seasons!r}")
    if timestamp is None:
        raise ValueError("seasons= reads the timestamp column: give timestamp= too")
    if tz is not None:
        import zoneinfo

        try:
            zoneinfo.ZoneInfo(str(tz))
        except (zoneinfo.ZoneInfoNotFoundError, ValueError) as e:
            raise ValueError(f"tz={tz!r} is not a known time zone") from e
        tz = str(tz)
    return Seasons(seasons, tz)


def season_times(table, name: str) -> np.ndarray:
    """The timestamp column of any table kind as UTC nanoseconds (naive times are UTC; the minimum
    int64 where the time is missing)."""
    import pandas as pd

    from morvane.profiling import subsets

    col = subsets.columns(subsets.readable(table), [name])[name]
    if hasattr(col, "to_pandas"):
        col = col.to_pandas()
    times = pd.to_datetime(pd.Series(col) if not isinstance(col, pd.Series) else col, utc=True)
    return times.to_numpy(dtype="datetime64[ns]").astype(np.int64)


def count_seasons(table, layout, seasons: Seasons, count_part) -> tuple:
    """One profile per season of the table's rows, counted by `count_part(rows_table)` on the
    layout's features and task (rows without a time are in no season)."""
    from morvane.profiling import subsets

    keys = seasons.of(season_times(table, layout.timestamp))
    parts = [None] * seasons.count
    for key, rows in subsets.groups(keys):
        if key >= 0:
            parts[key] = count_part(subsets.take(table, rows))
    return tuple(parts)
