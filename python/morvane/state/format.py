"""The byte form of profiles and monitors.

    magic (4) | version u16 | reserved u16 | layout fingerprint u64 | body length u64 | body | checksum u64

Little-endian, fixed-width fields. A profile's body is its layout (length-prefixed) and then its
state; a monitor's body is its reference and its window, each a whole profile (length-prefixed).
The fingerprint is the first 8 bytes of BLAKE2b over the layout bytes; the checksum the first
8 bytes of BLAKE2b over everything before it. The decoder checks every length against the bytes
left before reading or allocating, so hostile input can neither crash it nor make it allocate more
than the input's size, and any failure is a FormatError."""

from __future__ import annotations

import dataclasses
import math
import struct
from typing import NamedTuple


from morvane.state.codec import Reader, Writer, digest
from morvane.state.errors import FormatError
from morvane.state.layout import SECTIONS_SINCE, Layout, read_layout
from morvane.state import sections
from morvane.state.sections import read_sections, write_sections
from morvane.state.stats import (
    REGRESSION_SUMS, ClassificationStats, FacetStats, FeatureStats, RegressionStats, TaskStats, frozen, has_scores,
    score_shapes,
)

# Version 2 adds the layout's timestamp column, version 3 the inputs block (score columns, column
# types), version 4 each continuous feature's range (its least and greatest present values, after its
# counts), version 5 the score histograms of classification tasks with probabilities, version 6 the
# segments (their layout, then each segment's statistics after the whole table's). Older bytes still
# decode (ranges not known: NaN; histograms empty: they were not counted). Version 7 writes every
# array of counts in its smallest form (codec's packed counts) and ends the layout and the body with
# tagged sections (state/sections.py): a concept that adds state adds a section, not a version.
VERSION = 7
RANGES_SINCE = 4
SCORES_SINCE = 5
PACKED_SINCE = 7
PROFILE_MAGIC = b"MVPF"
COUNTS_MAGIC = b"MVPC"
MONITOR_MAGIC = b"MVMN"
_HEADER = struct.Struct("<4sHHQQ")
_U64 = struct.Struct("<Q")


class Decoded(NamedTuple):
    """A profile's parts from its bytes; ``canonical`` is the bytes themselves when they are in the
    current version (what ``to_bytes`` would give), else None."""

    layout: Layout
    n_rows: int
    features: dict
    task: TaskStats | None
    facets: dict
    canonical: bytes | None
    segments: tuple = ()  # each segment's (n_rows, features, task), "other" last
    extras: dict = {}  # each state section's value, by name


# ---- writing ----------------------------------------------------------------------------------

def _frame(magic: bytes, fingerprint: int, body: bytes, version: int = VERSION) -> bytes:
    head = _HEADER.pack(magic, version, 0, fingerprint, len(body))
    return head + body + _U64.pack(digest(head + body))


def encode_profile(p, version: int = VERSION) -> bytes:
    """The bytes of a profile: its layout (length-prefixed), then its statistics. ``version`` below
    the current one leaves out what that version did not have (ranges, score histograms, sections)."""
    layout = (p.layout if version >= SECTIONS_SINCE else dataclasses.replace(p.layout, extras=())).to_bytes()
    w = Writer()
    w.u64(len(layout))
    w.parts.append(layout)
    _write_counted(w, p, version)
    return _frame(PROFILE_MAGIC, digest(layout), w.bytes(), version)


def encode_counts(p) -> bytes:
    """A profile's counted state alone (its rows, statistics, segments and state sections), framed,
    checksummed and bound to its layout's fingerprint: for a store that keeps the layout once."""
    w = Writer()
    _write_counted(w, p, VERSION)
    return _frame(COUNTS_MAGIC, p.layout.fingerprint, w.bytes())


def _write_counted(w: Writer, p, version: int) -> None:
    _write_state(w, p, version)
    for sub in p._segments or ():
        _write_state(w, sub, version)
    if version >= SECTIONS_SINCE:
        write_sections(w, p._extras, sections.STATE_KINDS)


def _write_counts(w: Writer, a, version: int) -> None:
    if version >= PACKED_SINCE:
        w.packed(a)
    else:
        w.counts(a)


def _read_counts(r: Reader, n: int, version: int):
    return r.packed(n) if version >= PACKED_SINCE else r.counts(n)


