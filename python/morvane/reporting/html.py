"""The report as one self-contained HTML file: inline styles, the figure as a base64 PNG, no script and
no reference to anything outside the file, so it can be mailed, archived or opened offline."""

from __future__ import annotations

import base64
import io
from html import escape

from morvane.comparing.checks import FAMILIES
from morvane.comparing.numbers import fmt

def base_style(scope: str, width: int) -> str:
    """The rules every morvane page shares (page, verdict banner, headings, tables, figures), scoped
    to the class ``scope``."""
    return """
.S { font-family: system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; color: #222;
  max-width: Wpx; margin: 0 auto; padding: 0 16px 32px; font-size: 14px; }
.S .verdict { padding: 18px 24px; color: #fff; border-radius: 6px; margin: 16px 0; }
.S .verdict.passed { background: #2e7d32; }
.S .verdict.failed { background: #c62828; }
.S .verdict h1 { margin: 0 0 6px; font-size: 28px; letter-spacing: 0.05em; }
.S .verdict p { margin: 0; }
.S h2 { border-bottom: 1px solid #ddd; padding-bottom: 4px; margin-top: 28px; }
.S table { border-collapse: collapse; width: 100%; margin: 8px 0 16px; }
.S th, .S td { border: 1px solid #ddd; padding: 4px 8px; text-align: left; vertical-align: top; }
.S th { background: #f3f3f3; }
.S td.num { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
.S tr.failed td { background: #fde0dc; }
.S img { max-width: 100%; border: 1px solid #eee; }
.S .note { color: #666; }
.S .estimated { font-style: italic; color: #6a1b9a; }
.S .verdict .estimated { color: #fff; background: #6a1b9a; padding: 1px 8px; border-radius: 4px; font-style: normal; }
""".replace(".S", "." + scope).replace("Wpx", f"{width}px")


STYLE = base_style("morvane-report", 1200) + """
.morvane-report .scroll { overflow-x: auto; }
.morvane-report tr.failed td.result { color: #b71c1c; font-weight: bold; }
.morvane-report td.result { color: #2e7d32; }
.morvane-report .details { color: #555; font-size: 12px; min-width: 24em; }
"""

# Details promoted to columns of their own when a family's checks carry them (drift distances).
PROMOTED = {"JensenShannon": "JS", "PopulationStabilityIndex": "PSI", "WassersteinDistance": "Wasserstein",
            "KullbackLeibler": "KL"}
OPTIONAL = ("reference", "current", "interval")  # left out of a family's table when no check has them


def cell(value, *, p_value=False) -> str:
    text = escape(fmt(value, p_value=p_value))
    numeric = value is not None and not isinstance(value, (str, bool))
    return f'<td class="num">{text}</td>' if numeric else f"<td>{text}</td>"


def details_text(details: dict, skip=()) -> str:
    return "; ".join(f"{key} {fmt(value)}" for key, value in details.items()
                     if key not in skip and not isinstance(value, (dict, list, tuple)))


def interval_text(check) -> str:
    return "—" if check.interval is None else f"[{fmt(check.interval[0])}, {fmt(check.interval[1])}]"


def check_table(checks) -> str:
    """The table of one family's checks: the columns its checks fill, failures marked."""
    optional = [name for name in OPTIONAL if any(getattr(c, name) is not None for c in checks)]
    promoted = [name for name in PROMOTED if any(name in c.details for c in checks)]
    segmented = ["segment"] if any(c.segment is not None for c in checks) else []
    columns = ["column", *segmented, "metric", *optional, "change", "p-value", *promoted, "details", "result"]
    rows = []
    for check in checks:
        values = {
            "column": f"<td>{escape(check.column if check.column is not None else '—')}</td>",
            "metric": (f'<td class="estimated">{escape(check.metric)} (estimated)</td>'
                       if check.details.get("estimated") else f"<td>{escape(check.metric)}</td>"),
            "segment": f"<td>{escape('—' if check.segment is None else ' / '.join(map(str, check.segment)))}</td>",
            "reference": cell(check.reference), "current": cell(check.current), "change": cell(check.change),
            "interval": f'<td class="num">{escape(interval_text(check))}</td>',
            "p-value": cell(check.p_value, p_value=True),
            "details": f'<td class="details">{escape(details_text(check.details, promoted))}</td>',
            "result": f'<td class="result">{"FAILED" if check.failed else "passed"}</td>',
        }
        values.update({name: cell(check.details.get(name)) for name in promoted})
        rows.append(f'<tr class="{"failed" if check.failed else "passed"}">'
                    + "".join(values[name] for name in columns) + "</tr>")
    head = "".join(f'<th title="{escape(name)}">{escape(PROMOTED.get(name, name))}</th>' for name in columns)
    return f'<div class="scroll"><table class="checks"><thead><tr>{head}</tr></thead><tbody>{"".join(rows)}</tbody></table></div>'


