"""The command line: `python -m morvane profile DATA -o reference.mvp`,
`python -m morvane compare reference.mvp DATA` and `python -m morvane timeline reference.mvp DATA
--every 1D`. Exit status: 0 when the report (every period) passes, 1 when it fails, 2 on a usage error
or an input that cannot be read, so a pipeline can stop on 1 alone."""

from __future__ import annotations

import argparse
import json
import re
import sys
from pathlib import Path

from morvane.state.files import atomic_write

EXIT_PASSED, EXIT_FAILED, EXIT_ERROR = 0, 1, 2
RULE = re.compile(r"(?P<op>>=|<=|>|<|one_of:)?(?P<value>.*)", re.S)
COMPARISONS = {">=": "at_least", ">": "above", "<=": "at_most", "<": "below"}


class UsageError(Exception):
    """A mistake in the command line or its inputs, reported in one line with exit status 2."""


def read_table(path: Path):
    """A pyarrow Table from a Parquet file (by magic number or suffix) or else a CSV file."""
    if not path.is_file():
        raise UsageError(f"{path}: no such file")
    if is_history(path):
        raise UsageError(f"{path} is a history file (SQLite), not a table: give it as --history {path}")
    try:
        import pyarrow.csv
        import pyarrow.parquet
    except ImportError as error:
        raise UsageError("reading Parquet or CSV needs pyarrow: pip install 'morvane[cli]'") from error
    with path.open("rb") as handle:
        magic = handle.read(4)
    if magic == b"PAR1" or path.suffix.lower() in (".parquet", ".pq"):
        return pyarrow.parquet.read_table(path)
    return pyarrow.csv.read_csv(path)


def typed(text: str, table, column: str | None):
    """A value given on the command line, in the type of the column it is compared with, so that
    `--positive 1` matches an integer label column and `--positive yes` a string one."""
    if column is None or column not in table.column_names:
        return text
    import pyarrow.types as kinds

    kind = table.schema.field(column).type
    if kinds.is_dictionary(kind):
        kind = kind.value_type
    try:
        if kinds.is_boolean(kind):
            if text.lower() not in ("true", "false", "1", "0"):
                raise ValueError(text)
            return text.lower() in ("true", "1")
        if kinds.is_integer(kind):
            return int(text)
        if kinds.is_floating(kind):
            return float(text)
    except ValueError:
        raise UsageError(f"{text!r} is not a value of column {column!r} ({kind})") from None
    return text


def facet_rule(text: str, table):
    """`COL=RULE` as (column, rule): RULE is `>=x`, `>x`, `<=x`, `<x`, `one_of:a,b,...`, `*` (one group
    per value; also a bare `COL`), or a value (equality)."""
    from morvane.state import rules

    column, sign, rule = text.partition("=")
    if not column:
        raise UsageError(f"--facet {text!r}: expected COL=RULE")
    if not sign or rule == "*":
        return column, None
    match = RULE.fullmatch(rule)
    op, value = match.group("op"), match.group("value")
    if op in COMPARISONS:
        try:
            return column, getattr(rules, COMPARISONS[op])(float(value))
        except ValueError:
            raise UsageError(f"--facet {text!r}: {value!r} is not a number") from None
    if op == "one_of:":
        return column, rules.one_of([typed(item, table, column) for item in value.split(",")])
    return column, typed(rule, table, column)


RULE_WORDS = re.compile(r"(?P<column>\S+)\s+(?:(?P<between>between)\s+(?P<low>\S+)\s+(?:and\s+)?(?P<high>\S+)"
                        r"|(?P<not_null>not\s+null)|(?:one\s+of|one_of)\s+(?P<one_of>.+)|matches\s+(?P<matches>.+)"
                        r"|at\s+(?P<side>least|most)\s+(?P<other>\S+))", re.S)


def bound(text: str, table, column: str):
    """A bound of a --rule in the column's type: an instant for a time column, else a number."""
    import pyarrow.types as kinds

    if column in table.column_names and kinds.is_temporal(table.schema.field(column).type):
        import numpy as np

        try:
            return np.datetime64(text, "ns")
        except ValueError:
            raise UsageError(f"--rule: {text!r} is not a date or time of column {column!r}") from None
    try:
        return float(text)
    except ValueError:
        raise UsageError(f"--rule: {text!r} is not a number") from None


