"""Profiles of Dask DataFrames: partitions profiled by the native core on the workers, merged in a tree.

The workers need `morvane` installed.
"""

from __future__ import annotations

from morvane.engines import update_history
from morvane.profiling import distributed as _dist

# Partial results are combined this many at a time, level by level, up to one.
FAN_IN = 8


def _nonempty(frame):
    return [frame] if len(frame) else []


def _combine_tree(nodes, combine_fn):
    import dask

    nodes = list(nodes)
    while len(nodes) > 1:
        nodes = [dask.delayed(combine_fn)(nodes[i:i + FAN_IN]) for i in range(0, len(nodes), FAN_IN)]
    return nodes[0]


def _skip_none(combine_fn):
    def combine(results):
        results = [r for r in results if r is not None]
        return combine_fn(results) if results else None
    return combine


class DaskEngine:  # implements morvane.engines.Engine
    """Runs a function over every partition of a DataFrame and reduces the results in a tree."""

    def __init__(self, ddf):
        self.ddf = ddf
        self.columns = list(ddf.columns)

    def empty(self):
        """An empty pandas DataFrame with the partitions' dtypes."""
        return self.ddf._meta

    probe = empty

    def select(self, columns):
        return self if list(columns) == self.columns else DaskEngine(self.ddf[list(columns)])

    def map_reduce(self, part_fn, combine_fn):
        import dask

        leaves = [dask.delayed(lambda frame: part_fn(_nonempty(frame)))(p) for p in self.ddf.to_delayed()]
        (result,) = dask.compute(_combine_tree(leaves, _skip_none(combine_fn)))
        return result


def profile(dask_df, **profile_options):
    """`mv.profile` of all rows of a Dask DataFrame, computed partition by partition on the workers.

    Takes the options of `mv.profile`. The result equals `mv.profile` of the same rows on one
    machine, `to_bytes()` included. Without `like=`, the layout (quantile edges, categories) is
    found first in a few passes over the selected columns; with it, one pass suffices.
    """
    return _dist.profile_distributed(DaskEngine(dask_df), profile_options)


def update(history, dask_df, *, replace=False):
    """Count a Dask DataFrame's rows into the periods of `history` (a `mv.History` of event time),
    as `morvane.engines.update_history` does."""
    return update_history(DaskEngine(dask_df), history, replace)
