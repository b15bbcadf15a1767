"""What a notification says, in each receiver's shape: Alertmanager's v2 alert list, a Slack
incoming-webhook message (text plus blocks) and plain JSON. A subject (a report, a timeline, one
change or several) becomes a list of `Item`s: a check, when its failure started and, once
resolved, when it ended."""

from __future__ import annotations

import json
from dataclasses import dataclass, replace
from datetime import datetime, timezone

import numpy as np

from morvane.comparing.numbers import json_safe
from morvane.reporting.changes import Change
from morvane.reporting.openmetrics import check_labels, user_labels
from morvane.reporting.report import Report
from morvane.reporting.timeline import Timeline

KINDS = ("alertmanager", "slack", "json")
ALERTNAME = "MorvaneCheckFailed"
SLACK_ITEMS = 20       # checks listed one by one in a Slack message (a message holds at most 50 blocks)
SLACK_SECTION = 2900   # characters of one Slack section (Slack refuses more than 3000)


@dataclass(frozen=True)
class Item:
    check: object            # the Check
    started: datetime | None  # when the failure started, when known
    ended: datetime | None    # when it passed again; None while it still fails
    resolved: bool
    expires: datetime | None = None  # when a failing alert lapses unless sent again


def _instant(value) -> datetime | None:
    """A period bound as an aware UTC datetime (None for row numbers)."""
    if isinstance(value, np.datetime64):
        ns = int(value.astype("datetime64[ns]").astype(np.int64))
        return datetime.fromtimestamp(ns // 10**9, timezone.utc).replace(microsecond=(ns % 10**9) // 1000)
    if isinstance(value, datetime):
        return value if value.tzinfo is not None else value.replace(tzinfo=timezone.utc)
    return None


def _change_item(change: Change, resolved: bool, now: datetime) -> Item:
    over = resolved or change.resolved is not None
    ended = (_instant(change.resolved) or now) if over else None
    return Item(change.check, _instant(change.started), ended, over)


def items(subject, kind: str, resolved: bool, now: datetime | None = None) -> list[Item]:
    """The checks a notification of `subject` names. A report: its failing checks. Changes: each one,
    resolved when it has passed again. A timeline: the changes that started or were resolved at its
    last period, and for Alertmanager (which keeps alerts only while they are re-sent) also those
    still failing."""
    now = now or datetime.now(timezone.utc)
    if isinstance(subject, Report):
        return [Item(c, None, now if resolved else None, resolved) for c in subject.failures]
    if isinstance(subject, Change):
        return [_change_item(subject, resolved, now)]
    if isinstance(subject, Timeline):
        if resolved:
            raise ValueError("resolved=True applies to a report or to changes; a timeline's changes say "
                             "themselves whether they are resolved")
        if not len(subject):
            return []
        last, end, _ = subject.reports[-1]
        # A failing alert lasts two periods: the next run sends it again, or it lapses if runs stop.
        expires = now + 2 * (_instant(end) - _instant(last)) if _instant(last) is not None else None
        return [replace(_change_item(c, False, now), expires=expires) for c in subject.changes()
                if c.started == last or c.resolved == last or (kind == "alertmanager" and c.resolved is None)]
    if isinstance(subject, (list, tuple)) and all(isinstance(c, Change) for c in subject):
        return [_change_item(c, resolved, now) for c in subject]
    raise TypeError(f"notify() takes a Report, a Timeline, a Change or a list of Changes, "
                    f"not {type(subject).__name__}")


def _time(value: datetime) -> str:
    return value.astimezone(timezone.utc).isoformat(timespec="milliseconds").replace("+00:00", "Z")


def _bound(value):
    """A period bound for JSON: an ISO time, or a row number."""
    instant = _instant(value)
    return _time(instant) if instant is not None else json_safe(value)


def _title(subject, found: list[Item], labels: dict) -> str:
    where = ", ".join(f"{k}={v}" for k, v in labels.items())
    where = f" ({where})" if where else ""
    firing = sum(not item.resolved for item in found)
    if isinstance(subject, Report):
        if not found:
            return f"morvane PASSED{where}: all {len(subject.checks)} checks passed"
        verdict = "resolved" if found[0].resolved else "FAILED"
        return f"morvane {verdict}{where}: {len(found)} of {len(subject.checks)} checks failed"
    if not found:
        return f"morvane{where}: no change"
    parts = [f"{firing} failing"] if firing else []
    if len(found) > firing:
        parts.append(f"{len(found) - firing} resolved")
    return f"morvane {'FAILED' if firing else 'resolved'}{where}: " + ", ".join(parts)


def alertmanager(subject, found: list[Item], labels: dict, link: str | None, now: datetime) -> list:
    """Alertmanager's v2 `/api/v2/alerts` body: an alert per check; a resolved one has `endsAt` (a
    timeline's failing one too, two periods ahead: Alertmanager would otherwise resolve it after
    its `resolve_timeout`, minutes, while a daily job sends it once a day)."""
    alerts = []
    for item in found:
        c = item.check
        severity = "warning" if c.details.get("severity") == "warning" else "critical"
        own = {key: value for key, value in check_labels(c).items() if value != ""}
        alert = {"labels": {"alertname": ALERTNAME, "severity": severity, **own, **labels},
                 "annotations": {"summary": f"{c.label()}: {c.movement()}",
                                 "description": f"morvane check {c.label()} failed: {c.movement()}"
                                                + (f"; failing since {_time(item.started)}" if item.started else "")}}
        if item.started is not None or not item.resolved:
            alert["startsAt"] = _time(item.started or now)
        if item.resolved or item.expires is not None:
            alert["endsAt"] = _time(item.ended or now) if item.resolved else _time(item.expires)
        if link:
            alert["generatorURL"] = link
        alerts.append(alert)
    return alerts


def _slack_escape(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def slack(subject, found: list[Item], labels: dict, link: str | None, now: datetime) -> dict:
    """A Slack incoming-webhook message: a one-line `text` (what notifications show) and `blocks`
    naming each check with its change and p-value, and the link when given."""
    title = _title(subject, found, labels)
    icon = ":large_green_circle:" if all(item.resolved for item in found) else ":red_circle:"
    blocks = [{"type": "section", "text": {"type": "mrkdwn", "text": f"{icon} *{_slack_escape(title)}*"}}]
    for item in found[:SLACK_ITEMS]:
        c = item.check
        state = "resolved" if item.resolved else "failing"
        since = f" since {_time(item.started)}" if item.started else ""
        text = f"*{_slack_escape(c.label())}* ({state}{since}): {_slack_escape(c.movement('→'))}"
        blocks.append({"type": "section", "text": {"type": "mrkdwn", "text": text[:SLACK_SECTION]}})
    if len(found) > SLACK_ITEMS:
        blocks.append({"type": "context", "elements": [
            {"type": "mrkdwn", "text": f"… and {len(found) - SLACK_ITEMS} more"}]})
    if link:
        blocks.append({"type": "section", "text": {"type": "mrkdwn", "text": f"<{link}|Open the report>"}})
    text = f"{title}: " + "; ".join(f"{item.check.label()} {item.check.movement('→')}" for item in found[:5]) \
        if found else title
    return {"text": text[:SLACK_SECTION], "blocks": blocks}


def _change_dict(item: Item) -> dict:
    c = item.check
    return {"family": c.family, "column": c.column, "metric": c.metric, "segment": json_safe(c.segment),
            "started": None if item.started is None else _time(item.started),
            "resolved": None if not item.resolved else _time(item.ended),
            "p_value": json_safe(c.p_value), "change": json_safe(c.change)}


def plain(subject, found: list[Item], labels: dict, link: str | None, now: datetime) -> dict:
    """JSON: a report's `to_dict()` (with `labels`, `link` and `resolved` added when given); for a
    timeline, its last period's report with the period's bounds and the changes; for changes, a list."""
    if isinstance(subject, Report):
        body = subject.to_dict()
    elif isinstance(subject, Timeline) and len(subject):
        start, end, report = subject.reports[-1]
        body = {"start": _bound(start), "end": _bound(end), **report.to_dict(),
                "changes": [_change_dict(item) for item in found]}
    else:
        body = {"changes": [_change_dict(item) for item in found]}
    extra = {"labels": labels or None, "link": link, "resolved": any(item.resolved for item in found) or None}
    return {**body, **{key: value for key, value in extra.items() if value is not None}}


BUILDERS = {"alertmanager": alertmanager, "slack": slack, "json": plain}


def message(subject, kind: str, *, labels=None, link=None, resolved=False) -> bytes:
    """The body of a notification of `subject` for a receiver of `kind`, as UTF-8 JSON."""
    if kind not in KINDS:
        raise ValueError(f"kind must be one of {', '.join(KINDS)}, got {kind!r}")
    mine = user_labels(labels, reserved=("family", "column", "metric", "segment"))
    now = datetime.now(timezone.utc)
    found = items(subject, kind, bool(resolved), now)
    body = BUILDERS[kind](subject, found, mine, link, now)
    return json.dumps(body, allow_nan=False, ensure_ascii=False).encode("utf-8")
