"""Report views: the JSON form never holds NaN or infinity and keeps every check, the DataFrame has one
typed row per check, the figure draws the shares the profiles hold, and the summary names the failures.
Profiles here are small stand-ins with the members a report reads (n_rows, histogram, missing)."""

import json
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morvane as mv
from morvane import Check, Report


class Stub:
    """A profile as far as a report is concerned."""

    def __init__(self, n_rows, histograms, missing=None):
        self.n_rows, self.histograms, self.missing_counts = n_rows, histograms, missing or {}

    def histogram(self, column):
        return self.histograms[column]

    def missing(self, column):
        return self.missing_counts.get(column, 0)


EDGES = np.array([0.0, 1.0, 2.0])
REFERENCE = Stub(1000, {"x": (EDGES, np.array([100, 400, 400, 100])), "city": (["a", "b"], np.array([600, 300, 100]))},
                 {"x": 10})
CURRENT = Stub(200, {"x": (EDGES, np.array([10, 40, 50, 100])), "city": (["a", "b"], np.array([20, 30, 150]))},
               {"city": 5})

numbers = st.one_of(st.none(), st.floats(allow_nan=True, allow_infinity=True), st.integers(-10**20, 10**20),
                    st.floats(width=32).map(np.float32), st.integers(-5, 5).map(np.int64))
names = st.one_of(st.none(), st.text(max_size=8))
checks = st.builds(
    Check, family=st.sampled_from(["drift", "performance", "bias"]), column=names, metric=st.text(min_size=1, max_size=8),
    reference=numbers, current=numbers, change=numbers, p_value=numbers, failed=st.booleans(),
    interval=st.one_of(st.none(), st.tuples(numbers, numbers)),
    details=st.dictionaries(st.text(max_size=5), st.one_of(numbers, st.lists(numbers, max_size=3),
                                                           st.builds(np.array, st.lists(st.floats(), max_size=3)))))


def expected(value):
    """What the JSON form promises for one number."""
    if value is None or isinstance(value, (int, np.integer)):
        return None if value is None else int(value)
    value = float(value)
    return None if math.isnan(value) else ("inf" if value == math.inf else "-inf" if value == -math.inf else value)


@settings(max_examples=200, deadline=None)
@given(st.lists(checks, max_size=6), st.dictionaries(st.text(max_size=5), st.lists(st.dictionaries(
    st.text(max_size=4), numbers, max_size=3), max_size=3), max_size=2))
def test_dict_is_strict_json_and_keeps_every_check(items, tables):
    report = Report(items, alpha=0.01, tables=tables)
    data = json.loads(json.dumps(report.to_dict(), allow_nan=False))
    assert data["passed"] is (not any(c.failed for c in items)) is report.passed
    assert data["n_failures"] == len(report.failures) == sum(c.failed for c in items)
    assert report.failures == [c for c in items if c.failed]
    assert len(data["checks"]) == len(items)
    for check, got in zip(items, data["checks"]):
        assert (got["family"], got["column"], got["metric"], got["failed"]) == (
            check.family, check.column, check.metric, check.failed)
        for key in ("reference", "current", "change", "p_value"):
            assert got[key] == expected(getattr(check, key)), key
        assert got["interval"] == (None if check.interval is None else [expected(v) for v in check.interval])
        assert set(got["details"]) == set(check.details)
    assert set(data["tables"]) == set(tables)


def test_dataframe_has_one_typed_row_per_check():
    items = [Check("drift", "x", "ChiSquare", None, None, None, 1e-6, True, details={"JensenShannon": 0.2}),
             Check("performance", None, "Accuracy", 0.9, 0.8, -0.1, 0.004, True, interval=(-0.15, -0.05)),
             Check("bias", "sex", "DisparateImpact", 1.0, math.inf, None, None, False)]
    report = Report(items, alpha=0.05, tables={"classes": [{"class": "a", "recall": 0.5}]})
    assert len(set(items + items)) == 3  # checks hash despite their details dict
    frame = report.to_pandas()
    assert list(frame.columns[:10]) == ["family", "column", "metric", "reference", "current", "change", "p_value",
                                        "failed", "interval_low", "interval_high"]
    assert frame["failed"].tolist() == [True, True, False]
    assert frame["interval_low"].tolist()[1] == -0.15 and math.isnan(frame["interval_low"][0])
    assert frame["current"].dtype == np.float64 and frame["current"][2] == math.inf
    assert frame["JensenShannon"][0] == 0.2 and frame["JensenShannon"][1:].isna().all()
    assert report.to_pandas("classes").to_dict("records") == [{"class": "a", "recall": 0.5}]
    with pytest.raises(KeyError, match="classes"):
        report.to_pandas("per group")


def test_objects_other_than_checks_are_refused():
    with pytest.raises(TypeError, match="Check objects, not dict"):
        Report([{"family": "drift"}], alpha=0.01)


def drift(column, failed=True):
    return Check("drift", column, "ChiSquare", None, None, None, 1e-9 if failed else 0.7, failed)


def shares(counts, missing):
    values = np.append(np.asarray(counts, dtype=float), missing)
    return values / values.sum()


def bar_heights(axes):
    """Heights of the reference and current bars of one panel, in drawing order."""
    containers = axes.containers
    assert len(containers) == 2
    return [np.array([bar.get_height() for bar in container]) for container in containers]


