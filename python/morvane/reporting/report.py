"""The result of comparing two profiles: a list of checks and the views people read them through
(a dict for JSON, a DataFrame, a figure, one HTML file, a notebook representation)."""

from __future__ import annotations

from numbers import Integral, Real
from pathlib import Path

from morvane.comparing.checks import Check
from morvane.comparing.compare import run_checks
from morvane.comparing.explain import explain as explain_bins, explainable
from morvane.comparing.numbers import json_safe
from morvane.reporting import html, openmetrics, plot


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
        """False when any check failed after the correction for the number of checks (a rule of
        severity "warning" never fails the report)."""
        return not any(check.failed and check.details.get("severity") != "warning" for check in self._checks)

    @property
    def checks(self) -> list[Check]:
        """Every check, family by family."""
        return list(self._checks)

    @property
    def failures(self) -> list[Check]:
        """The checks that failed."""
        return [check for check in self._checks if check.failed]

    def rows(self) -> tuple[int | None, int | None]:
        """Row counts of the reference and current profiles, when the report has them."""
        return _rows(self.reference), _rows(self.current)

    def to_dict(self) -> dict:
        """The report as JSON-safe data (no NaN or infinity): the verdict, every check, the tables."""
        reference_rows, current_rows = self.rows()
        return {
            "passed": self.passed,
            "alpha": json_safe(self.alpha),
            "reference_rows": reference_rows,
            "current_rows": current_rows,
            "n_checks": len(self._checks),
            "n_failures": len(self.failures),
            "estimated": any(c.details.get("estimated", False) for c in self._checks),
            "notes": self.notes(),
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

    def explain(self, top: int | None = 10):
        """`mv.explain(reference, current, top)` at the report's alpha: the feature bins that explain
        the window's performance change. ValueError unless both profiles were made with explain=True."""
        if self.reference is None or self.current is None:
            raise ValueError("this report does not hold its profiles: use mv.explain(reference, current)")
        return explain_bins(self.reference, self.current, top=top, alpha=self.alpha)

    def explainable(self) -> bool:
        """Whether both profiles keep the outcomes by bin that `explain()` reads."""
        return explainable(self.reference, self.current)

    def plot(self, *, max_features: int = 6):
        """A matplotlib Figure: reference against current histograms of the failing drift features
        (from the profiles), then the change of every other metric with its interval."""
        return plot.figure(self, max_features=max_features)

    def to_html(self, path=None, *, figure: bool = True):
        """Write the report as one self-contained HTML file at `path` and return the path; without a
        path, return the HTML text."""
        text = html.document(self, figure=figure)
        if path is None:
            return text
        path = Path(path)
        path.write_text(text, encoding="utf-8")
        return path

    def to_openmetrics(self, labels=None) -> str:
        """The report as Prometheus/OpenMetrics text exposition: gauges `morvane_report_passed`,
        `morvane_rows`, and per check `morvane_check_failed`, `morvane_check_p_value`,
        `morvane_check_value`, `morvane_check_reference_value` (labelled by family, column, metric and
        segment), every sample also carrying `labels` (e.g. ``{"model": "churn"}``). A value the check
        does not have is left out, never exported as NaN."""
        return openmetrics.exposition(self, labels)

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
        lines += [f"  note: {note}" for note in self.notes()]
        return "\n".join(lines)

    def notes(self) -> list[str]:
        """What the reader must know beside the verdicts: performance estimated from scores (the
        window has no labels yet), or not estimated and why, scores that are not calibrated, and checks
        that can never fail because the reference is too small for their test."""
        estimated = [c for c in self._checks if c.details.get("estimated")]
        notes = []
        if any(c.current is not None for c in estimated):
            notes.append("performance estimated from the window's scores (no labels yet), assuming the "
                         "reference's relation between scores and outcomes")
        held = [c for c in self._checks if c.details.get("estimate_held") is not None]
        if held:
            missed = [c.metric for c in held if not c.details["estimate_held"]]
            notes.append(f"the estimate made from the scores before the labels arrived held for {len(held) - len(missed)} "
                         f"of {len(held)} metrics" + (f"; it missed {', '.join(missed)}: the relation between "
                                                      "scores and outcomes has changed" if missed else ""))
        for c in estimated:
            reason = c.details.get("not_estimated")
            warning = (c.details.get("calibration") or {}).get("warning")
            for note in (f"performance not estimated: {reason}" if reason else None, warning):
                if note and note not in notes:
                    notes.append(note)
        reference_rows, current_rows = self.rows()
        # Checks that should carry a test but have none (the row count's check is a rule, not a test): with
        # rows in the window, it is the reference that lacks the values their tests need.
        untested = sum(c.p_value is None and not c.details.get("estimated") and (c.family, c.metric) != ("data", "Rows")
                       for c in self._checks)
        if untested and current_rows:
            notes.append(f"{untested} of {len(self._checks)} checks have no test and can never fail: the reference "
                         f"({reference_rows} rows) has too few values for them")
        return notes

    def __repr__(self) -> str:
        return f"<morvane.Report {self.summary()}>"

    def _repr_html_(self) -> str:
        return html.fragment(self, figure=False)


def _rows(profile) -> int | None:
    rows = getattr(profile, "n_rows", None)
    return int(rows) if isinstance(rows, Integral) else None


def _check_dict(check: Check) -> dict:
    return {
        "family": check.family, "column": check.column, "segment": check.segment, "metric": check.metric,
        "reference": check.reference, "current": check.current, "change": check.change,
        "p_value": check.p_value, "failed": bool(check.failed),
        "interval": None if check.interval is None else (check.interval[0], check.interval[1]),
        "estimated": bool(check.details.get("estimated", False)),
        "details": dict(check.details),
    }


def _columns(base: list[str], records: list[dict]) -> list[str]:
    extra = []
    for record in records:
        extra.extend(key for key in record if key not in base and key not in extra)
    return base + extra


def compare(reference, current, alpha=0.01, checks=None, *, min_effect=None, weights=None) -> Report:
    """Compare a current profile with its reference.

    Every check (families "data", "drift", "performance", "bias") carries a statistical test that
    accounts for both sample sizes, and a weighted Holm correction over the report's distinct
    hypotheses makes the whole report raise a false alarm with probability at most ``alpha`` when both
    tables come from one distribution. ``checks`` narrows the families or metrics (``["performance"]``, ``["Accuracy"]``).
    ``min_effect`` ({metric or family: floor}) makes a check test that the change toward worse exceeds
    the floor (metrics in their units, data checks in rates, drift as the total variation distance);
    ``weights`` ({column: weight}) shares the drift family's alpha among the columns.

    Returns a ``Report``: ``passed``, ``checks``, ``failures``, ``to_dict()``, ``to_pandas()``,
    ``plot()``, ``to_html(path)``. Raises ``TypeError`` when either argument is not a profile (profile a
    table first with ``mv.profile(table, like=reference)``), ``MismatchError`` when the profiles do not
    share a layout, ``ValueError`` for an alpha outside (0, 1) or an unknown check name.

    >>> report = mv.compare(reference, mv.profile(today, like=reference), alpha=0.01)
    >>> print(report.summary())
    """
    found, tables = run_checks(reference, current, alpha=alpha, checks=checks, min_effect=min_effect,
                               weights=weights)
    return Report(found, alpha=alpha, reference=reference, current=current, tables=tables)