def rule_of(text: str, table):
    """A --rule: `COL between LOW HIGH`, `COL not null`, `COL one of A,B`, `COL matches REGEX`,
    `COL at least X` / `COL at most X` (X a column or a number), or `where: EXPRESSION`."""
    from morvane.state.quality import Rule

    text = text.strip()
    if text.startswith("where:"):
        return Rule(where=text[len("where:"):].strip())
    found = RULE_WORDS.fullmatch(text)
    if found is None:
        raise UsageError(f"--rule {text!r}: expected COL between LOW HIGH, COL not null, COL one of A,B, "
                         "COL matches REGEX, COL at least X, COL at most X or where: EXPRESSION")
    column = found.group("column")
    if found.group("between"):
        return Rule(column, between=(bound(found.group("low"), table, column),
                                        bound(found.group("high"), table, column)))
    if found.group("not_null"):
        return Rule(column, not_null=True)
    if found.group("one_of"):
        return Rule(column, one_of=[typed(v.strip(), table, column) for v in found.group("one_of").split(",")])
    if found.group("matches"):
        return Rule(column, matches=found.group("matches").strip())
    other = found.group("other")
    side = "at_" + found.group("side")
    return Rule(column, **{side: other if other in table.column_names else bound(other, table, column)})


def rules_file(path: Path, table) -> list:
    """--rules FILE: a JSON (or, with PyYAML, a YAML) list of rules, each a --rule text or an object of
    mv.Rule's arguments ({"column": "age", "between": [18, 120], "tolerance": 0.001})."""
    from morvane.state.quality import Rule

    if not path.is_file():
        raise UsageError(f"{path}: no such file")
    text = path.read_text(encoding="utf-8")
    if path.suffix.lower() in (".yaml", ".yml"):
        try:
            import yaml
        except ImportError:
            raise UsageError(f"{path}: reading YAML needs PyYAML (pip install pyyaml); JSON needs nothing") from None
        items = yaml.safe_load(text)
    else:
        try:
            items = json.loads(text)
        except ValueError as error:
            raise UsageError(f"{path}: not JSON ({error})") from None
    if isinstance(items, dict) and "rules" in items:
        items = items["rules"]
    if not isinstance(items, list):
        raise UsageError(f"{path}: expected a list of rules")
    out = []
    for item in items:
        if isinstance(item, str):
            out.append(rule_of(item, table))
        elif isinstance(item, dict):
            options = dict(item)
            column = options.pop("column", None)
            try:
                out.append(Rule(column, **options))
            except TypeError as error:
                raise UsageError(f"{path}: rule {item!r}: {error}") from None
        else:
            raise UsageError(f"{path}: a rule is a text or an object, not {item!r}")
    return out


def edges(text: str):
    """--bins: a heuristic name, or comma-separated edges."""
    if text in ("quantile", "FreedmanDiaconis", "Scott", "Sturges"):
        return text
    import numpy as np

    try:
        return np.array([float(item) for item in text.split(",")], dtype=np.float64)
    except ValueError:
        raise UsageError(f"--bins {text!r}: expected quantile, FreedmanDiaconis, Scott, Sturges or "
                         "comma-separated edges") from None


def names(items) -> list:
    """A list option's values: space- or comma-separated (`--features a,b c` is a, b, c)."""
    return [name for item in items for name in item.split(",") if name]


def profile_options(args, table) -> dict:
    """The options of `mv.profile` that the command line gave (only those)."""
    options = {}
    if args.bins is not None:
        options["bins"] = edges(args.bins)
    for key in ("n_bins", "threshold", "target", "timestamp"):
        if getattr(args, key) is not None:
            options[key] = getattr(args, key)
    for key in ("prediction", "score"):
        given = names(getattr(args, key) or ())
        if given:
            options[key] = given[0] if len(given) == 1 else given
    if args.task is not None:
        options["task"] = None if args.task == "none" else args.task
    if args.positive is not None:
        options["positive"] = typed(args.positive, table, args.target)
    for key in ("features", "categorical", "exclude", "segments"):
        if getattr(args, key) is not None:
            options[key] = names(getattr(args, key))
    if args.facet:
        options["facets"] = dict(facet_rule(text, table) for text in args.facet)
    rules = [rule_of(text, table) for text in args.rule] + (rules_file(args.rules, table) if args.rules else [])
    if rules:
        options["rules"] = rules
    return options


