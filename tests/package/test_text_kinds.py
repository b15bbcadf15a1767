"""Text columns of every kind count to the same profile bytes as the same texts in a list of str,
and the list's counts are Python's own: Arrow offsets through the category table (or the probing
index when there are too many categories), dictionaries by their indices, NumPy unicode and
object arrays read without Python objects or Arrow's conversion."""

from collections import Counter

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morvane as mv

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")

# Texts that differ only in a NUL, their length, a middle byte of a long text (same first and
# last eight bytes), or their last byte; empty, non-ASCII and outside the BMP.
TRICKY = ["", "\x00", "a", "a\x00", "\x00a", "abcdefg", "abcdefgh", "abcdefgh\x00", "abcdefghijklmnop",
          "abcdefghijklmnoq", "prefix12-X-suffix12", "prefix12-Y-suffix12", "prefix12--suffix12", "é", "日本語",
          "😀 emoji", "value-1", "value-10"]
TEXT = st.one_of(st.sampled_from(TRICKY), st.text(st.characters(blacklist_categories=("Cs",)), max_size=24))


def dictionary(values, index_type, null_entry):
    """A dictionary array of the values (None -> a null index, or an index to a null entry)."""
    distinct = sorted({v for v in values if v is not None})
    entries = distinct + [None] if null_entry else distinct
    missing = len(distinct) if null_entry else None
    indices = [missing if v is None else distinct.index(v) for v in values]
    return pa.DictionaryArray.from_arrays(pa.array(indices, index_type), pa.array(entries, pa.string()))


