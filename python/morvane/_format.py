"""The byte form of profiles and monitors.

    magic (4) | version u16 | reserved u16 | layout fingerprint u64 | body length u64 | body | checksum u64

Little-endian, fixed-width fields. A profile's body is its layout (length-prefixed) and then its
state; a monitor's body is its reference and its window, each a whole profile (length-prefixed).
The fingerprint is the first 8 bytes of BLAKE2b over the layout bytes; the checksum the first
8 bytes of BLAKE2b over everything before it. The decoder checks every length against the bytes
left before reading or allocating, so hostile input can neither crash it nor make it allocate more
than the input's size, and any failure is a FormatError."""

from __future__ import annotations

import hashlib
import math
import os
import struct
import tempfile

import numpy as np

from morvane._errors import FormatError

VERSION = 1
PROFILE_MAGIC = b"MVPF"
MONITOR_MAGIC = b"MVMN"
_HEADER = struct.Struct("<4sHHQQ")
_U8, _U16, _U32, _U64, _I64, _F64 = (struct.Struct(f) for f in ("<B", "<H", "<I", "<Q", "<q", "<d"))
_KINDS = ("continuous", "categorical")
_TASKS = ("regression", "binary", "multiclass")
_OPS = ("==", ">=", ">", "<=", "<", "in", "each")
MAX_SUM_BYTES = 300  # 2^(1074 + 1024 + 64) fits in 271 bytes


def _digest(data) -> int:
    return int.from_bytes(hashlib.blake2b(data, digest_size=8).digest(), "little")


# ---- writing ----------------------------------------------------------------------------------

class _Writer:
    def __init__(self):
        self.parts = []

    def u8(self, v): self.parts.append(_U8.pack(v))
    def u16(self, v): self.parts.append(_U16.pack(v))
    def u32(self, v): self.parts.append(_U32.pack(v))
    def u64(self, v): self.parts.append(_U64.pack(v))
    def f64(self, v): self.parts.append(_F64.pack(v))

    def text(self, s: str):
        b = s.encode("utf-8", "surrogatepass")
        self.u32(len(b))
        self.parts.append(b)

    def label(self, v):
        if isinstance(v, np.generic):
            v = v.item()
        if v is None:
            self.u8(0)
        elif isinstance(v, bool):
            self.u8(2 if v else 1)
        elif isinstance(v, int):
            self.u8(3)
            self.text(str(v))
        elif isinstance(v, float):
            self.u8(4)
            self.f64(v)
        else:
            self.u8(5)
            self.text(str(v))

    def counts(self, a):
        self.parts.append(np.ascontiguousarray(a, dtype="<i8").tobytes())

    def exact(self, s):
        n = (s.value.bit_length() + 8) // 8
        self.u16(n)
        self.parts.append(s.value.to_bytes(n, "little", signed=True))
        self.u64(s.pos_inf)
        self.u64(s.neg_inf)
        self.u64(s.nan)

    def bytes(self) -> bytes:
        return b"".join(self.parts)


def _layout_bytes(layout) -> bytes:
    w = _Writer()
    w.u32(len(layout.features))
    for f in layout.features:
        w.text(f.name)
        w.u8(_KINDS.index(f.kind))
        if f.kind == "continuous":
            w.u32(len(f.edges))
            w.parts.append(np.asarray(f.edges, dtype="<f8").tobytes())
        else:
            w.u32(len(f.categories))
            for c in f.categories:
                w.text(c)
    t = layout.task
    w.u8(t is not None)
    if t is not None:
        w.u8(_TASKS.index(t.kind))
        w.text(t.target)
        w.u32(len(t.prediction))
        for p in t.prediction:
            w.text(p)
        w.label(t.positive)
        w.f64(t.threshold)
        w.u8(bool(t.has_proba))
        classes = t.classes or ()
        w.u8(t.classes is not None)
        w.u32(len(classes))
        for c in classes:
            w.text(c)
    w.u32(len(layout.facets))
    for f in layout.facets:
        w.text(f.column)
        w.u8(_OPS.index(f.op))
        w.u32(len(f.values))
        for v in f.values:
            w.label(v)
        w.u32(len(f.groups))
        for g in f.groups:
            w.text(g)
    return w.bytes()


