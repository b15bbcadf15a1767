"""Spark and Dask profiles equal the one-machine profile of the same rows, byte for byte."""

import os
import shutil
import sys

import numpy as np
import pytest

from morvane import _layout_distributed as dist

pyspark = pytest.importorskip("pyspark")
distributed = pytest.importorskip("distributed")
dd = pytest.importorskip("dask.dataframe")
pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")


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
