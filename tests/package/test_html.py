"""The HTML report is one self-contained file: nothing outside it is referenced, text is escaped, every
check has its row and failures are marked. Headless Chromium renders it: the screenshot shows the
verdict banner in its colour and the figure's bars, and the rendered text holds the verdict and tables."""

import base64
import os
import shutil
import subprocess
from html.parser import HTMLParser

import numpy as np
import pytest

from morvane import Check, Report

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
needs_chromium = pytest.mark.skipif(CHROMIUM is None, reason="headless Chromium is not installed (apt-get install chromium)")
RED, GREEN = (198, 40, 40), (46, 125, 50)  # verdict banners
REFERENCE_BAR, CURRENT_BAR = (91, 127, 166), (224, 123, 57)  # the figure's bars
HOSTILE = '<script>alert("x")</script>&'


class Stub:
    def __init__(self, n_rows, histograms):
        self.n_rows, self.histograms = n_rows, histograms

    def histogram(self, column):
        return self.histograms[column]

    def missing(self, column):
        return 3


def report(failed=True):
    edges = np.array([0.0, 1.0, 2.0])
    reference = Stub(5000, {"age": (edges, np.array([10, 40, 40, 10])), HOSTILE: (["a", "b"], np.array([5, 4, 1]))})
    current = Stub(700, {"age": (edges, np.array([40, 10, 10, 40])), HOSTILE: (["a", "b"], np.array([1, 4, 5]))})
    checks = [Check("drift", "age", "ChiSquare", None, None, None, 1e-12 if failed else 0.4, failed,
                    details={"PopulationStabilityIndex": float("inf")}),
              Check("drift", HOSTILE, "ChiSquare", None, None, None, 0.2, False),
              Check("performance", None, "Accuracy", 0.91, 0.84, -0.07, 0.002, failed, interval=(-0.1, -0.04)),
              Check("bias", "sex", "DisparateImpact", 1.0, 0.97, -0.03, 0.6, False)]
    tables = {"bias: sex": [{"group": "female", "n": 300, "positive rate": 0.41},
                            {"group": "male", "n": 400, "positive rate": float("nan")}]}
    return Report(checks, alpha=0.01, reference=reference, current=current, tables=tables)


class Elements(HTMLParser):
    """Every start tag with its attributes, and the text outside tags."""

    def __init__(self, text):
        super().__init__()
        self.tags, self.text = [], []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self.tags.append((tag, dict(attrs)))

    def handle_data(self, data):
        self.text.append(data)


@pytest.mark.parametrize("failed", [True, False])
def test_file_is_self_contained_escaped_and_marks_failures(tmp_path, failed):
    pytest.importorskip("matplotlib")
    path = report(failed).to_html(tmp_path / "report.html")
    text = path.read_text(encoding="utf-8")
    page = Elements(text)
    tags = [tag for tag, _ in page.tags]
    assert "script" not in tags and "link" not in tags and "iframe" not in tags and "@import" not in text
    for _, attrs in page.tags:
        for name in ("src", "href", "action", "srcset"):
            assert attrs.get(name) is None or attrs[name].startswith("data:"), (name, attrs[name][:40])
    (image,) = [attrs for tag, attrs in page.tags if tag == "img"]
    assert base64.b64decode(image["src"].removeprefix("data:image/png;base64,"))[:8] == b"\x89PNG\r\n\x1a\n"
    rows = [attrs.get("class") for tag, attrs in page.tags if tag == "tr" and attrs.get("class") in ("failed", "passed")]
    assert rows.count("failed") == (2 if failed else 0) and rows.count("passed") == (2 if failed else 4)
    assert HOSTILE in "".join(page.text)  # shown as text, never as markup
    header = [attrs["class"] for tag, attrs in page.tags if tag == "header"]
    assert header == ["verdict failed" if failed else "verdict passed"]
    notebook = report(failed)._repr_html_()  # the same body, without the figure
    assert notebook.startswith('<div class="morvane-report">') and "<img" not in notebook and header[0] in notebook


def chromium(*args, tmp_path):
    """Run headless Chromium on its own profile directory and return stdout. The sanitizer run's
    preloaded runtime is meant for the interpreter, not for the browser."""
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    result = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                             f"--user-data-dir={tmp_path / 'chromium-profile'}", *args],
                            capture_output=True, text=True, timeout=180, env=env)
    assert result.returncode == 0, result.stderr[-2000:]
    return result.stdout


def has_colour(pixels, colour, at_least):
    return int(np.all(np.abs(pixels - np.array(colour)) <= 3, axis=-1).sum()) >= at_least


@needs_chromium
@pytest.mark.parametrize("failed", [True, False])
def test_chromium_renders_verdict_tables_and_figure(tmp_path, failed):
    pytest.importorskip("matplotlib")
    from matplotlib.image import imread

    path = report(failed).to_html(tmp_path / "report.html")
    shot = tmp_path / "shot.png"
    chromium(f"--screenshot={shot}", "--window-size=1200,2600", path.as_uri(), tmp_path=tmp_path)
    pixels = np.round(imread(shot)[..., :3] * 255).astype(int)
    assert len(np.unique(pixels.reshape(-1, 3), axis=0)) > 50  # not a blank page
    banner, other = (RED, GREEN) if failed else (GREEN, RED)
    top = pixels[:150]
    assert has_colour(top, banner, 20_000) and not has_colour(top, other, 100)
    below = pixels[150:]
    # The figure drew the failing feature's bars, and only then.
    assert has_colour(below, REFERENCE_BAR, 500) is has_colour(below, CURRENT_BAR, 500) is failed

    dom = Elements(chromium("--dump-dom", path.as_uri(), tmp_path=tmp_path))
    words = " ".join(" ".join(dom.text).split())
    verdict = "FAILED" if failed else "PASSED"
    assert words.count(verdict) >= 1 and ("FAILED" not in words if not failed else "PASSED" not in words)
    assert f"{2 if failed else 0} of 4 checks failed at alpha = 0.01" in words
    for text in ("bias: sex", "female", "positive rate", "DisparateImpact", "reference 5,000 rows", HOSTILE, "PSI", "∞"):
        assert text in words, text
