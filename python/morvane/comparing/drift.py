"""The drift family: one `Distribution` check per feature, with the fixed module's distances on the
same bins in its details."""

from __future__ import annotations

import math

import numpy as np

from morvane.comparing import significance
from morvane.comparing.checks import Pending
from morvane.comparing.metrics import distances
from morvane.state.profile import Profile

METRICS = ("Distribution",)


def checks(reference: Profile, current: Profile, alpha: float, tables: dict) -> list[Pending]:
    """One check per feature: the binned counts plus the missing count, Pearson's chi-square after
    pooling; ordered (continuous) features add a rank test on the value bins, Bonferroni of the two."""
    out = []
    cur_features = current.features
    for name, r in reference.features.items():
        c = cur_features[name]
        r_counts, c_counts = np.asarray(r.counts, np.int64), np.asarray(c.counts, np.int64)
        continuous = r.kind == "continuous"
        p_chi, chi = significance.homogeneity(np.append(r_counts, r.missing), np.append(c_counts, c.missing),
                                              ordered=continuous)
        details = {"test": "chi-square"}
        if chi:
            details.update({"chi_square": chi["statistic"], "dof": chi["dof"]})
        p = p_chi
        if continuous:
            p_rank, rank = significance.rank_shift(r_counts, c_counts)
            if p_rank is not None:
                details.update({"test": "chi-square and rank (Bonferroni)", "rank_z": rank["z"]})
                p = significance.bonferroni([p_chi, p_rank])
        found = distances(r_counts, c_counts, r.kind)
        details.update(found)
        details["missing_reference"], details["missing_current"] = int(r.missing), int(c.missing)
        js = found.get("JensenShannon")
        out.append(Pending("drift", name, "Distribution", None, None, ("drift", name), p, details=details,
                           change=float(js) if js is not None and math.isfinite(js) else None))
    return out
