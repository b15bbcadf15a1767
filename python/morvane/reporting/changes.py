"""Changes: each run of consecutive failing periods of one check, listed once, so that a daily job
alerts when a check starts failing and sends the resolution when it passes again, instead of an alert
every day it still fails."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from morvane.comparing.checks import Check


@dataclass(frozen=True)
class Change:
    """A run of failing periods of one check: `started` is the first failing period's start,
    `resolved` the start of the first period after it where the check passed (None while it still
    fails); `check` is the run's latest failing Check (its values and p-value)."""

    family: str
    column: str | None
    metric: str
    segment: tuple | None
    started: Any
    resolved: Any
    check: Check

    def label(self) -> str:
        """The check's readable name ("drift · age · Distribution")."""
        return self.check.label()


def changes(series: dict) -> list[Change]:
    """The runs of failing periods in `series` ({key: [(start, end, Check)]} in time order), by start.
    A period where the check is absent neither extends nor ends a run; only a passing one ends it."""
    found = []
    for (family, column, segment, metric), items in series.items():
        started = latest = None
        for start, _, check in items:
            if check.failed:
                started = start if started is None else started
                latest = check
            elif started is not None:
                found.append(Change(family, column, metric, segment, started, start, latest))
                started = None
        if started is not None:
            found.append(Change(family, column, metric, segment, started, None, latest))
    order = {key: i for i, key in enumerate(series)}
    found.sort(key=lambda c: (c.started, order[(c.family, c.column, c.segment, c.metric)]))
    return found
