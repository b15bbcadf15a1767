"""Tagged sections: how a concept adds configuration to a layout or counted state to a profile without
a format version of its own.

Each section is ``tag u16 | flags u8 | length u64 | payload`` and sections follow one another in
increasing tag order. A decoder refuses a tag it does not know when the section is flagged required
and skips it otherwise, so older readers keep reading what they can. A concept is one row of
``LAYOUT_KINDS`` (what it asks of the layout, kept in the fingerprint) and, when it counts rows, one
row of ``STATE_KINDS`` (what a profile keeps); its reader validates its payload completely."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable

from morvane.state import explain, joint, prediction_bins, quality, seasons
from morvane.state.codec import Reader, Writer
from morvane.state.errors import FormatError

REQUIRED = 1


@dataclass(frozen=True)
class SectionKind:
    """One concept's section: its tag (never reused), its name (the key in ``Layout.extras`` and a
    profile's extras), whether a reader that does not know it must refuse the bytes, its payload's
    writer and reader and, for counted state, its empty value for a layout (None: not kept) and its
    exact merge."""

    tag: int
    name: str
    required: bool
    write: Callable[[Writer, Any], None]
    read: Callable[[Reader, Any], Any]
    empty: Callable[[Any], Any] | None = None
    merge: Callable[[Any, Any], Any] | None = None


# One row per concept. Reserved tags: 1 rules, 2 seasons, 3 joint moments, 4 explain, 5 prediction bins.
LAYOUT_KINDS: tuple[SectionKind, ...] = (
    SectionKind(1, "rules", True, quality.write_rules, quality.read_rules),  # declared rules, in order
    SectionKind(2, "seasons", True, seasons.write_layout, seasons.read_layout),
    SectionKind(3, "joint", False, joint.write_layout, joint.read_layout),
    SectionKind(4, "explain", False, explain.write_layout, explain.read_layout),
    SectionKind(5, "prediction_bins", False, prediction_bins.write_layout, prediction_bins.read_layout),
)
STATE_KINDS: tuple[SectionKind, ...] = (
    # (violating, evaluated) per rule: required, so that no reader drops a rule's verdict unseen.
    SectionKind(1, "rules", True, quality.write_counts, quality.read_counts, quality.empty_counts,
                quality.merge_counts),
    SectionKind(2, "seasons", True, seasons.write_state, seasons.read_state, seasons.empty, seasons.merge),
    SectionKind(3, "joint", False, joint.write_stats, joint.read_counted, empty=joint.empty, merge=joint.JointStats.merge),
    SectionKind(4, "explain", False, explain.write_stats, explain.read_stats, empty=explain.empty, merge=explain.merge),
    SectionKind(5, "prediction_bins", False, prediction_bins.write_stats, prediction_bins.read_stats,
                empty=prediction_bins.empty, merge=prediction_bins.PredictionBins.merge),
)


def kind_named(kinds, name: str) -> SectionKind:
    for k in kinds:
        if k.name == name:
            return k
    raise KeyError(f"no section kind {name!r}")


def write_sections(w: Writer, values: dict, kinds) -> None:
    """The sections of ``values`` ({name: value}) in tag order."""
    for k in sorted(kinds, key=lambda k: k.tag):
        if k.name not in values:
            continue
        sub = Writer()
        k.write(sub, values[k.name])
        payload = sub.bytes()
        w.u16(k.tag)
        w.u8(REQUIRED if k.required else 0)
        w.u64(len(payload))
        w.parts.append(payload)


def read_sections(r: Reader, kinds, context) -> tuple[dict, bool]:
    """({name: value}, complete) of the sections up to the end of ``r``; ``complete`` is False when an
    optional section unknown here was skipped (the bytes then do not re-encode to themselves)."""
    by_tag = {k.tag: k for k in kinds}
    values, complete, last = {}, True, -1
    while r.left():
        tag, flags, n = r.u16(), r.u8(), r.u64()
        if tag <= last or flags > REQUIRED:
            raise FormatError("malformed sections: out of order or unknown flags")
        if n > r.left():
            raise FormatError("truncated: a section runs past the end of the data")
        last = tag
        kind = by_tag.get(tag)
        if kind is None:
            if flags & REQUIRED:
                raise FormatError(f"a required section ({tag}) that this morvane does not know: upgrade morvane")
            r.pos += n
            complete = False
            continue
        if bool(flags & REQUIRED) != kind.required:
            raise FormatError(f"section {kind.name!r} has the wrong flags")
        sub = Reader(r.data, r.pos, r.pos + n)
        try:
            values[kind.name] = kind.read(sub, context)
        except FormatError:
            raise
        except (ValueError, OverflowError, KeyError, IndexError) as e:
            raise FormatError(f"malformed section {kind.name!r}: {e}") from None
        if sub.left():
            raise FormatError(f"unexpected bytes in section {kind.name!r}")
        r.pos += n
    return values, complete


def with_extra(extras: tuple, name: str, value) -> tuple:
    """``extras`` (a layout's (name, value) pairs in tag order) with ``name`` set to ``value``."""
    order = {k.name: k.tag for k in LAYOUT_KINDS}
    if name not in order:
        raise KeyError(f"no layout section {name!r}")
    kept = {n: v for n, v in extras if n != name}
    kept[name] = value
    return tuple(sorted(kept.items(), key=lambda item: order[item[0]]))
