"""A timeline compares every period with the reference: its table has one row per period and check,
the run-level correction rejects exactly Holm's periods, the figure draws each failing metric, and
the dashboard is one self-contained file that headless Chromium renders with its status strip."""

import shutil

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

import morvane as mv
from morvane.history import History
from morvane.reporting import timeline as tl_module

from test_history import frame
from test_html import Elements, chromium, has_colour, needs_chromium

RED, GREEN = (198, 40, 40), (46, 125, 50)
DRIFTED = (3, 7)  # days whose x is shifted


@pytest.fixture(scope="module")
def history():
    reference = mv.profile(frame(6000, 0), target="y", prediction="score", task="binary", timestamp="ts")
    h = History(reference, "1D")
    for day in range(10):
        part = frame(1500, 20 + day, days=1, shift=0.5 if day in DRIFTED else 0.0)
        h.update(part.assign(ts=part.ts + np.timedelta64(day, "D")))
    return h


def test_each_period_is_its_report(history):
    tl = history.timeline(alpha=0.01)
    assert len(tl) == 10 and [(s, e) for s, e, _ in tl.reports] == history.periods
    failing = [i for i, (_, _, r) in enumerate(tl.reports) if not r.passed]
    assert failing == list(DRIFTED) and not tl.passed
    for (start, end, report), (_, _, p) in zip(tl.reports, history.profiles()):
        expected = mv.compare(history.reference, p, alpha=0.01)
        assert [(c.metric, c.column, c.p_value, c.failed) for c in report.checks] == \
            [(c.metric, c.column, c.p_value, c.failed) for c in expected.checks]
    frame_ = tl.to_pandas()
    assert list(frame_.columns[:11]) == ["start", "end", "family", "column", "segment", "metric", "reference",
                                         "current", "p_value", "failed", "estimated"]
    assert len(frame_) == sum(len(r.checks) for _, _, r in tl.reports)
    assert frame_.groupby("start")["failed"].any().to_numpy().nonzero()[0].tolist() == list(DRIFTED)
    assert not frame_["estimated"].any() and frame_["segment"].isna().all()
    drift = frame_[(frame_.family == "drift") & (frame_.column == "x")]
    assert drift.failed.tolist() == [i in DRIFTED for i in range(10)]


def holm_oracle(q, alpha):
    """Holm's step-down on p-values q: the set of rejected indices."""
    order = sorted(range(len(q)), key=lambda i: q[i])
    out = set()
    for rank, i in enumerate(order):
        if q[i] > alpha / (len(q) - rank):
            break
        out.add(i)
    return out


class Stub:
    def __init__(self, passed):
        self.passed = passed


@settings(max_examples=60, deadline=None)
@given(st.lists(st.floats(1e-6, 1.0), min_size=1, max_size=30), st.sampled_from([0.01, 0.05, 0.2]))
def test_run_correction_is_holm_over_the_periods(q, alpha):
    """A stub period fails at a level exactly when its smallest failing level q is at most it."""
    periods = [(i, i + 1, qi) for i, qi in enumerate(q)]
    original = tl_module.compare
    tl_module.compare = lambda reference, p, alpha, checks: Stub(p > alpha)
    try:
        reports, levels = tl_module._holm(None, periods, alpha, None)
    finally:
        tl_module.compare = original
    assert {i for i, r in enumerate(reports) if not r.passed} == holm_oracle(q, alpha)
    assert all(level <= alpha for level in levels)


def test_run_correction_keeps_strong_drift(history):
    corrected = history.timeline(alpha=0.01, correction="holm")
    assert [i for i, (_, _, r) in enumerate(corrected.reports) if not r.passed] == list(DRIFTED)
    assert min(corrected.levels) == pytest.approx(0.01 / 10) and max(corrected.levels) == 0.01
    with pytest.raises(ValueError):
        history.timeline(correction="bonferroni")


def test_figure_draws_each_failing_metric(history):
    pytest.importorskip("matplotlib")
    tl = history.timeline()
    failing = tl.failing_series()
    assert failing and all(any(c.failed for _, _, c in items) for _, items in failing)
    fig = tl.plot()
    assert len(fig.axes) == min(len(failing), tl_module.MAX_PANELS)
    ax = fig.axes[0]
    (family, column, _, metric), items = failing[0]
    assert metric in ax.get_title() and column in ax.get_title()
    dots = sum(len(c.get_offsets()) for c in ax.collections if hasattr(c, "get_offsets") and
               len(np.atleast_2d(c.get_offsets())[0]) == 2)
    assert dots >= len(items)  # every period is a point (plus the interval lines)


def test_dashboard_is_self_contained(history, tmp_path):
    pytest.importorskip("matplotlib")
    tl = history.timeline()
    path = tl.to_html(tmp_path / "dash.html")
    text = path.read_text(encoding="utf-8")
    page = Elements(text)
    tags = [tag for tag, _ in page.tags]
    assert "script" not in tags and "link" not in tags and "iframe" not in tags
    for _, attrs in page.tags:
        for name in ("src", "href"):
            assert attrs.get(name) is None or attrs[name].startswith(("data:", "#")), attrs[name][:40]
    cells = [attrs["class"] for tag, attrs in page.tags if tag == "a" and "title" in attrs]
    assert cells == ["failed" if i in DRIFTED else "passed" for i in range(10)]
    anchors = [attrs["id"] for tag, attrs in page.tags if attrs.get("id", "").startswith("period-")]
    assert anchors == [f"period-{i}" for i in DRIFTED]


@needs_chromium
def test_chromium_renders_the_dashboard(history, tmp_path):
    pytest.importorskip("matplotlib")
    from matplotlib.image import imread

    path = history.timeline().to_html(tmp_path / "dash.html")
    shot = tmp_path / "shot.png"
    chromium(f"--screenshot={shot}", "--window-size=1200,1600", path.as_uri(), tmp_path=tmp_path)
    pixels = np.round(imread(shot)[..., :3] * 255).astype(int)
    assert has_colour(pixels[:150], RED, 20_000)  # the banner
    strip = pixels[150:320]
    assert has_colour(strip, GREEN, 8 * 10 * 20) and has_colour(strip, RED, 2 * 10 * 20)
    words = " ".join(" ".join(Elements(chromium("--dump-dom", path.as_uri(), tmp_path=tmp_path)).text).split())
    assert "2 of 10 periods failed" in words and "2024-03-04 – 2024-03-05" in words and "Failing periods" in words


@pytest.mark.parametrize("correction", [None, "holm"])
def test_worker_processes_give_the_same_reports(history, correction):
    one = history.timeline(correction=correction)
    two = history.timeline(correction=correction, processes=2)
    assert two.levels == one.levels
    for (s1, e1, r1), (s2, e2, r2) in zip(one.reports, two.reports):
        assert (s1, e1) == (s2, e2) and r1.checks == r2.checks and r1.tables == r2.tables
        assert r2.current is not None and r2.current == r1.current and r2.reference is history.reference
