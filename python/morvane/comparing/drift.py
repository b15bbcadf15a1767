"""The drift family: one `Distribution` check per feature on the values the reference knows (its
categories, or its bins inside its range), with the fixed module's distances on the same bins in its
details. Missing rows, values the reference never saw and rows beyond its range are the data family's
questions (data.py), so they neither dilute this test nor fail it."""

from __future__ import annotations

import math

import numpy as np

from morvane.comparing import joint, significance
from morvane.comparing.checks import Pending
from morvane.comparing.metrics import distances
from morvane.state.profile import Profile
from morvane.state.stats import FeatureStats

METRICS = ("Distribution",) + joint.METRICS
# A category is a cell of the test only when its count in both windows together gives the reference
# this many rows in expectation (see known_cells).
KNOWN_ROWS = 20.0


def known_cells(r: FeatureStats, c: FeatureStats) -> tuple[np.ndarray, np.ndarray]:
    """The reference's and the window's counts on the values the reference knows.

    Continuous: the bins inside the reference's range. Categorical: the categories, but only those
    whose combined count T would give the reference at least KNOWN_ROWS rows (T * m / (m + n)):
    which values a reference saw at all is decided by the reference itself, and a value seen by
    chance is over-counted in it (over the categories, by the whole missing mass). Above that count
    the chance that a value with T rows in both windows is absent from the reference, about
    exp(-KNOWN_ROWS), is negligible, so the cells are fixed by the margins, as the test needs."""
    rc, cc = np.asarray(r.counts, np.int64), np.asarray(c.counts, np.int64)
    if r.kind == "continuous":
        lower, upper = r.range_bins()
        return rc[int(lower):len(rc) - int(upper)], cc[int(lower):len(cc) - int(upper)]
    rk, ck = rc[:-1], cc[:-1]
    m, n = int(rc.sum()), int(cc.sum())
    if m == 0 or n == 0:
        return rk, ck
    keep = (rk + ck) * (m / (m + n)) >= KNOWN_ROWS
    return rk[keep], ck[keep]


def checks(reference: Profile, current: Profile, alpha: float, tables: dict) -> list[Pending]:
    """One check per feature on the known values: Pearson's chi-square after pooling sparse cells;
    ordered (continuous) features add a rank test on the bins, Bonferroni of the two."""
    out = []
    cur_features = current.features
    for name, r in reference.features.items():
        c = cur_features[name]
        r_counts, c_counts = np.asarray(r.counts, np.int64), np.asarray(c.counts, np.int64)
        continuous = r.kind == "continuous"
        r_known, c_known = known_cells(r, c)
        p_chi, chi = significance.homogeneity(r_known, c_known, ordered=continuous)
        details = {"test": "chi-square", "cells": int(len(r_known))}
        if chi:
            details.update({"chi_square": chi["statistic"], "dof": chi["dof"]})
        p = p_chi
        if continuous:
            # On the pooled bins: a bin expected to hold a few rows of the smaller window would leave the
            # rank test's normal tail to a handful of rows (a rare value of a 0/1 flag in 50 rows).
            p_rank, rank = significance.rank_shift(*significance.pooled(r_known, c_known, ordered=True))
            if p_rank is not None:
                details.update({"test": "chi-square and rank (Bonferroni)", "rank_z": rank["z"]})
                p = significance.bonferroni([p_chi, p_rank])
        found = distances(r_counts, c_counts, r.kind)
        details.update(found)
        details["missing_reference"], details["missing_current"] = int(r.missing), int(c.missing)
        js = found.get("JensenShannon")
        out.append(Pending("drift", name, "Distribution", None, None, ("drift", name), p, details=details,
                           change=float(js) if js is not None and math.isfinite(js) else None))
    return out + joint.checks(reference.layout.extra("joint"), reference.extra("joint"), current.extra("joint"))