def test_figure_draws_the_failing_features_shares_and_the_metric_changes():
    pytest.importorskip("matplotlib")
    items = [drift("x"), drift("city"), drift("quiet", failed=False), drift("unknown"),
             Check("performance", None, "Accuracy", 0.9, 0.8, -0.1, 1e-4, True, interval=(-0.15, -0.05)),
             Check("performance", None, "F1Score", 0.9, 0.9, 0.0, 0.9, False)]
    figure = Report(items, alpha=0.01, reference=REFERENCE, current=CURRENT).plot()
    panels = figure.get_axes()
    # Failing features the profiles know ("unknown" is not one), then the change panel.
    assert [axes.get_title().split()[0] for axes in panels[:2]] == ["x", "city"] and len(panels) == 3
    ref, cur = bar_heights(panels[0])  # continuous: 4 bins, missing present in the reference
    np.testing.assert_allclose(ref, shares([100, 400, 400, 100], 10))
    np.testing.assert_allclose(cur, shares([10, 40, 50, 100], 0))
    assert [t.get_text() for t in panels[0].get_xticklabels()] == ["0", "1", "2", "missing"]
    ref, cur = bar_heights(panels[1])  # categorical: a, b, other, missing
    np.testing.assert_allclose(cur, shares([20, 30, 150], 5))
    assert [t.get_text() for t in panels[1].get_xticklabels()] == ["a", "b", "other", "missing"]
    assert [t.get_text() for t in panels[2].get_yticklabels()] == ["Accuracy", "F1Score"]
    assert panels[2].get_title().startswith("Performance")


def test_figure_without_profiles_or_changes_still_says_so():
    pytest.importorskip("matplotlib")
    figure = Report([drift("x")], alpha=0.01).plot()
    (axes,) = figure.get_axes()
    assert "No failing feature" in axes.texts[0].get_text()
    assert figure._suptitle.get_text() == "FAILED: 1 of 1 checks failed"


def test_summary_and_repr_name_the_failures():
    items = [drift(f"f{i}") for i in range(12)] + [drift("ok", failed=False)]
    report = Report(items, alpha=0.01, reference=REFERENCE, current=CURRENT)
    lines = report.summary(limit=3).splitlines()
    assert lines[0] == "FAILED: 12 of 13 checks failed (alpha=0.01), reference 1,000 rows, current 200 rows"
    assert lines[1:] == ["  drift · f0 · ChiSquare: change —, p=1.0e-09", "  drift · f1 · ChiSquare: change —, p=1.0e-09",
                         "  drift · f2 · ChiSquare: change —, p=1.0e-09", "  ... and 9 more"]
    accuracy = Check("performance", None, "Accuracy", 0.91, 0.84, -0.07, 0.0021, True)
    assert Report([accuracy], alpha=0.01).summary().splitlines()[1] == (
        "  performance · Accuracy: 0.91 -> 0.84 (change -0.07, p=0.0021)")
    assert repr(Report([drift("ok", False)], alpha=0.01)) == "<morvane.Report PASSED: 0 of 1 checks failed (alpha=0.01)>"


@pytest.fixture
def rng():
    return np.random.default_rng(20261207)


def real_profiles(task, rng, n=3000):
    """A reference and a current profile of `task`; the current window has "x" shifted, a missing share
    in "x", and worse predictions."""
    def table(shift, accuracy):
        y = rng.integers(0, 3 if task == "multiclass" else 2, n)
        if task == "regression":
            y = rng.normal(10, 2, n)
            p = y + rng.normal(0, 1 / accuracy, n)
        else:
            p = np.where(rng.random(n) < accuracy, y, (y + 1) % (3 if task == "multiclass" else 2))
        x = rng.normal(size=n) + shift
        x[: int(shift * 100)] = np.nan
        return {"x": x, "c": rng.choice(["u", "v", "w"], n), "g": rng.choice(["f", "m"], n), "y": y, "p": p}

    facets = {"g": "f"} if task == "binary" else None
    reference = mv.profile(table(0.0, 0.9), target="y", prediction="p", task=task, facets=facets)
    return reference, mv.profile(table(1.0, 0.6), like=reference)


@pytest.mark.parametrize("task", ["binary", "multiclass", "regression"])
def test_reports_of_real_profiles_render_every_view(task, rng):
    pytest.importorskip("matplotlib")
    mv_reference, mv_current = real_profiles(task, rng)
    report = mv.compare(mv_reference, mv_current)
    data = json.loads(json.dumps(report.to_dict(), allow_nan=False))
    assert not data["passed"] and (data["reference_rows"], data["current_rows"]) == (3000, 3000)
    assert {"drift", "performance"} <= {c.family for c in report.failures}
    panels = report.plot().get_axes()
    x_panel = [axes for axes in panels if axes.get_title().startswith("x ")][0]
    ref, cur = bar_heights(x_panel)
    assert mv_current.missing("x") == 100 and mv_reference.missing("x") == 0  # so both show a missing bar
    for profile, heights in ((mv_reference, ref), (mv_current, cur)):
        np.testing.assert_allclose(heights, shares(profile.histogram("x")[1], profile.missing("x")))
    html = report.to_html()
    assert html.count('<tr class="failed">') == len(report.failures)
    for name, rows in report.tables.items():
        assert f"<h3>{name}</h3>" in html and len(rows) > 0
    assert ("classes" in report.tables) is (task == "multiclass") and ("bias: g" in report.tables) is (task == "binary")
