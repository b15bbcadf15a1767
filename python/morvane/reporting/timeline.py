"""A timeline: every period of a history compared with the reference, and the views people read it
through (a DataFrame, a figure of the failing metrics over time, one self-contained dashboard).

Each period is its own report at `alpha`: a period of unchanged data raises a false alarm with
probability at most alpha, so a run of T such periods raises about alpha * T of them. With
`correction="holm"` the periods' verdicts are corrected together (Holm's step-down over the periods,
each period's report being one test): the whole run then raises any false alarm with probability at
most alpha, at the cost of testing each period at alpha / T at first and alpha / (T - k) once k
periods have failed."""

from __future__ import annotations

import math
from dataclasses import replace
from html import escape

import numpy as np

from morvane.reporting import changes as found_changes
from morvane.reporting.html import base_style, cell, estimated_badge, notes_section, png_section
from morvane.reporting.report import compare
from morvane.comparing.numbers import fmt

CORRECTIONS = (None, "holm")
MAX_PANELS = 12
FAILED_COLOUR, PASSED_COLOUR, REFERENCE_COLOUR, CURRENT_COLOUR = "#c62828", "#2e7d32", "#5b7fa6", "#e07b39"
COLUMNS = ("start", "end", "family", "column", "segment", "metric", "reference", "current", "p_value", "failed",
           "estimated")


def timeline(reference, periods, *, alpha=0.01, checks=None, correction=None, processes=None, cumulative=False,
             min_effect=None, weights=None, replaced=()) -> "Timeline":
    """Compare each (start, end, profile) of `periods` with `reference`; with `processes` > 1, that
    many worker processes compare the periods in parallel (the same reports). `cumulative` (True: a
    run of as many periods as given; an integer: a run of that many) adds the cumulative checks; the
    periods at the indices `replaced` (given again with their labels) set the estimate their scores
    alone gave beside each measured performance check (comparing/hindsight.py)."""
    alpha = float(alpha)
    if not 0.0 < alpha < 1.0:
        raise ValueError(f"alpha must lie strictly between 0 and 1, got {alpha!r}")
    if correction not in CORRECTIONS:
        raise ValueError(f"correction must be None (each period at alpha) or \"holm\" (the run at alpha), "
                         f"got {correction!r}")
    periods = list(periods)
    options = {"checks": checks, "min_effect": min_effect, "weights": weights}
    compare_all = _Comparer(reference, options, processes)
    if correction is None:
        levels = [alpha] * len(periods)
        reports = compare_all([p for _, _, p in periods], alpha)
    else:
        reports, levels = _holm(reference, periods, alpha, checks, compare_all)
    for i in replaced:
        reports[i] = _hindsight(reference, periods[i][2], reports[i], levels[i], options)
    if cumulative:
        horizon = len(periods) if cumulative is True else int(cumulative)
        if horizon < 1:
            raise ValueError("cumulative= takes True (the run given) or a positive number of periods")
        reports = _with_cumulative(reference, periods, reports, alpha, horizon, options)
    return Timeline([(s, e, r) for (s, e, _), r in zip(periods, reports)], alpha=alpha, correction=correction,
                    levels=levels)


def _hindsight(reference, p, report, level, options):
    """The report with the estimate of the period's scores alone beside each measured performance check."""
    from morvane.comparing.hindsight import with_hindsight, without_labels
    from morvane.reporting.report import Report

    earlier = without_labels(p)
    if earlier is None:
        return report
    estimated = compare(reference, earlier, alpha=level, checks=["performance"]).checks
    return Report(with_hindsight(report.checks, estimated), alpha=report.alpha, reference=report.reference,
                  current=report.current, tables=report.tables)


CUMULATIVE_FAMILIES = ("drift", "performance")