def run_profile(args) -> int:
    from morvane.profiling.profile import profile as make_profile

    table = read_table(args.data)
    options = profile_options(args, table)
    if args.like is not None:
        if options:
            raise UsageError(f"--like takes every option from {args.like}; do not also give "
                             + ", ".join("--" + key.replace("_", "-") for key in options))
        profile = make_profile(table, like=load_profile(args.like, "reference"))
    else:
        profile = make_profile(table, **options)
    profile.save(args.output)
    print(f"wrote {args.output}: {profile.n_rows:,} rows, {len(profile.columns)} columns")
    return EXIT_PASSED


SAVED_MAGICS = (b"MVPF", b"MVMN")  # a saved profile, a saved monitor
HISTORY_MAGIC = b"SQLite format 3\x00"  # a history file is an SQLite database


def _head(path: Path, n: int) -> bytes:
    try:
        with path.open("rb") as handle:
            return handle.read(n)
    except OSError:
        return b""


def is_saved(path: Path) -> bool:
    """Whether a file holds a saved profile or monitor (by its first bytes)."""
    return _head(path, 4) in SAVED_MAGICS


def is_history(path: Path) -> bool:
    """Whether a file is a history's SQLite database (by its first bytes)."""
    return _head(path, len(HISTORY_MAGIC)) == HISTORY_MAGIC


def load_profile(path: Path, role: str):
    """A saved profile, or from a saved monitor its reference (role "reference") or its window."""
    from morvane.loading import load
    from morvane.monitor import Monitor

    if not path.is_file():
        raise UsageError(f"{path}: no such file")
    if is_history(path):
        raise UsageError(f"{path} is a history file (SQLite), not a saved profile: give the reference profile "
                         f"and the history as `python -m morvane timeline REFERENCE.mvp --history {path}`")
    if not is_saved(path):
        raise UsageError(f"{path} is not a saved profile (.mvp): make one with "
                         f"`python -m morvane profile {path} -o reference.mvp`")
    loaded = load(path)
    if isinstance(loaded, Monitor):
        return loaded.reference if role == "reference" else loaded.current
    return loaded


def run_compare(args) -> int:
    from morvane.profiling.profile import profile
    from morvane.reporting.report import compare

    if not is_saved(args.reference) and is_saved(args.data):
        raise UsageError(f"the arguments look swapped: {args.data} is a saved profile and {args.reference} is "
                         f"data; run `python -m morvane compare {args.data} {args.reference}`")
    reference = load_profile(args.reference, "reference")
    if is_saved(args.data):  # a current profile made elsewhere (a monitor, Spark, Dask)
        current = load_profile(args.data, "current")
    else:
        current = profile(read_table(args.data), like=reference)
    options = {"alpha": args.alpha}
    if args.checks:
        options["checks"] = names(args.checks)
    return publish(compare(reference, current, **options), args)


def run_timeline(args) -> int:
    from morvane.history import History

    reference = load_profile(args.reference, "reference")
    if not args.data and args.history is None:
        raise UsageError("give DATA files, or --history FILE to redraw the timeline from a history alone")
    stored = args.history is not None and args.history.is_file()
    if not args.data and not stored:
        raise UsageError(f"{args.history}: no such history file, and no DATA to start one")
    if stored and args.every is None and args.rows is None:
        history = History.open(args.history, readonly=not args.data)  # its own periods
        if history.reference != reference:
            raise UsageError(f"{args.history} holds a history of another reference than {args.reference}")
    else:
        if (args.every is None) == (args.rows is None):
            raise UsageError("give one of --every (e.g. 1D) or --rows N")
        if args.every is not None and reference.layout.timestamp is None:
            raise UsageError("periods of time need a reference profiled with its event times: "
                             "profile --timestamp COL")
        try:
            history = History(reference, args.every, rows=args.rows, tz=args.tz, path=args.history)
        except ValueError as error:
            raise UsageError(str(error)) from None
    for data in args.data:
        history.update(read_table(data))
    timeline = history.timeline(alpha=args.alpha, checks=names(args.checks) if args.checks else None,
                                correction=args.correction)
    return publish(timeline, args)


