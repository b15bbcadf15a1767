"""The Python snippets of the README and of every page of the documentation (docs/) run as
written, in order, one namespace a page (a page marked `<!-- continues: PAGE -->` runs after that
page's snippets), and a print whose comment states a value prints exactly that value."""

import ast
import contextlib
import io
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
DOCS = ROOT / "docs"
FIXED_MODULE = DOCS / "fixed-module.md"
DOCUMENTS = (README, *sorted(DOCS.rglob("*.md")))
BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)
CONTINUES = re.compile(r"<!-- continues: (\S+) -->")
# "# 0.5", "# {'passed': True}: prose", "# 1.0 0.1643"; not "# {...}, in no fixed order".
PROMISE = re.compile(r"#\s(?P<value>[-+\d.e ]+?|True|False|\{[^}]*\}|\[[^\]]*\])(?::\s.*)?$")


def blocks(documents=DOCUMENTS):
    return [block for doc in documents for block in BLOCK.findall(doc.read_text(encoding="utf-8"))]


def statements(block):
    """Each top-level statement with the value its trailing comment promises, if any."""
    lines = block.splitlines()
    for stmt in ast.parse(block).body:
        promise = None
        last = lines[stmt.end_lineno - 1]
        if isinstance(stmt, ast.Expr) and isinstance(stmt.value, ast.Call) and getattr(stmt.value.func, "id", "") == "print":
            m = PROMISE.search(last)
            if m:
                promise = m.group("value").strip()
        yield ast.Module([stmt], type_ignores=[]), promise, stmt.lineno


def test_readme_covers_every_family():
    text = "\n".join(blocks([FIXED_MODULE]))
    for entry in ("py_model_perf_linear_regression", "py_model_perf_lin_reg_rt_full", "PyLogisticRegressionStreaming",
                  "py_data_bias_analyzer", "py_data_bias_runtime_check", "PyDataBiasStreaming",
                  "py_model_bias_analyzer", "py_model_bias_runtime_check", "PyModelBiasStreaming",
                  "PyContinuousDataDrift", "PyCategoricalDataDrift", "PyStreamingContinuousDataDriftDecay",
                  "PyStreamingCategoricalDataDriftFlush"):
        assert entry in text, entry


def run_page(doc, namespace) -> int:
    """Run a page's snippets (after those of the page it continues) in `namespace`; the promises
    checked."""
    checked = 0
    for before in CONTINUES.findall(doc.read_text(encoding="utf-8")):
        checked += run_page(DOCS / before, namespace)
    for i, block in enumerate(blocks([doc]), start=1):
        for module, promise, line in statements(block):
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                exec(compile(module, f"{doc.name} python block {i}", "exec"), namespace)
            if promise is not None:
                assert out.getvalue().strip() == promise, f"{doc.name} block {i}, line {line}"
                checked += 1
    return checked


@pytest.mark.parametrize("doc", [d for d in DOCUMENTS if blocks([d])], ids=lambda d: str(d.relative_to(ROOT)))
def test_snippets_run_in_order_and_print_what_they_promise(doc, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert run_page(doc, {"__name__": "readme"}) >= 1  # the promises themselves are being read


def test_first_lines_are_the_install_and_test_commands():
    # CI runs the second command verbatim.
    lines = README.read_text(encoding="utf-8").splitlines()
    assert lines[:6] == [
        "# morvane",
        "",
        "```bash",
        'pip install -r build-requirements.txt && pip install --no-build-isolation ".[demo]" && python examples/demo.py',
        'pip install -r build-requirements.txt && pip install --no-build-isolation ".[test]" '
        '-C cmake.define.MORVANE_SELFTEST=ON && python -m pytest -q tests',
        "```",
    ]
    assert any(line.startswith(lines[4] + " ") for line in (ROOT / ".ci" / "run").read_text(encoding="utf-8").splitlines())


def test_pinned_build_requirements_satisfy_pyproject():
    # The README builds without isolation from build-requirements.txt instead of pyproject's list.
    tomllib = pytest.importorskip("tomllib")
    from packaging.requirements import Requirement

    wanted = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["build-system"]["requires"]
    lines = (ROOT / "build-requirements.txt").read_text(encoding="utf-8").splitlines()
    pinned = {r.name: r for r in map(Requirement, (l for l in lines if l and not l.startswith("#")))}
    for need in map(Requirement, wanted):
        have = pinned[need.name].specifier
        assert all(s.operator in ("==", ">=") for s in have), need.name
        assert all(need.specifier.contains(s.version) for s in have), (need, have)


def test_relative_links_resolve():
    # Pages send readers to each other; a moved file or a renamed heading breaks no link.
    for doc in DOCUMENTS:
        text = doc.read_text(encoding="utf-8")
        targets = re.findall(r"\]\((?!https?:)([^)\s]+)\)", text)
        assert targets or doc not in (README, DOCS / "index.md"), doc.name
        for target in targets:
            path, _, anchor = target.partition("#")
            page = (doc.parent / path) if path else doc
            assert page.exists(), f"{doc.name}: {target}"
            if anchor and page.suffix == ".md":
                headings = re.findall(r"^#+ (.+)$", page.read_text(encoding="utf-8"), re.M)
                slugs = {re.sub(r"[^\w\- ]", "", h.lower()).strip().replace(" ", "-") for h in headings}
                assert anchor in slugs, f"{doc.name}: {target}"


def test_every_page_is_in_the_site_navigation():
    nav = (ROOT / "mkdocs.yml").read_text(encoding="utf-8")
    for doc in DOCS.rglob("*.md"):
        assert str(doc.relative_to(DOCS)) in nav, doc
