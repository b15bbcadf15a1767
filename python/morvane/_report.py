"""The result of comparing two profiles: a list of checks and the views people read them through
(a dict for JSON, a DataFrame, a figure, one HTML file, a notebook representation)."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from numbers import Integral, Real
from pathlib import Path
from typing import Any

FAMILIES = ("drift", "performance", "bias")


@dataclass(frozen=True)
class Check:
    """One statistical check: a metric of one column (or of the whole task) in the reference and in
    the current window, the change between them, its p-value and the verdict after correction."""

    family: str
    column: str | None
    metric: str
    reference: float | None
    current: float | None
    change: float | None
    p_value: float | None
    failed: bool
    interval: tuple[float, float] | None = None
    details: dict = field(default_factory=dict, hash=False)  # checks hash on their other fields

    def label(self) -> str:
        """A short readable name: "performance · Accuracy", "drift · age · Distribution"."""
        return " · ".join(part for part in (self.family, self.column, self.metric) if part is not None)

    def movement(self, arrow: str = "->") -> str:
        """What moved, for people: "0.91 -> 0.84 (change -0.07, p=0.002)", or without values of its
        own (a drift check) "change 0.15, p=4.6e-250"."""
        tail = f"change {fmt(self.change)}, p={fmt(self.p_value, p_value=True)}"
        if self.reference is None and self.current is None:
            return tail
        return f"{fmt(self.reference)} {arrow} {fmt(self.current)} ({tail})"


def json_safe(value: Any) -> Any:
    """`value` as plain JSON types: NaN becomes None, infinities the strings "inf" and "-inf",
    NumPy scalars and arrays plain numbers and lists, mapping keys strings, anything else its str."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if type(value).__name__ == "bool_":  # NumPy's bool is not a bool
        return bool(value)
    if isinstance(value, Integral):
        return int(value)
    if isinstance(value, Real):
        number = float(value)
        if math.isnan(number):
            return None
        if math.isinf(number):
            return "inf" if number > 0 else "-inf"
        return number
    if isinstance(value, dict):
        return {str(key): json_safe(item) for key, item in value.items()}
    if isinstance(value, (list, tuple, set, frozenset)):
        return [json_safe(item) for item in value]
    if hasattr(value, "tolist"):  # NumPy arrays and pandas/pyarrow objects that offer it
        return json_safe(value.tolist())
    return str(value)


