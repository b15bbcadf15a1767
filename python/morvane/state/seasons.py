"""Seasons as state: the layout's "seasons" section (which seasons, in which time zone) and the
profile's "seasons" section (one profile per season of the features and the task; None for a season
without rows), their bytes and their exact merge. Counting lives in profiling/seasons.py; comparing
a window with the seasons it covers in comparing/seasonal.py."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from morvane.state.errors import FormatError

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


def checked(kind: str, tz) -> Seasons:
    """A `Seasons` value, ValueError for an unknown kind or time zone."""
    if kind not in KINDS:
        raise ValueError(f"seasons= takes one of {list(KINDS)}, got {kind!r}")
    if tz is not None:
        import zoneinfo

        try:
            zoneinfo.ZoneInfo(str(tz))
        except (zoneinfo.ZoneInfoNotFoundError, ValueError) as e:
            raise ValueError(f"tz={tz!r} is not a known time zone") from e
        tz = str(tz)
    return Seasons(kind, tz)


# ---- the layout section ----

def write_layout(w, value: Seasons) -> None:
    w.text(value.kind)
    w.u8(value.tz is not None)
    if value.tz is not None:
        w.text(value.tz)


def read_layout(r, layout) -> Seasons:
    kind = r.text()
    has_tz = r.u8()
    if has_tz > 1:
        raise FormatError("malformed seasons: unknown flag")
    tz = r.text() if has_tz else None
    try:
        return checked(kind, tz)
    except ValueError as e:
        raise FormatError(f"malformed seasons: {e}") from None


# ---- the state section ----

def empty(layout):
    """No season has rows yet; None when the layout keeps no seasons."""
    seasons = layout.extra("seasons")
    return None if seasons is None else (None,) * seasons.count


def merge(a: tuple, b: tuple) -> tuple:
    return tuple(y if x is None else x if y is None else x.merge(y) for x, y in zip(a, b))


# How one season's profile is written and read: the profile's own statistics codec, which needs the
# byte format and the Profile class; state/profile.py sets it at import (the section tables sit below
# the layout, so they cannot import those).
PART_CODEC: dict = {}


def write_state(w, parts: tuple) -> None:
    for p in parts:
        w.u8(p is not None)
        if p is not None:
            PART_CODEC["write"](w, p)


def read_state(r, layout) -> tuple:
    seasons = layout.extra("seasons")
    if seasons is None:
        raise FormatError("seasons' counts on a layout without seasons")
    sub = layout.segment_layout()
    parts = []
    for _ in range(seasons.count):
        present = r.u8()
        if present > 1:
            raise FormatError("malformed seasons: unknown flag")
        part = PART_CODEC["read"](r, sub) if present else None
        if part is not None and part.n_rows == 0:
            raise FormatError("malformed seasons: a season kept without rows")
        parts.append(part)
    return tuple(parts)
