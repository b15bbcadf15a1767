"""The shapes real tables have, as one-feature populations for calibrating `mv.compare` by simulation
(the same count-level method as calibration_model.py: the reference drawn row by row, windows drawn
as the counts a profile keeps, exactly distributed as a row-by-row window's):

- categorical: 1,000 Zipf categories; 3 common plus 100 rare (0.01% each) categories;
- continuous with ties: a 0/1 flag at 5%; a constant; 80% zeros; Poisson(0.3);
- and 50% missing values, Cauchy values;
- regression errors from t(2), t(3) and a lognormal (a task without features).

Every shape also takes a change (`Shape.changed(...)`): a flag's share of ones, a new category, a
missing share, a sentinel share far outside the range, a constant's value.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field, replace

import numpy as np
from scipy import stats

from calibration_model import StatsProfile, as_profile, regression_sums


def layout_edges(values) -> np.ndarray:
    """The quantile layout of a reference's present values, by the package's own rule."""
    from morvane import _native

    v = np.sort(np.asarray(values, dtype=np.float64)) + 0.0
    m = len(v)
    ranks = _native.layout_ranks(m, 10)
    return np.array(_native.edges_from_ranks(m, 10, v[ranks].tolist()), dtype=np.float64)


@dataclass(frozen=True)
class Shape:
    """One feature: continuous values drawn by `draw(size, rng)` with P(value < x) = `below(x)`, or
    categorical `values` with probabilities `p`; `missing` is the share of missing rows; `extra` a
    value given to a share of rows (a sentinel, or a category the reference never had)."""

    name: str
    kind: str
    draw: object = None
    below: object = None
    values: tuple = ()
    p: tuple = ()
    missing: float = 0.0
    extra: tuple = ()  # (value, share)

    def changed(self, **change) -> "Shape":
        return replace(self, **change)

    # -- rows --

    def rows(self, n, rng) -> np.ndarray:
        keep = rng.random(n) >= self.missing
        k = int(keep.sum())
        if self.kind == "continuous":
            out = np.full(n, np.nan)
            x = np.asarray(self.draw(k, rng), dtype=np.float64)
            if self.extra:
                hit = rng.random(k) < self.extra[1]
                x[hit] = self.extra[0]
            out[keep] = x
            return out
        values, p = list(self.values), np.asarray(self.p, dtype=np.float64)
        if self.extra:
            values.append(self.extra[0])
            p = np.append(p * (1.0 - self.extra[1]), self.extra[1])
        out = np.full(n, None, dtype=object)
        out[keep] = np.array(values, dtype=object)[rng.choice(len(values), size=k, p=p / p.sum())]
        return out

    # -- a reference and its windows --

    def reference(self, m, rng) -> "DrawnShape":
        if self.kind == "continuous":
            x = self.rows(m, rng)
            present = x[~np.isnan(x)]
            edges = layout_edges(present)
            counts = np.bincount(np.searchsorted(edges, present, side="right"), minlength=len(edges) + 1)
            stats_ = {"kind": "continuous", "edges": edges, "categories": None, "counts": counts.astype(np.int64),
                      "missing": int(m - len(present)),
                      "minimum": float(present.min()) if len(present) else math.inf,
                      "maximum": float(present.max()) if len(present) else -math.inf}
        else:
            values = list(self.values) + ([self.extra[0]] if self.extra else [])
            p = np.asarray(self.p, dtype=np.float64)
            p = np.append(p * (1.0 - self.extra[1]), self.extra[1]) if self.extra else p
            missing = rng.binomial(m, self.missing)
            seen = rng.multinomial(m - missing, p / p.sum())  # the reference's rows, as counts per value
            order = sorted((j for j in np.flatnonzero(seen)), key=lambda j: values[j].encode())
            categories = [values[j] for j in order]
            counts = np.append(seen[order], 0)
            stats_ = {"kind": "categorical", "edges": None, "categories": categories,
                      "counts": counts.astype(np.int64), "missing": int(missing)}
        return DrawnShape(self, stats_)


@dataclass
class DrawnShape:
    shape: Shape
    stats: dict
    _cache: dict = field(default_factory=dict)

    @property
    def profile(self) -> StatsProfile:
        return _single(self.shape.name, self.stats, int(self.stats["counts"].sum() + self.stats["missing"]))

    def probabilities(self, shape: Shape) -> np.ndarray:
        """P(each cell of the reference's layout), then P(missing), under a (changed) shape."""
        key = id(shape)
        if key in self._cache:
            return self._cache[key][1]
        s = self.stats
        if shape.kind == "continuous":
            cuts = np.concatenate([[0.0], [shape.below(e) for e in s["edges"]], [1.0]])
            p = np.clip(np.diff(cuts), 0.0, None)
            if shape.extra:
                value, share = shape.extra
                p = p * (1.0 - share)
                p[np.searchsorted(s["edges"], value, side="right")] += share
        else:
            index = {c: k for k, c in enumerate(s["categories"])}
            p = np.zeros(len(s["categories"]) + 1)
            values, probs = list(shape.values), np.asarray(shape.p, dtype=np.float64)
            probs = probs / probs.sum()
            if shape.extra:
                values.append(shape.extra[0])
                probs = np.append(probs * (1.0 - shape.extra[1]), shape.extra[1])
            np.add.at(p, [index.get(v, len(s["categories"])) for v in values], probs)
        p = np.append(p / p.sum() * (1.0 - shape.missing), shape.missing)
        self._cache[key] = (shape, p)  # the shape is kept so its id is not reused
        return p

    def window(self, n, rng, shape: Shape | None = None) -> StatsProfile:
        counts = rng.multinomial(n, self.probabilities(shape or self.shape))
        s = {key: value for key, value in self.stats.items() if key not in ("counts", "missing")}
        s.update(counts=counts[:-1].astype(np.int64), missing=int(counts[-1]))
        if s["kind"] == "continuous":  # the window's own range is not drawn: no check reads it
            s.update(minimum=math.nan, maximum=math.nan)
        return _single(self.shape.name, s, n)


def _single(name, feature, n_rows) -> StatsProfile:
    return StatsProfile({"n_rows": int(n_rows), "features": {name: feature}, "task": None, "facets": {}})


def _zipf(k, s=1.1):
    p = 1.0 / np.arange(1, k + 1) ** s
    return tuple((p / p.sum()).tolist())


def _flag(share):
    return lambda x: 0.0 if x <= 0.0 else (1.0 - share if x <= 1.0 else 1.0)


def _constant(c):
    return lambda x: 0.0 if x <= c else 1.0


_LOGNORMAL = stats.lognorm(s=1.0)
_POISSON = stats.poisson(0.3)
_NORMAL = stats.norm()
_CAUCHY = stats.cauchy()

SHAPES = {
    "1,000 Zipf categories": Shape("c", "categorical", values=tuple(f"v{k:04d}" for k in range(1000)), p=_zipf(1000)),
    "3 common + 100 rare": Shape("c", "categorical", values=("a", "b", "c") + tuple(f"r{k:03d}" for k in range(100)),
                                 p=(0.33, 0.33, 0.33) + (0.0001,) * 100),
    "flag at 5%": Shape("x", "continuous", draw=lambda n, rng: (rng.random(n) < 0.05).astype(float), below=_flag(0.05)),
    "constant": Shape("x", "continuous", draw=lambda n, rng: np.full(n, 5.0), below=_constant(5.0)),
    "80% zeros": Shape("x", "continuous",
                       draw=lambda n, rng: np.where(rng.random(n) < 0.8, 0.0, _LOGNORMAL.rvs(size=n, random_state=rng)),
                       below=lambda x: 0.0 if x <= 0.0 else 0.8 + 0.2 * _LOGNORMAL.cdf(x)),
    "Poisson(0.3)": Shape("x", "continuous", draw=lambda n, rng: rng.poisson(0.3, n).astype(float),
                          below=lambda x: float(_POISSON.cdf(math.ceil(x) - 1))),
    "50% missing": Shape("x", "continuous", draw=lambda n, rng: rng.normal(size=n), below=_NORMAL.cdf, missing=0.5),
    "Cauchy": Shape("x", "continuous", draw=lambda n, rng: _CAUCHY.rvs(size=n, random_state=rng), below=_CAUCHY.cdf),
}

# What changes, the shape it changes, the window's rows: each found at least 95% of the time.
CHANGES = (
    ("flag 5% -> 20%", "flag at 5%", 1_000, dict(draw=None, below=_flag(0.20))),
    ("new category at 5%", "3 common + 100 rare", 200, dict(extra=("new", 0.05))),
    ("missing 0% -> 5%", "Cauchy", 200, dict(missing=0.05)),
    ("2% at a sentinel 999999", "Cauchy", 5_000, dict(extra=(999999.0, 0.02))),
    ("constant 5 -> 6", "constant", 500, dict(below=_constant(6.0))),
)


def shape_rates(shape: Shape, m, n, windows, rng, changed: Shape | None = None, alpha=0.01):
    """(failing windows, windows, {family: failing windows}) for windows of n rows against a fresh
    reference of m rows each time."""
    import morvane as mv

    failed, families = 0, {}
    for _ in range(windows):
        drawn = shape.reference(m, rng)
        report = mv.compare(as_profile(drawn.profile), as_profile(drawn.window(n, rng, changed)), alpha=alpha)
        if not report.passed:
            failed += 1
            for family in {check.family for check in report.failures}:
                families[family] = families.get(family, 0) + 1
    return failed, windows, families


# ---- regression errors with heavy tails ----

def _error_grid(dist, center=0.0):
    """A finite grid carrying `dist`: cells by probability, dense in the middle and down to 1e-10
    in each tail, each at its conditional median; returns (values, probabilities)."""
    tail = [10.0 ** -k for k in range(10, 2, -1)]
    middle = np.linspace(0.01, 0.99, 99).tolist()
    cuts = np.array([0.0] + tail + [0.005] + middle + [0.995] + [1 - t for t in reversed(tail)] + [1.0])
    mids = (cuts[:-1] + cuts[1:]) / 2
    return dist.ppf(mids) - center, np.diff(cuts)


ERRORS = {
    "t(2)": _error_grid(stats.t(2)),
    "t(3)": _error_grid(stats.t(3)),
    "lognormal": _error_grid(stats.lognorm(s=1.0), center=1.0),
}


class RegressionErrors:
    """A regression task without features: targets Poisson(9) + 3 (as calibration_model's), errors
    on the grid of a heavy-tailed law, independent of the target."""

    def __init__(self, errors):
        self.errors, pe = ERRORS[errors]
        targets = np.arange(3.0, 23.0)
        py = stats.poisson(9.0).pmf(np.arange(20)) + 0.002
        self.targets = targets
        self.cells = np.outer(py / py.sum(), pe / pe.sum())

    def window(self, n, rng) -> StatsProfile:
        counts = rng.multinomial(n, self.cells.ravel()).reshape(self.cells.shape)
        y = np.repeat(self.targets, len(self.errors)).reshape(counts.shape)
        p = y + self.errors[None, :]
        used = counts > 0
        with np.errstate(all="ignore"):
            sums = regression_sums(y.ravel(), p.ravel(), counts.ravel())
        task = {"kind": "regression", "n": int(n), "missing": 0, "sums": sums,
                "max_abs_error": float(np.abs(p - y)[used].max()) if used.any() else 0.0}
        return StatsProfile({"n_rows": int(n), "features": {}, "task": task, "facets": {}})


def regression_rates(errors, m, n, windows, rng, alpha=0.01):
    import morvane as mv

    population = RegressionErrors(errors)
    failed, families = 0, {}
    for _ in range(windows):
        report = mv.compare(as_profile(population.window(m, rng)), as_profile(population.window(n, rng)), alpha=alpha)
        if not report.passed:
            failed += 1
            for check in report.failures:
                families[check.metric] = families.get(check.metric, 0) + 1
    return failed, windows, families
