"""Tagged sections and packed counts: a concept's state travels in its own section, merges exactly,
survives a reader that does not know it when optional, and stops one when required; counts are
stored in their smallest form and read back only from canonical bytes."""

import dataclasses

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvane as mv
from morvane.profiling import extras as counting
from morvane.state import format as _format, sections
from morvane.state.codec import Reader, Writer
from morvane.state.errors import FormatError


def _write_int(w, v):
    w.u64(v)


def _read_column(r, _):
    return r.text()


def _read_tally(r, layout):
    return r.count64()


# A concept that counts rows: its layout section names a column.
TALLY_LAYOUT = sections.SectionKind(9, "tally", False, lambda w, v: w.text(v), _read_column)
TALLY_STATE = sections.SectionKind(9, "tally", False, _write_int, _read_tally,
                                   empty=lambda layout: 0 if layout.extra("tally") else None,
                                   merge=lambda a, b: a + b)


@pytest.fixture
def tally(monkeypatch):
    monkeypatch.setattr(sections, "LAYOUT_KINDS", sections.LAYOUT_KINDS + (TALLY_LAYOUT,))
    monkeypatch.setattr(sections, "STATE_KINDS", sections.STATE_KINDS + (TALLY_STATE,))
    monkeypatch.setitem(counting.COUNTERS, "tally", lambda t, layout, threads: t.n_rows)


rng = np.random.default_rng(3)
TABLE = {"x": rng.normal(size=300), "c": rng.choice(["a", "b"], 300)}


def test_section_round_trip_merge_and_unknown_kinds(tally, monkeypatch):
    base = mv.profile(TABLE)
    layout = dataclasses.replace(base.layout, extras=sections.with_extra((), "tally", "x"))
    parts = [mv.Profile._make(layout, n, base.features, None, {}, extras={"tally": k}) for n, k in ((base.n_rows, 7), (base.n_rows, 5))]
    merged = parts[0].merge(parts[1])
    assert merged.extra("tally") == 12
    b = merged.to_bytes()
    again = mv.Profile.from_bytes(b)
    assert again == merged and again.extra("tally") == 12 and again.layout.extra("tally") == "x"
    assert mv.Profile._make(layout, base.n_rows, base.features, None, {}).extra("tally") == 0  # empty when not given
    counts = merged.to_counts()
    assert mv.Profile.from_counts(layout, counts) == merged
    with pytest.raises(FormatError, match="another layout"):
        mv.Profile.from_counts(base.layout, counts)
    # A reader that does not know an optional section skips it (the layout's sections too) ...
    monkeypatch.setattr(sections, "LAYOUT_KINDS", ())
    monkeypatch.setattr(sections, "STATE_KINDS", ())
    blind = mv.Profile.from_bytes(b)
    assert blind.extra("tally") is None and blind.n_rows == merged.n_rows
    # ... and refuses a required one.
    monkeypatch.setattr(sections, "LAYOUT_KINDS", (dataclasses.replace(TALLY_LAYOUT, required=True),))
    monkeypatch.setattr(sections, "STATE_KINDS", (dataclasses.replace(TALLY_STATE, required=True),))
    required = mv.Profile._make(layout, base.n_rows, base.features, None, {}, extras={"tally": 3}).to_bytes()
    monkeypatch.setattr(sections, "LAYOUT_KINDS", ())
    monkeypatch.setattr(sections, "STATE_KINDS", ())
    with pytest.raises(FormatError, match="upgrade morvane"):
        mv.Profile.from_bytes(required)


def test_profile_pass_counts_sections_for_windows_and_splits(tally):
    ref = mv.profile(TABLE)
    layout = dataclasses.replace(ref.layout, extras=sections.with_extra((), "tally", "x"))
    whole = mv.profile(TABLE, like=layout)
    halves = [mv.profile({k: v[s] for k, v in TABLE.items()}, like=layout) for s in (slice(0, 120), slice(120, None))]
    assert whole.extra("tally") == 300 and mv.merge(halves) == whole


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(0, 2**63 - 1) | st.just(0) | st.integers(0, 300), max_size=400))
def test_packed_counts_round_trip_in_canonical_form(values):
    a = np.array(values, dtype=np.int64)
    w = Writer()
    w.packed(a)
    b = w.bytes()
    r = Reader(b)
    assert np.array_equal(r.packed(a.size), a) and r.left() == 0
    dense = Writer()
    dense.u8(0)
    dense.u8(8)
    dense.counts(a)
    if dense.bytes() != b:  # the same counts written in a larger form are refused
        with pytest.raises(FormatError):
            Reader(dense.bytes()).packed(a.size)


@pytest.mark.parametrize("raw", [
    b"\x02\x01", b"\x00\x03", b"\x01\x01" + (5).to_bytes(8, "little"),  # flags, width, more values than room
    b"\x01\x01" + (1).to_bytes(8, "little") + (9).to_bytes(4, "little") + b"\x01",  # position past the end
])
def test_hostile_packed_counts_are_refused(raw):
    with pytest.raises(FormatError):
        Reader(raw).packed(4)


def test_sparse_counts_are_small():
    p = mv.profile({"id": np.arange(20_000).astype(str)}, categorical=["id"], features=["id"])
    window = mv.profile({"id": np.array(["7", "9"])}, like=p)
    assert len(window.to_counts()) < 200