def checks_section(report) -> str:
    families = list(FAMILIES) + sorted({c.family for c in report.checks} - set(FAMILIES))
    parts = ['<section id="checks"><h2>Checks</h2>']
    for family in families:
        checks = [c for c in report.checks if c.family == family]
        if checks:
            failed = sum(c.failed for c in checks)
            parts.append(f"<h3>{escape(family.capitalize())}: {failed} of {len(checks)} failed</h3>")
            parts.append(check_table(checks))
    if not report.checks:
        parts.append('<p class="note">The report holds no check.</p>')
    parts.append("</section>")
    return "".join(parts)


def table_section(report) -> str:
    if not report.tables:
        return ""
    parts = ['<section id="tables"><h2>Tables</h2>']
    for name, rows in report.tables.items():
        columns = []
        for row in rows:
            columns.extend(key for key in row if key not in columns)
        parts.append(f"<h3>{escape(name)}</h3><div class=\"scroll\"><table class=\"rows\"><thead><tr>"
                     + "".join(f"<th>{escape(str(c))}</th>" for c in columns) + "</tr></thead><tbody>")
        for row in rows:
            css = ' class="failed"' if row.get("failed") is True else ""
            parts.append(f"<tr{css}>" + "".join(cell(row.get(c)) for c in columns) + "</tr>")
        parts.append("</tbody></table></div>")
    parts.append("</section>")
    return "".join(parts)


def explain_section(report, top: int = 10) -> str:
    """The feature bins that explain a performance change, when both profiles keep outcomes by bin."""
    if not report.explainable():
        return ""
    frame = report.explain(top=top)
    head = "".join(f"<th>{escape(c)}</th>" for c in frame.columns)
    rows = "".join(f'<tr class="{"failed" if r["failed"] else "passed"}">'
                   + "".join(cell(r[c], p_value=c == "p_value") for c in frame.columns) + "</tr>"
                   for r in frame.to_dict("records"))
    return (f'<section id="explain"><h2>What explains the performance change</h2><div class="scroll">'
            f'<table class="rows"><thead><tr>{head}</tr></thead><tbody>{rows}</tbody></table></div></section>')


def png_section(section: str, title: str, alt: str, draw, dpi: int) -> str:
    """A section holding the figure ``draw()`` makes as an embedded PNG, or a note without matplotlib
    (an optional dependency: the page is still written)."""
    try:
        figure = draw()
    except ImportError:
        return f'<section id="{section}"><h2>{title}</h2><p class="note">matplotlib is not installed.</p></section>'
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=dpi)
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f'<section id="{section}"><h2>{title}</h2><img alt="{alt}" src="data:image/png;base64,{data}"></section>'


def figure_section(report) -> str:
    return png_section("figure", "Figure", "reference against current histograms of the failing features, and metric "
                       "changes", report.plot, 100)


def header(report) -> str:
    reference_rows, current_rows = report.rows()
    verdict = "passed" if report.passed else "failed"
    facts = [f"{len(report.failures)} of {len(report.checks)} checks failed at alpha = {report.alpha:g}, "
             "corrected for the number of checks"]
    if reference_rows is not None:
        facts.append(f"reference {reference_rows:,} rows")
    if current_rows is not None:
        facts.append(f"current {current_rows:,} rows")
    return (f'<header class="verdict {verdict}"><h1>{verdict.upper()}{estimated_badge(report.checks)}</h1>'
            f"<p>{escape(' · '.join(facts))}</p></header>" + notes_section(report.notes()))


def estimated_badge(checks) -> str:
    """A mark beside a verdict resting partly on estimated performance (no labels yet)."""
    return ' <span class="estimated">ESTIMATED</span>' if any(c.details.get("estimated") for c in checks) else ""


def notes_section(notes) -> str:
    """What the reader must know beside the verdicts (what an estimate assumes)."""
    if not notes:
        return ""
    return '<section id="notes"><ul class="note">' + "".join(f"<li>{escape(n)}</li>" for n in notes) + "</ul></section>"


def failures_section(report) -> str:
    if report.passed:
        return ""
    items = "".join(f"<li>{escape(c.label())}: {escape(c.movement('→'))}</li>" for c in report.failures)
    return f'<section id="failures"><h2>Failures</h2><ul>{items}</ul></section>'


def fragment(report, *, figure=True) -> str:
    """The report's body with its styles, fit to embed in a page or a notebook."""
    body = (header(report) + failures_section(report) + checks_section(report) + explain_section(report)
            + table_section(report))
    if figure:
        body += figure_section(report)
    return f'<div class="morvane-report"><style>{STYLE}</style>{body}</div>'


def document(report, *, figure=True) -> str:
    verdict = "PASSED" if report.passed else "FAILED"
    return ('<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            '<meta name="viewport" content="width=device-width, initial-scale=1">'
            f"<title>morvane report: {verdict}</title></head><body>"
            f"{fragment(report, figure=figure)}</body></html>\n")
