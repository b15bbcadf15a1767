"""Inputs: every table and column kind gives the same profile as the same values written plainly
(a float64 array with NaN, or a list of texts with None)."""

import dataclasses
from collections import Counter

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morvane as mv


@pytest.fixture
def rng():
    return np.random.default_rng(20261207)

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")

NUMS = [1.5, None, -2.0, 7.0, None, 0.0, 3.25, 1e300, -np.inf, 4.0, 2.0, None, 5.5]
TEXTS = ["b", None, "a", "é", "a", None, "long string beyond twelve bytes", "b", "", "a"]


def plain_numbers(values):
    return np.array([np.nan if v is None else v for v in values], dtype=np.float64)


def same_as(column, plain, **opts):
    ref = mv.profile({"c": plain}, **opts)
    got = mv.profile({"c": column}, like=ref)
    assert got == ref, (got.histogram("c"), ref.histogram("c"), got.missing("c"), ref.missing("c"))
    # And the reference built from the column itself has the same layout (its type recorded apart).
    assert dataclasses.replace(mv.profile({"c": column}, **opts).layout, types=()) == dataclasses.replace(
        ref.layout, types=())


NUMERIC_COLUMNS = {
    "arrow float64 with nulls": lambda: pa.array(NUMS, pa.float64()),
    "arrow float32": lambda: pa.array(NUMS[:7], pa.float32()),
    "arrow sliced (offset)": lambda: pa.array([9.0, 9.0, 9.0] + NUMS, pa.float64()).slice(3),
    "arrow chunked": lambda: pa.chunked_array([pa.array(NUMS[:4]), pa.array([], pa.float64()), pa.array(NUMS[4:])]),
    "polars series": lambda: pl.Series(NUMS[:8], dtype=pl.Float64),
    "pandas Float64 (NA)": lambda: pd.Series(NUMS, dtype="Float64"),
    "pandas object": lambda: pd.Series(NUMS, dtype=object),
    "list": lambda: list(NUMS),
    "numpy strided": lambda: np.repeat(plain_numbers(NUMS), 3)[::3],
    "numpy reversed": lambda: plain_numbers(NUMS[::-1])[::-1],
    "numpy big-endian": lambda: plain_numbers(NUMS).astype(">f8"),
    "numpy big-endian float32": lambda: plain_numbers(NUMS[:7]).astype(">f4"),
    "numpy float16": lambda: plain_numbers([1.5, -2.0, None, 4.0]).astype(np.float16),
}
PLAIN_NUMERIC = {
    "arrow float32": NUMS[:7], "polars series": NUMS[:8], "numpy big-endian float32": NUMS[:7],
    "numpy float16": [1.5, -2.0, None, 4.0],
}


@pytest.mark.parametrize("name", NUMERIC_COLUMNS)
def test_numeric_columns(name):
    plain = plain_numbers(PLAIN_NUMERIC.get(name, NUMS))
    for opts in (dict(n_bins=4), dict(bins=[-1.0, 2.0, 4.0])):
        same_as(NUMERIC_COLUMNS[name](), plain, **opts)


INTS = [3, -1, 0, 127, -128, 5, 3]


