"""Profiles: the exact sufficient statistics of one table, on one layout."""

from __future__ import annotations

import numpy as np

from morvane.state import format as byte_format
from morvane.state.files import atomic_write
from morvane.state.errors import MismatchError
from morvane.state.layout import Layout
from morvane.state import sections
from morvane.state import seasons as season_state
from morvane.state.stats import FacetStats, FeatureStats, TaskStats, empty_task


class Profile:
    """Exact sufficient statistics of one table: per feature, counts on bins or categories plus the
    missing count; per task, the performance statistics; per facet, the bias counts.

    Profiles are made by ``mv.profile(table, ...)``, ``mv.merge(profiles)``, ``Profile.from_bytes``
    and ``mv.load_profile``; they are immutable, compare equal when their bytes are equal, and pickle.
    """

    __slots__ = ("_layout", "_n_rows", "_features", "_task", "_facets", "_segments", "_extras", "_bytes",
                 "__weakref__")

    @classmethod
    def _make(cls, layout: Layout, n_rows: int, features: dict, task: TaskStats | None, facets: dict,
              segments: tuple | None = None, extras: dict | None = None) -> Profile:
        """`segments`: with the layout's segments, one profile per segment ("other" last) on
        ``layout.segment_layout()``; empty ones when None. `extras`: the state sections' values by
        name; those the layout asks for and `extras` lacks are empty."""
        p = object.__new__(cls)
        p._layout, p._n_rows, p._features, p._task, p._facets, p._bytes = layout, n_rows, features, task, facets, None
        if layout.segments is not None and segments is None:
            sub = cls._empty(layout.segment_layout())
            segments = (sub,) * len(layout.segments.keys)
        p._segments = tuple(segments) if layout.segments is not None else None
        p._extras = {}
        for kind in sections.STATE_KINDS:
            value = (extras or {}).get(kind.name)
            if value is None and kind.empty is not None:
                value = kind.empty(layout)
            if value is not None:
                p._extras[kind.name] = value
        return p

    @classmethod
    def _from_decoded(cls, parts) -> Profile:
        """A profile from the parts its bytes decoded to (state/format.py)."""
        segments = None
        if parts.layout.segments is not None:
            sub = parts.layout.segment_layout()
            segments = tuple(cls._make(sub, n, features, task, {}) for n, features, task in parts.segments)
        p = cls._make(parts.layout, parts.n_rows, parts.features, parts.task, parts.facets, segments, parts.extras)
        p._bytes = parts.canonical
        return p

    @classmethod
    def _empty(cls, layout: Layout) -> Profile:
        return cls._make(layout, 0, {f.name: FeatureStats.empty(f) for f in layout.features}, empty_task(layout.task),
                         {f.column: FacetStats.empty(f) for f in layout.facets})

    def __init__(self, *args, **kwargs):
        raise TypeError("profiles are made by mv.profile(), mv.merge() or Profile.from_bytes()")

    @property
    def n_rows(self) -> int:
        """The rows profiled."""
        return self._n_rows

    @property
    def columns(self) -> list:
        """The profiled feature names, in order."""
        return [f.name for f in self._layout.features]

    @property
    def layout(self) -> Layout:
        """The bins, categories, task and facets the counts are laid out on (``like=`` accepts it)."""
        return self._layout

    @property
    def task(self) -> str | None:
        """The task's kind ("regression", "binary", "multiclass"), or None."""
        return self._layout.task.kind if self._layout.task else None

    @property
    def features(self) -> dict[str, FeatureStats]:
        """Each feature's statistics, by name."""
        return dict(self._features)

    @property
    def task_stats(self) -> TaskStats | None:
        """The task's statistics, or None without a task."""
        return self._task

    @property
    def facets(self) -> dict[str, FacetStats]:
        """Each facet's statistics, by column."""
        return dict(self._facets)

    @property
    def segments(self) -> dict:
        """Each segment's profile (its features and task), by the segment's values as a tuple, the
        rest as ("other",) last; empty without ``segments=``."""
        if self._segments is None:
            return {}
        return dict(zip(self._layout.segments.keys, self._segments))

    @property
    def seasons(self) -> str | None:
        """The seasons the profile keeps statistics of ("weekday", "hour", "weekday-hour"), or None."""
        found = self._layout.extra("seasons")
        return None if found is None else found.kind

    def extra(self, name: str):
        """The value of the state section ``name`` (rules' counts, seasons, ...), or None."""
        return self._extras.get(name)

    def violations(self, name: str) -> tuple[int, int]:
        """(rows violating, rows evaluated) of the rule named ``name`` (``profile(rules=...)``); KeyError
        for a name that is not a rule of the profile. Merges exactly, like every count."""
        rules = self._layout.extra("rules") or ()
        for rule, counts in zip(rules, self._extras.get("rules", ())):
            if rule.name == name:
                return counts
        raise KeyError(f"no rule {name!r} in the profile; it has {[r.name for r in rules]}")

    def histogram(self, column: str):
        """(edges or categories, counts) of one feature: counts of the values only, a NumPy int64 array
        one longer than the edges, or one per category plus "other" last. Raises KeyError for a name
        that is not a feature."""
        f = self._layout.feature(column)
        counts = self._features[column].counts.copy()
        return (np.array(f.edges, dtype=np.float64) if f.kind == "continuous" else list(f.categories)), counts

    def missing(self, column: str) -> int:
        """The missing values of one feature (KeyError for a name that is not a feature)."""
        self._layout.feature(column)
        return self._features[column].missing

    def merge(self, other: Profile) -> Profile:
        """The exact profile of both tables' rows; MismatchError unless the layouts are equal."""
        if not isinstance(other, Profile):
            raise TypeError(f"cannot merge a Profile with {type(other).__name__}")
        if self._layout != other._layout:
            raise MismatchError("profiles with different layouts (edges, categories, task or facets) cannot be merged")
        features = {k: s.merge(other._features[k]) for k, s in self._features.items()}
        facets = {k: s.merge(other._facets[k]) for k, s in self._facets.items()}
        task = self._task.merge(other._task) if self._task is not None else None
        segments = None if self._segments is None else tuple(a.merge(b) for a, b in zip(self._segments, other._segments))
        extras = {k.name: k.merge(self._extras[k.name], other._extras[k.name])
                  for k in sections.STATE_KINDS if k.name in self._extras}
        return Profile._make(self._layout, self._n_rows + other._n_rows, features, task, facets, segments, extras)

    def to_bytes(self) -> bytes:
        """The versioned, checksummed, little-endian byte form; the same profile always gives the
        same bytes."""
        if self._bytes is None:
            self._bytes = byte_format.encode_profile(self)
        return self._bytes

    @classmethod
    def from_bytes(cls, data) -> Profile:
        """A profile from its bytes; FormatError for truncated, corrupted, hostile or future bytes."""
        return cls._from_decoded(byte_format.decode_profile(data))

    @classmethod
    def from_counts(cls, layout: Layout, data, fingerprint: int | None = None) -> Profile:
        """The profile on ``layout`` whose counted state ``to_counts`` wrote (for a store that keeps
        the layout once); FormatError for damaged bytes or another layout's."""
        return cls._from_decoded(byte_format.decode_counts(layout, data, fingerprint))

    def to_counts(self) -> bytes:
        """The counted state alone (rows, statistics, segments, sections), checksummed and bound to the
        layout's fingerprint: ``Profile.from_counts(layout, data)`` reads it back."""
        return byte_format.encode_counts(self)

    def save(self, path) -> None:
        """Write the bytes to ``path`` atomically (a crash never leaves a half-written file)."""
        atomic_write(path, self.to_bytes())

    def __eq__(self, other):
        if not isinstance(other, Profile):
            return NotImplemented
        return self.to_bytes() == other.to_bytes()

    def __hash__(self):
        return hash(self.to_bytes())

    def __reduce__(self):
        return (Profile.from_bytes, (self.to_bytes(),))

    def __repr__(self) -> str:
        task = f", task={self.task!r}" if self.task else ""
        return f"<morvane.Profile {self._n_rows} rows, {len(self._layout.features)} features{task}>"


def merge(profiles) -> Profile:
    """The exact merge of one or more profiles with the same layout: for any split of a table into
    shards, in any order, the merge equals the profile of the whole table.

    >>> whole = mv.merge([mv.profile(part, like=reference) for part in parts])
    """
    profiles = list(profiles)
    if not profiles:
        raise ValueError("merge() needs at least one profile")
    out = profiles[0]
    if not isinstance(out, Profile):
        raise TypeError(f"cannot merge {type(out).__name__}")
    for p in profiles[1:]:
        out = out.merge(p)
    return out


def load_profile(path) -> Profile:
    """The profile saved at ``path``; FormatError when the file holds no valid profile (a monitor's
    file included: use ``mv.load_monitor``)."""
    with open(path, "rb") as f:
        return Profile.from_bytes(f.read())


def _write_season(w, p: Profile) -> None:
    byte_format._write_state(w, p, byte_format.VERSION)


def _read_season(r, layout: Layout) -> Profile:
    n_rows, features, task, _ = byte_format._read_state(r, layout, byte_format.VERSION)
    return Profile._make(layout, n_rows, features, task, {})


season_state.PART_CODEC.update(write=_write_season, read=_read_season)
