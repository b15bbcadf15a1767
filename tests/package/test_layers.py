"""The package is a stack of layers: every module imports only its own layer or the ones below it (imports
inside functions count), and no modules import each other in a circle."""

import ast
from pathlib import Path

PACKAGE = Path(__file__).resolve().parents[2] / "python" / "morvane"
# Bottom to top. A module's layer is its folder, or for a top-level module the last row.
LAYERS = ["_native", "state", "profiling", "comparing", "reporting", None]


def modules() -> dict:
    out = {}
    for path in PACKAGE.rglob("*.py"):
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        out[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    return out


def layer(module: str) -> int:
    parts = module.split(".")
    folder = parts[1] if len(parts) > 2 or (len(parts) == 2 and parts[1] in LAYERS) else None
    return LAYERS.index(folder) if folder in LAYERS else len(LAYERS) - 1


def imports(module: str, path: Path, known: dict) -> set:
    base = module.split(".") if path.name == "__init__.py" else module.split(".")[:-1]
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            names = [a.name for a in node.names]
        elif isinstance(node, ast.ImportFrom):
            head = base[: len(base) - node.level + 1] if node.level else []
            mod = ".".join(head + ([node.module] if node.module else []))
            names = [mod] + [f"{mod}.{a.name}" for a in node.names]
        else:
            continue
        for name in names:
            while name and name not in known:
                name = name.rpartition(".")[0]
            if name and name != module:
                found.add(name)
    return found


def test_every_import_points_down_and_there_is_no_circle():
    known = modules()
    assert {"morvane.state.profile", "morvane.profiling.count", "morvane.comparing.drift",
            "morvane.reporting.report", "morvane.monitor"} <= set(known)
    graph = {m: imports(m, p, known) - {"morvane"} for m, p in known.items()}
    upward = sorted(f"{m} -> {t}" for m, targets in graph.items() for t in targets if layer(t) > layer(m))
    assert upward == []
    # Depth-first search for a back edge.
    state, circle = {}, []

    def visit(m, trail):
        state[m] = "open"
        for t in sorted(graph[m]):
            if state.get(t) == "open":
                circle.append(trail[trail.index(t):] + [t])
            elif t not in state:
                visit(t, trail + [t])
        state[m] = "done"

    for m in sorted(graph):
        if m not in state:
            visit(m, [m])
    assert circle == []


def test_the_layer_rule_sees_an_upward_import():
    # The rule itself: a state module importing the monitor would be found.
    assert layer("morvane.state.layout") < layer("morvane.monitor")
    assert layer("morvane.comparing.drift") < layer("morvane.reporting.html")
    assert layer("morvane._native") == 0


def test_a_missing_dependency_is_named_not_swallowed():
    import subprocess
    import sys

    code = ("import sys; sys.modules['numpy'] = None\n"
            "try:\n    import morvane\nexcept ImportError as e:\n    print('ImportError', e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120).stdout
    assert out.startswith("ImportError") and "numpy" in out


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