class Report:
    """What `mv.compare` returns: `passed` is False when any check failed after correction for the
    number of checks. `tables` maps a name ("bias: sex", "classes", ...) to a list of row dicts."""

    def __init__(self, checks, *, alpha, reference=None, current=None, tables=None):
        self._checks = tuple(checks)
        for check in self._checks:
            if not isinstance(check, Check):
                raise TypeError(f"a report holds Check objects, not {type(check).__name__}")
        self.alpha = float(alpha)
        self.reference = reference
        self.current = current
        self.tables = {str(name): [dict(row) for row in rows] for name, rows in (tables or {}).items()}

    @property
    def passed(self) -> bool:
        return not any(check.failed for check in self._checks)

    @property
    def checks(self) -> list[Check]:
        return list(self._checks)

    @property
    def failures(self) -> list[Check]:
        return [check for check in self._checks if check.failed]

    def rows(self) -> tuple[int | None, int | None]:
        """Row counts of the reference and current profiles, when the report has them."""
        return _rows(self.reference), _rows(self.current)

    def to_dict(self) -> dict:
        reference_rows, current_rows = self.rows()
        return {
            "passed": self.passed,
            "alpha": json_safe(self.alpha),
            "reference_rows": reference_rows,
            "current_rows": current_rows,
            "n_checks": len(self._checks),
            "n_failures": len(self.failures),
            "checks": [json_safe(_check_dict(check)) for check in self._checks],
            "tables": json_safe(self.tables),
        }

    def to_pandas(self, table: str | None = None):
        """One row per check (the interval split into two columns, scalar details as columns of their
        own), or with `table=` the named table of `tables`."""
        import pandas as pd

        if table is not None:
            if table not in self.tables:
                raise KeyError(f"no table {table!r}; the report has {sorted(self.tables)}")
            return pd.DataFrame(self.tables[table])
        base = ["family", "column", "metric", "reference", "current", "change", "p_value", "failed",
                "interval_low", "interval_high"]
        records = []
        for check in self._checks:
            record = _check_dict(check)
            interval = record.pop("interval")
            record["interval_low"], record["interval_high"] = interval if interval is not None else (None, None)
            for key, value in record.pop("details").items():
                if key not in base and (value is None or isinstance(value, (str, bool, Real))):
                    record[key] = value
            records.append(record)
        frame = pd.DataFrame.from_records(records, columns=_columns(base, records))
        for name in ("reference", "current", "change", "p_value", "interval_low", "interval_high"):
            frame[name] = pd.to_numeric(frame[name], errors="coerce").astype("float64")
        frame["failed"] = frame["failed"].astype(bool)
        return frame

    def plot(self, *, max_features: int = 6):
        """A matplotlib Figure: reference against current histograms of the failing drift features
        (from the profiles), then the change of every other metric with its interval."""
        from . import _plot

        return _plot.figure(self, max_features=max_features)

    def to_html(self, path=None, *, figure: bool = True):
        """Write the report as one self-contained HTML file at `path` and return the path; without a
        path, return the HTML text."""
        from . import _html

        text = _html.document(self, figure=figure)
        if path is None:
            return text
        path = Path(path)
        path.write_text(text, encoding="utf-8")
        return path

    def summary(self, limit: int = 10) -> str:
        """A few lines for a terminal: the verdict and the first failures."""
        reference_rows, current_rows = self.rows()
        failures = self.failures
        verdict = "PASSED" if self.passed else "FAILED"
        head = f"{verdict}: {len(failures)} of {len(self._checks)} checks failed (alpha={self.alpha:g})"
        if reference_rows is not None and current_rows is not None:
            head += f", reference {reference_rows:,} rows, current {current_rows:,} rows"
        lines = [head]
        for check in failures[:limit]:
            lines.append(f"  {check.label()}: {check.movement()}")
        if len(failures) > limit:
            lines.append(f"  ... and {len(failures) - limit} more")
        return "\n".join(lines)

    def __repr__(self) -> str:
        return f"<morvane.Report {self.summary()}>"

    def _repr_html_(self) -> str:
        from . import _html

        return _html.fragment(self, figure=False)


def _rows(profile) -> int | None:
    rows = getattr(profile, "n_rows", None)
    return int(rows) if isinstance(rows, Integral) else None


def _check_dict(check: Check) -> dict:
    return {
        "family": check.family, "column": check.column, "metric": check.metric,
        "reference": check.reference, "current": check.current, "change": check.change,
        "p_value": check.p_value, "failed": bool(check.failed),
        "interval": None if check.interval is None else (check.interval[0], check.interval[1]),
        "details": dict(check.details),
    }


def _columns(base: list[str], records: list[dict]) -> list[str]:
    extra = []
    for record in records:
        extra.extend(key for key in record if key not in base and key not in extra)
    return base + extra


def fmt(value: Any, *, p_value: bool = False) -> str:
    """A number for people: four significant digits, small p-values in scientific notation, "—" for
    an undefined value, "∞" for infinities."""
    if value is None:
        return "—"
    if isinstance(value, bool) or not isinstance(value, Real):
        return str(value)
    number = float(value)
    if math.isnan(number):
        return "—"
    if math.isinf(number):
        return "∞" if number > 0 else "−∞"
    if p_value and 0 < number < 1e-3:
        return f"{number:.1e}"
    if isinstance(value, Integral):
        return f"{int(value):,}"
    return f"{number:.4g}"
