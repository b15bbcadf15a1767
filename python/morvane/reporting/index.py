"""One page over several models' histories: per model its verdict, its last period, its status
strip and a link to its dashboard, the failing models first."""

from __future__ import annotations

from html import escape

from morvane.reporting.html import base_style
from morvane.reporting.timeline import STYLE as TIMELINE_STYLE
from morvane.reporting.timeline import _strip, _when

STYLE = TIMELINE_STYLE + base_style("morvane-index", 1400) + """
.morvane-index .model { margin: 20px 0; }
.morvane-index .model h2 a { color: inherit; }
.morvane-index .badge { display: inline-block; padding: 1px 8px; border-radius: 4px; color: #fff; font-size: 13px; }
.morvane-index .badge.passed { background: #2e7d32; }
.morvane-index .badge.failed { background: #c62828; }
.morvane-index .badge.empty { background: #888888; }
"""


def _model(name: str, tl, link: str) -> str:
    if not len(tl):
        state, facts = "empty", "no period yet"
    else:
        start, end, report = tl.reports[-1]
        state = "failed" if not tl.passed else "passed"
        facts = (f"{len(tl.failures)} of {len(tl)} periods failed; last period {_when(start)} – {_when(end)}: "
                 + ("passed" if report.passed else f"{len(report.failures)} checks failed"))
    title = f'<a href="{escape(link)}">{escape(name)}</a>' if link else escape(name)
    strip = _strip(tl, link).replace("<h2>Periods</h2>", "") if len(tl) else ""
    return (f'<section class="model"><h2>{title} <span class="badge {state}">{state}</span></h2>'
            f'<p class="note">{escape(facts)}</p><div class="morvane-timeline">{strip}</div></section>')


def page(models) -> str:
    """The index page of `models`, a list of (name, Timeline, dashboard link or "")."""
    ranked = sorted(models, key=lambda m: (m[1].passed if len(m[1]) else 2, m[0]))
    failed = sum(len(tl) > 0 and not tl.passed for _, tl, _ in models)
    verdict = "failed" if failed else "passed"
    header = (f'<header class="verdict {verdict}"><h1>{failed} of {len(models)} models failing</h1>'
              f"<p>each model's periods: green passed, red failed, grey without rows</p></header>")
    body = header + "".join(_model(name, tl, link) for name, tl, link in ranked)
    return ('<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            '<meta name="viewport" content="width=device-width, initial-scale=1">'
            f"<title>morvane: {failed} of {len(models)} models failing</title></head><body>"
            f'<div class="morvane-index"><style>{STYLE}</style>{body}</div></body></html>\n')
