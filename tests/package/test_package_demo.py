"""The package demo runs end to end on scikit-learn's bundled data: for every task the unchanged window
passes, the drifted window fails on exactly the shifted features, the degraded window fails on
performance; the saved reference loads back equal, and the HTML report and the PNG are written."""

import contextlib
import importlib.util
import io
import struct
import sys
from pathlib import Path

import pytest

pytest.importorskip("sklearn")
pytest.importorskip("matplotlib")
import morvane as mv  # noqa: E402

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo.py"


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo")
    found = importlib.util.spec_from_file_location("morvane_package_demo", DEMO)
    demo = importlib.util.module_from_spec(found)
    sys.modules[found.name] = demo  # dataclasses look their module up there
    found.loader.exec_module(demo)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        result = demo.main(["--out", str(out), "--no-year"])  # the year has its own test
    return demo, out, printed.getvalue(), result


@pytest.mark.parametrize("name", ["breast cancer", "wine", "diabetes"])
def test_each_window_gets_the_verdict_its_story_calls_for(run, name):
    demo, out, printed, result = run
    (case,) = [case for case in demo.CASES if case.name == name]
    reports = result["reports"][name]
    assert reports["unchanged"].passed
    drifted = reports["drifted"].failures
    # A shifted feature fails its Distribution, or its OutOfRange when the shift carries rows beyond
    # a small reference's range (wine's windows have 53 rows); the model's outputs may follow it.
    features = set(reports["drifted"].reference.columns)
    assert {c.column for c in drifted if c.family in ("drift", "data") and c.column in features} == set(case.drifted)
    assert {c.family for c in reports["degraded"].failures} >= {"performance"}
    assert not [c for c in reports["degraded"].failures if c.family in ("drift", "data")]  # inputs did not move
    saved = mv.load(out / f"{name.replace(' ', '_')}.mvp")
    assert saved.n_rows == reports["unchanged"].reference.n_rows and saved == reports["unchanged"].reference
    assert f"{name} ({case.task}): reference profile of {saved.n_rows} rows" in printed


def test_html_and_png_are_written(run):
    _, _, printed, result = run
    html = Path(result["html"]).read_text(encoding="utf-8")
    assert '<header class="verdict failed">' in html and "mean texture" in html and "data:image/png;base64," in html
    png = Path(result["png"]).read_bytes()
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", png[16:24])[0] >= 1000
    assert str(result["html"]) in printed
