"""Reports and timelines as Prometheus/OpenMetrics text: both of prometheus_client's parsers read
it back, every check is one series per gauge with its labels intact (quotes, backslashes, newlines),
a value a check lacks is left out rather than written as NaN, and bad label names are refused."""

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvane as mv

parser = pytest.importorskip("prometheus_client.parser")
om_parser = pytest.importorskip("prometheus_client.openmetrics.parser")

ODD = 'q"uote \\back\nline é'


def table(seed, n=600, shift=0.0):
    rng = np.random.default_rng(seed)
    score = rng.random(n)
    x = rng.normal(shift, 1, n)
    x[rng.random(n) < 0.1] = np.nan
    return {"x": x, ODD: rng.choice(["a", "b"], n), "score": score,
            "y": (rng.random(n) < np.clip(score + shift, 0, 1)).astype(int)}


@pytest.fixture(scope="module")
def report():
    reference = mv.profile(table(0), target="y", prediction="score", task="binary")
    report = mv.compare(reference, mv.profile(table(1, shift=0.6), like=reference))
    assert not report.passed and any(c.p_value is None or c.current is None for c in report.checks)
    return report


def samples(text):
    """{(name, frozenset of labels): value} by each parser, which must agree."""
    found = []
    for parse in (parser.text_string_to_metric_families, om_parser.text_string_to_metric_families):
        found.append({(s.name, frozenset(s.labels.items())): s.value for f in parse(text) for s in f.samples})
    assert found[0] == found[1]
    return found[0]


def test_every_check_is_a_series_and_undefined_values_are_left_out(report):
    labels = {"model": ODD, "env": ""}
    got = samples(report.to_openmetrics(labels=labels))
    assert not any(math.isnan(v) for v in got.values())
    mine = {("model", ODD), ("env", "")}
    assert got[("morvane_report_passed", frozenset(mine))] == 0
    assert got[("morvane_rows", frozenset(mine))] == report.rows()[1]
    by_name = {}
    for (name, lab), value in got.items():
        by_name.setdefault(name, {})[lab] = value
    for name, attribute in (("morvane_check_failed", "failed"), ("morvane_check_p_value", "p_value"),
                            ("morvane_check_value", "current"), ("morvane_check_reference_value", "reference")):
        expected = {}
        for c in report.checks:
            value = getattr(c, attribute)
            if value is not None and not math.isnan(value):
                key = {("family", c.family), ("column", c.column or ""), ("metric", c.metric),
                       ("segment", "" if c.segment is None else "/".join(c.segment))}
                expected[frozenset(key | mine)] = float(value)
        assert by_name.get(name, {}) == pytest.approx(expected), name
    assert len(by_name["morvane_check_failed"]) == len(report.checks)
    assert any(c.column == ODD for c in report.checks)


@pytest.mark.parametrize("name", ["1x", "a-b", "__x", "family", "metric", "é"])
def test_invalid_or_taken_label_names_are_refused(report, name):
    with pytest.raises(ValueError, match="label name"):
        report.to_openmetrics(labels={name: "v"})


@settings(max_examples=40, deadline=None)
@given(st.text(max_size=20))
def test_any_label_value_reads_back(value):
    report = mv.Report([mv.Check("drift", value, "Distribution", None, None, 0.1, 0.5, False)], alpha=0.01)
    got = samples(report.to_openmetrics(labels={"model": value}))
    assert got[("morvane_check_failed", frozenset({("family", "drift"), ("column", value), ("metric", "Distribution"),
                                                   ("segment", ""), ("model", value)}))] == 0


def test_a_timeline_exports_its_last_period():
    reference = mv.profile({**table(0), "ts": np.datetime64("2025-01-01") + np.arange(600) * np.timedelta64(1, "m")},
                           target="y", prediction="score", task="binary", timestamp="ts")
    h = mv.History(reference, "1D")
    for day, shift in enumerate((0.0, 0.6)):
        t = table(10 + day, shift=shift)
        h.update({**t, "ts": np.datetime64("2025-02-01") + np.timedelta64(day, "D") + np.arange(600) *
                  np.timedelta64(1, "m")})
    tl = h.timeline()
    assert not tl.passed and tl.reports[0][2].passed
    assert tl.to_openmetrics(labels={"model": "m"}) == tl.reports[-1][2].to_openmetrics(labels={"model": "m"})
    with pytest.raises(ValueError, match="no period"):
        mv.Timeline([], alpha=0.01).to_openmetrics()
