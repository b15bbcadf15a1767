"""Outcomes by feature bin (`profile(..., explain=True)`): for every feature's bins or categories,
and its missing values as one more slot, the task's confusion counts (classification) or the rows
and exact sums of |e|, e^2 and e^4 of the errors (regression). Counts and exact sums, so shards
merge exactly. The layout part names the features whose outcomes are kept."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from morvane.state.codec import Reader, Writer, frozen
from morvane.state.errors import FormatError
from morvane.state.exact_sum import ExactSum

ERROR_SUMS = ("abs", "sq", "fourth")  # |e|, e^2, e^4 per slot


@dataclass(frozen=True)
class ExplainLayout:
    """The features whose outcomes are kept per bin, in the layout's order."""

    features: tuple


@dataclass(frozen=True, eq=False)
class FeatureOutcomes:
    """One feature: `cells` (slots x confusion cells, truth-major) for classification, or `n` per slot
    with `sums[slot]` = (sum |e|, sum e^2, sum e^4) for regression; the last slot is the missing values."""

    cells: np.ndarray | None = None
    n: np.ndarray | None = None
    sums: tuple = ()

    def rows(self) -> np.ndarray:
        return self.cells.sum(axis=1) if self.cells is not None else self.n

    def merge(self, other: FeatureOutcomes) -> FeatureOutcomes:
        if self.cells is not None:
            return FeatureOutcomes(cells=frozen(self.cells + other.cells))
        return FeatureOutcomes(n=frozen(self.n + other.n),
                               sums=tuple(tuple(a + b for a, b in zip(x, y)) for x, y in zip(self.sums, other.sums)))

    def __eq__(self, other):
        if not isinstance(other, FeatureOutcomes):
            return NotImplemented
        if self.cells is not None:
            return other.cells is not None and np.array_equal(self.cells, other.cells)
        return other.n is not None and np.array_equal(self.n, other.n) and self.sums == other.sums

    __hash__ = None


def task_cells(task) -> int:
    """Confusion cells per slot (0 for regression)."""
    if task.kind == "regression":
        return 0
    k = 2 if task.kind == "binary" else len(task.classes)
    return k * k


def slots(feature) -> int:
    """A feature's slots: its bins or categories (with "other") and the missing values."""
    return feature.n_counts + 1


def empty(layout) -> dict | None:
    """{feature: FeatureOutcomes} of no rows, or None when the layout keeps none."""
    found = layout.extra("explain")
    if found is None or layout.task is None:
        return None
    cells = task_cells(layout.task)
    out = {}
    for f in layout.features:
        if f.name in found.features:
            s = slots(f)
            out[f.name] = (FeatureOutcomes(cells=frozen(np.zeros((s, cells)))) if cells
                           else FeatureOutcomes(n=frozen(np.zeros(s)), sums=((ExactSum(),) * 3,) * s))
    return out


def merge(a: dict, b: dict) -> dict:
    return {name: a[name].merge(b[name]) for name in a}


# ---- bytes ----

def write_layout(w: Writer, layout: ExplainLayout) -> None:
    w.u32(len(layout.features))
    for name in layout.features:
        w.text(name)


def read_layout(r: Reader, _layout=None) -> ExplainLayout:
    names = tuple(r.text() for _ in range(r.count(4)))
    if len(set(names)) != len(names):
        raise FormatError("explain: a feature appears twice")
    return ExplainLayout(names)


def write_stats(w: Writer, stats: dict) -> None:
    w.u32(len(stats))
    for name, o in stats.items():
        w.text(name)
        if o.cells is not None:
            w.u8(0)
            w.u32(o.cells.shape[0])
            w.u32(o.cells.shape[1])
            w.packed(o.cells.reshape(-1))
        else:
            w.u8(1)
            w.u32(len(o.n))
            w.packed(o.n)
            for triple in o.sums:
                for s in triple:
                    w.exact(s)


def read_stats(r: Reader, layout) -> dict:
    """Outcomes checked against the layout: the features it names, each with its slots and cells."""
    expected = empty(layout)
    if expected is None:
        raise FormatError("explain outcomes without an explain layout and a task")
    out = {}
    for _ in range(r.count(6)):
        name = r.text()
        if name not in expected or name in out:
            raise FormatError(f"explain: unexpected feature {name!r}")
        want = expected[name]
        kind = r.u8()
        if kind == 0 and want.cells is not None:
            s, c = r.u32(), r.u32()
            if (s, c) != want.cells.shape:
                raise FormatError(f"explain: the outcomes of {name!r} do not match the layout")
            cells = r.packed(s * c).reshape(s, c)
            cells.setflags(write=False)
            out[name] = FeatureOutcomes(cells=cells)
        elif kind == 1 and want.n is not None:
            s = r.u32()
            if s != len(want.n):
                raise FormatError(f"explain: the outcomes of {name!r} do not match the layout")
            n = r.packed(s)
            out[name] = FeatureOutcomes(n=n, sums=tuple(tuple(r.exact() for _ in ERROR_SUMS) for _ in range(s)))
        else:
            raise FormatError(f"explain: malformed outcomes of {name!r}")
    if set(out) != set(expected):
        raise FormatError("explain: outcomes are missing for some features")
    return out