def _with_cumulative(reference, periods, reports, alpha, horizon, options):
    """Each period's report with the `cumulative` checks: every drift and performance check of the
    exact merge of the run's periods so far against the reference. The run's looks are corrected by
    Bonferroni (each period's cumulative checks at alpha / horizon, Holm among them), so by theory an
    unchanged run of `horizon` periods raises a cumulative false alarm with probability at most alpha,
    however the looks depend on one another; a small shift that lasts gains rows every period."""
    from morvane.reporting.report import Report

    checks = options["checks"]
    wanted = list(CUMULATIVE_FAMILIES) if checks is None else checks
    level = alpha / horizon
    running, out = None, []
    for (_, _, p), report in zip(periods, reports):
        if p.n_rows:
            running = p if running is None else running.merge(p)
        found = [] if running is None else compare(reference, running, alpha=level, checks=wanted,
                                                   min_effect=options["min_effect"], weights=options["weights"]).checks
        extra = [replace(c, family="cumulative", details={**c.details, "horizon": horizon, "run_rows": running.n_rows,
                                                           "calibration": "theory: Bonferroni over the run's periods"})
                 for c in found if c.family in CUMULATIVE_FAMILIES]
        out.append(Report(report.checks + extra, alpha=report.alpha, reference=report.reference,
                          current=report.current, tables=report.tables))
    return out


