"""`morvane.spark.profile` and `morvane.spark.update`: the Spark engine (see `morvane.engines.spark`)."""

from morvane.engines.spark import CHUNK_ROWS, profile, update  # noqa: F401
