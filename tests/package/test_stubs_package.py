"""The package's type stubs: `mypy --strict` accepts the guides' package snippets and refuses misspelt
task, heuristic and metric names; stubtest finds the stubs in line with the package as built; and the
stubs' Literal names are the names `mv.compare` reports."""

import ast
import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import morvane as mv

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "python" / "morvane" / "__init__.pyi"
needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def package_blocks():
    """The Python blocks of the package's guides that build on one another (profiles, verdicts, late
    labels), in that order."""
    sys.path.insert(0, str(ROOT / "tests"))
    try:
        from test_readme import BLOCK, DOCS
    finally:
        sys.path.pop(0)
    pages = ("profiles.md", "verdicts.md", "late-labels.md")
    return [b for page in pages for b in BLOCK.findall((DOCS / "guides" / page).read_text(encoding="utf-8"))]


def run_mypy(tmp_path, *args):
    """A mypy tool run that reads the source stub, and imports the package this test run imports."""
    stubs = tmp_path / "stubs" / "morvane"
    stubs.mkdir(parents=True, exist_ok=True)
    for stub in STUB.parent.glob("*.pyi"):
        shutil.copy(stub, stubs / stub.name)
    env = dict(os.environ, MYPYPATH=str(stubs.parent), MYPY_CACHE_DIR=str(tmp_path / "cache"))
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=600)


def mypy(tmp_path, source, *args):
    (tmp_path / "snippets.py").write_text(source, encoding="utf-8")
    return run_mypy(tmp_path, "mypy", *args, "snippets.py")


@needs_mypy
def test_readme_package_snippets_pass_mypy_strict(tmp_path):
    blocks = package_blocks()
    assert len(blocks) >= 5 and any("morvane.compare" in block for block in blocks)
    result = mypy(tmp_path, "\n".join(blocks), "--strict", "--no-incremental")
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_misspelt_names_are_refused(tmp_path):
    lines = ['ref = mv.profile({"x": [1.0]}, task="clasification")',
             'ref = mv.profile({"x": [1.0]}, bins="sturges")',
             'cur = mv.profile({"x": [1.0]}, like=ref, n_bins=3)',
             'report = mv.compare(ref, cur, checks=["Acuracy"])',
             'report.to_html(3)']
    result = mypy(tmp_path, "import morvane as mv\n" + "\n".join(lines) + "\n", "--strict", "--no-incremental")
    flagged = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    assert flagged == set(range(2, 2 + len(lines))), result.stdout


@needs_mypy
def test_stubtest_finds_no_difference(tmp_path):
    # Names, parameters, defaults and kinds of everything public, against the package as built.
    # The command line's entry and the layers behind the public names are not an API.
    (tmp_path / "allow.txt").write_text("morvane.__main__\n"
                                        "morvane\\.(state|tables|profiling|comparing|reporting|monitor|loading|cli|history|"
                                        "engines|alerts|overview)(\\..*)?\n")
    result = run_mypy(tmp_path, "mypy.stubtest", "morvane", "--allowlist", "allow.txt")
    assert result.returncode == 0, result.stdout + result.stderr


def test_installed_stub_is_the_source_stub():
    installed = Path(mv.__file__).with_name("__init__.pyi")
    if not installed.exists():
        pytest.skip("the package is not an installed build")
    assert installed.read_bytes() == STUB.read_bytes()
    assert installed.with_name("py.typed").exists()


def literal_names():
    """{alias: names} of the stub's Literal aliases."""
    names = {}
    for node in ast.parse(STUB.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.value, ast.Subscript):
            if getattr(node.value.value, "id", None) == "Literal":
                items = node.value.slice.elts if isinstance(node.value.slice, ast.Tuple) else [node.value.slice]
                names[node.target.id.lstrip("_")] = {item.value for item in items}
    return names