def _write_state(w: Writer, p, version: int = VERSION) -> None:
    """A profile's statistics in the byte form of `version`: rows, features, task, facets."""
    w.u64(p.n_rows)
    for f in p.layout.features:
        s = p._features[f.name]
        w.u64(s.missing)
        _write_counts(w, s.counts, version)
        if f.kind == "continuous" and version >= RANGES_SINCE:
            w.f64(s.minimum)
            w.f64(s.maximum)
    s = p._task
    if s is not None:
        w.u64(s.n)
        w.u64(s.missing)
        if isinstance(s, RegressionStats):
            for k in REGRESSION_SUMS:
                w.exact(s.sums[k])
            w.f64(s.max_abs_error)
        else:
            _write_counts(w, s.confusion, version)
            w.exact(s.log_loss)
            w.exact(s.log_loss_sq)
            if s.scores is not None and version >= SCORES_SINCE:
                _write_counts(w, s.scores, version)
                if s.scores_by_decision is not None:
                    _write_counts(w, s.scores_by_decision, version)
    for f in p.layout.facets:
        s = p._facets[f.column]
        w.u64(s.missing)
        _write_counts(w, s.counts, version)


def encode_monitor(reference_bytes: bytes, current_bytes: bytes, fingerprint: int) -> bytes:
    """The bytes of a monitor: its reference's and its window's, each a whole profile."""
    w = Writer()
    for part in (reference_bytes, current_bytes):
        w.u64(len(part))
        w.parts.append(part)
    return _frame(MONITOR_MAGIC, fingerprint, w.bytes())


# ---- reading ----------------------------------------------------------------------------------

def _check_frame(data, magic: bytes):
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"expected bytes, got {type(data).__name__}")
    data = bytes(data)
    if len(data) < _HEADER.size + 8:
        raise FormatError("truncated: too short for a header")
    got, version, reserved, fingerprint, body_len = _HEADER.unpack_from(data)
    if got != magic and magic == COUNTS_MAGIC:
        raise FormatError("not a morvane profile's counts (bad magic)")
    if got != magic:
        other = MONITOR_MAGIC if magic == PROFILE_MAGIC else PROFILE_MAGIC
        what = "profile" if magic == PROFILE_MAGIC else "monitor"
        hint = f": this is a morvane {'monitor' if got == MONITOR_MAGIC else 'profile'}" if got == other else ""
        raise FormatError(f"not a morvane {what} (bad magic){hint}")
    if version > VERSION:
        raise FormatError(f"format version {version} is newer than this morvane reads ({VERSION})")
    if version == 0 or reserved != 0:
        raise FormatError("unknown format version or flags")
    if body_len != len(data) - _HEADER.size - 8:
        raise FormatError("truncated or extended: the body length does not match the data")
    (checksum,) = _U64.unpack_from(data, len(data) - 8)
    if checksum != digest(memoryview(data)[:len(data) - 8]):
        raise FormatError("corrupted: checksum mismatch")
    return data, version, fingerprint, Reader(data, _HEADER.size, len(data) - 8)


def _total(a) -> int:
    return sum(a.ravel().tolist())


def decode_profile(data) -> Decoded:
    """A profile's parts from its bytes, every length and count validated before it is read."""
    data, version, fingerprint, r = _check_frame(data, PROFILE_MAGIC)
    layout_len = r.u64()
    if layout_len > r.left():
        raise FormatError("truncated: the layout runs past the end of the data")
    if digest(memoryview(data)[r.pos:r.pos + layout_len]) != fingerprint:
        raise FormatError("corrupted: layout fingerprint mismatch")
    lr = Reader(data, r.pos, r.pos + layout_len)
    try:
        layout = read_layout(lr, version)
    except (ValueError, OverflowError) as e:  # FormatError included
        raise e if isinstance(e, FormatError) else FormatError(str(e)) from None
    if lr.left():
        raise FormatError("unexpected bytes after the layout")
    r.pos += layout_len
    return _read_counted(r, layout, version, data)


def decode_counts(layout: Layout, data, fingerprint: int | None = None) -> Decoded:
    """The parts of the counted state ``encode_counts`` wrote, on ``layout`` (its fingerprint may be
    given when the caller knows it); FormatError when the bytes are damaged or belong to another
    layout. ``Profile.from_counts`` makes the profile."""
    data, version, got, r = _check_frame(data, COUNTS_MAGIC)
    if version < SECTIONS_SINCE:
        raise FormatError(f"counts of format version {version}: counts alone exist since {SECTIONS_SINCE}")
    if got != (layout.fingerprint if fingerprint is None else fingerprint):
        raise FormatError("counts of another layout (fingerprint mismatch)")
    return _read_counted(r, layout, version, None)


