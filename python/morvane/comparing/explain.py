"""Which features and values explain a performance change: for every feature's bins or categories
(and its missing values), the window's metric there against the reference's, from the outcomes a
profile made with `explain=True` keeps per bin.

Classification compares the accuracy in the bin with the exact one-sided test of two proportions
(Fisher's, conditional on the margins); regression the mean absolute error with the one-sided t
test of two means from exact sums (the larger p of Welch's and the pooled one). Holm's correction
runs over every tested bin of every feature, so an unchanged window fails a bin with probability
at most alpha. Bins are ranked by the window's rows there times the drop of the metric."""

from __future__ import annotations

import math

import numpy as np

from morvane.comparing import significance
from morvane.comparing.compare import same_layout
from morvane.state.profile import Profile

COLUMNS = ("column", "bin", "rows", "reference", "current", "p_value", "failed", "share_of_drop")


def bin_labels(feature) -> list[str]:
    """Readable names of a feature's slots: intervals or categories, "other", then "missing"."""
    if feature.kind == "continuous":
        e = [f"{x:.6g}" for x in feature.edges]
        if not e:
            return ["all values", "missing"]
        inner = [f"[{a}, {b})" for a, b in zip(e, e[1:])]
        return [f"< {e[0]}"] + inner + [f">= {e[-1]}", "missing"]
    return [str(c) for c in feature.categories] + ["other", "missing"]


def _metric(outcomes, slot: int, cells: int):
    """(rows, metric, test inputs) of one slot: accuracy and its successes, or the mean absolute
    error and its sums."""
    if cells:
        row = np.asarray(outcomes.cells[slot], np.int64)
        k = int(round(math.sqrt(cells)))
        n = int(row.sum())
        right = int(row.reshape(k, k).trace())
        return n, (right / n if n else None), (right, n)
    n = int(outcomes.n[slot])
    total, square, _ = (float(s) for s in outcomes.sums[slot])
    return n, (total / n if n else None), (total, square, n)


def _overall(profile: Profile, cells: int):
    s = profile.task_stats
    if cells:
        c = np.asarray(s.confusion, np.int64)
        return c.trace() / c.sum() if c.sum() else None
    return s.total("abs_e") / s.n if s.n else None


def explainable(reference, current) -> bool:
    """Whether two profiles both keep outcomes by bin, with labeled rows in each."""
    return all(isinstance(p, Profile) and p.extra("explain") is not None and p.task_stats is not None
               and p.task_stats.n > 0 for p in (reference, current))


def explain(reference: Profile, current: Profile, top: int | None = 10, alpha: float = 0.01):
    """A pandas DataFrame of the bins that explain the window's performance change, the largest
    rows x drop first (`top` rows, None for all): `column`, `bin`, `rows` (the window's rows in the
    bin), `reference` and `current` (the metric there: accuracy, or the mean absolute error for
    regression), `p_value` (Holm-corrected over every tested bin), `failed`, `share_of_drop` (the
    bin's rows x drop over the window's rows x its overall drop; None when the overall metric did
    not drop). Both profiles must be made with `explain=True` (the window with `like=`) and hold
    the task's labels; ValueError otherwise."""
    import pandas as pd

    for role, p in (("reference", reference), ("current", current)):
        if not isinstance(p, Profile):
            raise TypeError(f"explain() takes profiles; the {role} is a {type(p).__name__}")
    same_layout(reference, current)
    ref_out, cur_out = reference.extra("explain"), current.extra("explain")
    if ref_out is None or cur_out is None:
        raise ValueError("explain() needs profiles made with explain=True (and a task)")
    tl = reference.layout.task
    cells = 0 if tl.kind == "regression" else (4 if tl.kind == "binary" else len(tl.classes) ** 2)
    rows, tested = [], {}
    for f in reference.layout.features:
        if f.name not in ref_out:
            continue
        labels = bin_labels(f)
        for slot, label in enumerate(labels):
            n_r, m_r, a_r = _metric(ref_out[f.name], slot, cells)
            n_c, m_c, a_c = _metric(cur_out[f.name], slot, cells)
            if not n_r or not n_c:
                continue
            if cells:
                p = significance.proportion_lower(a_c[0], a_c[1], a_r[0], a_r[1])
                drop = m_r - m_c
            else:
                p, _ = significance.mean_higher(*a_c, *a_r)
                drop = m_c - m_r
            key = (f.name, slot)
            if p is not None:
                tested[key] = p
            rows.append({"key": key, "column": f.name, "bin": label, "rows": n_c, "reference": m_r, "current": m_c,
                         "drop": drop})
    adjusted = significance.holm(tested)
    ref_all, cur_all = _overall(reference, cells), _overall(current, cells)
    overall = None
    if ref_all is not None and cur_all is not None:
        overall = (ref_all - cur_all) if cells else (cur_all - ref_all)
    total_rows = current.task_stats.n
    for row in rows:
        p = adjusted.get(row["key"])
        row["p_value"] = p
        row["failed"] = bool(p is not None and p <= alpha)
        row["share_of_drop"] = (row["rows"] * row["drop"] / (total_rows * overall)
                                if overall is not None and overall > 0 and total_rows else None)
    rows.sort(key=lambda r: (-(r["rows"] * r["drop"]), r["p_value"] if r["p_value"] is not None else 1.0))
    if top is not None:
        rows = rows[:int(top)]
    return pd.DataFrame([{k: r[k] for k in COLUMNS} for r in rows], columns=list(COLUMNS))