def layout_fingerprint(layout) -> int:
    return _digest(_layout_bytes(layout))


def _frame(magic: bytes, fingerprint: int, body: bytes) -> bytes:
    head = _HEADER.pack(magic, VERSION, 0, fingerprint, len(body))
    return head + body + _U64.pack(_digest(head + body))


def encode_profile(p) -> bytes:
    from morvane._profile import REGRESSION_SUMS

    layout = _layout_bytes(p._layout)
    w = _Writer()
    w.u64(len(layout))
    w.parts.append(layout)
    w.u64(p._n_rows)
    for f in p._layout.features:
        counts, missing = p._features[f.name]
        w.u64(missing)
        w.counts(counts)
    t = p._layout.task
    if t is not None:
        s = p._task
        w.u64(s["n"])
        w.u64(s["missing"])
        if t.kind == "regression":
            for k in REGRESSION_SUMS:
                w.exact(s["sums"][k])
            w.f64(s["max_abs_error"])
        else:
            w.counts(s["confusion"].ravel())
            w.exact(s["log_loss"])
            w.exact(s["log_loss_sq"])
    for f in p._layout.facets:
        counts, missing = p._facets[f.column]
        w.u64(missing)
        w.counts(counts.ravel())
    return _frame(PROFILE_MAGIC, _digest(layout), w.bytes())


def encode_monitor(reference_bytes: bytes, current_bytes: bytes, fingerprint: int) -> bytes:
    w = _Writer()
    for part in (reference_bytes, current_bytes):
        w.u64(len(part))
        w.parts.append(part)
    return _frame(MONITOR_MAGIC, fingerprint, w.bytes())


# ---- reading ----------------------------------------------------------------------------------

class _Reader:
    """Reads fields from a buffer; every read checks the bytes left first."""

    def __init__(self, data: bytes, pos: int = 0, end: int | None = None):
        self.data, self.pos, self.end = data, pos, len(data) if end is None else end

    def left(self) -> int:
        return self.end - self.pos

    def take(self, n: int) -> bytes:
        if n < 0 or n > self.left():
            raise FormatError("truncated: a field runs past the end of the data")
        b = self.data[self.pos:self.pos + n]
        self.pos += n
        return b

    def _unpack(self, s):
        return s.unpack(self.take(s.size))[0]

    def u8(self): return self._unpack(_U8)
    def u16(self): return self._unpack(_U16)
    def u32(self): return self._unpack(_U32)
    def u64(self): return self._unpack(_U64)
    def f64(self): return self._unpack(_F64)

    def count(self, item_size: int) -> int:
        """An element count, capped by the bytes left (each element takes at least item_size)."""
        n = self.u32()
        if n * item_size > self.left():
            raise FormatError(f"a count of {n} exceeds the data left")
        return n

    def text(self) -> str:
        n = self.count(1)
        try:
            return self.take(n).decode("utf-8", "surrogatepass")
        except UnicodeDecodeError:
            raise FormatError("a text field is not valid UTF-8") from None

    def label(self):
        tag = self.u8()
        if tag == 0:
            return None
        if tag in (1, 2):
            return tag == 2
        if tag == 3:
            s = self.text()
            if not (0 < len(s) <= 40) or not s.lstrip("-").isdigit() or s != str(int(s)):
                raise FormatError("an integer label is malformed")
            return int(s)
        if tag == 4:
            return self.f64()
        if tag == 5:
            return self.text()
        raise FormatError(f"unknown label tag {tag}")

    def counts(self, n: int) -> np.ndarray:
        raw = self.take(8 * n)
        a = np.frombuffer(raw, dtype="<i8").astype(np.int64)
        if n and a.min() < 0:
            raise FormatError("a count is negative")
        a.setflags(write=False)
        return a

    def count64(self) -> int:
        v = self.u64()
        if v >= 1 << 63:
            raise FormatError("a count is out of range")
        return v

    def exact(self):
        from morvane._profile import ExactSum

        n = self.u16()
        if n == 0 or n > MAX_SUM_BYTES:
            raise FormatError("an exact sum has an invalid length")
        value = int.from_bytes(self.take(n), "little", signed=True)
        if (value.bit_length() + 8) // 8 != n:
            raise FormatError("an exact sum is not in canonical form")
        return ExactSum(value, self.count64(), self.count64(), self.count64())


