"""The type stubs describe the module as built: stubtest compares every function, class,
method and attribute (names, parameter names, which parameters have defaults) with the
module that this test run imports."""

import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import _morvane

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "_morvane.pyi"
needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def run_mypy(tmp_path, *args):
    """A mypy tool run that sees only the source stub, and on Python's path the very
    module this test run imports."""
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(STUB, stubs / "_morvane.pyi")
    env = dict(os.environ)
    env["MYPYPATH"] = str(stubs)
    env["MYPY_CACHE_DIR"] = str(tmp_path / "cache")
    env["PYTHONPATH"] = os.pathsep.join([str(Path(_morvane.__file__).parent), env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=300)


@needs_mypy
def test_stubtest_finds_no_difference(tmp_path):
    result = run_mypy(tmp_path, "mypy.stubtest", "_morvane")
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_readme_snippets_type_check_against_the_stub(tmp_path):
    # stubtest cannot see return types; the fixed module's reference uses every result kind.
    from test_readme import FIXED_MODULE, blocks

    (tmp_path / "snippets.py").write_text("\n".join(blocks([FIXED_MODULE])), encoding="utf-8")
    result = run_mypy(tmp_path, "mypy", "--no-incremental", "snippets.py")
    assert result.returncode == 0, result.stdout + result.stderr


def installed_copies():
    """The stub files an installed build put beside the extension and in _morvane-stubs."""
    root = Path(_morvane.__file__).parent
    return [p for p in (root / "_morvane.pyi", root / "_morvane-stubs" / "__init__.pyi") if p.exists()]


@pytest.mark.skipif(not installed_copies(), reason="the module is not an installed build")
def test_installed_stubs_are_the_source_stub():
    copies = installed_copies()
    assert len(copies) == 2
    for copy in copies:
        assert copy.read_bytes() == STUB.read_bytes(), copy