def _read_counted(r: Reader, layout: Layout, version: int, data) -> Decoded:
    n_rows, features, task, facets = _read_state(r, layout, version)
    segments = ()
    if layout.segments is not None:
        sub = layout.segment_layout()
        segments = tuple(_read_state(r, sub, version)[:3] for _ in layout.segments.keys)
        if sum(part[0] for part in segments) != n_rows:
            raise FormatError("the segments' rows do not add up to the rows")
    extras, complete = read_sections(r, sections.STATE_KINDS, layout) if version >= SECTIONS_SINCE else ({}, True)
    wanted = {k.name for k in sections.STATE_KINDS if k.empty is not None and k.empty(layout) is not None}
    if set(extras) != wanted and (version >= SECTIONS_SINCE or wanted):
        raise FormatError("the state sections do not match the layout's")
    canonical = data if version == VERSION and complete else None
    return Decoded(layout, n_rows, features, task, facets, canonical, segments, extras)


def _read_state(r: Reader, layout: Layout, version: int):
    """A profile's statistics on `layout` in the byte form of `version`: (n_rows, features, task,
    facets), every count checked."""
    n_rows = r.count64()
    features = {}
    for f in layout.features:
        missing = r.count64()
        counts = _read_counts(r, f.n_counts, version)
        if _total(counts) + missing != n_rows:
            raise FormatError(f"counts of {f.name!r} do not add up to the rows")
        low, high = math.inf, -math.inf
        if f.kind == "continuous":
            low, high = (r.f64(), r.f64()) if version >= RANGES_SINCE else (math.nan, math.nan)
            empty = _total(counts) == 0
            unknown = math.isnan(low) and math.isnan(high)  # written from older bytes
            if not unknown and not ((low, high) == (math.inf, -math.inf) if empty else low <= high):
                raise FormatError(f"the range of {f.name!r} does not match its counts")
        features[f.name] = FeatureStats(f, counts, missing, low, high)
    task = None
    t = layout.task
    if t is not None:
        n, missing = r.count64(), r.count64()
        if n + missing != n_rows:
            raise FormatError("task counts do not add up to the rows")
        if t.kind == "regression":
            sums = {k: r.exact() for k in REGRESSION_SUMS}
            max_abs = r.f64()
            if not (max_abs >= 0):
                raise FormatError("a malformed maximum error")
            task = RegressionStats(t, n, missing, sums, max_abs)
        else:
            k = 2 if t.kind == "binary" else len(t.classes)
            confusion = _read_counts(r, k * k, version).reshape(k, k)
            if _total(confusion) != n:
                raise FormatError("the confusion counts do not add up")
            task = ClassificationStats(t, n, missing, confusion, r.exact(), r.exact())
            if has_scores(t):
                task = _with_scores(task, r, n_rows, version)
    facets = {}
    for f in layout.facets:
        missing = r.count64()
        counts = _read_counts(r, len(f.groups) * 4, version).reshape(len(f.groups), 2, 2)
        if _total(counts) + missing != n_rows:
            raise FormatError(f"facet counts of {f.column!r} do not add up to the rows")
        facets[f.column] = FacetStats(f, counts, missing)
    return n_rows, features, task, facets


def _with_scores(task: ClassificationStats, r: Reader, n_rows: int, version: int) -> ClassificationStats:
    """The score histograms after a classification task's sums (empty in bytes older than version 5).
    Each score column counts a row at most once."""
    import numpy as np

    shape, decided = score_shapes(task.layout)
    if version < SCORES_SINCE:
        empty = ClassificationStats.empty(task.layout)
        return ClassificationStats(task.layout, task.n, task.missing, task.confusion, task.log_loss,
                                   task.log_loss_sq, empty.scores, empty.scores_by_decision)
    scores = _read_counts(r, int(np.prod(shape)), version).reshape(shape)
    by_decision = _read_counts(r, int(np.prod(decided)), version).reshape(decided) if decided else None
    binary = task.layout.kind == "binary"
    per_column = [_total(scores)] if binary else [_total(scores[:, j]) for j in range(shape[1])]
    if any(x > n_rows for x in per_column):
        raise FormatError("score histograms hold more rows than the profile")
    if by_decision is not None and [_total(by_decision[:, j]) for j in range(decided[1])] != per_column:
        raise FormatError("the score histograms by decision do not match those by class")
    return ClassificationStats(task.layout, task.n, task.missing, task.confusion, task.log_loss, task.log_loss_sq,
                               frozen(scores), None if by_decision is None else frozen(by_decision))


def decode_monitor(data) -> tuple[bytes, bytes, int]:
    """A monitor's reference and window bytes (each still to decode as a profile) and the
    fingerprint of the layout they must share."""
    data, _, fingerprint, r = _check_frame(data, MONITOR_MAGIC)
    parts = []
    for _ in range(2):
        n = r.u64()
        parts.append(r.take(n))
    if r.left():
        raise FormatError("unexpected bytes after the monitor")
    return parts[0], parts[1], fingerprint