def publish(result, args) -> int:
    """Write a report's or a timeline's HTML, JSON and metrics where asked, print its summary, send
    it where asked (a Pushgateway, a notification), and return the exit code of its verdict."""
    labels = dict(label(text) for text in names(args.label))
    if args.pushgateway is not None and not args.job:
        raise UsageError("--pushgateway needs --job NAME")
    if args.html is not None:
        result.to_html(args.html)
    if args.json is not None:
        args.json.write_text(json.dumps(result.to_dict(), allow_nan=False, indent=1) + "\n", encoding="utf-8")
    if args.openmetrics is not None:
        # Renamed into place whole: node_exporter's textfile collector never reads half a file.
        atomic_write(args.openmetrics, result.to_openmetrics(labels=labels).encode("utf-8"), mode=0o644)
    print(result.summary())
    for written in (args.html, args.json, args.openmetrics):
        if written is not None:
            print(f"wrote {written}")
    send(result, args, labels)
    return EXIT_PASSED if result.passed else EXIT_FAILED


def send(result, args, labels: dict) -> None:
    """Push the metrics and post the notification the command line asked for. A report notifies when
    it fails, a timeline when a check started or stopped failing at its last period (for Alertmanager
    also while one still fails); JSON is always posted."""
    from morvane.alerts import notify, push
    from morvane.alerts.messages import items

    if args.pushgateway is not None:
        push(result, args.pushgateway, args.job, labels=labels, timeout=args.timeout)
        print(f"pushed the metrics to the Pushgateway (job {args.job})")
    if args.notify is not None:
        kind = args.notify_kind
        if kind == "json" or items(result, kind, False):
            status = notify(result, args.notify, kind=kind, labels=labels, timeout=args.timeout, link=args.link)
            print(f"notified ({kind}): status {status}")


def label(text: str) -> tuple:
    name, sign, value = text.partition("=")
    if not sign or not name:
        raise UsageError(f"--label {text!r}: expected NAME=VALUE")
    return name, value


def export_options(command) -> None:
    """The options that send a verdict where teams look (metrics and notifications)."""
    from morvane.alerts.messages import KINDS

    command.add_argument("--openmetrics", type=Path, metavar="FILE", help="write the metrics as Prometheus text "
                         "(atomically: a FILE.prom in node_exporter's textfile directory)")
    command.add_argument("--pushgateway", metavar="URL", help="push the metrics to a Prometheus Pushgateway")
    command.add_argument("--job", help="the Pushgateway job name (with --pushgateway)")
    command.add_argument("--notify", metavar="URL", help="post the failing checks to this URL")
    command.add_argument("--notify-kind", choices=KINDS, default="alertmanager",
                         help="what --notify's URL receives (default alertmanager)")
    command.add_argument("--link", metavar="URL", help="a link to put in the notification (e.g. the dashboard)")
    command.add_argument("--label", nargs="+", default=[], metavar="NAME=VALUE",
                         help="labels of the metrics and alerts, comma-separated (e.g. model=churn)")
    command.add_argument("--timeout", type=float, default=10.0,
                         help="seconds to keep trying to deliver (default 10)")