def kinds(values):
    """The values (texts or None) as every column kind that can hold them."""
    out = {
        "object array": np.array(values, dtype=object),
        "object array strided": np.array([v for v in values for _ in (0, 1)], dtype=object)[::2],
        "pandas object": pd.Series(values, dtype=object),
        "arrow utf8 sliced": pa.array(["pad"] * 3 + values, pa.string()).slice(3),
        "arrow large_utf8": pa.array(values, pa.large_string()),
        "arrow string_view": pa.array(values, pa.string_view()),
        "arrow chunked dictionaries": pa.chunked_array(
            [pa.array(values[:len(values) // 2], pa.string()).dictionary_encode(),
             pa.array(values[len(values) // 2:], pa.string()).dictionary_encode()]),
        "polars string": pl.Series(values, dtype=pl.String),
        "polars categorical": pl.Series(values, dtype=pl.Categorical),
        "pandas categorical": pd.Series(pd.Categorical(values)),
        "pandas categorical strided, unused categories": pd.Series(pd.Categorical(
            [v for v in values for _ in (0, 1)], categories=sorted({v for v in values if v is not None} | {"unused"})))[::2],
    }
    for t in ("int8", "uint16", "int32", "int64"):
        out[f"dictionary {t}"] = dictionary(values, getattr(pa, t)(), null_entry=False)
    out["dictionary null entry"] = dictionary(values, pa.int16(), null_entry=True)
    if None not in values:
        # NumPy drops trailing NULs when it reads an element back: so does the native read.
        out["numpy unicode"] = np.array(values, dtype=str)
        out["numpy unicode big-endian strided"] = np.array([v for v in values for _ in (0, 1)], dtype=">U30")[::2]
    return out


@settings(max_examples=150, deadline=None)
@given(texts=st.lists(st.one_of(st.none(), TEXT), max_size=40), anchor=TEXT, repeat=st.integers(1, 3),
       keep=st.integers(1, 3), unseen=st.sampled_from([0, 3000]))
def test_every_text_kind_gives_the_bytes_of_a_list(texts, anchor, repeat, keep, unseen):
    values = (texts + [anchor]) * repeat
    present = [v for v in values if v is not None]
    # The reference keeps some of the texts and, with 3,000 texts it never sees, has too many
    # categories for the collision-free table.
    kept = sorted(set(present))[::keep] + [f"unseen {k}" for k in range(unseen)]
    ref = mv.profile({"c": pa.array(kept or ["x"], pa.string())}, features=["c"])  # not a key, however distinct
    plain = mv.profile({"c": list(values)}, like=ref)
    cats, counts = plain.histogram("c")
    expected = Counter(present)
    assert list(counts) == [expected[c] for c in cats] + [sum(n for t, n in expected.items() if t not in set(cats))]
    assert plain.missing("c") == len(values) - len(present)
    for name, column in kinds(values).items():
        want = plain
        if name.startswith("numpy unicode"):
            want = mv.profile({"c": [v.rstrip("\x00") for v in values]}, like=ref)
        assert mv.profile({"c": column}, like=ref).to_bytes() == want.to_bytes(), name
        # And the layout from the column itself (categories gathered in one pass) agrees too.
        assert mv.profile({"c": column}).layout == mv.profile({"c": want_values(name, values)}).layout, name


def want_values(name, values):
    return [v.rstrip("\x00") for v in values] if name.startswith("numpy unicode") else list(values)


@pytest.mark.parametrize("values", [["\ud800", "a"], ["a"] * 3 + ["b\udfff"]])
def test_unicode_that_utf8_cannot_carry_fails_as_a_list_does(values):
    with pytest.raises(ValueError, match="column 'c'.*UTF-8"):
        mv.profile({"c": list(values)})
    with pytest.raises(ValueError, match="column 'c'.*UTF-8"):
        mv.profile({"c": np.array(values)})


def test_numpy_unicode_edge_shapes():
    """Empty, zero-width, one-element and wide elements read natively as their lists."""
    for column in (np.array([], dtype="U3"), np.zeros(4, dtype="U0"), np.array(["x" * 70]), np.array(["", "", "a"]),
                   np.array(["a\x00b", "a", "a\x00\x00"], dtype="U5")):
        ref = mv.profile({"c": column.tolist()})
        assert mv.profile({"c": column}) == ref
        assert mv.profile({"c": column}, like=ref).to_bytes() == ref.to_bytes()


@pytest.mark.parametrize("n_distinct", [1, 150, 400, 5000])
def test_arrow_text_with_many_distinct_values_gathers_as_a_list(n_distinct):
    """Gathering categories through a table rebuilt as texts appear, and through the probing
    index once there are more than a table holds, even midway through a chunk."""
    rng = np.random.default_rng(n_distinct)
    pool = [f"text {k} " + "é" * (k % 3) + "x" * (k % 19) for k in range(n_distinct)]
    values = [None if r < 0.05 else pool[int(k)] for r, k in zip(rng.random(20000), rng.zipf(1.3, 20000) % n_distinct)]
    plain = mv.profile({"c": values})
    for column in (pa.array(values, pa.string()), pa.chunked_array([pa.array(values[:7000]), pa.array(values[7000:])]),
                   pa.array(values, pa.large_string())):
        assert mv.profile({"c": column}).to_bytes() == plain.to_bytes()
        assert mv.profile({"c": column}, like=plain).to_bytes() == plain.to_bytes()


INDEX_TYPES = ["int8", "uint8", "int16", "uint32", "int64", "uint64"]


@settings(max_examples=150, deadline=None)
@given(entries=st.lists(st.one_of(st.none(), TEXT), min_size=0, max_size=12),
       picks=st.lists(st.tuples(st.integers(-3, 15), st.booleans()), min_size=1, max_size=60),
       index_type=st.sampled_from(INDEX_TYPES), offset=st.integers(0, 3), big=st.booleans())
def test_dictionary_indices_count_as_their_entries(entries, picks, index_type, offset, big):
    """Counted by index, then each used entry once: an index outside the dictionary (negative,
    or past its end), a null index and an index to a null entry are missing; the rest count
    as their entry's text, through either lane layout (a dictionary over 4,096 entries)."""
    if big:
        entries = entries + [f"filler {k}" for k in range(5000)]
    lo = 0 if index_type.startswith("u") else -3
    indices = [None if not valid else max(i, lo) for i, valid in picks]
    array = pa.DictionaryArray.from_arrays(pa.array([0] * offset + indices, getattr(pa, index_type)()),
                                           pa.array(entries, pa.string()), safe=False).slice(offset)
    values = [entries[i] if i is not None and 0 <= i < len(entries) else None for i in indices]
    present = sorted({v for v in values if v is not None})
    if not present:
        return
    ref = mv.profile({"c": pa.array(present[::2] + ["unseen"], pa.string())})
    assert mv.profile({"c": array}, like=ref).to_bytes() == mv.profile({"c": values}, like=ref).to_bytes()
    assert mv.profile({"c": array}) == mv.profile({"c": values})


@pytest.mark.parametrize("column, plain", [
    (np.array(["b", "a", "é", "b"])[::-1], ["b", "é", "a", "b"]),
    (np.array(["b", "a", "😀", "b"], dtype=">U2"), ["b", "a", "😀", "b"]),
    (np.array(["a", 1, None, "a"], dtype=object), ["a", 1, None, "a"]),
    (np.array([None, float("nan")], dtype=object), [None, float("nan")]),
])
def test_numpy_unicode_and_object_arrays_as_lists(column, plain):
    assert mv.profile({"c": column}).to_bytes() == mv.profile({"c": plain}).to_bytes()


def test_pandas_categorical_of_numbers_reads_as_before():
    """Categories that are not str are read through Arrow, as they always were."""
    values = [3, 1, None, 3, 2]
    column = pd.Series(pd.Categorical(values))
    assert mv.profile({"c": column}) == mv.profile({"c": pa.array(values, pa.int64()).dictionary_encode()})