def _check_frame(data, magic: bytes):
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"expected bytes, got {type(data).__name__}")
    data = bytes(data)
    if len(data) < _HEADER.size + 8:
        raise FormatError("truncated: too short for a header")
    got, version, reserved, fingerprint, body_len = _HEADER.unpack_from(data)
    if got != magic:
        raise FormatError("not a morvane " + ("profile" if magic == PROFILE_MAGIC else "monitor") + " (bad magic)")
    if version > VERSION:
        raise FormatError(f"format version {version} is newer than this morvane reads ({VERSION})")
    if version == 0 or reserved != 0:
        raise FormatError("unknown format version or flags")
    if body_len != len(data) - _HEADER.size - 8:
        raise FormatError("truncated or extended: the body length does not match the data")
    (checksum,) = _U64.unpack_from(data, len(data) - 8)
    if checksum != _digest(memoryview(data)[:len(data) - 8]):
        raise FormatError("corrupted: checksum mismatch")
    return data, fingerprint, _Reader(data, _HEADER.size, len(data) - 8)


def _read_layout(r: _Reader):
    from morvane._layout import FacetLayout, FeatureLayout, Layout, TaskLayout

    features = []
    names = set()
    for _ in range(r.count(6)):
        name = r.text()
        if name in names:
            raise FormatError("a feature appears twice")
        names.add(name)
        kind = r.u8()
        if kind == 0:
            n = r.count(8)
            edges = np.frombuffer(r.take(8 * n), dtype="<f8")
            if np.isnan(edges).any() or (n > 1 and not (np.diff(edges) > 0).all()):
                raise FormatError("edges are not strictly increasing numbers")
            features.append(FeatureLayout(name, "continuous", edges=tuple(float(x) for x in edges)))
        elif kind == 1:
            cats = tuple(r.text() for _ in range(r.count(4)))
            keys = [c.encode("utf-8", "surrogatepass") for c in cats]
            if any(a >= b for a, b in zip(keys, keys[1:])):
                raise FormatError("categories are not sorted and distinct")
            features.append(FeatureLayout(name, "categorical", categories=cats))
        else:
            raise FormatError(f"unknown feature kind {kind}")
    task = None
    if r.u8():
        k = r.u8()
        if k >= len(_TASKS):
            raise FormatError(f"unknown task kind {k}")
        target = r.text()
        prediction = tuple(r.text() for _ in range(r.count(4)))
        positive = r.label()
        threshold = r.f64()
        has_proba = r.u8()
        has_classes = r.u8()
        classes = tuple(r.text() for _ in range(r.count(4)))
        if has_proba > 1 or has_classes > 1 or math.isnan(threshold) or not prediction:
            raise FormatError("a malformed task")
        if (_TASKS[k] == "multiclass") != bool(has_classes) or (has_classes and not classes):
            raise FormatError("a malformed task: classes")
        task = TaskLayout(_TASKS[k], target, prediction, positive, threshold, bool(has_proba),
                          classes if has_classes else None)
    facets = []
    for _ in range(r.count(10)):
        column = r.text()
        op = r.u8()
        if op >= len(_OPS):
            raise FormatError(f"unknown facet rule {op}")
        values = tuple(r.label() for _ in range(r.count(1)))
        groups = tuple(r.text() for _ in range(r.count(4)))
        if _OPS[op] != "each" and groups != ("a", "d"):
            raise FormatError("a malformed facet")
        if task is None or task.kind != "binary":
            raise FormatError("facets without a binary task")
        facets.append(FacetLayout(column, _OPS[op], values, groups))
    return Layout(tuple(features), task, tuple(facets))