def alpha(text: str) -> float:
    value = float(text)
    if not 0.0 < value < 1.0:
        raise argparse.ArgumentTypeError(f"alpha must lie strictly between 0 and 1, not {text}")
    return value


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="python -m morvane", description="Profile tables and compare them "
                                  "with a reference. compare exits 0 when the report passes, 1 when it fails, "
                                  "2 on errors.")
    commands = top.add_subparsers(dest="command", required=True)

    make = commands.add_parser("profile", help="profile a Parquet or CSV file and save the profile")
    make.add_argument("data", type=Path, help="a Parquet or CSV file")
    make.add_argument("-o", "--output", type=Path, required=True, help="where to save the profile (.mvp)")
    make.add_argument("--like", type=Path, metavar="REFERENCE.mvp",
                      help="profile with a saved reference's layout (a window to compare with it); "
                           "takes no other option")
    make.add_argument("--target", help="column of true labels or values")
    make.add_argument("--prediction", nargs="+", help="column of predictions, labels or probabilities "
                      "(several, comma-separated: class probabilities)")
    make.add_argument("--score", nargs="+", help="column of the model's probabilities beside --prediction "
                      "(multiclass: one column per class, comma-separated, in sorted class order)")
    make.add_argument("--task", choices=("regression", "binary", "multiclass", "none"))
    make.add_argument("--positive", help="positive label of a binary task (default 1)")
    make.add_argument("--threshold", type=float, help="probability threshold of a binary task (default 0.5)")
    make.add_argument("--features", nargs="+", help="feature columns, comma-separated (default: all but the "
                      "target, prediction, score, timestamp, excluded and key columns)")
    make.add_argument("--categorical", nargs="+", help="integer columns to treat as categories (comma-separated)")
    make.add_argument("--exclude", nargs="+", help="columns that are not features (comma-separated)")
    make.add_argument("--timestamp", help="column of event times (never a feature)")
    make.add_argument("--segments", nargs="+", help="categorical columns whose most frequent combinations get "
                      "checks of their own (comma-separated)")
    make.add_argument("--facet", action="append", default=[], metavar="COL=RULE",
                      help="a facet: COL=VALUE, COL=>=X, COL=>X, COL=<=X, COL=<X, COL=one_of:A,B or COL=* "
                           "(one group per value); repeat for several")
    make.add_argument("--rule", action="append", default=[], metavar="RULE",
                      help="a data-quality rule: 'age between 18 120', 'income not null', 'country one of FR,NO', "
                           "'email matches REGEX', 'end at least start' or 'where: price * quantity <= total'; "
                           "repeat for several")
    make.add_argument("--rules", type=Path, metavar="FILE", help="rules from a JSON or YAML file: a list of "
                      "--rule texts or of objects such as {\"column\": \"age\", \"between\": [18, 120]}")
    make.add_argument("--bins", help="quantile, FreedmanDiaconis, Scott, Sturges or "
                      "comma-separated edges (--bins=-1,0,1 when the first is negative)")
    make.add_argument("--n-bins", type=int, help="bins of the quantile rule (default 10)")
    make.set_defaults(run=run_profile)

    check = commands.add_parser("compare", help="compare a file with a saved reference profile")
    check.add_argument("reference", type=Path, help="a saved reference profile (.mvp)")
    check.add_argument("data", type=Path, help="a Parquet or CSV file, or a saved current profile (.mvp)")
    check.add_argument("--html", type=Path, help="write the report as one HTML file")
    check.add_argument("--json", type=Path, help="write the report as JSON")
    check.add_argument("--alpha", type=alpha, default=0.01, help="false-alarm rate of the report (default 0.01)")
    check.add_argument("--checks", nargs="+", help="families or metrics to check, comma-separated (default: all)")
    export_options(check)
    check.set_defaults(run=run_compare)

    over = commands.add_parser("timeline", help="compare every period of files with a saved reference")
    over.add_argument("reference", type=Path, help="a saved reference profile (.mvp)")
    over.add_argument("data", type=Path, nargs="*", help="Parquet or CSV files, their rows placed in periods "
                      "(none with --history: the history alone)")
    over.add_argument("--every", help="period: an offset alias such as 1h, 1D or 7D (aligned on the epoch), "
                      "W (weeks from Monday) or 1M (calendar months)")
    over.add_argument("--tz", help="days, weeks and months of this time zone's calendar (e.g. Europe/Paris)")
    over.add_argument("--rows", type=int, help="periods of N rows in file order instead of --every")
    over.add_argument("--history", type=Path, help="a history file (SQLite) to add the rows to and read "
                      "every period from")
    over.add_argument("--html", type=Path, help="write the dashboard as one HTML file")
    over.add_argument("--json", type=Path, help="write every period's report as JSON")
    over.add_argument("--alpha", type=alpha, default=0.01, help="false-alarm rate of each period (default 0.01)")
    over.add_argument("--correction", choices=("holm",), help="correct the periods together: the whole run "
                      "at --alpha instead of each period")
    over.add_argument("--checks", nargs="+", help="families or metrics to check (default: all)")
    export_options(over)
    over.set_defaults(run=run_timeline)
    return top


def main(argv=None) -> int:
    args = parser().parse_args(argv)
    try:
        return args.run(args)
    except UsageError as error:
        message = str(error)
    except Exception as error:  # noqa: BLE001 -- any failure must not look like a failed report (1)
        message = f"{type(error).__name__}: {error}"
    print(f"morvane: error: {message}", file=sys.stderr)
    return EXIT_ERROR
