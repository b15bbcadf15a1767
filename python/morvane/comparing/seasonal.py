"""What a reference with seasons says of a window: the window's rows in one season are compared with
that season of the reference; rows in several seasons with the reference's seasons mixed in the
window's own proportions (profiling/seasons.py counts both sides)."""

from __future__ import annotations

import numpy as np

from morvane.state.profile import Profile
from morvane.state.stats import FeatureStats, frozen


def seasonal_reference(reference: Profile, current: Profile) -> tuple[Profile, dict]:
    """The reference to compare `current` with, and what was done ({"seasons": ...} for details):
    `reference` itself without seasons on both sides or without rows in the window."""
    kind = reference.layout.extra("seasons")
    ref_parts, cur_parts = reference.extra("seasons"), current.extra("seasons")
    if kind is None or ref_parts is None or cur_parts is None or current.n_rows == 0:
        return reference, {}
    names = kind.names()
    rows = np.array([0 if p is None else p.n_rows for p in cur_parts], dtype=np.float64)
    used = np.flatnonzero(rows > 0)
    if len(used) == 0:  # the window's rows have no times
        return reference, {}
    if any(ref_parts[s] is None or ref_parts[s].n_rows == 0 for s in used):
        return reference, {"seasons": "the reference lacks a season of the window: compared with all of it"}
    if len(used) == 1:
        season = ref_parts[used[0]]
        return _on_layout(reference, season.n_rows, season.features, season.task_stats), \
            {"seasons": f"compared with the reference's {names[used[0]]}"}
    return _mixture(reference, [ref_parts[s] for s in used], rows[used] / rows.sum()), \
        {"seasons": "compared with the reference's seasons mixed in the window's proportions ("
                    + ", ".join(f"{names[s]} {w:.0%}" for s, w in zip(used, rows[used] / rows.sum())) + ")"}


def _on_layout(reference: Profile, n_rows: int, features: dict, task) -> Profile:
    """A profile on the reference's layout with these features and task (its facets kept)."""
    return Profile._make(reference.layout, int(n_rows), features, task, reference.facets)


def _mixture(reference: Profile, parts: list, shares: np.ndarray) -> Profile:
    """The seasons' feature counts mixed in `shares`, as integer counts of the mixture's effective
    size (the rows whose plain share has the mixture's variance: 1 / sum(w_s^2 / n_s)), so every
    count test reads it as a reference of that many rows. The task's statistics stay the whole
    reference's: they are not mixed."""
    sizes = np.array([p.n_rows for p in parts], dtype=np.float64)
    effective = 1.0 / float(np.sum(shares * shares / sizes))
    features = {}
    for name, whole in reference.features.items():
        total = np.zeros(len(whole.counts), dtype=np.float64)
        missing = 0.0
        for w, p in zip(shares, parts):
            f = p.features[name]
            rows = f.n + f.missing
            if rows:
                total += w * np.asarray(f.counts, np.float64) / rows
                missing += w * f.missing / rows
        scale = effective
        features[name] = FeatureStats(whole.layout, frozen(np.round(total * scale)), int(round(missing * scale)),
                                      whole.minimum, whole.maximum)
    return _on_layout(reference, int(round(effective)), features, reference.task_stats)
