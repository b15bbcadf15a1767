"""`morvane.dask.profile` and `morvane.dask.update`: the Dask engine (see `morvane.engines.dask`)."""

from morvane.engines.dask import FAN_IN, profile, update  # noqa: F401
