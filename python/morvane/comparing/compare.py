"""Comparing two profiles: every family's checks, each with a two-sample test that accounts for both
sample sizes, computed from the profiles' statistics alone, and a weighted Holm correction over the
distinct hypotheses of the whole comparison (checks.py: how alpha is spent).

Several metrics often rest on one hypothesis (RootMeanSquaredError and MeanSquaredError; the label-rate
distances of a facet): such checks share one test, counted once in the correction. A one-sided
check fails only when its metric also moved toward degradation."""

from __future__ import annotations

import numpy as np

from morvane.comparing import bias, data, drift, floors, performance, quality, significance
from morvane.comparing.checks import FAMILIES, Check, Pending, check_weights, verdicts
from morvane.comparing.metrics import distances
from morvane.comparing.seasonal import seasonal_reference
from morvane.state.errors import MismatchError
from morvane.state.profile import Profile

# Each family: its module (a `checks(reference, current, alpha, tables)` function) and its metric names.
FAMILY_MODULES = {"data": data, "drift": drift, "performance": performance, "bias": bias, "rules": quality}
METRIC_NAMES = frozenset(name for module in FAMILY_MODULES.values() for name in module.METRICS)


def run_checks(reference: Profile, current: Profile, *, alpha: float = 0.01,
               checks=None, min_effect=None, weights=None) -> tuple[list[Check], dict]:
    """The corrected checks of ``current`` against ``reference``, and the tables beside them
    ({name: rows}). ``checks`` narrows the families or metrics (names of either, mixed);
    ``min_effect`` gives floors (floors.py), ``weights`` the columns' shares of the drift family."""
    for role, p in (("reference", reference), ("current", current)):
        if not isinstance(p, Profile):
            raise TypeError(f"compare() takes profiles; the {role} is a {type(p).__name__}: profile a table first, "
                            "e.g. mv.compare(reference, mv.profile(table, like=reference))")
    check_reference(reference)
    alpha = float(alpha)
    if not 0.0 < alpha < 1.0:
        raise ValueError(f"alpha must lie strictly between 0 and 1, got {alpha!r}")
    wanted = _selection(checks)
    floor_of = floors.check_floors(min_effect, FAMILIES, METRIC_NAMES)
    columns = check_weights(weights)
    same_layout(reference, current)
    reference, seasons = seasonal_reference(reference, current)
    pending, tables = [], {}
    for family in FAMILY_MODULES:
        if wanted(family):
            pending += _family_checks(family, reference, current, alpha, tables, wanted)
    if reference.layout.segments is not None:
        pending += _segment_checks(reference, current, alpha, wanted, tables)
    pending = [item for item in pending if wanted(item.family, item.metric)]
    floors.apply(pending, floor_of)
    if seasons:
        tables["seasons"] = [seasons]
    return verdicts(pending, alpha, columns), tables


def check_reference(reference: Profile) -> None:
    """ValueError for a reference without rows: nothing could ever differ from it, so no check could fail."""
    if reference.n_rows == 0:
        raise ValueError("the reference profile has no rows, so no check against it could ever fail: "
                         "profile the rows the model was trained or validated on")


SEGMENT_FAMILIES = ("drift", "performance")


def _family_checks(family: str, reference: Profile, current: Profile, alpha: float, tables: dict, wanted) -> list:
    """One family's pending checks; the performance family is also told which of its metrics were
    asked for, so that it computes the ranking metrics' terms (its costly ones) only then."""
    module = FAMILY_MODULES[family]
    if family == "performance":
        return module.checks(reference, current, alpha, tables, wanted=lambda metric: wanted(family, metric))
    return module.checks(reference, current, alpha, tables)


def _segment_checks(reference: Profile, current: Profile, alpha: float, wanted, tables: dict) -> list:
    """The drift and performance checks of every segment with rows on both sides, each a hypothesis of
    its own in the one correction; and the table of the segments' sizes."""
    out, rows = [], []
    cur = current.segments
    for key, ref in reference.segments.items():
        now = cur[key]
        found = []
        if ref.n_rows and now.n_rows:
            for family in SEGMENT_FAMILIES:
                if wanted(family):
                    found += _family_checks(family, ref, now, alpha, {}, wanted)
        for item in found:
            item.segment, item.key = key, ("segment", key) + tuple(item.key)
        out += found
        rows.append({"segment": " / ".join(key), "reference rows": ref.n_rows, "current rows": now.n_rows,
                     "reference share": ref.n_rows / reference.n_rows if reference.n_rows else None,
                     "current share": now.n_rows / current.n_rows if current.n_rows else None,
                     "checks": len(found)})
    tables["segments"] = rows
    if wanted("drift"):  # the mix of segments itself, one categorical distribution
        r_counts = np.array([p.n_rows for p in reference.segments.values()], dtype=np.int64)
        c_counts = np.array([p.n_rows for p in cur.values()], dtype=np.int64)
        p_mix, _ = significance.homogeneity(r_counts, c_counts, ordered=False)
        js = distances(r_counts, c_counts, "categorical").get("JensenShannon")
        out.append(Pending("drift", None, "SegmentMix", None, None, ("drift", "segment mix"), p_mix,
                           change=float(js) if js is not None and np.isfinite(js) else None,
                           details={"test": "chi-square", "segments": len(r_counts)}))
    return out


def _selection(checks):
    """A predicate over (family, metric) from `checks=`: family names and metric names, mixed."""
    if checks is None:
        return lambda family, metric=None: True
    names = {checks} if isinstance(checks, str) else set(checks)
    unknown = names - set(FAMILIES) - METRIC_NAMES
    if unknown:
        raise ValueError(f"unknown checks {sorted(unknown)}: use families {list(FAMILIES)} or metric names")
    families, metrics = names & set(FAMILIES), names & METRIC_NAMES
    asked = {family for family, module in FAMILY_MODULES.items() if metrics & set(module.METRICS)}

    def wanted(family, metric=None):
        if family in families:
            return True
        if metric is None:  # a family is computed when any of its own metrics is asked for
            return family in asked
        return metric in metrics
    return wanted


def same_layout(reference: Profile, current: Profile) -> None:
    """MismatchError naming what differs, unless both profiles share one layout."""
    ref, cur = reference.layout, current.layout
    problems = []
    if [f.name for f in ref.features] != [f.name for f in cur.features]:
        problems.append("features differ")
    else:
        for r, c in zip(ref.features, cur.features):
            same_edges = (r.edges is None) == (c.edges is None) and (
                r.edges is None or np.array_equal(r.edges, c.edges))
            if r.kind != c.kind or not same_edges or r.categories != c.categories:
                problems.append(f"bins of {r.name!r} differ")
    rt, ct = ref.task, cur.task
    if (rt is None) != (ct is None) or (rt is not None and rt.kind != ct.kind):
        problems.append("tasks differ")
    elif rt is not None and rt.classes != ct.classes:
        problems.append("classes differ")
    if {f.column: (f.op, f.values, f.groups) for f in ref.facets} != \
            {f.column: (f.op, f.values, f.groups) for f in cur.facets}:
        problems.append("facets differ")
    if ref.extra("rules") != cur.extra("rules"):
        problems.append("rules differ")
    if problems:
        raise MismatchError("profiles do not share a layout: " + "; ".join(problems) +
                            " (profile the current table with like=reference)")
