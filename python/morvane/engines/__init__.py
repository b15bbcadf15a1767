"""Engines: profiles and history updates of tables that no one machine sees whole (Spark, Dask).

An engine module holds one class implementing `Engine` (running a function over every partition
and combining the results) and two functions, `profile` and `update`, that hand it to the shared
work below: `morvane.profiling.distributed` for profiles, `update_history` for histories. A new
engine is one module here."""

from __future__ import annotations

from typing import Any, Callable, Iterable, Protocol, Sequence


class Engine(Protocol):
    """A distributed table as the profiling work sees it."""

    columns: list

    def empty(self) -> Any:
        """A table with no rows and the partitions' column types (pandas or Arrow)."""

    def probe(self) -> Any:
        """A small table whose columns show their kinds even where no row has a value."""

    def select(self, columns: Sequence[str]) -> "Engine":
        """The same rows with only `columns`."""

    def map_reduce(self, part_fn: Callable[[Iterable[Any]], Any], combine_fn: Callable[[list], Any]) -> Any:
        """`combine_fn` of the results of `part_fn` over each non-empty partition's tables (None
        when no partition had rows)."""


def update_history(engine: Engine, history, replace: bool = False):
    """Count an engine's rows into the periods of `history` (a `mv.History` of event time): the
    workers profile each partition's rows by period, the driver merges them and commits every period
    in one transaction. The periods then hold the same bytes as `history.update` of the same rows."""
    from morvane.history import combine_periods

    return history.add_periods(engine.map_reduce(history.period_profiler(), combine_periods), replace)
