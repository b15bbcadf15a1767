"""The package is a stack of layers: every module imports only its own layer or the ones below it (imports
inside functions count), and no modules import each other in a circle."""

import ast
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[2] / "python" / "morvane"
# Bottom to top, one row per layer: the folders and top-level modules it holds. The facade (`morvane`
# itself) is the top: nothing in the package imports it. A new folder or module is one new row or name.
LAYERS = [
    {"_native"},
    {"state"},
    {"tables"},
    {"profiling"},
    {"comparing"},
    {"reporting"},
    {"history"},
    {"monitor", "loading", "alerts", "overview"},
    {"engines", "dask", "spark"},
    {"cli"},
    {"morvane", "__main__"},
]
DYNAMIC = {"import_module", "__import__"}  # calls that import a module named at run time
NATIVE = {"morvane._native"}  # built, not a source file


def modules() -> dict:
    out = {}
    for path in PACKAGE.rglob("*.py"):
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        out[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    return out


def layer(module: str) -> int:
    """The row of a module: that of its folder, or of its own name at the top level."""
    parts = module.split(".")
    name = parts[1] if len(parts) > 1 else parts[0]
    found = [i for i, row in enumerate(LAYERS) if name in row]
    assert found, f"{module} has no row in LAYERS"
    return found[0]


def imports(module: str, source: str, known: dict, package: bool = False) -> set:
    """The package's modules that a module's source imports (at the top or inside functions): `from a
    import b` counts `a.b` when that is a module, else `a`; importlib calls count the module they name,
    and one whose name is not a literal is returned as "?" (an import the rule cannot follow)."""
    base = module.split(".") if package else module.split(".")[:-1]

    def resolve(name):
        while name and name not in known:
            name = name.rpartition(".")[0]
        return name

    found = set()
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.Import):
            names = [resolve(a.name) for a in node.names]
        elif isinstance(node, ast.ImportFrom):
            head = base[: len(base) - node.level + 1] if node.level else []
            mod = ".".join(head + ([node.module] if node.module else []))
            names = [f"{mod}.{a.name}" if f"{mod}.{a.name}" in known else resolve(mod) for a in node.names]
        elif isinstance(node, ast.Call) and getattr(node.func, "attr", getattr(node.func, "id", None)) in DYNAMIC:
            target = node.args[0] if node.args else None
            literal = isinstance(target, ast.Constant) and isinstance(target.value, str)
            names = [resolve(target.value) if literal else "?"]
        else:
            continue
        found.update(name for name in names if name and name != module)
    return found


def upward(graph: dict) -> list:
    return sorted(f"{m} -> {t}" for m, targets in graph.items() for t in targets if t == "?" or layer(t) > layer(m))


def test_every_import_points_down_and_there_is_no_circle():
    known = modules()
    assert {"morvane.state.profile", "morvane.profiling.count", "morvane.comparing.drift",
            "morvane.reporting.report", "morvane.monitor", "morvane.cli"} <= set(known)
    graph = {m: imports(m, p.read_text(encoding="utf-8"), set(known) | NATIVE, p.name == "__init__.py")
             for m, p in known.items()}
    assert upward(graph) == []
    # Depth-first search for a back edge.
    state, circle = {}, []

    def visit(m, trail):
        state[m] = "open"
        for t in sorted(graph[m]):
            if state.get(t) == "open":
                circle.append(trail[trail.index(t):] + [t])
            elif t not in state and t in graph:
                visit(t, trail + [t])
        state[m] = "done"

    for m in sorted(graph):
        if m not in state:
            visit(m, [m])
    assert circle == []


@pytest.mark.parametrize("module, source, found", [
    ("morvane.comparing.drift", "import morvane as mv", ["morvane.comparing.drift -> morvane"]),
    ("morvane.cli", "from morvane import compare", ["morvane.cli -> morvane"]),
    ("morvane.monitor", "def f():\n    from . import cli", ["morvane.monitor -> morvane.cli"]),
    ("morvane.state.layout", "import importlib\nimportlib.import_module('morvane.monitor')",
     ["morvane.state.layout -> morvane.monitor"]),
    ("morvane.state.layout", "__import__(name)", ["morvane.state.layout -> ?"]),
    ("morvane.history", "from morvane.reporting import timeline", []),
    ("morvane.cli", "from morvane import monitor\nfrom morvane.history import History", []),
    ("morvane.state.layout", "from morvane import _native", []),
    ("morvane", "from morvane.cli import main", []),
])
def test_the_layer_rule_sees_an_upward_import(module, source, found):
    # The rule itself: the facade, a higher top-level module, a relative import in a function and a
    # run-time import from a lower layer are found; imports down the table are not.
    assert upward({module: imports(module, source, set(modules()) | NATIVE)}) == found
    assert layer("morvane._native") == 0
    assert layer("morvane.state.layout") < layer("morvane.tables.kinds") < layer("morvane.profiling.profile")


def test_a_missing_dependency_is_named_not_swallowed():
    import subprocess
    import sys

    code = ("import sys; sys.modules['scipy'] = None\n"
            "try:\n    import morvane\nexcept ImportError as e:\n    print('ImportError', e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120).stdout
    assert out.startswith("ImportError") and "scipy" in out


def test_a_failing_statistical_test_raises(monkeypatch):
    import numpy as np
    import pytest

    import morvane as mv
    from morvane.comparing import significance

    def broken(*args):
        raise TypeError("broken test")

    monkeypatch.setattr(significance, "proportion_lower", broken)
    p = mv.profile({"y": np.array([0, 1, 1, 0]), "p": np.array([0, 1, 0, 0])}, target="y", prediction="p",
                   task="binary")
    with pytest.raises(TypeError, match="broken test"):
        mv.compare(p, p)


def test_every_public_name_is_documented():
    import inspect

    import morvane as mv

    missing = []
    for name in mv.__all__:
        obj = getattr(mv, name)
        if name.startswith("__"):
            continue
        if not inspect.getdoc(obj):
            missing.append(name)
        if inspect.isclass(obj) and not issubclass(obj, Exception):
            for member, value in vars(obj).items():
                if not member.startswith("_") and callable(getattr(value, "__get__", None)) \
                        and not inspect.getdoc(value):
                    missing.append(f"{name}.{member}")
    assert missing == []
