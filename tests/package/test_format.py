"""The byte format: round trips, same profile same bytes, and refusal of anything truncated,
corrupted, hostile or from a future version."""

import dataclasses
import os
import pickle
import struct
import hashlib

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvane as mv
from morvane.state import format as _format


def sample_profiles():
    rng = np.random.default_rng(5)
    n = 200
    t = {"x": rng.normal(size=n), "c": rng.choice(["a", "b", "ü"], n), "y": rng.integers(0, 2, n), "p": rng.random(n),
         "r": rng.normal(size=n), "k": rng.integers(0, 3, n), "d": rng.choice(["a", "b"], n),
         "at": np.arange(n).astype("datetime64[m]"), "s": rng.random((n, 3))}
    return [
        mv.profile({"x": t["x"][:0]}),
        mv.profile(t, target="y", prediction="p", task="binary", facets={"c": None, "x": mv.below(0), "k": mv.one_of([0, 2])}),
        mv.profile(t, target="x", prediction="r", task="regression"),
        mv.profile(t, target="k", prediction="y", task="multiclass", categorical=["k"]),
        mv.profile(t, target="c", prediction="d", task="binary", positive="a"),
        mv.profile(t, target="y", prediction="k", score="p", task="binary", timestamp="at", threshold=0.3),
        mv.profile(t, target="k", score="s", task="multiclass", exclude=["y"]),
    ]


PROFILES = sample_profiles()


@pytest.mark.parametrize("p", PROFILES)
def test_round_trip_pickle_and_save(p, tmp_path):
    b = p.to_bytes()
    q = mv.Profile.from_bytes(b)
    assert q == p and q.to_bytes() == b and q.layout == p.layout
    assert pickle.loads(pickle.dumps(p)) == p
    path = tmp_path / "ref.mvp"
    p.save(path)
    assert mv.load(path) == p
    assert [f for f in os.listdir(tmp_path)] == ["ref.mvp"]  # no temporary left behind
    assert q.n_rows == p.n_rows


def test_same_profile_same_bytes_and_fixed_header():
    a, b = sample_profiles()[1], PROFILES[1]
    assert a.to_bytes() == b.to_bytes()
    magic, version, reserved, fingerprint, body = struct.unpack_from("<4sHHQQ", a.to_bytes())
    assert (magic, version, reserved) == (b"MVPF", _format.VERSION, 0)
    assert fingerprint == a.layout.fingerprint and body == len(a.to_bytes()) - 32


def reframe(body_bytes, version=_format.VERSION, magic=b"MVPF", fingerprint=0):
    head = struct.pack("<4sHHQQ", magic, version, 0, fingerprint, len(body_bytes))
    digest = hashlib.blake2b(head + body_bytes, digest_size=8).digest()
    return head + body_bytes + digest


