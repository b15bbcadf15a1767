"""Report objects: a minimal stand-in with the agreed fields and constructor, until the report
branch's full version (rendering, tables, HTML) is merged over it."""

from __future__ import annotations

from dataclasses import dataclass, field


@dataclass(frozen=True)
class Check:
    family: str
    column: str | None
    metric: str
    reference: float | None
    current: float | None
    change: float | None
    p_value: float | None
    failed: bool
    interval: tuple[float, float] | None = None
    details: dict = field(default_factory=dict)


class Report:
    def __init__(self, checks, *, alpha, reference=None, current=None, tables=None):
        self._checks = tuple(checks)
        self.alpha = float(alpha)
        self.reference = reference
        self.current = current
        self.tables = dict(tables or {})

    @property
    def passed(self) -> bool:
        return not any(check.failed for check in self._checks)

    @property
    def checks(self) -> list[Check]:
        return list(self._checks)

    @property
    def failures(self) -> list[Check]:
        return [check for check in self._checks if check.failed]