class _Comparer:
    """Compares profiles with the reference, here or in worker processes (each takes a contiguous
    share of the periods, as bytes, and sends back its reports without the profiles)."""

    def __init__(self, reference, options, processes):
        self.reference, self.options = reference, options
        self.processes = int(processes or 1)
        if self.processes < 1:
            raise ValueError("processes must be at least 1")

    def __call__(self, profiles, level):
        if self.processes == 1 or len(profiles) < 4 * self.processes:
            return [compare(self.reference, p, alpha=level, **self.options) for p in profiles]
        import multiprocessing
        from concurrent.futures import ProcessPoolExecutor

        methods = multiprocessing.get_all_start_methods()
        context = multiprocessing.get_context("fork" if "fork" in methods else None)
        size = -(-len(profiles) // self.processes)
        shares = [[p.to_bytes() for p in profiles[i:i + size]] for i in range(0, len(profiles), size)]
        with ProcessPoolExecutor(self.processes, mp_context=context) as pool:
            found = list(pool.map(_compare_share, [(self.reference.to_bytes(), share, level, self.options)
                                                   for share in shares]))
        reports = [r for share in found for r in share]
        for r, p in zip(reports, profiles):
            r.reference, r.current = self.reference, p
        return reports


def _compare_share(job):
    from morvane.state.profile import Profile

    reference_bytes, blobs, level, options = job
    reference = Profile.from_bytes(reference_bytes)
    out = []
    for blob in blobs:
        report = compare(reference, Profile.from_bytes(blob), alpha=level, **options)
        report.reference = report.current = None  # sent back without the profiles; the caller has them
        out.append(report)
    return out


def _holm(reference, periods, alpha, checks, compare_all=None):
    """Holm's step-down over the periods through their reports: every period still standing is tested
    at alpha / (T - k) while k periods have failed, until no more fail. A period's report fails at a
    level whenever it fails at a smaller one, so this rejects exactly what Holm rejects with each
    period's smallest failing level as its p-value. A period that passes at alpha passes at every
    level below it: it keeps its report at alpha, and only the others are compared again."""
    compare_all = compare_all or (lambda profiles, level: [compare(reference, p, alpha=level, checks=checks)
                                                           for p in profiles])
    total = len(periods)
    reports = compare_all([p for _, _, p in periods], alpha)
    levels = [alpha] * total
    standing = [i for i in range(total) if not reports[i].passed]
    rejected = 0
    while standing:
        level = alpha / (total - rejected)
        newly = []
        for i, report in zip(standing, compare_all([periods[i][2] for i in standing], level)):
            reports[i], levels[i] = report, level
            if not report.passed:
                newly.append(i)
        if not newly:
            break
        rejected += len(newly)
        gone = set(newly)
        standing = [i for i in standing if i not in gone]
    return reports, levels


class Timeline:
    """Reports of consecutive periods: `passed` when every period passed."""

    def __init__(self, reports, *, alpha, correction=None, levels=None):
        self._reports = [(start, end, report) for start, end, report in reports]
        self.alpha = float(alpha)
        self.correction = correction
        self.levels = list(levels) if levels is not None else [self.alpha] * len(self._reports)

    @property
    def passed(self) -> bool:
        """True when every period passed."""
        return all(report.passed for _, _, report in self._reports)

    @property
    def reports(self) -> list:
        """[(start, end, Report)], one per period, in time order."""
        return list(self._reports)

    @property
    def failures(self) -> list:
        """[(start, end, Report)] of the periods that failed."""
        return [item for item in self._reports if not item[2].passed]

    def __len__(self) -> int:
        return len(self._reports)

    def to_pandas(self):
        """One row per period and check, plus the check's interval (`interval_low`, `interval_high`)
        and the period's rows."""
        import pandas as pd

        records = []
        for start, end, report in self._reports:
            rows = report.rows()[1]
            for c in report.checks:
                low, high = c.interval if c.interval is not None else (None, None)
                records.append((start, end, c.family, c.column, getattr(c, "segment", None), c.metric, c.reference,
                                c.current, c.p_value, bool(c.failed), bool(c.details.get("estimated", False)),
                                low, high, rows))
        frame = pd.DataFrame.from_records(records, columns=list(COLUMNS) + ["interval_low", "interval_high",
                                                                            "rows"])
        for name in ("reference", "current", "p_value", "interval_low", "interval_high"):
            frame[name] = pd.to_numeric(frame[name], errors="coerce").astype("float64")
        return frame

    def series(self) -> dict:
        """{(family, column, segment, metric): [(start, end, Check)]} over the periods."""
        out: dict = {}
        for start, end, report in self._reports:
            for c in report.checks:
                out.setdefault((c.family, c.column, getattr(c, "segment", None), c.metric), []).append((start, end, c))
        return out

    def failing_series(self) -> list:
        """The series with a failure in some period, the most often failing first."""
        found = [(key, items) for key, items in self.series().items() if any(c.failed for _, _, c in items)]
        found.sort(key=lambda kv: -sum(c.failed for _, _, c in kv[1]))
        return found

    def changes(self) -> list:
        """Each run of failing periods of one check, once, by start: a `Change` with `family`,
        `column`, `metric`, `segment`, `started` (the first failing period's start) and `resolved`
        (the start of the first passing period after it, or None while it still fails)."""
        return found_changes.changes(self.series())

    def to_openmetrics(self, labels=None) -> str:
        """The last period's report as Prometheus/OpenMetrics text exposition (see
        `Report.to_openmetrics`): what a daily job exports after adding the day."""
        if not self._reports:
            raise ValueError("the timeline has no period to export")
        return self._reports[-1][2].to_openmetrics(labels=labels)

    def plot(self, *, max_panels: int = MAX_PANELS):
        """A matplotlib Figure: each failing metric over time against its reference value, with each
        period's interval and its failures in red (drift checks: their distance against 0)."""
        from matplotlib.figure import Figure

        failing = self.failing_series()[:max_panels]
        if not failing:
            fig = Figure(figsize=(9, 2.2))
            ax = fig.add_subplot()
            ax.axis("off")
            ax.text(0.5, 0.5, f"all {len(self)} periods passed", ha="center", va="center", fontsize=14,
                    color=PASSED_COLOUR)
            return fig
        cols = 1 if len(failing) < 3 else 2
        rows = math.ceil(len(failing) / cols)
        fig = Figure(figsize=(7 * cols, 2.6 * rows), layout="constrained")
        counted = {_x(start): report.rows()[1] for start, _, report in self._reports}
        for i, (key, items) in enumerate(failing):
            _trend_panel(fig.add_subplot(rows, cols, i + 1), key, items, counted)
        return fig

    def summary(self, limit: int = 10) -> str:
        """A few lines for a terminal: the verdict and the first failing periods."""
        failed = self.failures
        scope = "each period at" if self.correction is None else f"the run ({self.correction}) at"
        lines = [f"{'PASSED' if self.passed else 'FAILED'}: {len(failed)} of {len(self)} periods failed "
                 f"({scope} alpha={self.alpha:g})"]
        for start, end, report in failed[:limit]:
            names = ", ".join(c.label() for c in report.failures[:3])
            more = len(report.failures) - 3
            lines.append(f"  {_when(start)} – {_when(end)}: {names}" + (f" and {more} more" if more > 0 else ""))
        if len(failed) > limit:
            lines.append(f"  ... and {len(failed) - limit} more periods")
        return "\n".join(lines)

    def __repr__(self) -> str:
        return f"<morvane.Timeline {self.summary(limit=3)}>"

    def to_dict(self) -> dict:
        """JSON-safe: the verdict, alpha, the correction and every period's report with its level."""
        from morvane.comparing.numbers import json_safe

        return {"passed": self.passed, "alpha": self.alpha, "correction": self.correction,
                "periods": [{"start": _when(s), "end": _when(e), "level": json_safe(level), **r.to_dict()}
                            for (s, e, r), level in zip(self._reports, self.levels)]}

    def to_html(self, path=None, *, figure: bool = True):
        """Write one self-contained dashboard at `path` (a status strip of the periods, the failing
        metrics' trends, the failing periods' checks) and return the path; without a path, the text."""
        from pathlib import Path

        text = dashboard(self, figure=figure)
        if path is None:
            return text
        path = Path(path)
        path.write_text(text, encoding="utf-8")
        return path


def _when(value) -> str:
    """A period bound for people: a date, a date and time, or a row number."""
    if isinstance(value, np.datetime64):
        text = str(value.astype("datetime64[s]"))
        return text[:10] if text.endswith("T00:00:00") else text.replace("T", " ")
    return str(value)


def _x(value):
    return value.astype("datetime64[ms]").astype(object) if isinstance(value, np.datetime64) else value


def _trend_panel(ax, key, items, counted=None):
    """One metric over time: its values (hollow where estimated) with their intervals, failures in
    red, the reference value, and each period's rows as grey bars behind (a partial period stands out
    as a short bar, not as a jump)."""
    family, column, segment, metric = key
    first = items[0][2]
    own_values = first.reference is not None or any(c.current is not None for _, _, c in items)
    xs, ys, lows, highs, failed, guessed = [], [], [], [], [], []
    for start, _, c in items:
        value = c.current if own_values else c.change
        if value is None or not np.isfinite(value):
            continue
        base = c.reference if own_values and c.reference is not None else 0.0
        low = high = value
        estimated = bool(c.details.get("estimated", False))
        if c.interval is not None and all(np.isfinite(c.interval)):
            if estimated or not own_values:  # an estimate's (and a distance's) interval is of the value itself
                low, high = c.interval
            else:
                low, high = base + c.interval[0], base + c.interval[1]
        xs.append(_x(start))
        ys.append(value)
        lows.append(min(low, value))
        highs.append(max(high, value))
        failed.append(c.failed)
        guessed.append(estimated)
    ys, lows, highs, failed, guessed = map(np.asarray, (ys, lows, highs, failed, guessed))
    if counted:  # rows per period: grey bars along the bottom quarter of the panel
        when = [x for x in counted if counted[x] is not None]
        most = max((counted[x] for x in when), default=0)
        if most > 0:
            from matplotlib.transforms import blended_transform_factory

            from matplotlib.dates import date2num
            from matplotlib.patches import Rectangle

            at = np.asarray([x if isinstance(x, (int, np.integer)) else date2num(x) for x in when], dtype=np.float64)
            width = float(np.diff(at).min()) * 0.8 if len(at) > 1 else 0.8
            blend = blended_transform_factory(ax.transData, ax.transAxes)
            for x, key in zip(at, when):  # artists outside the data limits: the metric keeps its own scale
                ax.add_artist(Rectangle((x - width / 2, 0.0), width, 0.25 * counted[key] / most, transform=blend,
                                        color="#e3e3e3", zorder=0))
            ax.text(0.995, 0.01, f"rows per period (grey, up to {most:,})", transform=ax.transAxes, ha="right",
                    va="bottom", fontsize=6, color="#888888")
    if len(xs):
        ax.vlines(xs, lows, highs, color="#999999", linewidth=1, zorder=1)
        ax.plot(xs, ys, color=CURRENT_COLOUR, linewidth=1, zorder=2)
        for mask, colour, size in ((~failed.astype(bool), PASSED_COLOUR, 8), (failed.astype(bool), FAILED_COLOUR, 14)):
            for hollow in (False, True):
                pick = mask & (guessed.astype(bool) == hollow)
                if not pick.any():
                    continue
                ax.scatter([x for x, k in zip(xs, pick) if k], ys[pick], s=size, zorder=4,
                           facecolors="none" if hollow else colour, edgecolors=colour,
                           label="estimated" if hollow else None)
    reference = first.reference if own_values else 0.0
    if reference is not None and np.isfinite(reference):
        ax.axhline(reference, color=REFERENCE_COLOUR, linestyle="--", linewidth=1, label="reference")
    label = " · ".join(str(p) for p in (family, column, None if segment is None else "/".join(map(str, segment)),
                                        metric) if p is not None)
    n_estimated = int(guessed.sum())
    mark = "" if not n_estimated else (" ESTIMATED" if n_estimated == len(guessed) else f" ({n_estimated} estimated)")
    ax.set_title(f"{label}{mark}  ({int(failed.sum())} of {len(items)} failed)", fontsize=9)
    ax.set_ylabel(metric if own_values else first.details.get("distance", "distance"), fontsize=8)
    ax.tick_params(labelsize=7)
    for tick in ax.get_xticklabels():
        tick.set_rotation(20)


# ---- the dashboard ---------------------------------------------------------------------------------

STYLE = base_style("morvane-timeline", 1400) + """
.morvane-timeline .strip { display: flex; flex-wrap: wrap; gap: 1px; margin: 8px 0; }
.morvane-timeline .strip a { display: block; width: 10px; height: 28px; }
.morvane-timeline .strip a.passed { background: #2e7d32; }
.morvane-timeline .strip a.failed { background: #c62828; }
.morvane-timeline .strip a.empty { background: repeating-linear-gradient(45deg, #c62828 0 3px, #bbbbbb 3px 6px); }
.morvane-timeline .strip a.estimated { box-shadow: inset 0 -6px 0 #6a1b9a; }
.morvane-timeline .span { display: inline-block; max-width: 100%; }
.morvane-timeline .axis { display: flex; justify-content: space-between; gap: 24px; color: #666; font-size: 12px; }
"""


def _strip(tl: Timeline, link: str = "") -> str:
    """The status strip: a cell per period, a failing one linking to its checks in the dashboard at
    `link` (this page when empty)."""
    cells = []
    for i, (start, end, report) in enumerate(tl.reports):
        n = len(report.failures)
        rows = report.rows()[1]
        state = "failed empty" if rows == 0 else "failed" if n else "passed"
        estimated = any(c.details.get("estimated", False) for c in report.checks)
        if estimated:
            state += " estimated"
        title = f"{_when(start)} – {_when(end)}: " + ("no rows" if rows == 0 else f"{n} checks failed" if n
                                                      else "passed") + \
            ("" if rows is None else f", {rows:,} rows") + (", performance estimated" if estimated else "")
        target = f' href="{escape(link)}#period-{i}"' if n else ""
        cells.append(f'<a class="{state}"{target} title="{escape(title)}"></a>')
    axis = ""
    if tl.reports:
        axis = (f'<div class="axis"><span>{escape(_when(tl.reports[0][0]))}</span>'
                f'<span>{escape(_when(tl.reports[-1][1]))}</span></div>')
    return (f'<section id="strip"><h2>Periods</h2><div class="span"><div class="strip">{"".join(cells)}</div>'
            f'{axis}</div></section>')


def _series_table(tl: Timeline) -> str:
    failing = tl.failing_series()
    if not failing:
        return ""
    rows = []
    for (family, column, segment, metric), items in failing:
        seg = "—" if segment is None else "/".join(map(str, segment))
        estimated = sum(bool(c.details.get("estimated", False)) for _, _, c in items)
        css = ' class="estimated"' if estimated else ""
        rows.append(f"<tr><td>{escape(family)}</td><td>{escape(column if column is not None else '—')}</td>"
                    f"<td>{escape(seg)}</td><td{css}>{escape(metric)}"
                    f"{' (estimated)' if estimated else ''}</td>"
                    f'<td class="num">{sum(c.failed for _, _, c in items)} of {len(items)}</td>'
                    f'<td class="num">{estimated}</td></tr>')
    return ('<section id="series"><h2>Failing checks over the run</h2><table><thead><tr><th>family</th>'
            '<th>column</th><th>segment</th><th>metric</th><th>periods failed</th><th>periods estimated</th>'
            '</tr></thead><tbody>'
            + "".join(rows) + "</tbody></table></section>")


def _rules(tl: Timeline) -> str:
    """The declared rules over the run: what each means, its violations over every period, and the
    periods whose check failed."""
    found = {}
    for _, _, report in tl.reports:
        checks = {c.metric: c for c in report.checks if c.family == "rules"}
        for row in report.tables.get("rules", ()):
            rule = found.setdefault(row["rule"], {"meaning": row["meaning"], "severity": row["severity"],
                                                  "violating": 0, "evaluated": 0, "failed": 0})
            rule["violating"] += row["violating"]
            rule["evaluated"] += row["evaluated"]
            rule["failed"] += bool(checks.get(row["rule"]) and checks[row["rule"]].failed)
    if not found:
        return ""
    rows = "".join(f'<tr class="{"failed" if r["failed"] else "passed"}"><td>{escape(name)}</td>'
                   f'<td class="details">{escape(r["meaning"])}</td><td>{escape(r["severity"])}</td>'
                   f'{cell(r["violating"])}{cell(r["evaluated"])}<td class="num">{r["failed"]} of {len(tl)}</td></tr>'
                   for name, r in found.items())
    return ('<section id="rules"><h2>Rules</h2><table><thead><tr><th>rule</th><th>meaning</th><th>severity</th>'
            '<th>rows violating</th><th>rows evaluated</th><th>periods failed</th></tr></thead><tbody>'
            + rows + "</tbody></table></section>")


def _figure(tl: Timeline) -> str:
    return png_section("trends", "Trends", "each failing metric over time against its reference", tl.plot, 80)


def _failing_periods(tl: Timeline) -> str:
    parts = []
    for i, (start, end, report) in enumerate(tl.reports):
        if report.passed:
            continue
        rows = report.rows()[1]
        head = (f'<h3 id="period-{i}">{escape(_when(start))} – {escape(_when(end))}: {len(report.failures)} of '
                f'{len(report.checks)} checks failed' + ("" if rows is None else f", {rows:,} rows") + "</h3>")
        body = []
        for c in report.failures:
            seg = "—" if getattr(c, "segment", None) is None else "/".join(map(str, c.segment))
            body.append(f'<tr class="failed"><td>{escape(c.family)}</td>'
                        f"<td>{escape(c.column if c.column is not None else '—')}</td><td>{escape(seg)}</td>"
                        f"<td>{escape(c.metric)}</td>{cell(c.reference)}{cell(c.current)}{cell(c.change)}"
                        f"{cell(c.p_value, p_value=True)}"
                        f"<td>{'estimated' if c.details.get('estimated', False) else 'measured'}</td></tr>")
        parts.append(head + "<table><thead><tr><th>family</th><th>column</th><th>segment</th><th>metric</th>"
                     "<th>reference</th><th>current</th><th>change</th><th>p-value</th><th>value</th></tr></thead>"
                     f"<tbody>{''.join(body)}</tbody></table>")
    if not parts:
        return ""
    return '<section id="failures"><h2>Failing periods</h2>' + "".join(parts) + "</section>"


def dashboard(tl: Timeline, *, figure: bool = True) -> str:
    failed = len(tl.failures)
    verdict = "passed" if tl.passed else "failed"
    scope = ("each period tested at alpha = {a:g}: about alpha × periods false alarms are expected over a run "
             "of unchanged data" if tl.correction is None else
             "periods corrected together (Holm): at most alpha = {a:g} chance of any false alarm in the run")
    facts = [f"{failed} of {len(tl)} periods failed", scope.format(a=tl.alpha)]
    empty = sum(r.rows()[1] == 0 for _, _, r in tl.reports)
    if empty:
        facts.append(f"{empty} periods without rows")
    checks = [c for _, _, r in tl.reports for c in r.checks]
    estimated = sum(any(c.details.get("estimated", False) for c in r.checks) for _, _, r in tl.reports)
    if estimated:
        facts.append(f"{estimated} periods with estimated performance (no labels yet)")
    notes = list(dict.fromkeys(note for _, _, r in tl.reports for note in r.notes()))
    if any(c.family == "cumulative" for c in checks):
        notes.append("cumulative checks: the evidence of the run so far against the reference, each period's at "
                     "alpha / the run's length (Bonferroni over the periods: by theory, an unchanged run of that "
                     "length raises a cumulative false alarm with probability at most alpha)")
    header = (f'<header class="verdict {verdict}"><h1>{verdict.upper()}{estimated_badge(checks)}</h1>'
              f"<p>{escape(' · '.join(facts))}</p></header>" + notes_section(notes))
    body = header + _strip(tl) + _series_table(tl) + _rules(tl) + (_figure(tl) if figure else "") + \
        _failing_periods(tl)
    return ('<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            '<meta name="viewport" content="width=device-width, initial-scale=1">'
            f"<title>morvane timeline: {verdict.upper()}</title></head><body>"
            f'<div class="morvane-timeline"><style>{STYLE}</style>{body}</div></body></html>\n')
