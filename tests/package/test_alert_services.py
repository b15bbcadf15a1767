"""End to end with the real services (Debian's prometheus-pushgateway and prometheus-alertmanager,
started on 127.0.0.1): what `mv.push` sends is scraped back from the Pushgateway's /metrics, and the
alerts `mv.notify` posts are listed by Alertmanager's API, then resolved."""

import json
import shutil
import subprocess
import urllib.request

import numpy as np
import pytest

import morvane as mv

from webhooks import free_port, wait_until

parser = pytest.importorskip("prometheus_client.parser")


def get(url):
    try:
        with urllib.request.urlopen(url, timeout=2) as answer:
            return answer.read().decode()
    except OSError:
        return None


def serve(binary, args, tmp_path, ready_path):
    """Start `binary` on a free port of 127.0.0.1 and yield its base URL; skip when it is not installed."""
    path = shutil.which(binary)
    if path is None:
        pytest.skip(f"{binary} is not installed (Debian package {binary}; .ci/run installs it)")
    port = free_port()
    base = f"http://127.0.0.1:{port}"
    log = open(tmp_path / f"{binary}.log", "wb")
    process = subprocess.Popen([path, f"--web.listen-address=127.0.0.1:{port}", *args], stdout=log, stderr=log,
                               cwd=tmp_path)
    try:
        if not wait_until(lambda: get(base + ready_path) is not None or process.poll() is not None):
            pytest.fail(f"{binary} did not start")
        if process.poll() is not None:
            pytest.fail(f"{binary} exited: {(tmp_path / f'{binary}.log').read_text()[-2000:]}")
        yield base
    finally:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
        log.close()


@pytest.fixture
def pushgateway(tmp_path):
    yield from serve("prometheus-pushgateway", [], tmp_path, "/-/ready")


@pytest.fixture
def alertmanager(tmp_path):
    (tmp_path / "am.yml").write_text("route:\n  receiver: nobody\nreceivers:\n  - name: nobody\n")
    yield from serve("prometheus-alertmanager", ["--config.file=am.yml", f"--storage.path={tmp_path}",
                                                 "--cluster.listen-address="], tmp_path, "/-/ready")


@pytest.fixture(scope="module")
def reports():
    rng = np.random.default_rng(5)

    def table(shift):
        s = rng.random(700)
        return {"x": rng.normal(shift, 1, 700), "k": rng.choice(["a", "b"], 700), "score": s,
                "y": (rng.random(700) < s).astype(int)}

    reference = mv.profile(table(0.0), target="y", prediction="score", task="binary")
    failing = mv.compare(reference, mv.profile(table(0.7), like=reference))
    passing = mv.compare(reference, mv.profile(table(0.0), like=reference))
    assert not failing.passed and passing.passed
    return failing, passing


def scraped(base, **labels):
    """{(name, labels without the grouping ones): value} of the Pushgateway's samples carrying `labels`."""
    out = {}
    for family in parser.text_string_to_metric_families(get(base + "/metrics")):
        for s in family.samples:
            if s.name.startswith("morvane_") and all(s.labels.get(k) == v for k, v in labels.items()):
                rest = {k: v for k, v in s.labels.items() if k not in labels and k != "instance"}
                out[(s.name, frozenset(rest.items()))] = s.value
    return out


def test_pushed_metrics_are_scraped_back(pushgateway, reports):
    failing, passing = reports
    labels = {"model": 'churn "eu"\\west', "team": "a/b"}
    assert mv.push(failing, pushgateway, job="daily job", labels=labels) in (200, 202)
    got = scraped(pushgateway, job="daily job", **labels)
    # What was pushed, read by prometheus_client; Prometheus drops empty label values.
    expected = {(s.name, frozenset((k, v) for k, v in s.labels.items() if v)): s.value
                for family in parser.text_string_to_metric_families(failing.to_openmetrics()) for s in family.samples}
    got = {(n, frozenset((k, v) for k, v in l if v)): v for (n, l), v in got.items()}
    assert got == pytest.approx(expected) and got[("morvane_report_passed", frozenset())] == 0
    # A second push of the same job and labels replaces the first; another model's metrics stay.
    mv.push(passing, pushgateway + "/", job="daily job", labels=labels)
    mv.push(failing, pushgateway, job="daily job", labels={"model": "other"})
    assert scraped(pushgateway, job="daily job", **labels)[("morvane_report_passed", frozenset())] == 1
    assert scraped(pushgateway, job="daily job", model="other")[("morvane_report_passed", frozenset())] == 0


def test_posted_alerts_are_listed_then_resolved(alertmanager, reports):
    failing, _ = reports
    assert mv.notify(failing, alertmanager, kind="alertmanager", labels={"model": "churn"}) == 200

    def listed():
        found = json.loads(get(alertmanager + "/api/v2/alerts?filter=model%3D%22churn%22") or "[]")
        return {(a["labels"]["family"], a["labels"].get("column"), a["labels"]["metric"]): a for a in found}

    alerts = wait_until(lambda: listed() or None, 10)
    assert set(alerts) == {(c.family, c.column, c.metric) for c in failing.failures}
    assert all(a["status"]["state"] == "active" and a["labels"]["alertname"] for a in alerts.values())
    mv.notify(failing, alertmanager + "/api/v2/alerts", kind="alertmanager", labels={"model": "churn"},
              resolved=True)
    assert wait_until(lambda: not listed(), 10) and not listed()
