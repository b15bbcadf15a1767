"""Declared data-quality rules: morvane against pandera and Great Expectations on the same six rules
(between, one_of, matches, not_null, at_least another column, a where= expression) with the same
counts, and the cost of adding the rules to a profile.

    python benchmarks/bench_rules.py [--rows 1000000 10000000] [--repeats 3]

Times are CPU seconds (medians of repeats). morvane's time is a profile of the rules' columns with
the rules alone (reading the table included); pandera validates a DataFrameSchema lazily and its
counts are read from the failure cases; Great Expectations validates an expectation suite on a pandas
batch (its expectations have no row expression: the where rule is left out of its time and noted).
Targets: morvane >= 10x pandera and >= 10x Great Expectations, and a profile with the rules costs at
most 1.5x the profile without them. A peer that cannot be imported is skipped with a message."""

import argparse
import os
import sys
import time
import warnings

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _timing import median_time  # noqa: E402

import morvane as mv  # noqa: E402

PATTERN = r"^[^@]+@[^@]+$"
KINDS = ("between", "one_of", "matches", "not_null", "at_least", "where")


def make_table(rows: int, seed: int = 0) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    age = rng.normal(45, 20, rows).round()
    age[rng.random(rows) < 0.01] = np.nan
    income = rng.lognormal(10, 1, rows)
    income[rng.random(rows) < 0.002] = np.nan
    countries = np.array(["FR", "NO", "SE", "DE", "XX"], dtype=object)
    country = countries[rng.choice(5, rows, p=[0.4, 0.3, 0.2, 0.099, 0.001])]
    users = np.array([f"user{k}@mail.example" if k % 500 else f"user{k}.mail.example" for k in range(20_000)],
                     dtype=object)
    start = np.datetime64("2024-01-01", "ns") + rng.integers(0, 365 * 86400, rows).astype("timedelta64[s]")
    end = start + rng.integers(-3600, 30 * 86400, rows).astype("timedelta64[s]")
    price = rng.uniform(1, 100, rows).round(2)
    quantity = rng.integers(1, 10, rows).astype(np.float64)
    total = price * quantity + rng.choice([0.0, -1.0], rows, p=[0.999, 0.001])
    # Texts in pandas' own string type (what pandas 3 makes of texts, and of a Parquet file's).
    return pd.DataFrame({"age": age, "income": income, "country": pd.Series(country, dtype="string[pyarrow]"),
                         "email": pd.Series(users[rng.integers(0, len(users), rows)], dtype="string[pyarrow]"),
                         "start": start, "end": end, "price": price, "quantity": quantity, "total": total})


RULES = [mv.Rule("age", between=(18, 120)), mv.Rule("country", one_of=["FR", "NO", "SE", "DE"]),
         mv.Rule("email", matches=PATTERN), mv.Rule("income", not_null=True), mv.Rule("end", at_least="start"),
         mv.Rule(where="price * quantity <= total", name="totals")]
COLUMNS = ["age", "country", "email", "income", "start", "end", "price", "quantity", "total"]


def cpu(fn, repeats):
    return median_time(fn, repeats=repeats, warmup=1, clock=time.process_time)


def morvane_counts(df, which):
    rules = [RULES[i] for i in which]
    columns = [c for c in COLUMNS if any(c in r.columns() for r in rules)]
    frame = df[columns]
    layout = mv.profile(frame.iloc[:1000], features=[], rules=rules)
    counted = {}

    def run():
        counted["p"] = mv.profile(frame, like=layout)
    return run, lambda: [counted["p"].violations(r.name) for r in rules]


def pandera_counts(df, which):
    import pandera.pandas as pa

    rows = [
        ("age", pa.Column(float, pa.Check.in_range(18, 120), nullable=True)),
        ("country", pa.Column("string[pyarrow]", pa.Check.isin(["FR", "NO", "SE", "DE"]))),
        ("email", pa.Column("string[pyarrow]", pa.Check.str_matches(PATTERN))),
        ("income", pa.Column(float, nullable=False)),
        ("at_least", pa.Check(lambda d: d["end"] >= d["start"], name="at_least", ignore_na=False)),
        ("where", pa.Check(lambda d: d["price"] * d["quantity"] <= d["total"], name="where", ignore_na=False))]
    chosen = [rows[i] for i in which]
    schema = pa.DataFrameSchema({name: c for name, c in chosen if isinstance(c, pa.Column)},
                                checks=[c for _, c in chosen if isinstance(c, pa.Check)])
    columns = [c for c in COLUMNS if any(c in RULES[i].columns() for i in which)]
    frame = df[columns]
    found = {}

    def run():
        try:
            schema.validate(frame, lazy=True)
            found["cases"] = None
        except pa.errors.SchemaErrors as e:
            found["cases"] = e.failure_cases

    def counts():
        cases = found["cases"]
        names = ("in_range", "isin", "str_matches", "not_nullable", "at_least", "where")
        if cases is None:
            return [0] * len(which)
        check = cases.check.astype(str)
        return [int(cases[check.str.startswith(names[i])]["index"].nunique()) for i in which]
    return run, counts


