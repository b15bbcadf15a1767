"""Joint moments of the continuous features: the layout part (which features, the reference's means
and standard deviations that standardise them, and the reference's principal components) and the
counted part (exact integer sums of the fixed-point standardised values and of their pairwise
products), with their bytes, empty values and exact merges.

A value x of feature i is kept as z = round((x - centre_i) / scale_i * 2**12), limited to +-256
standard deviations; a missing value is the reference's mean (z = 0). Sums of z and of z_i * z_j
are integers, so any split, order or engine gives the same sums."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from morvane import _native
from morvane.state.codec import Reader, Writer
from morvane.state.errors import FormatError
from morvane.state.exact_sum import ExactSum

FRACTION_BITS = int(_native.JOINT_FRACTION_BITS)
LIMIT = float(_native.JOINT_LIMIT)
VARIANCE_KEPT = 0.65  # the principal components kept: the fewest whose variance reaches this share
_I128 = 16


@dataclass(frozen=True)
class JointLayout:
    """The standardised features (the reference's continuous features with a spread), their
    centres and scales, and once the reference is counted its covariance's eigenvalues (descending)
    and the components kept (`components[i]` the i-th feature's loadings, one per kept component)."""

    columns: tuple
    centres: tuple
    scales: tuple
    eigenvalues: tuple = ()
    components: tuple = ()  # k rows of r loadings

    @property
    def kept(self) -> int:
        return len(self.components[0]) if self.components else 0

    def basis(self) -> np.ndarray:
        """The (k, r) matrix of the kept components."""
        return np.array(self.components, dtype=np.float64).reshape(len(self.columns), self.kept)


@dataclass(frozen=True, eq=False)
class JointStats:
    """Rows counted, per feature the sum of z, per pair i <= j (row-major upper triangle) the sum of
    z_i * z_j, per feature the sum of z**4 (integers, z scaled by 2**12), and the exact sum of
    (sum_i z_i**2)**2 per row."""

    n: int
    first: tuple
    second: tuple
    fourth: tuple
    norm_fourth: ExactSum

    @classmethod
    def empty(cls, k: int) -> JointStats:
        return cls(0, (0,) * k, (0,) * (k * (k + 1) // 2), (0,) * k, ExactSum())

    def merge(self, other: JointStats) -> JointStats:
        add = lambda a, b: tuple(x + y for x, y in zip(a, b))  # noqa: E731
        return JointStats(self.n + other.n, add(self.first, other.first), add(self.second, other.second),
                          add(self.fourth, other.fourth), self.norm_fourth + other.norm_fourth)

    def __eq__(self, other):
        return (isinstance(other, JointStats) and self.n == other.n and self.first == other.first
                and self.second == other.second and self.fourth == other.fourth
                and self.norm_fourth == other.norm_fourth)

    __hash__ = None

    # ---- moments of the standardised values ----

    @property
    def k(self) -> int:
        return len(self.first)

    def mean(self) -> np.ndarray:
        """The mean of the standardised values."""
        scale = float(1 << FRACTION_BITS)
        return np.array([x / scale / self.n for x in self.first]) if self.n else np.zeros(self.k)

    def second_moment(self) -> np.ndarray:
        """The (k, k) mean of z z^T."""
        k = self.k
        m = np.zeros((k, k))
        if self.n:
            iu = np.triu_indices(k)
            m[iu] = [x / float(1 << (2 * FRACTION_BITS)) / self.n for x in self.second]
            m = m + np.triu(m, 1).T
        return m

    def covariance(self) -> np.ndarray:
        """The (k, k) covariance (divided by n) of the standardised values."""
        mu = self.mean()
        return self.second_moment() - np.outer(mu, mu)

    def fourth_moment(self) -> np.ndarray:
        """Each feature's mean of z**4."""
        unit = float(1 << (4 * FRACTION_BITS))
        return np.array([x / unit / self.n for x in self.fourth]) if self.n else np.zeros(self.k)

    def norm_fourth_mean(self) -> float:
        """The mean over rows of (z^T z)**2."""
        return float(self.norm_fourth) / self.n if self.n else math.nan


def from_native(found) -> JointStats:
    n, first, second, fourth, norm_fourth = found
    wide = lambda parts: tuple((int(h) << 64) | int(l) for l, h in zip(*parts))  # noqa: E731
    return JointStats(int(n), wide(first), wide(second), wide(fourth), ExactSum.from_native(norm_fourth))


def principal(covariance: np.ndarray, share: float = VARIANCE_KEPT) -> tuple[np.ndarray, np.ndarray]:
    """(eigenvalues descending, the fewest leading eigenvectors whose variance reaches `share`), the
    sign of each eigenvector fixed (its largest loading positive) so the layout is reproducible."""
    values, vectors = np.linalg.eigh(covariance)
    order = np.argsort(values)[::-1]
    values, vectors = np.clip(values[order], 0.0, None), vectors[:, order]
    total = values.sum()
    kept = int(np.searchsorted(np.cumsum(values), share * total - 1e-12 * total) + 1) if total > 0 else 0
    vectors = vectors[:, :min(kept, len(values))]
    signs = np.sign(vectors[np.abs(vectors).argmax(axis=0), np.arange(vectors.shape[1])])
    return values, vectors * np.where(signs == 0, 1.0, signs)


def with_components(layout: JointLayout, stats: JointStats) -> JointLayout:
    """The layout with the principal components of the reference counted on it."""
    if stats.n < 2 or not layout.columns:
        return layout
    values, vectors = principal(stats.covariance())
    return JointLayout(layout.columns, layout.centres, layout.scales, tuple(float(v) for v in values),
                       tuple(tuple(float(x) for x in row) for row in vectors))


def scale_of(n: int, total: ExactSum, total_sq: ExactSum) -> tuple[float, float] | None:
    """(mean, standard deviation) from a feature's exact sums, or None without a spread."""
    if n < 2:
        return None
    s1, s2 = total.fraction(), total_sq.fraction()
    variance = (s2 - s1 * s1 / n) / (n - 1)
    if not variance > 0 or any((s.pos_inf, s.neg_inf, s.nan) != (0, 0, 0) for s in (total, total_sq)):
        return None
    sd = math.sqrt(float(variance))
    return (float(s1 / n), sd) if sd > 0 and math.isfinite(sd) else None


# ---- bytes ----

def write_layout(w: Writer, layout: JointLayout) -> None:
    k, r = len(layout.columns), layout.kept
    w.u32(k)
    for name in layout.columns:
        w.text(name)
    w.parts.append(np.asarray(layout.centres + layout.scales, dtype="<f8").tobytes())
    w.u32(len(layout.eigenvalues))
    w.u32(r)
    w.parts.append(np.asarray(layout.eigenvalues, dtype="<f8").tobytes())
    w.parts.append(np.asarray(layout.components, dtype="<f8").reshape(-1).tobytes())


def read_layout(r: Reader, _layout=None) -> JointLayout:
    k = r.count(8 * 2 + 4)
    columns = tuple(r.text() for _ in range(k))
    if len(set(columns)) != k:
        raise FormatError("joint moments: a feature appears twice")
    scales = np.frombuffer(r.take(16 * k), dtype="<f8")
    n_values, kept = r.count(8), r.u32()
    if n_values not in (0, k) or kept > n_values or (n_values and not kept):
        raise FormatError("joint moments: malformed components")
    values = np.frombuffer(r.take(8 * n_values), dtype="<f8")
    components = np.frombuffer(r.take(8 * k * kept), dtype="<f8")
    if not (np.isfinite(scales).all() and (scales[k:] > 0).all() and np.isfinite(values).all()
            and np.isfinite(components).all()):
        raise FormatError("joint moments: a centre, scale or component is not a finite number")
    return JointLayout(columns, tuple(float(x) for x in scales[:k]), tuple(float(x) for x in scales[k:]),
                       tuple(float(x) for x in values),
                       tuple(tuple(float(x) for x in row) for row in components.reshape(k, kept)) if kept else ())


def _write_ints(w: Writer, values) -> None:
    w.parts.append(b"".join(int(v).to_bytes(_I128, "little", signed=True) for v in values))


def _read_ints(r: Reader, n: int) -> tuple:
    raw = r.take(_I128 * n)
    return tuple(int.from_bytes(raw[i:i + _I128], "little", signed=True) for i in range(0, len(raw), _I128))


def write_stats(w: Writer, stats: JointStats) -> None:
    w.u64(stats.n)
    w.u32(stats.k)
    _write_ints(w, stats.first)
    _write_ints(w, stats.second)
    _write_ints(w, stats.fourth)
    w.exact(stats.norm_fourth)


def empty(layout) -> JointStats | None:
    """No rows' sums on a layout that keeps joint moments (None when it does not)."""
    jl = layout.extra("joint")
    return None if jl is None else JointStats.empty(len(jl.columns))


def read_counted(r: Reader, layout) -> JointStats:
    jl = layout.extra("joint")
    if jl is None:
        raise FormatError("joint sums without joint moments in the layout")
    return read_stats(r, len(jl.columns))


def read_stats(r: Reader, k: int) -> JointStats:
    n = r.count64()
    if r.u32() != k:
        raise FormatError("joint moments: the sums do not match the layout's features")
    if (2 * k + k * (k + 1) // 2) * _I128 > r.left():
        raise FormatError("joint moments: truncated")
    first, second, fourth = _read_ints(r, k), _read_ints(r, k * (k + 1) // 2), _read_ints(r, k)
    bound = n << (2 * FRACTION_BITS + 17)  # every |z| <= 2**20: |sum| <= n * 2**40
    if any(abs(v) > bound for v in first + second) or any(not 0 <= v <= bound << 40 for v in fourth):
        raise FormatError("joint moments: a sum exceeds what its rows can give")
    return JointStats(n, first, second, fourth, r.exact())
