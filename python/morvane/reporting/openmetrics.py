"""A report as Prometheus/OpenMetrics text exposition: one gauge family per quantity, a sample per
check labelled by its family, column, metric and segment plus the caller's labels, so Prometheus
(scraping node_exporter's textfile collector or a Pushgateway) and Grafana can chart and alert on it.

Names and labels follow Prometheus' rules, label values are escaped, and a value the check does not
have (None, NaN) leaves its sample out rather than exporting NaN, which would read as a number."""

from __future__ import annotations

import math
import re

LABEL_NAME = re.compile(r"[a-zA-Z_][a-zA-Z0-9_]*")
CHECK_LABELS = ("family", "column", "metric", "segment")
# (name, help, value of a check); the report-wide gauges are written by `exposition` itself.
CHECK_GAUGES = (
    ("morvane_check_failed", "1 when the check failed after the correction for the number of checks, else 0",
     lambda c: int(bool(c.failed))),
    ("morvane_check_p_value", "the check's p-value after the correction", lambda c: c.p_value),
    ("morvane_check_value", "the metric in the current window", lambda c: c.current),
    ("morvane_check_reference_value", "the metric in the reference", lambda c: c.reference),
    ("morvane_check_change", "the change from the reference (drift checks: the distance)", lambda c: c.change),
)


def user_labels(labels, reserved=CHECK_LABELS) -> dict:
    """The caller's labels as {name: text}, refusing names Prometheus does not accept (or reserves,
    `__*`) and names the checks' own labels already use."""
    out = {}
    for name, value in (labels or {}).items():
        name = str(name)
        if not LABEL_NAME.fullmatch(name) or name.startswith("__"):
            raise ValueError(f"label name {name!r} is not a valid Prometheus label name "
                             "([a-zA-Z_][a-zA-Z0-9_]*, not starting with __)")
        if name in reserved:
            raise ValueError(f"label name {name!r} is taken by the checks' own labels {', '.join(reserved)}")
        out[name] = "" if value is None else str(value)
    return out


def check_labels(check) -> dict:
    """A check's identifying labels ("" for an absent column or segment, which Prometheus reads as no label)."""
    segment = "" if check.segment is None else "/".join(map(str, check.segment))
    return {"family": check.family, "column": "" if check.column is None else str(check.column),
            "metric": check.metric, "segment": segment}


def escape_value(text: str) -> str:
    return text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def number(value) -> str | None:
    """A sample value as exposition text, or None when there is no number to export."""
    if value is None or isinstance(value, str):
        return None
    if isinstance(value, bool):
        return "1" if value else "0"
    value = float(value)
    if math.isnan(value):
        return None
    if math.isinf(value):
        return "+Inf" if value > 0 else "-Inf"
    return repr(value) if not value.is_integer() or abs(value) >= 1e15 else str(int(value))


def _sample(name: str, labels: dict, value: str) -> str:
    inside = ",".join(f'{key}="{escape_value(text)}"' for key, text in labels.items())
    return f"{name}{{{inside}}} {value}" if inside else f"{name} {value}"


def _family(name: str, help_text: str, samples: list) -> list:
    return [f"# HELP {name} {help_text}", f"# TYPE {name} gauge", *samples] if samples else []


def exposition(report, labels=None) -> str:
    """The text exposition of `report`: `morvane_report_passed`, `morvane_rows` and the per-check
    gauges, every sample carrying `labels`."""
    mine = user_labels(labels)
    current_rows = report.rows()[1]
    lines = []
    for name, help_text, value in (("morvane_report_passed", "1 when every check passed, else 0", report.passed),
                                   ("morvane_rows", "rows in the current window", current_rows),
                                   ("morvane_report_failed_checks", "checks that failed", len(report.failures))):
        text = number(value)
        lines += _family(name, help_text, [] if text is None else [_sample(name, mine, text)])
    seen, checks = set(), []
    for check in report.checks:
        key = tuple(check_labels(check).values())
        if key not in seen:  # one series per label set: a repeated one would be refused by Prometheus
            seen.add(key)
            checks.append(check)
    for name, help_text, value in CHECK_GAUGES:
        samples = []
        for check in checks:
            text = number(value(check))
            if text is not None:
                samples.append(_sample(name, {**check_labels(check), **mine}, text))
        lines += _family(name, help_text, samples)
    return "\n".join(lines + ["# EOF"]) + "\n"
