"""The report's figure: reference against current histograms of the failing drift features, and the
change of the other metrics with their intervals. Built on matplotlib's Figure directly (no pyplot),
so it works without a display and leaves pyplot's global state alone."""

from __future__ import annotations

import math

import numpy as np

from morvane.comparing.numbers import fmt

REFERENCE_COLOUR = "#5b7fa6"
CURRENT_COLOUR = "#e07b39"
FAILED_COLOUR = "#c62828"
PASSED_COLOUR = "#555555"
MAX_BARS = 30  # categorical features with more categories show the largest ones
MAX_CHANGES = 30  # rows of the metric-change panel


def column_type(profile, column) -> str | None:
    """The type family the reference recorded for a column (datetime, duration, ...), if any."""
    return dict(getattr(getattr(profile, "layout", None), "types", ())).get(column)


def edge_labels(edges, kind=None) -> list:
    """Tick labels of bin edges: numbers, or for times (nanoseconds) dates and durations."""
    if kind == "datetime":
        # Edges are doubles (256 ns apart near today): to the microsecond, the double after a
        # reference's latest instant reads as that instant.
        instants = np.array([round(float(e) / 1000.0) * 1000 for e in edges], dtype="datetime64[ns]")
        midnight = all(str(t).endswith("T00:00:00.000000000") for t in instants)
        unit = "D" if midnight else "s" if all(str(t).endswith(".000000000") for t in instants) else "ms"
        return [np.datetime_as_string(t, unit=unit).replace("T", " ") for t in instants]
    if kind == "duration":
        return [f"{float(e) / 1e9:.4g} s" for e in edges]
    return [f"{float(edge):.3g}" for edge in edges]


def shares(profile, column):
    """(bins, shares) of one column in one profile: the share of every bin or category among all rows,
    with the missing values' share last."""
    bins, counts = profile.histogram(column)
    counts = np.append(np.asarray(counts, dtype=np.float64), float(profile.missing(column)))
    return bins, counts / max(counts.sum(), 1.0)


def feature_panel(axes, report, check, max_bars=MAX_BARS):
    """Side-by-side bars of the reference and current shares of one feature."""
    bins, ref = shares(report.reference, check.column)
    _, cur = shares(report.current, check.column)
    continuous = np.asarray(bins).dtype.kind in "fiu"  # edges; categories are strings
    values = len(ref) - 1
    keep = np.arange(values)
    if not continuous and values > max_bars:
        keep = np.sort(np.argsort(-(ref[:values] + cur[:values]), kind="stable")[:max_bars])
    with_missing = ref[-1] > 0 or cur[-1] > 0
    if with_missing:
        keep = np.append(keep, values)
    x = np.arange(len(keep), dtype=np.float64)
    axes.bar(x - 0.2, ref[keep], width=0.4, color=REFERENCE_COLOUR, label="reference")
    axes.bar(x + 0.2, cur[keep], width=0.4, color=CURRENT_COLOUR, label="current")
    if continuous:
        # Ticks sit on the boundaries between bins and carry the edge values.
        ticks = [i + 0.5 for i in range(len(bins))]
        labels = edge_labels(bins, column_type(report.reference, check.column))
    else:
        names = [str(bins[i]) if i < len(bins) else "other" for i in keep if i < values]
        ticks = list(x[: len(names)])
        labels = [name if len(name) <= 14 else name[:13] + "…" for name in names]
    if with_missing:
        ticks.append(x[-1])
        labels.append("missing")
    axes.set_xticks(ticks, labels, rotation=45, ha="right", fontsize=7)
    axes.set_ylabel("share of rows", fontsize=8)
    axes.set_title(f"{check.column}  (p={fmt(check.p_value, p_value=True)})", fontsize=9, color=FAILED_COLOUR)
    axes.tick_params(axis="y", labelsize=7)
    axes.legend(fontsize=7, frameon=False)