@pytest.mark.parametrize("arrow_type", ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"])
def test_every_integer_width_arrow_and_numpy(arrow_type):
    values = [v for v in INTS if v >= 0] if arrow_type.startswith("u") else INTS
    plain = np.array(values, dtype=np.float64)
    same_as(pa.array(values, getattr(pa, arrow_type)()), plain, n_bins=3)
    same_as(np.array(values, dtype=arrow_type), plain, n_bins=3)
    same_as(np.array(values, dtype=arrow_type).astype(np.dtype(arrow_type).newbyteorder(">")), plain, n_bins=3)
    ref = mv.profile({"c": np.array(values, dtype=arrow_type)}, categorical=["c"])
    assert ref.histogram("c")[0] == sorted({str(v) for v in values})
    assert mv.profile({"c": pa.array(values, getattr(pa, arrow_type)())}, like=ref) == ref


TEXT_COLUMNS = {
    "arrow utf8": lambda: pa.array(TEXTS, pa.string()),
    "arrow large_utf8": lambda: pa.array(TEXTS, pa.large_string()),
    "arrow string_view": lambda: pa.array(TEXTS, pa.string_view()),
    "arrow sliced": lambda: pa.array(["x", "y"] + TEXTS, pa.string()).slice(2),
    "arrow dictionary": lambda: pa.array(TEXTS).dictionary_encode(),
    "arrow dictionary int8 sliced": lambda: pa.DictionaryArray.from_arrays(
        pa.array([0, 0] + [None if t is None else sorted({x for x in TEXTS if x is not None}).index(t) for t in TEXTS],
                 pa.int8()), pa.array(sorted({x for x in TEXTS if x is not None}))).slice(2),
    "polars string": lambda: pl.Series(TEXTS, dtype=pl.String),
    "polars categorical": lambda: pl.Series(TEXTS, dtype=pl.Categorical),
    "pandas str": lambda: pd.Series(TEXTS, dtype="str"),
    "pandas categorical": lambda: pd.Series(pd.Categorical(TEXTS)),
    "pandas object": lambda: pd.Series(TEXTS, dtype=object),
    "numpy unicode": lambda: np.array([t if t is not None else "" for t in TEXTS]),
    "list": lambda: list(TEXTS),
}


@pytest.mark.parametrize("name", TEXT_COLUMNS)
def test_text_columns(name):
    plain = [t if t is not None else "" for t in TEXTS] if name == "numpy unicode" else list(TEXTS)
    same_as(TEXT_COLUMNS[name](), plain)


BOOLS = [True, None, False, True, True, None, False, True, True, False, True]


@pytest.mark.parametrize("make", [
    lambda: pa.array(BOOLS, pa.bool_()),
    lambda: pa.array([False] * 5 + BOOLS, pa.bool_()).slice(5),  # bit offset not a multiple of 8
    lambda: pl.Series(BOOLS, dtype=pl.Boolean),
    lambda: pd.Series(BOOLS, dtype="boolean"),
    lambda: list(BOOLS),
])
def test_bit_packed_and_nullable_booleans(make):
    same_as(make(), list(BOOLS))
    # Counted as the texts "False" and "True" are.
    bools = mv.profile({"c": make()})
    texts = mv.profile({"c": ["True" if b else None if b is None else "False" for b in BOOLS]})
    assert bools.histogram("c")[0] == texts.histogram("c")[0] == ["False", "True"]
    assert (bools.histogram("c")[1] == texts.histogram("c")[1]).all()


def test_whole_tables_of_every_kind_agree(rng):
    n = 3000
    df = pd.DataFrame({"x": rng.normal(size=n), "i": rng.integers(0, 9, n), "s": rng.choice(["p", "q", "r"], n),
                       "b": rng.random(n) < 0.3, "y": rng.integers(0, 2, n), "p": rng.random(n)})
    df.loc[::7, "x"] = np.nan
    opts = dict(target="y", prediction="p", task="binary", facets={"s": None, "i": mv.at_least(4)})
    ref = mv.profile(df, **opts)
    table = pa.Table.from_pandas(df, preserve_index=False)
    multi = pa.Table.from_batches(table.to_batches(max_chunksize=700))
    kinds = [pl.from_pandas(df), table, multi, multi.to_batches()[1].slice(0, 0), {k: df[k] for k in df.columns},
             {k: df[k].to_numpy() for k in df.columns}, {k: pa.chunked_array(multi[k].chunks) for k in df.columns}]

    class Capsule:  # any object with __arrow_c_stream__
        def __arrow_c_stream__(self, requested_schema=None):
            return multi.__arrow_c_stream__(requested_schema)

    kinds.append(Capsule())
    kinds_of = lambda p: {k: f.kind for k, f in p.features.items()}  # noqa: E731
    for t in kinds:
        p = mv.profile(t, like=ref)
        own = mv.profile(t, **opts)
        assert kinds_of(own) == kinds_of(ref), type(t)
        if p.n_rows:
            assert p == ref and own.layout == ref.layout, type(t)


def test_package_does_not_import_pandas_polars_or_pyarrow():
    import subprocess
    import sys

    code = ("import sys, numpy as np, morvane as mv; p = mv.profile({'x': np.arange(5.0), 's': ['a'] * 5}); "
            "mv.Profile.from_bytes(p.to_bytes()); "
            "print(sorted(m for m in ('pandas', 'polars', 'pyarrow') if m in sys.modules))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "[]"


TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=20)
FORMS = ["utf8", "large_utf8", "list", "object array", "list with a number"]


def text_column(texts, form, start):
    """The texts (None or NaN missing) as a column of the given form; lists repeat their str
    objects, as columns built from a few category objects do."""
    if form in ("utf8", "large_utf8"):
        kind = pa.string() if form == "utf8" else pa.large_string()
        return pa.array(["pad"] * start + [None if t != t else t for t in texts], kind).slice(start), texts
    values = texts + texts[::-1] + ([7, "seven"] if form == "list with a number" else [])
    return (np.array(values, dtype=object) if form == "object array" else values), values


@settings(max_examples=200, deadline=None)
@given(texts=st.lists(st.one_of(st.none(), st.just(float("nan")), TEXT), max_size=60), start=st.integers(0, 9),
       form=st.sampled_from(FORMS), keep=st.integers(1, 3))
def test_texts_count_as_python_counts(texts, start, form, keep):
    """Short Arrow texts are read as whole words near the end of their buffer and after an
    offset, lists of str natively with repeated objects recognised (texts that differ only in
    a trailing NUL or their last byte stay apart): the counts are Python's own, with the
    layout's categories or with a reference that lacks some of them."""
    column, values = text_column(texts, form, start)
    present = [str(t) for t in values if t is not None and t == t]
    expected = Counter(present)
    p = mv.profile({"c": column})
    cats, counts = p.histogram("c")
    assert list(cats) == sorted(expected, key=lambda t: t.encode())
    assert list(counts) == [expected[c] for c in cats] + [0]
    assert p.missing("c") == len(values) - len(present)
    kept = sorted(expected)[::keep]
    ref = mv.profile({"c": pa.array(kept, pa.string())})
    cats, counts = mv.profile({"c": column}, like=ref).histogram("c")
    assert list(counts) == [expected[c] for c in cats] + [sum(n for t, n in expected.items() if t not in set(kept))]
