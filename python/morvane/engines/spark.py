"""Profiles of Spark DataFrames: partitions profiled by the native core on the executors, merged on the driver.

The executors need `morvane` installed in the Python that Spark runs there (PYSPARK_PYTHON).
"""

from __future__ import annotations

import pickle

from morvane.engines import update_history
from morvane.profiling import distributed as _dist

# Arrow batches of a partition are profiled together up to this many rows, then merged.
CHUNK_ROWS = 1 << 20


def _chunks(batches, names):
    """The partition's Arrow record batches regrouped into tables of about CHUNK_ROWS rows, with
    the DataFrame's column names."""
    import pyarrow as pa

    pending, rows = [], 0
    for batch in batches:
        if batch.num_rows:
            pending.append(batch)
            rows += batch.num_rows
        if rows >= CHUNK_ROWS:
            yield pa.Table.from_batches(pending).rename_columns(names)
            pending, rows = [], 0
    if pending:
        yield pa.Table.from_batches(pending).rename_columns(names)


class SparkEngine:  # implements morvane.engines.Engine
    """Runs a function over every partition of a DataFrame and gathers the results on the driver."""

    def __init__(self, df, empty=None):
        self.df = df
        self.columns = list(df.columns)
        self._empty = empty

    def empty(self):
        """An empty Arrow table with the schema the executors see."""
        if self._empty is None:
            self._empty = self.df.limit(0).toArrow()
        return self._empty

    def probe(self):
        """One row of nulls: a column's kind shows in its type, also where no row has a value."""
        import pyarrow as pa

        schema = self.empty().schema
        return pa.table([pa.nulls(1, f.type) for f in schema], schema=schema)

    def select(self, columns):
        if list(columns) == self.columns:
            return self
        from pyspark.sql import functions as F

        quoted = [F.col("`" + c.replace("`", "``") + "`") for c in columns]  # names with dots or spaces
        return SparkEngine(self.df.select(*quoted), self.empty().select(list(columns)))

    def map_reduce(self, part_fn, combine_fn):
        """combine_fn over part_fn of each non-empty partition's chunks, in partition order."""
        import pyarrow as pa

        names = self.columns

        def task(batches):
            result = part_fn(_chunks(batches, names))
            blob = b"" if result is None else pickle.dumps(result, protocol=pickle.HIGHEST_PROTOCOL)
            yield pa.RecordBatch.from_arrays([pa.array([blob], pa.binary())], ["b"])

        # Plain positional names on the way in: mapInArrow fails on names with dots.
        plain = self.df.toDF(*[f"_{i}" for i in range(len(names))])
        rows = plain.mapInArrow(task, "b binary").collect()
        results = [pickle.loads(bytes(row[0])) for row in rows if row[0]]
        return combine_fn(results) if results else None


def profile(spark_df, **profile_options):
    """`mv.profile` of all rows of a Spark DataFrame, computed partition by partition on the executors.

    Takes the options of `mv.profile`. The result equals `mv.profile` of the same rows on one
    machine, `to_bytes()` included. Without `like=`, the layout (quantile edges, categories) is
    found first in a few passes over the selected columns; with it, one pass suffices.
    """
    return _dist.profile_distributed(SparkEngine(spark_df), profile_options)


def update(history, spark_df, *, replace=False):
    """Count a Spark DataFrame's rows into the periods of `history` (a `mv.History` of event time),
    as `morvane.engines.update_history` does."""
    return update_history(SparkEngine(spark_df), history, replace)