def changes_panel(axes, family, checks):
    """One row per metric of a family: its change, the interval of the change as a bar, failures in
    red. Changes spanning orders of magnitude (ratios beside differences) get a symmetric-log axis."""
    y = np.arange(len(checks))[::-1]
    values = []
    for row, check in zip(y, checks):
        colour = FAILED_COLOUR if check.failed else PASSED_COLOUR
        if check.interval is not None and all(math.isfinite(v) for v in check.interval):
            low, high = check.interval
            axes.plot([low, high], [row, row], color=colour, linewidth=2, alpha=0.6)
            values += [abs(low), abs(high)]
        axes.plot([check.change], [row], "o", color=colour, markersize=5)
        values.append(abs(float(check.change)))
    axes.axvline(0.0, color="#999999", linewidth=0.8)
    scale = [v for v in values if v > 0]
    if scale and max(scale) > 20 * float(np.median(scale)):
        axes.set_xscale("symlog", linthresh=float(np.median(scale)))
    axes.set_yticks(y, [check.label().removeprefix(family + " · ") for check in checks], fontsize=7)
    axes.set_ylim(-0.7, len(checks) - 0.3)
    axes.set_xlabel("change (current − reference), with its interval", fontsize=8)
    axes.set_title(f"{family.capitalize()}: metric changes (failures in red)", fontsize=9)
    axes.tick_params(axis="x", labelsize=7)


def plotted_features(report, max_features):
    """The failing drift checks whose histograms both profiles can give, at most `max_features`."""
    if report.reference is None or report.current is None:
        return []
    found = []
    for check in report.failures:
        if check.family != "drift" or check.column is None or check.column in [c.column for c in found]:
            continue
        try:
            report.reference.histogram(check.column)
            report.current.histogram(check.column)
        except (KeyError, ValueError, AttributeError, TypeError):
            continue
        found.append(check)
        if len(found) == max_features:
            break
    return found


def plotted_changes(report):
    """Per family other than drift, the checks with a finite change: failures first, then the rest in
    report order, at most MAX_CHANGES in all."""
    usable = [c for c in report.checks
              if c.family != "drift" and c.change is not None and math.isfinite(float(c.change))]
    ordered = ([c for c in usable if c.failed] + [c for c in usable if not c.failed])[:MAX_CHANGES]
    families = []
    for check in ordered:
        if check.family not in families:
            families.append(check.family)
    return [(family, [c for c in ordered if c.family == family]) for family in families]


def figure(report, *, max_features=6):
    from matplotlib.figure import Figure

    features = plotted_features(report, max_features)
    changes = plotted_changes(report)
    columns = min(3, max(1, len(features)))
    heights = [3.0] * math.ceil(len(features) / columns) + [0.25 * len(rows) + 1.0 for _, rows in changes]
    fig = Figure(figsize=(12, max(sum(heights) + 0.6, 3.0)), layout="constrained")
    if not heights:
        axes = fig.add_subplot()
        axes.axis("off")
        axes.text(0.5, 0.5, "No failing feature and no metric change to show", ha="center", va="center")
    else:
        # One subfigure per row, so that long metric names do not squeeze the histograms.
        parts = fig.subfigures(len(heights), 1, height_ratios=heights, squeeze=False)[:, 0]
        for i, check in enumerate(features):
            if i % columns == 0:
                row = parts[i // columns].subplots(1, columns, squeeze=False)[0]
            feature_panel(row[i % columns], report, check)
        for i in range(len(features), math.ceil(len(features) / columns) * columns):
            row[i % columns].axis("off")
        for part, (family, rows) in zip(parts[len(heights) - len(changes):], changes):
            changes_panel(part.add_subplot(), family, rows)
    verdict = "PASSED" if report.passed else "FAILED"
    fig.suptitle(f"{verdict}: {len(report.failures)} of {len(report.checks)} checks failed",
                 color=PASSED_COLOUR if report.passed else FAILED_COLOUR, fontsize=11)
    return fig