def gx_counts(df, which):
    import great_expectations as gx

    context = gx.get_context(mode="ephemeral")
    try:  # no progress bars in the printed table
        from great_expectations.data_context.types.base import ProgressBarsConfig

        context.variables.progress_bars = ProgressBarsConfig(globally=False, metric_calculations=False)
    except (ImportError, AttributeError, TypeError):
        pass
    columns = [c for c in COLUMNS if any(c in RULES[i].columns() for i in which)]
    batch = context.data_sources.add_pandas("bench").add_dataframe_asset("table").add_batch_definition_whole_dataframe(
        "all").get_batch(batch_parameters={"dataframe": df[columns]})
    suite = [gx.expectations.ExpectColumnValuesToBeBetween(column="age", min_value=18, max_value=120),
             gx.expectations.ExpectColumnValuesToBeInSet(column="country", value_set=["FR", "NO", "SE", "DE"]),
             gx.expectations.ExpectColumnValuesToMatchRegex(column="email", regex=PATTERN),
             gx.expectations.ExpectColumnValuesToNotBeNull(column="income"),
             gx.expectations.ExpectColumnPairValuesAToBeGreaterThanB(column_A="end", column_B="start", or_equal=True,
                                                                    ignore_row_if="either_value_is_missing"),
             None]  # no expectation takes a row expression
    chosen = [suite[i] for i in which]
    found = {}

    def run():
        found["results"] = [None if e is None else batch.validate(e, result_format="SUMMARY") for e in chosen]

    def counts():
        return [None if r is None else int(r.result.get("unexpected_count", 0)) for r in found["results"]]
    return run, counts


PEERS = (("pandera", pandera_counts), ("great_expectations", gx_counts))


def compare(df, which, repeats, label):
    """One row per implementation: CPU seconds, the ratio to morvane and whether the counts agree."""
    run, counts = morvane_counts(df, which)
    ours = cpu(run, repeats)
    expected = [v for v, _ in counts()]
    print(f"  {label:<10}{'morvane':<20}{ours:>9.3f}s            violations {expected}")
    for name, make in PEERS:
        try:
            peer_run, peer_counts = make(df, which)
        except ImportError as error:
            print(f"  {label:<10}{name:<20}  skipped: {error}")
            continue
        if all(i == 5 for i in which) and name == "great_expectations":
            print(f"  {label:<10}{name:<20}  n/a: no expectation takes a row expression")
            continue
        seconds = cpu(peer_run, repeats)
        got = peer_counts()
        same = all(g is None or g == e for g, e in zip(got, expected))
        print(f"  {label:<10}{name:<20}{seconds:>9.3f}s {seconds / ours:>8.1f}x  violations {got} "
              f"({'the same' if same else 'DIFFERENT'}{'; where rule not checked' if None in got else ''})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, nargs="+", default=[1_000_000, 10_000_000])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--per-kind", action="store_true", help="also time each rule kind alone")
    args = parser.parse_args()
    warnings.filterwarnings("ignore")
    for rows in args.rows:
        df = make_table(rows)
        print(f"\n{rows:,} rows; CPU seconds, medians of {args.repeats}; ratio: the peer's time over morvane's")
        compare(df, list(range(len(KINDS))), args.repeats, "all six")
        if args.per_kind:
            for i, kind in enumerate(KINDS):
                compare(df, [i], args.repeats, kind)
        plain = mv.profile(df.iloc[:1000], exclude=["start", "end"])
        ruled = mv.profile(df.iloc[:1000], exclude=["start", "end"], rules=RULES)
        without = cpu(lambda: mv.profile(df, like=plain), args.repeats)
        with_rules = cpu(lambda: mv.profile(df, like=ruled), args.repeats)
        print(f"  profile without rules {without:>9.3f}s")
        print(f"  profile with rules    {with_rules:>9.3f}s {with_rules / without:>8.2f}x (target <= 1.5x)")


if __name__ == "__main__":
    main()
