"""The data family: what the window's rows are, apart from how the known values are distributed.

`Rows` fails when the window has no rows. Per feature, one-sided toward worse: `Missing` (the missing
share rose), `Unseen` (categorical: more values the reference never saw than its own rare values
predict) and `OutOfRange` (continuous: more rows beyond the reference's minimum or maximum than
exchangeable rows would give). Each is its own question with its own test, so none dilutes the
drift family's `Distribution`, which compares only the values the reference knows."""

from __future__ import annotations

import math

from morvane.comparing import significance
from morvane.comparing.checks import Pending
from morvane.state.profile import Profile
from morvane.state.stats import FeatureStats

METRICS = ("Rows", "Missing", "Unseen", "OutOfRange")


def checks(reference: Profile, current: Profile, alpha: float, tables: dict) -> list[Pending]:
    # Every test is kept whatever it finds (a hypothesis with nothing beyond the range has p = 1):
    # the weights of the correction must not depend on the tests' own outcomes.
    empty = current.n_rows == 0
    # A rule, not a test: it spends none of alpha, and fails exactly when nothing was counted.
    out = [Pending("data", None, "Rows", float(reference.n_rows), float(current.n_rows), ("data", "Rows"),
                   0.0 if empty else None, worse=empty, details={"test": "the window has rows"})]
    cur_features = current.features
    for name, r in reference.features.items():
        c = cur_features[name]
        out.append(_missing(name, r, c))
        out.append(_unseen(name, r, c) if r.kind == "categorical" else _out_of_range(name, r, c))
    return out


def _share(part, whole):
    return part / whole if whole > 0 else None


def _spread(ref_share, n_ref, cur_share, n_cur):
    """The standard error of the difference of two shares (for a floor in rates)."""
    if ref_share is None or cur_share is None:
        return None
    return math.sqrt(ref_share * (1.0 - ref_share) / n_ref + cur_share * (1.0 - cur_share) / n_cur)


def _rose(ref_share, cur_share) -> bool:
    return ref_share is not None and cur_share is not None and cur_share > ref_share


def _missing(name: str, r: FeatureStats, c: FeatureStats) -> Pending:
    """The exact one-sided test that the share of rows without a value rose."""
    n_ref, n_cur = r.n + r.missing, c.n + c.missing
    ref_share, cur_share = _share(r.missing, n_ref), _share(c.missing, n_cur)
    p = significance.proportion_higher(c.missing, n_cur, r.missing, n_ref)
    return Pending("data", name, "Missing", ref_share, cur_share, ("data", name, "Missing"), p,
                   worse=_rose(ref_share, cur_share), se=_spread(ref_share, n_ref, cur_share, n_cur),
                   details={"test": "exact one-sided", "missing_reference": int(r.missing),
                            "missing_current": int(c.missing)})


def _unseen(name: str, r: FeatureStats, c: FeatureStats) -> Pending:
    """Current rows outside the reference's categories against exchangeable rows (see
    significance.unseen_higher); the reference's share shown is its Good-Turing one (the rows of the
    categories it counted once)."""
    singletons, doubletons = r.rare()
    unseen_ref, unseen_cur = int(r.counts[-1]), int(c.counts[-1])
    ref_share, cur_share = _share(singletons + unseen_ref, r.n), _share(unseen_cur, c.n)
    p, info = significance.unseen_higher(r.counts[:-1], c.counts[:-1], unseen_ref, unseen_cur)
    return Pending("data", name, "Unseen", ref_share, cur_share, ("data", name, "Unseen"), p,
                   worse=_rose(ref_share, cur_share) or _rose(info.get("expected_share"), cur_share),
                   se=_spread(ref_share, r.n, cur_share, c.n),
                   details={"test": "exchangeable rows, Chernoff bound", "unseen_current": unseen_cur,
                            "singletons": singletons, "doubletons": doubletons, **info})


def _out_of_range(name: str, r: FeatureStats, c: FeatureStats) -> Pending:
    """Current rows below the reference's minimum or above its maximum (the layout's outer bins,
    when they are the range's), against exchangeable rows."""
    lower, upper = r.range_bins()
    below_ref, above_ref = int(r.counts[0]) * lower, int(r.counts[-1]) * upper
    below_cur, above_cur = int(c.counts[0]) * lower, int(c.counts[-1]) * upper
    ref_share, cur_share = _share(below_ref + above_ref, r.n), _share(below_cur + above_cur, c.n)
    p = significance.beyond_range(below_cur, above_cur, c.n, below_ref, above_ref, r.n, sides=(lower, upper)) \
        if c.n and r.n else None
    return Pending("data", name, "OutOfRange", ref_share, cur_share, ("data", name, "OutOfRange"), p,
                   worse=_rose(ref_share, cur_share), se=_spread(ref_share, r.n, cur_share, c.n),
                   details={"test": "exact, exchangeable extremes (Bonferroni over the sides)",
                            "minimum_reference": r.minimum, "maximum_reference": r.maximum,
                            "minimum_current": c.minimum, "maximum_current": c.maximum,
                            "below_current": below_cur, "above_current": above_cur})
