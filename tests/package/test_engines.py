"""Spark and Dask profiles equal the one-machine profile of the same rows, byte for byte."""

import os
import shutil
import sys

import numpy as np
import pytest

from hypothesis import given, settings, strategies as st

from morvane import _layout_distributed as dist

if os.environ.get("MORVANE_SANITIZED"):
    # Java and the worker processes would inherit the preloaded sanitizer runtime.
    pytest.skip("the engines run outside the sanitizer build", allow_module_level=True)
pyspark = pytest.importorskip("pyspark")
distributed = pytest.importorskip("distributed")
dd = pytest.importorskip("dask.dataframe")
pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")


def select(columns, ranks_for, parts):
    """Exact order statistics of `columns` split into `parts`, reports combined in uneven groups."""
    def run_pass(plan):
        reports = [dist.summarise(plan, part) for part in parts]
        while len(reports) > 1:
            reports = [dist.combine(plan, reports[i:i + 3]) for i in range(0, len(reports), 3)]
        return reports[0]
    return dist.order_statistics(ranks_for, run_pass)


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
    m, got, _ = select(["x"], {"x": dist.quantile_ranks(n_bins)}, parts)
    assert_order_statistics(x, m["x"], got["x"], dist.quantile_ranks(n_bins)(m["x"]))


@pytest.mark.parametrize("kind", ["normal", "duplicates", "wide"])
def test_order_statistics_of_large_columns_in_few_passes(kind, monkeypatch):
    # Small shipping limits make 30,000 rows behave like many millions: histograms, then keys.
    monkeypatch.setattr(dist, "LOCAL_SHIP", 16)
    monkeypatch.setattr(dist, "SHIP_MAX", 64)
    rng = np.random.default_rng(7)
    x = {"normal": rng.normal(size=30000), "duplicates": rng.integers(0, 4, 30000) * 1.5,
         "wide": rng.standard_cauchy(30000) * 10.0 ** rng.integers(-300, 300, 30000)}[kind]
    ranks = {"x": lambda m: [0, m // 3, m // 2, m - 1] + dist.quantile_ranks(97)(m)}
    m, got, passes = select(["x"], ranks, [{"x": p} for p in np.array_split(x, 7)])
    assert_order_statistics(x, m["x"], got["x"], ranks["x"](m["x"]))
    assert passes <= 4


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
    """Rows with nulls, NaN, infinities, signed zeros, heavy duplicates and categorical columns."""
    rng = np.random.default_rng(seed)
    normal = rng.normal(size=n)
    normal[rng.random(n) < 0.1] = np.nan
    wild = rng.standard_cauchy(n) * 1e300
    special = np.array([np.inf, -np.inf, -0.0, 0.0, 5e-324, -5e-324, np.nan])
    wild[: min(n, len(special))] = special[: min(n, len(special))]
    ints = rng.integers(-3, 3, n)
    colour = np.array(["red", "green", "blåu", "Ω", ""], dtype=object)[rng.integers(0, 5, n)]
    colour[rng.random(n) < 0.2] = None
    return pa.table({"normal": normal, "wild": wild, "ints": ints, "colour": pa.array(colour, pa.string()),
                     "flag": pa.array(rng.random(n) < 0.3), "nulls": pa.array(np.where(rng.random(n) < 0.5, None, normal).tolist(), pa.float64())})


def spark_frames(spark, t, parts):
    return spark.createDataFrame(t).repartition(parts)


def dask_frames(t, parts):
    """A Dask DataFrame over `parts` slices of the rows, some of them empty."""
    frame = t.to_pandas()
    bounds = np.sort(np.concatenate([[0, len(frame)], np.random.default_rng(parts).integers(0, len(frame) + 1, parts - 1)]))
    if parts > 2:
        bounds[1] = 0  # an empty first partition
    return dd.from_map(lambda i: frame.iloc[bounds[i]:bounds[i + 1]], range(parts), meta=frame.iloc[:0])


ENGINES = ["spark", "dask"]


def engine_for(kind, request, t, parts):
    if kind == "spark":
        from morvane.spark import _SparkEngine
        return _SparkEngine(spark_frames(request.getfixturevalue("spark"), t, parts))
    request.getfixturevalue("dask_client")
    from morvane.dask import _DaskEngine
    return _DaskEngine(dask_frames(t, parts))


@pytest.mark.parametrize("kind", ENGINES)
@pytest.mark.parametrize("n, parts, n_bins", [(0, 1, 10), (1, 3, 10), (40, 3, 4), (3000, 1, 10), (20000, 24, 7)])
def test_order_statistics_through_engines_equal_numpy(kind, request, n, parts, n_bins):
    t = table(n, seed=n + parts)
    engine = engine_for(kind, request, t, parts)
    columns = ["normal", "wild", "ints", "nulls"]
    m, values, _ = dist.order_statistics({c: dist.quantile_ranks(n_bins) for c in columns},
                                         lambda plan: dist.engine_pass(engine, plan))
    for c in columns:
        v = dist.float_values(t, c)
        v = np.sort(v[~np.isnan(v)]) + 0.0
        ranks = [k * len(v) // n_bins for k in range(1, n_bins)] if len(v) else []
        assert m[c] == len(v)
        assert np.array_equal(np.array([values[c][r] for r in ranks], dtype=float).view(np.uint64), v[ranks].view(np.uint64))
