"""Notifications against a local server: the JSON kind posts the report's JSON, Slack gets text and
blocks naming each failing check with its change and p-value, Alertmanager alerts carry startsAt and,
resolved, endsAt; server errors and refused connections are retried within the timeout, other
statuses are not, silent or trickling servers never hold the caller past it, and neither errors nor
logs ever show the webhook's secret path. Timeline.changes lists each run of failures once."""

import json
import logging
import time

import numpy as np
import pytest

import morvane as mv
from morvane.reporting.timeline import Timeline

from webhooks import Receiver, free_port

SECRET = "/services/T000/B000/s3cr3tT0ken"


@pytest.fixture
def receiver():
    r = Receiver()
    yield r
    r.close()


@pytest.fixture(scope="module")
def report():
    rng = np.random.default_rng(0)

    def table(shift):
        s = rng.random(800)
        return {"x": rng.normal(shift, 1, 800), "c": rng.choice(["a", "<b&c>"], 800), "score": s,
                "y": (rng.random(800) < np.clip(s + shift, 0, 1)).astype(int)}

    reference = mv.profile(table(0.0), target="y", prediction="score", task="binary")
    report = mv.compare(reference, mv.profile(table(0.5), like=reference))
    assert len(report.failures) >= 2
    return report


def test_json_slack_and_alertmanager_bodies(receiver, report):
    assert mv.notify(report, receiver.url + "/hook", kind="json") == 200
    assert receiver.json() == json.loads(json.dumps(report.to_dict()))
    assert receiver.received[-1][2]["Content-Type"] == "application/json"

    mv.notify(report, receiver.url + SECRET, kind="slack", labels={"model": "churn"}, link="https://x.example/r")
    message = receiver.json()
    assert "FAILED" in message["text"] and "model=churn" in message["text"]
    texts = [b["text"]["text"] for b in message["blocks"] if b["type"] == "section"]
    for c in report.failures:  # each failing check with its movement (change and p-value), Slack-escaped
        escaped = c.label().replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
        assert any(escaped in t and c.movement("→").split("p=")[1].rstrip(")") in t for t in texts), c.label()
    assert "<https://x.example/r|" in texts[-1] and not any("<b&c>" in t for t in texts)

    assert mv.notify(report, receiver.url, kind="alertmanager", labels={"model": "churn"}) == 200
    method, path, _, _ = receiver.received[-1]
    alerts = receiver.json()
    assert (method, path) == ("POST", "/api/v2/alerts") and len(alerts) == len(report.failures)
    assert all(a["labels"]["model"] == "churn" and a["labels"]["alertname"] and "startsAt" in a
               and "endsAt" not in a and a["annotations"]["summary"] for a in alerts)
    mv.notify(report, receiver.url + "/api/v2/alerts", kind="alertmanager", resolved=True)
    assert all("endsAt" in a for a in receiver.json()) and receiver.received[-1][1] == "/api/v2/alerts"


def test_server_errors_are_retried_until_success(receiver, report):
    receiver.replies = [503, 500, 429, 201]
    assert mv.notify(report, receiver.url + SECRET, kind="json", timeout=20) == 201
    assert len(receiver.received) == 4


@pytest.mark.parametrize("replies,status,attempts", [([404], 404, 1), ([302], 302, 1), ([502] * 200, 502, None)])
def test_undeliverable_names_the_host_and_status_never_the_secret(receiver, report, caplog, replies, status,
                                                                  attempts):
    receiver.replies = list(replies)
    url = receiver.url.replace("http://", "http://user:pw@") + SECRET + "?token=hidden"
    with caplog.at_level(logging.DEBUG, logger="morvane"), pytest.raises(mv.AlertError) as info:
        mv.notify(report, url, kind="slack", timeout=1.5)
    error = info.value
    assert error.status == status and f"last status {status}" in str(error)
    assert receiver.url in str(error) and (attempts is None or error.attempts == attempts == len(receiver.received))
    shown = str(error) + repr(error) + caplog.text + repr(error.__context__) + repr(error.__cause__)
    for secret in ("s3cr3tT0ken", "hidden", "pw"):
        assert secret not in shown
    assert error.attempts > 1 or attempts == 1


@pytest.mark.parametrize("reply", ["silent", "trickle", "refused"])
def test_unreachable_or_slow_servers_fail_within_the_timeout(receiver, report, reply):
    url = f"http://127.0.0.1:{free_port()}" if reply == "refused" else receiver.url
    receiver.replies = [reply] * 50
    began = time.monotonic()
    with pytest.raises(mv.AlertError, match="no answer") as info:
        mv.notify(report, url + SECRET, kind="json", timeout=0.8)
    assert time.monotonic() - began < 5.0  # not a speed target: without the deadline this waits forever
    assert info.value.status is None and "s3cr3t" not in str(info.value)


