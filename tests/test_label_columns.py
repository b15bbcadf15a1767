"""Label columns of the categorical drift classes: the dictionary-encoded reading against
the element-wise reading of a list of str (which metric names still take), and the
detectors' results against the formulas over the labels that reading gives."""

from collections import Counter

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _morvane as mv
from drift_reference import METRICS, drift

sel = pytest.importorskip("_morvane_selftest")
SETTINGS = settings(max_examples=60, deadline=None)


class Text(str):
    """A str subclass whose comparison and hash must never be called."""

    def __eq__(self, other):
        raise AssertionError("__eq__ called")

    def __hash__(self):
        raise AssertionError("__hash__ called")


class Listed(list):
    """A list subclass: read through iteration, its items possibly temporaries."""

    def __iter__(self):
        return ((s + "!")[:-1] for s in list.__iter__(self))


texts = st.text(st.characters(blacklist_categories=("Cs",)), max_size=5) | st.sampled_from(
    ["", "a", "a\0", "\0b", "é", "\U0001d538", "x" * 300])
columns = st.lists(texts, max_size=12).flatmap(lambda pool: st.lists(st.sampled_from(pool or [""]), max_size=40))


def objects(values):
    """A one-dimensional object array holding exactly these items."""
    a = np.empty(len(values), dtype=object)
    for i, v in enumerate(values):
        a[i] = v
    return a


def forms(labels):
    """One column in every form the drift classes accept it."""
    u = np.array(labels, dtype=str) if labels else np.array([], dtype="<U1")
    record = np.zeros(len(u), dtype=[("pad", "u1"), ("text", u.dtype)])  # a field at an odd offset
    record["text"] = u
    return [labels, [(s + "!")[:-1] for s in labels], tuple(labels), [Text(s) for s in labels], Listed(labels),
            objects(labels), objects(labels * 2)[::-2], u, np.repeat(u, 2)[1::2], record["text"],
            u.astype(u.dtype.newbyteorder())]


def outcome(fn):
    try:
        return "ok", fn()
    except Exception as e:
        return type(e).__name__, str(e)


def read(column):
    """The new reading decoded back to rows, checked to hold each text once."""
    codes, distinct = sel.convert("labels", column)
    assert len(set(distinct)) == len(distinct)
    return [distinct[c] for c in codes]


@SETTINGS
@given(columns, st.sampled_from([None, 1, b"a", "\ud800", "a\udfff", ["a"], np.str_("\ud800b")]), st.data())
def test_reading_equals_the_element_wise_one(labels, bad, data):
    for column in forms(labels):
        assert read(column) == sel.convert("strs", column)
    # A bad element: the same error from both readings, whichever form holds it.
    at = data.draw(st.integers(0, len(labels)))
    spoilt = labels[:at] + [bad] + labels[at:]
    kinds = [list, tuple, objects]
    if isinstance(bad, str):
        kinds.append(np.array)
    for make in kinds:
        got, want = outcome(lambda: read(make(spoilt))), outcome(lambda: sel.convert("strs", make(spoilt)))
        assert got == want and got[0] != "ok"


@pytest.mark.parametrize("column", [
    np.array(["a", "\ud800"]), np.empty(2, dtype=object), np.array([["a"]]), np.array("a"), "ab", 5,
    np.array([b"a"]), np.frombuffer(np.array([97, 0x110000], "<u4").tobytes(), "<U1"), (s for s in "ab"),
])
def test_refused_columns_fail_alike_everywhere(column):
    kind, message = outcome(lambda: sel.convert("strs", column))
    assert kind != "ok"
    assert outcome(lambda: sel.convert("labels", column)) == (kind, message)
    for call in (lambda: mv.PyCategoricalDataDrift(column),
                 lambda: mv.PyStreamingCategoricalDataDriftDecay(["a"], None).update_stream_batch(column)):
        got = outcome(call)
        assert got[0] == kind and got[1].split(": ", 1)[-1] == message.split(": ", 1)[-1]


def test_large_columns_through_every_cache_size():
    rng = np.random.default_rng(3)
    pool = [f"label {i}" for i in range(3000)]
    column = [pool[i] for i in rng.integers(0, 3000, 100_000)]
    for c in (column, [(s + "!")[:-1] for s in column], np.array(column)[::3]):
        assert read(c) == sel.convert("strs", c)


def formulas(baseline, runtime):
    """Baseline fractions by label and the four scores, from the rows the element-wise reading gives."""
    rows_b, rows_r = sel.convert("strs", baseline), sel.convert("strs", runtime)
    counts = Counter(rows_b)
    known = sorted(counts, key=lambda s: s.encode())
    b = [counts[s] / len(rows_b) for s in known] + [0.0]
    r = [float(sum(x == s for x in rows_r)) for s in known] + [float(sum(x not in counts for x in rows_r))]
    return dict(zip(known, b)), [drift(b, r, sum(r), "cat", m) for m in METRICS]


@SETTINGS
@given(columns.filter(bool), columns.filter(bool), st.integers(0, 4))
def test_detectors_equal_the_formulas_over_the_rows(baseline, runtime, rate):
    for column_b, column_r in zip(forms(baseline), forms(runtime)):
        fractions, scores = formulas(column_b, column_r)
        d = mv.PyCategoricalDataDrift(column_b)
        assert d.export_baseline() == fractions
        assert d.compute_drift_mutliple_criteria(column_r, METRICS) == scores
        assert mv.py_compute_drift_categorical_distribtuion(column_b, column_r, METRICS) == scores
    # A batch into a stream equals the same rows added one at a time, across flushes and
    # decayed (fractional) counts.
    for make in (lambda: mv.PyStreamingCategoricalDataDriftFlush(baseline, rate, None),
                 lambda: mv.PyStreamingCategoricalDataDriftDecay(baseline, rate + 1)):
        batch, singles = make(), make()
        for _ in range(2):
            batch.update_stream_batch(np.array(runtime))
            for s in sel.convert("strs", np.array(runtime)):
                singles.update_stream(s)
            assert batch.export_snapshot() == singles.export_snapshot()
            assert batch.total_samples == singles.total_samples
            assert batch.compute_drift_multiple_criteria(METRICS) == singles.compute_drift_multiple_criteria(METRICS)