def test_literal_names_are_the_names_compare_reports():
    rng = np.random.default_rng(3)
    n = 400
    x = rng.normal(size=n)
    labels = rng.integers(0, 3, n)
    proba = rng.dirichlet([1, 1, 1], n)
    tables = {
        "binary": ({"x": x, "z": rng.normal(size=n), "g": rng.choice(["u", "v"], n), "y": labels % 2,
                    "p": rng.random(n)}, dict(target="y", prediction="p", facets={"g": "u"}, joint=True)),
        "multiclass": ({"x": x, "y": np.array(["p0", "p1", "p2"])[labels], "p0": proba[:, 0], "p1": proba[:, 1],
                        "p2": proba[:, 2]},
                       dict(target="y", prediction=["p0", "p1", "p2"])),
        "regression": ({"x": x, "y": x + rng.random(n), "p": x}, dict(target="y", prediction="p")),
    }
    stub = literal_names()
    seen = {}
    for task, (table, options) in tables.items():
        profile = mv.profile(table, task=task, **options)
        for check in mv.compare(profile, profile).checks:
            seen.setdefault(check.family, set()).add(check.metric)
            if check.family == "performance":
                seen.setdefault(task, set()).add(check.metric)
    assert stub["Task"] == set(tables) and stub["Family"] == set(seen) - set(tables)
    assert seen["binary"] == stub["BinaryMetric"] and seen["regression"] == stub["RegressionMetric"]
    assert seen["multiclass"] == stub["MulticlassMetric"]
    assert seen["bias"] == stub["PreTrainingMetric"] | stub["PostTrainingMetric"]
    assert seen["drift"] == stub["DriftMetric"]
    assert seen["data"] == stub["DataMetric"]
    for name in stub["Heuristic"]:
        mv.profile({"x": x}, bins=name)  # every heuristic the stub names is accepted


def test_literal_names_are_the_core_tables_in_order():
    from morvane import _native
    from morvane.comparing import multiclass, performance

    # The ranking metrics (from score histograms) follow each task's table.
    for alias, names in (("BinaryMetric", _native.classification_names() + list(performance.BINARY_RANKING)
                          + list(performance.SCORED)),
                         ("RegressionMetric", _native.regression_names()),
                         ("PreTrainingMetric", _native.data_bias_names()),
                         ("PostTrainingMetric", _native.model_bias_names()),
                         ("MulticlassMetric", list(multiclass.METRICS) + list(performance.MULTICLASS_RANKING)
                          + list(performance.SCORED))):
        node = next(n for n in ast.parse(STUB.read_text(encoding="utf-8")).body
                    if isinstance(n, ast.AnnAssign) and n.target.id == "_" + alias)
        assert [item.value for item in node.value.slice.elts] == list(names), alias


@needs_mypy
def test_a_typed_script_loading_saved_state_passes_mypy_strict(tmp_path):
    source = ("import morvane as mv\n"
              "reference: mv.Profile = mv.load_profile('reference.mvp')\n"
              "monitor: mv.Monitor = mv.load_monitor('monitor.mvm')\n"
              "report: mv.Report = mv.compare(reference, monitor.current)\n"
              "version: str = mv.__version__\n"
              "passed: bool = report.passed\n")
    result = mypy(tmp_path, source, "--strict", "--no-incremental")
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_a_typed_alerting_job_passes_mypy_strict(tmp_path):
    source = ("import morvane as mv\n"
              "h: mv.History = mv.History.open('h.sqlite', readonly=True)\n"
              "tl: mv.Timeline = h.timeline()\n"
              "text: str = tl.to_openmetrics(labels={'model': 'churn'}) + tl.reports[-1][2].to_openmetrics()\n"
              "changes: list[mv.Change] = tl.changes()\n"
              "for c in changes:\n"
              "    status: int = mv.notify(c, 'http://am:9093', kind='alertmanager', resolved=c.resolved is not None)\n"
              "pushed: int = mv.push(tl, gateway='http://pg:9091', job='churn', labels={'model': 'churn'})\n"
              "page = mv.index_html({'churn': h, 'fraud': 'fraud.sqlite'}, 'index.html')\n"
              "try:\n"
              "    mv.notify(tl, 'https://hooks.slack.com/x', kind='slack', timeout=5, link='https://x')\n"
              "except mv.AlertError as e:\n"
              "    last: int | None = e.status\n")
    result = mypy(tmp_path, source, "--strict", "--no-incremental")
    assert result.returncode == 0, result.stdout + result.stderr
    wrong = mypy(tmp_path, "import morvane as mv\nmv.notify(mv.Timeline([], alpha=0.1), 'u', kind='pager')\n",
                 "--strict", "--no-incremental")
    assert wrong.returncode == 1 and "pager" in wrong.stdout
