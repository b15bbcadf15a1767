"""`mv.index_html`: one page over several models' histories, with each model's dashboard beside it."""

from __future__ import annotations

import os
import re
from pathlib import Path

from morvane.history import History
from morvane.reporting.index import page


def _slug(name: str) -> str:
    return re.sub(r"[^A-Za-z0-9_.-]+", "-", name).strip("-.") or "model"


def index_html(histories, path, *, alpha: float = 0.01, checks=None, dashboards: bool = True) -> Path:
    """Write one page at `path` listing several models' histories (``{"churn": History or path to its
    file}``) with their verdicts and status strips, the failing models first. With `dashboards`, each
    model's dashboard is written beside it (``<page name>.<model>.html``) and linked from its name and
    its failing periods. Returns the page's path."""
    path = Path(path)
    models, used = [], set()
    for name, history in dict(histories).items():
        name = str(name)
        opened = not isinstance(history, History)
        if opened:
            if not isinstance(history, (str, os.PathLike)):
                raise TypeError(f"{name!r}: expected a History or the path of a history file, "
                                f"not {type(history).__name__}")
            history = History.open(history, readonly=True)
        try:
            tl = history.timeline(alpha=alpha, checks=checks)
        finally:
            if opened:
                history.close()
        link = ""
        if dashboards:
            slug = _slug(name)
            while slug in used:
                slug += "_"
            used.add(slug)
            target = path.with_name(f"{path.stem}.{slug}.html")
            tl.to_html(target)
            link = target.name
        models.append((name, tl, link))
    path.write_text(page(models), encoding="utf-8")
    return path
