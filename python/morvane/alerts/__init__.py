"""Verdicts sent where teams look: metrics pushed to a Prometheus Pushgateway, alerts posted to
Alertmanager, Slack or any JSON webhook, with retries inside a deadline and `AlertError` when a
message cannot be delivered."""

from __future__ import annotations

import base64
import re

from morvane.alerts.delivery import AlertError, deliver
from morvane.alerts.messages import message
from morvane.reporting.openmetrics import user_labels

__all__ = ["AlertError", "notify", "push"]

PLAIN_SEGMENT = re.compile(r"[A-Za-z0-9_.\-]+")
EXPOSITION = "text/plain; version=0.0.4; charset=utf-8"


def _grouping(name: str, value: str) -> str:
    """A Pushgateway grouping-key path segment: plain, or base64url when the value holds other characters."""
    if PLAIN_SEGMENT.fullmatch(value) and value not in (".", ".."):
        return f"/{name}/{value}"
    return f"/{name}@base64/{base64.urlsafe_b64encode(value.encode('utf-8')).decode('ascii') or '='}"


def push(report, gateway: str, job: str, labels=None, *, timeout: float = 10.0) -> int:
    """Push a report's (or a timeline's last period's) metrics to a Prometheus Pushgateway under
    `job`, replacing what the same job and labels pushed before; `labels` (e.g. ``{"model":
    "churn"}``) form the grouping key, so several models share one job. Returns the HTTP status;
    raises AlertError when the gateway cannot be reached within `timeout` seconds."""
    if not isinstance(job, str) or not job:
        raise ValueError("job must be a non-empty string")
    mine = user_labels(labels, reserved=("family", "column", "metric", "segment", "job"))
    body = report.to_openmetrics().encode("utf-8")
    path = _grouping("job", job) + "".join(_grouping(name, value) for name, value in mine.items())
    url = gateway.rstrip("/") + "/metrics" + path
    return deliver(url, body, content_type=EXPOSITION, method="PUT", timeout=timeout)


def notify(report, url: str, kind: str = "alertmanager", labels=None, timeout: float = 10.0, *,
           resolved: bool = False, link: str | None = None) -> int:
    """Post the failing checks of `report` (a Report; a Timeline: the changes at its last period; a
    Change or a list of them) to `url`: kind "alertmanager" as Alertmanager's v2 alert list (to
    ``URL/api/v2/alerts`` when the URL names only the server), "slack" as an incoming-webhook message,
    "json" as the report's JSON. `resolved=True` says the checks pass again (Alertmanager's `endsAt`,
    Slack's "resolved"); `link` is added to the message (Alertmanager's `generatorURL`). Retries with
    backoff on 5xx and connection errors within `timeout` seconds, returns the HTTP status, and
    raises AlertError (naming the server, never the URL's secret path) when it cannot deliver."""
    body = message(report, kind, labels=labels, link=link, resolved=resolved)
    if kind == "alertmanager" and isinstance(url, str):
        base = url.split("?", 1)[0].rstrip("/")
        if not base.endswith("/api/v2/alerts"):
            url = base + "/api/v2/alerts"
    return deliver(url, body, content_type="application/json", timeout=timeout)
