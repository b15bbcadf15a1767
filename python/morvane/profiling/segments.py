"""Segments: each row's combination of values of the segment columns, as texts, and from it the row's
segment (one of the reference's most frequent combinations, or "other").

Values become texts as categories do (`morvane.tables.labels`), so a segment is the same whatever the
table kind or integer width; a missing value puts the row in "other". Codes come from
`morvane.tables.labels.codes`."""

from __future__ import annotations

import numpy as np

from morvane.state.layout import MAX_SEGMENTS, SegmentLayout
from morvane.tables.kinds import column
from morvane.tables.labels import codes


def combinations(table, columns):
    """(combos: the distinct combinations as tuples of texts, None where missing; inverse: each row's
    combination; counts: rows of each)."""
    key = None
    texts_per_column = []
    for name in columns:
        found, texts = codes(column(table, name, "segment column"), name)
        # Equal texts from distinct values (the integer 1 and the text "1") are one value.
        tid: dict = {}
        remap = np.array([tid.setdefault(t, len(tid)) if t is not None else -1 for t in texts] + [-1], dtype=np.int64)
        ids = remap[found] + 1  # 0: missing
        radix = len(tid) + 1
        key = ids if key is None else key * radix + ids
        texts_per_column.append([None] + list(tid))
    if key is None or len(key) == 0:
        return [], np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64)
    uniques, inverse, counts = np.unique(key, return_inverse=True, return_counts=True)
    combos = []
    radices = [len(t) for t in texts_per_column]
    for u in uniques.tolist():
        parts = []
        for radix, texts in zip(reversed(radices), reversed(texts_per_column)):
            u, digit = divmod(u, radix)
            parts.append(texts[digit])
        combos.append(tuple(reversed(parts)))
    return combos, inverse.ravel().astype(np.int64), counts.astype(np.int64)


def segment_layout(table, columns) -> SegmentLayout:
    """The reference's segments: its most frequent combinations without a missing value (at most
    MAX_SEGMENTS, ties in the order of their texts)."""
    if isinstance(columns, str):
        columns = [columns]
    columns = tuple(str(c) for c in columns)
    if not columns or len(set(columns)) != len(columns):
        raise ValueError("segments= names one or more distinct columns")
    combos, _, counts = combinations(table, columns)
    ranked = sorted((c for c in zip(combos, counts.tolist()) if None not in c[0] and c[0] != SegmentLayout.OTHER),
                    key=lambda item: (-item[1], item[0]))
    return SegmentLayout(columns, tuple(c for c, _ in ranked[:MAX_SEGMENTS]))


def segment_of_rows(table, layout: SegmentLayout) -> np.ndarray:
    """Each row's segment: its index in `layout.values`, or len(values) for "other"."""
    combos, inverse, _ = combinations(table, layout.columns)
    index = {combo: i for i, combo in enumerate(layout.values)}
    other = len(layout.values)
    of_combo = np.array([index.get(c, other) for c in combos] + [other], dtype=np.int64)
    return of_combo[inverse] if len(inverse) else np.zeros(0, dtype=np.int64)
