"""Estimates in hindsight: once a window's labels have arrived (a history period replaced with its
labels), the estimate its scores alone gave is made again from the same scores and set beside the
measurement, so a report says whether the earlier estimate's interval held."""

from __future__ import annotations

import numpy as np

from morvane.state.profile import Profile
from morvane.state.stats import ClassificationStats, frozen


def without_labels(p: Profile) -> Profile | None:
    """The profile as it was before its labels arrived: every scored row without a target (the
    score histograms' rows moved to the missing-target row, no confusion counts); None without scores."""
    s = p.task_stats
    if not isinstance(s, ClassificationStats) or s.scores is None or s.n == 0:
        return None
    scores = np.zeros_like(s.scores)
    scores[-1] = s.scores.sum(axis=0)
    task = ClassificationStats(s.layout, 0, s.missing + s.n, frozen(np.zeros_like(s.confusion)), type(s.log_loss)(),
                               type(s.log_loss_sq)(), frozen(scores), s.scores_by_decision)
    return Profile._make(p.layout, p.n_rows, p.features, task, p.facets)


def with_hindsight(checks: list, estimated: list) -> list:
    """The measured performance checks with the estimate of the same metric beside them:
    `details["estimate"]`, `details["estimate_interval"]` and `details["estimate_held"]` (the
    measurement inside the estimate's interval)."""
    from dataclasses import replace

    found = {c.metric: c for c in estimated if c.details.get("estimated") and c.current is not None}
    out = []
    for c in checks:
        e = found.get(c.metric)
        if c.family != "performance" or c.details.get("estimated") or e is None or c.current is None:
            out.append(c)
            continue
        held = None if e.interval is None else bool(e.interval[0] <= c.current <= e.interval[1])
        out.append(replace(c, details={**c.details, "estimate": e.current, "estimate_interval": e.interval,
                                       "estimate_held": held}))
    return out
