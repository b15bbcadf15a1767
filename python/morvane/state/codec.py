"""Fixed-width little-endian fields: the writer and the bounds-checked reader every byte form of the
package uses. Every read checks the bytes left first, so hostile input can neither crash a decoder
nor make it allocate more than the input's size; any failure is a FormatError."""

from __future__ import annotations

import hashlib
import struct

import numpy as np

from morvane.state.errors import FormatError
from morvane.state.exact_sum import ExactSum

_U8, _U16, _U32, _U64, _I64, _F64 = (struct.Struct(f) for f in ("<B", "<H", "<I", "<Q", "<q", "<d"))
MAX_SUM_BYTES = 300  # 2^(1074 + 1024 + 64) fits in 271 bytes


def digest(data) -> int:
    """The first 8 bytes of BLAKE2b, as an integer."""
    return int.from_bytes(hashlib.blake2b(data, digest_size=8).digest(), "little")


def _packing(a: np.ndarray, nonzero: int) -> tuple[bool, int]:
    """(sparse, width) of counts ``a`` in their smallest form."""
    top = int(a.max()) if a.size else 0
    width = next(w for w in (1, 2, 4, 8) if top < 1 << (8 * w - (w == 8)))
    return 8 + nonzero * (4 + width) < a.size * width and a.size < 1 << 32, width


def frozen(a) -> np.ndarray:
    """An int64 array that cannot be written through."""
    a = np.asarray(a, dtype=np.int64)
    a.setflags(write=False)
    return a


class Writer:
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

    def packed(self, a):
        """Counts in their smallest form: each value in the fewest bytes that hold the largest, and
        when most are zero only the others with their positions (score histograms, a period's counts
        of a reference's many categories)."""
        a = np.ascontiguousarray(a, dtype=np.int64).ravel()
        nonzero = np.flatnonzero(a)
        sparse, width = _packing(a, nonzero.size)
        self.u8(int(sparse))
        self.u8(width)
        if sparse:
            self.u64(nonzero.size)
            self.parts.append(nonzero.astype("<u4").tobytes())
            a = a[nonzero]
        self.parts.append(a.astype(f"<u{width}").tobytes())

    def exact(self, s):
        n = (s.value.bit_length() + 8) // 8
        self.u16(n)
        self.parts.append(s.value.to_bytes(n, "little", signed=True))
        self.u64(s.pos_inf)
        self.u64(s.neg_inf)
        self.u64(s.nan)

    def bytes(self) -> bytes:
        return b"".join(self.parts)


class Reader:
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

    def packed(self, n: int) -> np.ndarray:
        """``n`` counts written by ``Writer.packed``, in canonical form only."""
        sparse, width = self.u8(), self.u8()
        if sparse > 1 or width not in (1, 2, 4, 8):
            raise FormatError("malformed packed counts")
        if sparse:
            k = self.u64()
            if k > n or k * (4 + width) > self.left():
                raise FormatError("malformed packed counts: too many values")
            where = np.frombuffer(self.take(4 * k), dtype="<u4").astype(np.int64)
            values = np.frombuffer(self.take(width * k), dtype=f"<u{width}").astype(np.int64)
            if k and (where[-1] >= n or (np.diff(where) <= 0).any() or (values == 0).any()):
                raise FormatError("malformed packed counts: positions")
            a = np.zeros(n, dtype=np.int64)
            a[where] = values
        else:
            a = np.frombuffer(self.take(width * n), dtype=f"<u{width}").astype(np.int64)
        if (a < 0).any():
            raise FormatError("a count is out of range")
        if _packing(a, np.count_nonzero(a)) != (bool(sparse), width):
            raise FormatError("packed counts not in canonical form")
        a.setflags(write=False)
        return a

    def count64(self) -> int:
        v = self.u64()
        if v >= 1 << 63:
            raise FormatError("a count is out of range")
        return v

    def exact(self):
        n = self.u16()
        if n == 0 or n > MAX_SUM_BYTES:
            raise FormatError("an exact sum has an invalid length")
        value = int.from_bytes(self.take(n), "little", signed=True)
        if (value.bit_length() + 8) // 8 != n:
            raise FormatError("an exact sum is not in canonical form")
        return ExactSum(value, self.count64(), self.count64(), self.count64())