def _total(a) -> int:
    return sum(a.ravel().tolist())


def decode_profile(data):
    from morvane._profile import REGRESSION_SUMS, Profile

    data, fingerprint, r = _check_frame(data, PROFILE_MAGIC)
    layout_len = r.u64()
    if layout_len > r.left():
        raise FormatError("truncated: the layout runs past the end of the data")
    if _digest(memoryview(data)[r.pos:r.pos + layout_len]) != fingerprint:
        raise FormatError("corrupted: layout fingerprint mismatch")
    lr = _Reader(data, r.pos, r.pos + layout_len)
    try:
        layout = _read_layout(lr)
    except (ValueError, OverflowError) as e:  # FormatError included
        raise e if isinstance(e, FormatError) else FormatError(str(e)) from None
    if lr.left():
        raise FormatError("unexpected bytes after the layout")
    r.pos += layout_len
    n_rows = r.count64()
    features = {}
    for f in layout.features:
        missing = r.count64()
        counts = r.counts(f.n_counts)
        if _total(counts) + missing != n_rows:
            raise FormatError(f"counts of {f.name!r} do not add up to the rows")
        features[f.name] = (counts, missing)
    task = None
    t = layout.task
    if t is not None:
        n, missing = r.count64(), r.count64()
        if n + missing != n_rows:
            raise FormatError("task counts do not add up to the rows")
        if t.kind == "regression":
            task = {"n": n, "missing": missing, "sums": {k: r.exact() for k in REGRESSION_SUMS}, "max_abs_error": r.f64()}
            if not (task["max_abs_error"] >= 0):
                raise FormatError("a malformed maximum error")
        else:
            k = 2 if t.kind == "binary" else len(t.classes)
            confusion = r.counts(k * k).reshape(k, k)
            if _total(confusion) != n:
                raise FormatError("the confusion counts do not add up")
            task = {"n": n, "missing": missing, "confusion": confusion, "log_loss": r.exact(), "log_loss_sq": r.exact()}
    facets = {}
    for f in layout.facets:
        missing = r.count64()
        counts = r.counts(len(f.groups) * 4).reshape(len(f.groups), 2, 2)
        if _total(counts) + missing != n_rows:
            raise FormatError(f"facet counts of {f.column!r} do not add up to the rows")
        facets[f.column] = (counts, missing)
    if r.left():
        raise FormatError("unexpected bytes after the profile")
    p = Profile._make(layout, n_rows, features, task, facets)
    p._bytes = data
    return p


def decode_monitor(data):
    data, fingerprint, r = _check_frame(data, MONITOR_MAGIC)
    parts = []
    for _ in range(2):
        n = r.u64()
        parts.append(decode_profile(r.take(n)))
    if r.left():
        raise FormatError("unexpected bytes after the monitor")
    reference, current = parts
    if reference.layout != current.layout or reference.layout.fingerprint != fingerprint:
        raise FormatError("the monitor's window does not share its reference's layout")
    return reference, current


def atomic_write(path, data: bytes) -> None:
    """Write to a temporary file beside ``path``, flush and fsync it, then rename it over ``path``."""
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".mv-", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    try:
        dfd = os.open(directory, os.O_RDONLY)
        try:
            os.fsync(dfd)
        finally:
            os.close(dfd)
    except OSError:
        pass


def load(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] == MONITOR_MAGIC:
        from morvane._monitor import Monitor

        return Monitor.from_bytes(data)
    from morvane._profile import Profile

    return Profile.from_bytes(data)
