"""The demo runs end to end on scikit-learn's bundled data sets: the batch from the training
population passes, the drifted batch fails and its shifted features are flagged, and the
figure is written as a PNG."""

import contextlib
import importlib.util
import io
import re
import struct
import sys
from pathlib import Path

import pytest

pytest.importorskip("sklearn")
DEMO = Path(__file__).resolve().parents[1] / "examples" / "fixed_module_demo.py"
HAS_MATPLOTLIB = importlib.util.find_spec("matplotlib") is not None


def load_demo():
    found = importlib.util.spec_from_file_location("morvane_demo", DEMO)
    module = importlib.util.module_from_spec(found)
    sys.modules[found.name] = module  # dataclasses look their module up there
    found.loader.exec_module(module)
    return module


def sections(report):
    """{heading: text below it} for the report's underlined headings."""
    parts = re.split(r"^(.+)\n=+$", report, flags=re.M)
    return {parts[i].strip(): parts[i + 1] for i in range(1, len(parts) - 1, 2)}


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo")
    demo = load_demo()
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        path = demo.main(["--out", str(out)] + ([] if HAS_MATPLOTLIB else ["--no-figure"]))
    return buffer.getvalue(), path


def section(report, prefix):
    (text,) = [body for head, body in sections(report).items() if head.startswith(prefix)]
    return text


@pytest.mark.parametrize("model, check", [("Classifier", "py_model_perf_log_reg_rt_full"),
                                          ("Regressor", "py_model_perf_lin_reg_rt_full")])
def test_same_population_passes_and_drifted_batch_fails(run, model, check):
    report, _ = run
    assert f"Performance ({check}): passed" in section(report, f"{model}, batch 1")
    assert f"Performance ({check}): FAILED" in section(report, f"{model}, batch 2")


def test_drifted_features_and_label_mix_are_flagged(run):
    report, _ = run
    flagged = lambda text, name: re.search(rf"^\s+{re.escape(name)}\s.*DRIFT$", text, re.M) is not None  # noqa: E731
    healthy, drifted = section(report, "Classifier, batch 1"), section(report, "Classifier, batch 2")
    for name in ("mean texture", "mean radius", "ground truth"):
        assert not flagged(healthy, name) and flagged(drifted, name), name
    assert flagged(section(report, "Regressor, batch 2"), "bmi (one-shot)")
    assert "Data bias (py_data_bias_runtime_check): FAILED" in drifted


@pytest.mark.skipif(not HAS_MATPLOTLIB, reason="matplotlib is not installed")
def test_figure_is_a_png(run):
    _, path = run
    data = Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", data[16:24])
    assert width >= 1000 and height >= 700