@pytest.mark.parametrize("p", PROFILES)
def test_every_truncation_and_every_single_byte_corruption_is_refused(p):
    b = p.to_bytes()
    for n in range(len(b)):
        with pytest.raises(mv.FormatError):
            mv.Profile.from_bytes(b[:n])
    for i in range(0, len(b), max(1, len(b) // 300)):
        bad = bytearray(b)
        bad[i] ^= 0x41
        with pytest.raises(mv.FormatError):
            mv.Profile.from_bytes(bytes(bad))


HOSTILE_BODIES = [
    struct.pack("<Q", 2**63) + b"",                          # layout length far past the end
    struct.pack("<QI", 4, 0xFFFFFFFF),                      # a feature count of 4 billion
    struct.pack("<Q", 4) + b"\x00\x00\x00\x00" + struct.pack("<Q", 2**64 - 1),  # n_rows out of range
]


@pytest.mark.parametrize("body", HOSTILE_BODIES)
def test_hostile_lengths_are_refused_without_allocating(body):
    layout = body[8:8 + min(struct.unpack_from("<Q", body)[0], len(body) - 8)]
    fp = int.from_bytes(hashlib.blake2b(layout, digest_size=8).digest(), "little")
    with pytest.raises(mv.FormatError):
        mv.Profile.from_bytes(reframe(body, fingerprint=fp))


def test_future_version_foreign_magic_and_type_errors():
    b = PROFILES[1].to_bytes()
    future = reframe(b[24:-8], version=_format.VERSION + 1, fingerprint=PROFILES[1].layout.fingerprint)
    with pytest.raises(mv.FormatError, match="newer"):
        mv.Profile.from_bytes(future)
    with pytest.raises(mv.FormatError):
        mv.Profile.from_bytes(b"PK\x03\x04" + b[4:])
    with pytest.raises(TypeError):
        mv.Profile.from_bytes("not bytes")
    assert issubclass(mv.FormatError, ValueError)


@pytest.mark.parametrize("version", [1, 2, 3])
@pytest.mark.parametrize("p", [p for p in PROFILES if not (p.layout.task and p.layout.task.score)])
def test_older_versions_still_decode(p, version):
    # Version 3 bytes hold neither ranges nor score histograms; version 2 layouts also end before the
    # inputs block (score columns, column types), version 1 also before the timestamp column's flag.
    from morvane.state.codec import Writer
    from morvane.state.layout import write_inputs
    from morvane.state.stats import ClassificationStats

    tail = Writer()
    write_inputs(tail, p.layout)
    cut = 0 if version == 3 else len(tail.bytes()) + (
        1 + (4 + len(p.layout.timestamp.encode()) if p.layout.timestamp else 0) if version == 1 else 0)
    body = _format.encode_profile(p, version=3)[24:-8]
    layout_len = struct.unpack_from("<Q", body)[0]
    layout = body[8:8 + layout_len - cut]
    old = struct.pack("<Q", len(layout)) + layout + body[8 + layout_len:]
    fp = int.from_bytes(hashlib.blake2b(layout, digest_size=8).digest(), "little")
    q = mv.Profile.from_bytes(reframe(old, version=version, fingerprint=fp))
    # Sections (a regression's prediction bins) came with version 7.
    expected = dataclasses.replace(p.layout, extras=()) if version == 3 else dataclasses.replace(
        p.layout, types=(), timestamp=p.layout.timestamp if version == 2 else None, extras=())
    assert q.layout == expected and q.n_rows == p.n_rows
    for name, f in p.features.items():
        g = q.features[name]
        assert np.array_equal(g.counts, f.counts) and g.missing == f.missing
        # The range was not kept then: not known, and so written and read again as not known.
        assert f.kind == "categorical" or (np.isnan(g.minimum) and np.isnan(g.maximum))
    if isinstance(p.task_stats, ClassificationStats) and p.task_stats.scores is not None:
        assert not q.task_stats.scores.any()  # not counted then: empty
    assert mv.Profile.from_bytes(q.to_bytes()) == q


@pytest.mark.parametrize("p", PROFILES)
def test_bytes_before_ranges_decode_without_ranges(p):
    before = _format.RANGES_SINCE - 1
    old = dataclasses.replace(p.layout, extras=())  # no sections before version 7
    q = mv.Profile.from_bytes(reframe(_format.encode_profile(p, version=before)[24:-8], version=before,
                                      fingerprint=old.fingerprint))
    assert q.layout == old and [g.counts.tolist() for g in q.features.values()] == \
        [f.counts.tolist() for f in p.features.values()]
    if any(f.kind == "continuous" and f.n for f in p.features.values()):
        assert q != p  # the ranges are what the next version adds


def test_ranges_merge_exactly_and_forged_ranges_are_refused():
    x = np.array([3.0, -1.0, np.nan, 7.5, 2.0])
    whole = mv.profile({"x": x})
    parts = [mv.profile({"x": x[s]}, like=whole) for s in (slice(0, 2), slice(2, 3), slice(3, 5))]
    assert mv.merge(parts) == whole and (whole.features["x"].minimum, whole.features["x"].maximum) == (-1.0, 7.5)
    empty = parts[1].features["x"]
    assert (empty.minimum, empty.maximum) == (np.inf, -np.inf)
    b = bytearray(whole.to_bytes())
    at = bytes(b).index(struct.pack("<dd", -1.0, 7.5))
    b[at:at + 16] = struct.pack("<dd", 8.0, 7.5)
    with pytest.raises(mv.FormatError, match="range"):
        mv.Profile.from_bytes(reframe(bytes(b[24:-8]), fingerprint=whole.layout.fingerprint))


def test_consistent_frame_with_inconsistent_counts_is_refused():
    p = PROFILES[2]
    b = bytearray(p.to_bytes())
    body = bytes(b[24:-8])
    layout_len = struct.unpack_from("<Q", body)[0]
    n_rows_at = 8 + layout_len
    forged = body[:n_rows_at] + struct.pack("<Q", p.n_rows + 1) + body[n_rows_at + 8:]
    with pytest.raises(mv.FormatError, match="add up"):
        mv.Profile.from_bytes(reframe(forged, fingerprint=p.layout.fingerprint))


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=400), st.integers(0, 3))
def test_random_bodies_in_a_valid_frame_never_crash(body, which):
    p = PROFILES[which]
    real = p.to_bytes()[24:-8]
    for candidate in (body, real[: len(body)] + body[len(real):], body + real[len(body):]):
        try:
            q = mv.Profile.from_bytes(reframe(candidate, fingerprint=p.layout.fingerprint))
        except mv.FormatError:
            continue
        assert mv.Profile.from_bytes(q.to_bytes()) == q


def test_save_is_atomic_when_writing_fails(tmp_path, monkeypatch):
    path = tmp_path / "p.mvp"
    PROFILES[0].save(path)
    before = path.read_bytes()

    def broken_fsync(fd):
        raise OSError("disk full")

    monkeypatch.setattr(os, "fsync", broken_fsync)
    with pytest.raises(OSError):
        PROFILES[1].save(path)
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["p.mvp"]
