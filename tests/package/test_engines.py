"""Spark and Dask profiles equal the one-machine profile of the same rows, byte for byte."""

import decimal
import os
import shutil
import warnings
import sys
from fractions import Fraction
from functools import partial

import numpy as np
import pytest

if os.environ.get("MORVANE_SANITIZED"):
    # Java and the worker processes would inherit the preloaded sanitizer runtime.
    pytest.skip("the engines run outside the sanitizer build", allow_module_level=True)
pyspark = pytest.importorskip("pyspark")
distributed = pytest.importorskip("distributed")
dd = pytest.importorskip("dask.dataframe")
pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")

from hypothesis import given, settings, strategies as st  # noqa: E402

import morvane as mv  # noqa: E402
from morvane.state import layout as _layout
from morvane.profiling import summaries as summ  # noqa: E402


def select(columns, ranks_for, parts):
    """Exact order statistics of `columns` split into `parts`, reports combined in uneven groups."""
    def run_pass(plan):
        reports = [summ.summarise(plan, part) for part in parts]
        while len(reports) > 1:
            reports = [summ.combine(plan, reports[i:i + 3]) for i in range(0, len(reports), 3)]
        return reports[0]
    return summ.order_statistics(ranks_for, run_pass)


def assert_order_statistics(values, m, got, ranks):
    v = np.sort(values[~np.isnan(values)]) + 0.0  # -0.0 and 0.0 tie: the canonical zero
    assert m == len(v)
    assert np.array_equal(np.array([got[r] for r in ranks], dtype=float).view(np.uint64), v[ranks].view(np.uint64))


floats = st.floats(allow_nan=True, allow_infinity=True, width=64)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.one_of(floats, st.sampled_from([0.0, -0.0, 1.0, np.nan])), max_size=300),
       st.lists(st.integers(0, 300), max_size=6), st.integers(1, 12))
def test_order_statistics_equal_numpy_for_any_split(values, cuts, n_bins):
    x = np.array(values, dtype=float)
    parts = [{"x": p} for p in np.split(x, sorted(set(min(c, len(x)) for c in cuts)))]
    m, got, _ = select(["x"], {"x": partial(_layout.quantile_ranks, n_bins=n_bins)}, parts)
    assert_order_statistics(x, m["x"], got["x"], _layout.quantile_ranks(m["x"], n_bins))