def test_bad_arguments_are_refused_before_sending(report):
    for url, kind, error in (("ftp://h/x", "json", ValueError), ("http://h", "pager", ValueError),
                             (None, "json", TypeError)):
        with pytest.raises(error):
            mv.notify(report, url, kind=kind)
    with pytest.raises(ValueError, match="label name"):
        mv.notify(report, "http://127.0.0.1:9", labels={"bad-name": "x"})
    with pytest.raises(TypeError, match="Report"):
        mv.notify("text", "http://127.0.0.1:9")


def timeline_of(patterns, day=None):
    """A timeline whose check k fails in period i when patterns[k][i] == "F" ("." : absent that period);
    periods are numbered, or days from `day`."""
    reports = []
    at = (lambda i: i) if day is None else (lambda i: np.datetime64(day, "ns") + np.timedelta64(i, "D"))
    for i in range(len(patterns[0])):
        checks = [mv.Check("drift", f"c{k}", "Distribution", None, None, 0.1, 0.001 if p[i] == "F" else 0.5,
                           p[i] == "F") for k, p in enumerate(patterns) if p[i] != "."]
        reports.append((at(i), at(i + 1), mv.Report(checks, alpha=0.01)))
    return Timeline(reports, alpha=0.01)


@pytest.mark.parametrize("pattern,runs", [
    ("PPPP", []), ("FFPF", [(0, 2), (3, None)]), ("PFFF", [(1, None)]), ("F.PF", [(0, 2), (3, None)]),
    ("FF.F", [(0, None)]), ("PF.P", [(1, 3)]), ("F", [(0, None)]),
])
def test_changes_are_runs_of_failing_periods(pattern, runs):
    changes = timeline_of([pattern]).changes()
    assert [(c.started, c.resolved) for c in changes] == runs
    assert all((c.family, c.column, c.metric, c.segment) == ("drift", "c0", "Distribution", None) for c in changes)
    assert all(c.check.failed for c in changes)


def test_a_timeline_notifies_each_change_once(receiver):
    tl = timeline_of(["PFFF", "FFFP", "PPPF", "FPPP"])
    mv.notify(tl, receiver.url, kind="slack")
    listed = [b["text"]["text"] for b in receiver.json()["blocks"][1:]]
    # At the last period c1 passes again and c2 starts failing; c0 still fails (already told), c3 is old news.
    assert len(listed) == 2 and "c1" in listed[0] + listed[1] and "c2" in listed[0] + listed[1]
    assert "1 failing, 1 resolved" in receiver.json()["text"]
    mv.notify(tl, receiver.url, kind="alertmanager")
    alerts = {a["labels"]["column"]: a for a in receiver.json()}
    assert set(alerts) == {"c0", "c1", "c2"} and "endsAt" in alerts["c1"] and "endsAt" not in alerts["c0"]
    mv.notify(tl, receiver.url, kind="json")
    body = receiver.json()
    assert body["passed"] is False and body["start"] == 3 and {c["column"] for c in body["changes"]} == {"c1", "c2"}
    change = tl.changes()[0]
    mv.notify(change, receiver.url, kind="json", resolved=True)
    assert receiver.json()["changes"][0]["column"] == change.column and receiver.json()["resolved"] is True
    # Days: the alert that still fails lasts two days (a daily job re-sends it), started on its first day.
    mv.notify(timeline_of(["PFFF", "FFFP"], day="2025-03-01"), receiver.url, kind="alertmanager")
    alerts = {a["labels"]["column"]: a for a in receiver.json()}
    lasting = np.datetime64(alerts["c0"]["endsAt"][:-1]) - np.datetime64("now")
    assert np.timedelta64(47, "h") < lasting < np.timedelta64(49, "h")
    assert alerts["c0"]["startsAt"] == "2025-03-02T00:00:00.000Z" and alerts["c1"]["endsAt"].startswith("2025-03-04")


def test_index_page_lists_the_models_with_their_strips(tmp_path):
    rng = np.random.default_rng(3)

    def day(d, shift=0.0, n=400):
        return {"x": rng.normal(shift, 1, n), "ts": np.datetime64("2025-01-01") + np.timedelta64(d, "D")
                + rng.integers(0, 86_400, n).astype("timedelta64[s]")}

    reference = mv.profile(day(-1, n=3000), timestamp="ts")
    steady, broken = mv.History(reference, "1D"), mv.History(reference, "1D", path=tmp_path / "broken.sqlite")
    for d in range(4):
        steady.update(day(d))
        broken.update(day(d, shift=1.0 if d == 2 else 0.0))
    broken.close()
    page = mv.index_html({"steady <model>": steady, "broken": tmp_path / "broken.sqlite"}, tmp_path / "index.html")
    html = page.read_text()
    assert html.index("broken") < html.index("steady &lt;model&gt;") and "1 of 2 models failing" in html
    assert html.count('class="failed"') == 1 and html.count('class="passed"') == 7
    assert 'href="index.broken.html#period-2"' in html and 'href="index.steady-model.html"' in html
    assert "<h1>FAILED</h1>" in (tmp_path / "index.broken.html").read_text()
    assert "<h1>PASSED</h1>" in (tmp_path / "index.steady-model.html").read_text()
    with pytest.raises(TypeError, match="History"):
        mv.index_html({"m": 3}, tmp_path / "x.html")
