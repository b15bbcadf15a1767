"""Counting joint moments (`profile(..., joint=True)`): the reference's continuous features
standardised by their exact means and standard deviations, the sums of products by the native core,
and the reference's principal components once its sums are known."""

from __future__ import annotations

import dataclasses

from morvane import _native
from morvane.tables.read import Table
from morvane.state.exact_sum import ExactSum
from morvane.state.joint import JointLayout, JointStats, from_native, scale_of, with_components
from morvane.state.layout import Layout
from morvane.state.sections import with_extra


def scales(t: Table, layout: Layout, threads: int) -> JointLayout:
    """The joint layout of a reference table, before its components: its continuous features that
    have a spread, with their exact means and standard deviations."""
    names = [f.name for f in layout.features if f.kind == "continuous"]
    found = _native.joint_scale(t.columns, [t.slot(n) for n in names], threads)
    kept = []
    for name, (n, s1, s2) in zip(names, found):
        scale = scale_of(int(n), exponent_sum(s1), exponent_sum(s2))
        if scale is not None:
            kept.append((name, *scale))
    return JointLayout(tuple(k[0] for k in kept), tuple(k[1] for k in kept), tuple(k[2] for k in kept))


def exponent_sum(parts) -> ExactSum:
    """An exact sum from the core's per-exponent form (see ExponentSum in src/core/profile/joint.hpp)."""
    positions, (lo, hi), pos_inf, neg_inf, nan = parts
    value = sum(((int(h) << 64) | int(l)) << int(p) for p, l, h in zip(positions, lo, hi))
    return ExactSum(value, int(pos_inf), int(neg_inf), int(nan))


def count(t: Table, layout: Layout, threads: int) -> JointStats | None:
    """The joint sums of a table on a layout that keeps them (None when it does not)."""
    jl = layout.extra("joint")
    if jl is None:
        return None
    return from_native(_native.joint_sums(t.columns, [t.slot(n) for n in jl.columns], list(jl.centres),
                                          list(jl.scales), threads))


def completed(layout: Layout, stats: JointStats) -> Layout:
    """The reference's layout with the principal components of its own joint sums."""
    return dataclasses.replace(layout, extras=with_extra(layout.extras, "joint",
                                                         with_components(layout.extra("joint"), stats)))