@pytest.mark.parametrize("kind", ["normal", "duplicates", "wide"])
def test_order_statistics_of_large_columns_in_few_passes(kind, monkeypatch):
    # Small shipping limits make 30,000 rows behave like many millions: histograms, then keys.
    monkeypatch.setattr(summ, "LOCAL_SHIP", 16)
    monkeypatch.setattr(summ, "SHIP_MAX", 64)
    rng = np.random.default_rng(7)
    x = {"normal": rng.normal(size=30000), "duplicates": rng.integers(0, 4, 30000) * 1.5,
         "wide": rng.standard_cauchy(30000) * 10.0 ** rng.integers(-300, 300, 30000)}[kind]
    ranks = {"x": lambda m: [0, m // 3, m // 2, m - 1] + _layout.quantile_ranks(m, 97)}
    m, got, passes = select(["x"], ranks, [{"x": p} for p in np.array_split(x, 7)])
    assert_order_statistics(x, m["x"], got["x"], ranks["x"](m["x"]))
    assert passes <= 4


@settings(max_examples=60, deadline=None)
@given(st.lists(st.floats(allow_nan=False, allow_infinity=False, width=64), max_size=200))
def test_scaled_sums_are_exact(values):
    x = np.array(values, dtype=float)
    assert summ.scaled_sum(x) == sum(Fraction(v) for v in values) * 2**1074
    # Merging partition sums is integer addition.
    assert summ.scaled_sum(x[:7]) + summ.scaled_sum(x[7:]) == summ.scaled_sum(x)


@pytest.fixture(scope="module")
def spark():
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        pytest.skip("Spark needs Java")
    from pyspark.sql import SparkSession

    os.environ["SPARK_LOCAL_IP"] = "127.0.0.1"
    os.environ["PYSPARK_PYTHON"] = os.environ["PYSPARK_DRIVER_PYTHON"] = sys.executable
    session = (SparkSession.builder.master("local[2]").appName("morvane-tests")
               .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
               .config("spark.sql.shuffle.partitions", "4").config("spark.default.parallelism", "2")
               .config("spark.sql.execution.arrow.pyspark.enabled", "true").getOrCreate())
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


@pytest.fixture(scope="module")
def dask_client():
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        yield client


def table(n, seed):
    """Rows with nulls, NaN, infinities, signed zeros, huge integers and categorical columns (one
    name with a dot and a space), and the columns of a binary, a regression and a multiclass task."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=n)
    x[rng.random(n) < 0.1] = np.nan
    wild = rng.standard_cauchy(n) * 1e300
    special = [np.inf, -np.inf, -0.0, 0.0, 5e-324, -5e-324, np.nan, np.inf]
    wild[: min(n, 8)] = special[: min(n, 8)]
    # Mostly zeros of both signs, so that edges fall on them (an edge at zero reads as 0.0).
    zeros = np.where(rng.random(n) < 0.5, -1.0, 1.0) * (rng.integers(1, 3, n) * (rng.random(n) < 0.2))
    colour = np.array(["red", "green", "blåu", "Ω", ""], dtype=object)[rng.integers(0, 5, n)]
    colour[rng.random(n) < 0.2] = None
    y = rng.normal(size=n)
    return pa.table({
        "x": x, "wild": wild, "zeros": zeros, "ints": rng.integers(-3, 3, n), "big": rng.integers(2**62, 2**62 + 2**12, n),
        "constant": np.full(n, 5.0),
        "with nulls.x": pa.array(np.where(rng.random(n) < 0.5, None, x).tolist(), pa.float64()),
        "colour": pa.array(colour, pa.string()), "flag": pa.array(rng.random(n) < 0.3),
        "truth": rng.integers(0, 2, n), "proba": rng.random(n),
        "y": y, "yhat": np.where(rng.random(n) < 0.05, np.nan, y + rng.normal(size=n)),
        "kind": pa.array(np.array(["cat", "dog", "emu"])[rng.integers(0, 3, n)]),
        "guess": pa.array(np.array(["cat", "dog", "yak"])[rng.integers(0, 3, n)]),
        # The input contract's column kinds and roles: times with NaT, decimals, a key, decisions
        # beside scores, multiclass scores named proba_<class>.
        "when": pa.array(np.where(rng.random(n) < 0.1, np.datetime64("NaT"),
                                  np.datetime64("2026-01-01T00:00:00", "us") + rng.integers(0, 10**13, n)
                                  .astype("timedelta64[us]")), pa.timestamp("us", tz="UTC")),
        "day": pa.array((rng.integers(19000, 20000, n)).astype("datetime64[D]"), pa.date32()),
        "amount": pa.array([None if i % 11 == 0 else decimal.Decimal(int(v)) / 1000
                            for i, v in enumerate(rng.integers(-10**6, 10**6, n))], pa.decimal128(10, 3)),
        "id": rng.permutation(n) + 1000,
        "decided": (rng.random(n) >= 0.65).astype(np.int64),
        **{f"proba_{c}": v for c, v in zip(("cat", "dog", "emu"), rng.dirichlet(np.ones(3), n).T)},
    })


def spark_frame(spark, t, parts):
    """A Spark DataFrame of the rows in `parts` partitions; hashed on a column of six values, more
    than six partitions leave some empty."""
    df = spark.createDataFrame(t)
    return df.repartition(parts) if parts < 4 else df.repartition(parts, "ints")


def dask_frame(t, parts):
    """A Dask DataFrame over `parts` slices of the rows, some of them empty."""
    frame = t.to_pandas()
    rng = np.random.default_rng(parts)
    bounds = np.sort(np.concatenate([[0, len(frame)], rng.integers(0, len(frame) + 1, parts - 1)]))
    if parts > 2:
        bounds[1] = bounds[2] = 0  # empty partitions
    return dd.from_map(lambda i: frame.iloc[bounds[i]:bounds[i + 1]], range(parts), meta=frame.iloc[:0])


def distributed_profile(kind, request, t, parts, **options):
    """(the engine's profile, the one-machine profile of the same rows)."""
    if kind == "spark":
        import morvane.spark
        df = spark_frame(request.getfixturevalue("spark"), t, parts)
        return morvane.spark.profile(df, **options), mv.profile(t, **options)
    request.getfixturevalue("dask_client")
    import morvane.dask
    ddf = dask_frame(t, parts)
    # The rows as Dask gives them (it may turn object columns into strings).
    return morvane.dask.profile(ddf, **options), mv.profile(ddf.compute(), **options)


BINARY = dict(task="binary", target="truth", prediction="proba", facets={"colour": None, "x": mv.at_least(0.25)},
              categorical=["ints"], features=["x", "zeros", "ints", "colour", "flag"])
CASES = {
    "default": ({}, 6000),
    "binary": (BINARY, 3000),
    "regression, FreedmanDiaconis": (dict(task="regression", target="y", prediction="yhat", bins="FreedmanDiaconis",
                                          features=["x", "wild", "with nulls.x", "big"]), 2000),
    "Scott": (dict(bins="Scott", features=["x", "wild", "zeros", "ints"]), 1500),
    "multiclass, Sturges": (dict(task="multiclass", target="kind", prediction="guess", bins="Sturges",
                                 features=["wild", "zeros", "colour"]), 2000),
    "edges": (dict(bins=[-1.0, 0.0, 2.5], n_bins=3, features=["x", "ints", "colour"]), 500),
    "few rows": (dict(n_bins=4), 12),
    "no rows": (dict(task="binary", target="truth", prediction="proba"), 0),
    "roles": (dict(task="binary", target="truth", prediction="decided", score="proba", timestamp="when",
                   exclude=["kind", "guess", "y", "yhat"], facets={"colour": None}), 2500),
    "multiclass scores": (dict(task="multiclass", target="kind", score=["proba_cat", "proba_dog", "proba_emu"],
                               features=["when", "day", "amount", "flag"]), 1500),
    "joint, explain": (dict(task="regression", target="y", prediction="yhat", joint=True, explain=True,
                            features=["x", "wild", "with nulls.x", "big", "zeros", "colour"]), 2000),
    "rules": (dict(features=["x", "colour"], rules=[
        mv.Rule("x", between=(-1, 1)), mv.Rule("colour", one_of=["red", "Ω"]), mv.Rule("colour", matches="^[a-z]+$"),
        mv.Rule("with nulls.x", not_null=True), mv.Rule("y", at_least="yhat"),
        mv.Rule(where="x * 2 <= `with nulls.x` or is_null(x)", name="where"),
        mv.Rule("when", between=(np.datetime64("2026-01-01"), np.datetime64("2026-03-01")))]), 2000),
}


# Many partitions: fewer on Spark, where each task costs a Python worker round trip.
MANY = {"spark": 9, "dask": 30}


# The rules' summaries are engine-neutral: Scott's exact sums run on Dask only.
PROFILE_CASES = [("default", 1), ("default", 3), ("roles", "many"), ("multiclass scores", 3), ("binary", "many"), ("regression, FreedmanDiaconis", 3),
                 ("multiclass, Sturges", "many"), ("edges", 1), ("Scott", "many"), ("few rows", "many"), ("no rows", 3),
                 ("joint, explain", "many"), ("rules", "many")]


@pytest.mark.parametrize("kind, case, parts", [(k, c, p) for c, p in PROFILE_CASES for k in ("spark", "dask")
                                               if not (c == "Scott" and k == "spark")])
def test_profiles_equal_one_machine_bytes(kind, request, case, parts):
    options, n = CASES[case]
    parts = MANY[kind] if parts == "many" else parts
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got, want = distributed_profile(kind, request, table(n, seed=parts), parts, **options)
    assert got.to_bytes() == want.to_bytes() and got.n_rows == n
    # The key is left out on both, with a warning each (only default features look for keys).
    keyed = "features" not in options and n >= 1000
    assert "features" in options or ("id" in got.columns) != keyed
    assert sum("'id' is a key" in str(w.message) for w in caught) == (2 if keyed else 0)


@pytest.mark.parametrize("kind", ["spark", "dask"])
def test_like_reference_is_shipped_and_counts_in_one_pass(kind, request, monkeypatch):
    from morvane.engines.dask import DaskEngine
    from morvane.engines.spark import SparkEngine

    engine = {"spark": SparkEngine, "dask": DaskEngine}[kind]
    passes = []
    run = engine.map_reduce
    monkeypatch.setattr(engine, "map_reduce", lambda self, *a: passes.append(1) or run(self, *a))
    reference = mv.profile(table(500, seed=1), **BINARY | {"facets": {"colour": None}})
    got, want = distributed_profile(kind, request, table(700, seed=2), 3, like=reference)
    assert got.to_bytes() == want.to_bytes() and got.n_rows == 700
    assert len(passes) == 1
    with pytest.raises(ValueError, match="like="):
        distributed_profile(kind, request, table(10, seed=2), 2, like=reference, n_bins=3)


def test_readme_examples_run_and_print_what_they_promise(spark, dask_client):
    """The Spark and Dask guide's examples (fenced `py`: they need Java and a cluster), in order."""
    import contextlib
    import io
    import re
    from pathlib import Path

    text = (Path(__file__).resolve().parents[2] / "docs" / "guides" / "engines.md").read_text(encoding="utf-8")
    blocks = re.findall(r"^```py\n(.*?)^```", text, re.S | re.M)
    assert len(blocks) == 2
    out, namespace = io.StringIO(), {"__name__": "readme"}
    with contextlib.redirect_stdout(out):
        for i, block in enumerate(blocks):
            exec(compile(block, f"engines.md block {i + 1}", "exec"), namespace)
    promised = [m.group(1) for b in blocks for m in re.finditer(r"^print\(.*#\s*(\S+)$", b, re.M)]
    assert out.getvalue().split() == promised == ["True", "True"]
    assert namespace["window"].n_rows == 5000  # two of eight partitions of 20,000 rows


@pytest.mark.parametrize("tz", [None, "America/New_York"])
@pytest.mark.parametrize("kind", ["spark", "dask"])
def test_history_periods_equal_one_machine_bytes(kind, tz, request):
    """An engine's workers split their partitions' rows by period: every period holds the bytes
    `History.update` gives for the same rows on one machine (segments included), rows without a time
    counted apart."""
    from morvane.history import History

    t = table(3000, seed=5)
    rng = np.random.default_rng(5)
    times = np.datetime64("2024-02-01", "us") + (rng.random(t.num_rows) * 4 * 86_400e6).astype("timedelta64[us]")
    t = t.append_column("ts", pa.array(np.where(rng.random(t.num_rows) < 0.02, np.datetime64("NaT"), times)))
    r = table(800, seed=6)
    reference = mv.profile(r.append_column("ts", pa.array(np.full(r.num_rows, np.datetime64("2024-01-01", "us")))),
                           **BINARY, timestamp="ts", segments=["kind"])
    want = History(reference, "1D", tz=tz).update(t)
    if kind == "spark":
        import morvane.spark as engine
        df = spark_frame(request.getfixturevalue("spark"), t, 3)
    else:
        request.getfixturevalue("dask_client")
        import morvane.dask as engine
        df = dask_frame(t, 5)
    got = engine.update(History(reference, "1D", tz=tz), df)
    assert got.periods == want.periods and len(got.periods) == (4 if tz is None else 5) and got.undated == want.undated > 0
    assert [p.to_bytes() for _, _, p in got.profiles()] == [p.to_bytes() for _, _, p in want.profiles()]
    with pytest.raises(ValueError, match="arrival"):
        engine.update(History(reference, rows=100), df)


def test_readme_daily_job_appends_its_period(spark, tmp_path, monkeypatch):
    """The over-time guide's history example, then its daily Spark job, in one namespace."""
    from test_history import over_time_blocks, run_blocks

    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "readme"}
    assert run_blocks(over_time_blocks(), namespace) == 4
    assert (tmp_path / "history-published.sqlite").exists()
