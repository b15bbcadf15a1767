"""Segments: each row's combination of values of the segment columns, as texts, and from it the row's
segment (one of the reference's most frequent combinations, or "other").

Values become texts as categories do (`morvane.tables.labels`), so a segment is the same whatever the
table kind or integer width; a missing value puts the row in "other". Codes come from each column's
distinct values (pandas factorize, Arrow's dictionary encoding, NumPy's unique), never from a loop over
the rows in Python, except for object columns."""

from __future__ import annotations

from functools import partial

import numpy as np

from morvane.state.layout import MAX_SEGMENTS, SegmentLayout
from morvane.tables.kinds import column, library
from morvane.tables.labels import label


def _codes(col, name):
    """(codes int64 with -1 for a missing value, the texts of the codes)."""
    mod = library(col)
    _text = partial(label, column=name)
    if mod == "pandas":
        import pandas as pd

        codes, uniques = pd.factorize(col, use_na_sentinel=True)
        return np.asarray(codes, dtype=np.int64), [_text(u) for u in uniques.tolist()]
    if mod == "polars":
        col = col.to_arrow()
        mod = "pyarrow"
    if mod == "pyarrow":
        import pyarrow as pa
        import pyarrow.compute as pc

        if isinstance(col, pa.ChunkedArray):
            col = col.combine_chunks()
        if not pa.types.is_dictionary(col.type):
            col = pc.dictionary_encode(col)
        codes = col.indices.to_numpy(zero_copy_only=False)
        codes = np.where(np.asarray(col.is_null().to_numpy(zero_copy_only=False)), -1, codes).astype(np.int64)
        return codes, [_text(v) for v in col.dictionary.to_pylist()]
    if isinstance(col, np.ndarray):
        a = col
    else:
        a = np.asarray(col, dtype=object if isinstance(col, (list, tuple)) else None)
    if a.ndim != 1:
        raise ValueError("a segment column must be one-dimensional")
    if a.dtype.kind == "O":
        lookup: dict = {}  # by text: 1 and True hash alike but are distinct values
        codes = np.fromiter((-1 if t is None else lookup.setdefault(t, len(lookup)) for t in map(_text, a.tolist())),
                            dtype=np.int64, count=len(a))
        return codes, list(lookup)
    if a.dtype.kind == "f":
        present = ~np.isnan(a)
        uniques, inverse = np.unique(a[present], return_inverse=True)
        codes = np.full(len(a), -1, dtype=np.int64)
        codes[present] = inverse
        return codes, [_text(float(u)) for u in uniques]
    if a.dtype.kind in "biuUS":
        uniques, inverse = np.unique(a, return_inverse=True)
        return inverse.astype(np.int64).ravel(), [_text(u) for u in uniques.tolist()]
    raise TypeError(f"a segment column holds {a.dtype}, not categories")


def combinations(table, columns):
    """(combos: the distinct combinations as tuples of texts, None where missing; inverse: each row's
    combination; counts: rows of each)."""
    key = None
    texts_per_column = []
    for name in columns:
        codes, texts = _codes(column(table, name, "segment column"), name)
        # Equal texts from distinct values (the integer 1 and the text "1") are one value.
        tid: dict = {}
        remap = np.array([tid.setdefault(t, len(tid)) if t is not None else -1 for t in texts] + [-1], dtype=np.int64)
        ids = remap[codes] + 1  # 0: missing
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
