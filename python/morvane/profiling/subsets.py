"""Rows split by a key (a period, a segment) without copying what needs no copy: the common case,
every row with one key, subsets nothing; rows sorted by key become slices (views for every table
kind, `morvane.tables.kinds.take`); only rows out of order are gathered, once per key."""

from __future__ import annotations

import numpy as np


def groups(keys: np.ndarray):
    """[(key, rows)] for int64 keys, `rows` a slice where the key's rows are contiguous, else an index
    array; None (all rows) when every row has one key."""
    n = len(keys)
    if n == 0:
        return []
    first = keys[0]
    if (keys == first).all():
        return [(int(first), None)]
    steps = np.diff(keys)
    if (steps >= 0).all():
        cuts = np.concatenate(([0], np.flatnonzero(steps) + 1, [n]))
        return [(int(keys[a]), slice(int(a), int(b))) for a, b in zip(cuts[:-1], cuts[1:])]
    order = np.argsort(keys, kind="stable")
    ordered = keys[order]
    cuts = np.concatenate(([0], np.flatnonzero(np.diff(ordered)) + 1, [n]))
    return [(int(ordered[a]), order[a:b]) for a, b in zip(cuts[:-1], cuts[1:])]
