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
    return pd.DataFrame({"age": age, "income": income, "country": pd.Series(country, dtype=object),
                         "email": pd.Series(users[rng.integers(0, len(users), rows)], dtype=object), "start": start,
                         "end": end, "price": price, "quantity": quantity, "total": total})


RULES = [mv.Rule("age", between=(18, 120)), mv.Rule("country", one_of=["FR", "NO", "SE", "DE"]),
         mv.Rule("email", matches=PATTERN), mv.Rule("income", not_null=True), mv.Rule("end", at_least="start"),
         mv.Rule(where="price * quantity <= total", name="totals")]
COLUMNS = ["age", "country", "email", "income", "start", "end", "price", "quantity", "total"]


def cpu(fn, repeats):
    return median_time(fn, repeats=repeats, warmup=1, clock=time.process_time)


def morvane_counts(df):
    layout = mv.profile(df.iloc[:1000], features=[], rules=RULES)
    counted = {}

    def run():
        counted["p"] = mv.profile(df, like=layout)
    return run, lambda: [counted["p"].violations(r.name) for r in RULES]


def pandera_counts(df):
    import pandera.pandas as pa

    checks = {
        "age": pa.Column(float, pa.Check.in_range(18, 120), nullable=True),
        "country": pa.Column(object, pa.Check.isin(["FR", "NO", "SE", "DE"])),
        "email": pa.Column(object, pa.Check.str_matches(PATTERN)),
        "income": pa.Column(float, nullable=False),
    }
    schema = pa.DataFrameSchema(checks, checks=[
        pa.Check(lambda d: d["end"] >= d["start"], name="at_least", ignore_na=False),
        pa.Check(lambda d: d["price"] * d["quantity"] <= d["total"], name="where", ignore_na=False)])
    found = {}

    def run():
        try:
            schema.validate(df, lazy=True)
            found["cases"] = None
        except pa.errors.SchemaErrors as e:
            found["cases"] = e.failure_cases

    def counts():
        cases = found["cases"]
        if cases is None:
            return [0] * 6
        def n(mask):
            return int(cases[mask]["index"].nunique())
        return [n(cases.check.astype(str).str.startswith("in_range")), n(cases.check.astype(str).str.startswith("isin")),
                n(cases.check.astype(str).str.startswith("str_matches")), n(cases.check.astype(str) == "not_nullable"),
                n(cases.check.astype(str) == "at_least"), n(cases.check.astype(str) == "where")]
    return run, counts


def gx_counts(df):
    import great_expectations as gx

    context = gx.get_context(mode="ephemeral")
    batch = context.data_sources.add_pandas("bench").add_dataframe_asset("table").add_batch_definition_whole_dataframe(
        "all").get_batch(batch_parameters={"dataframe": df})
    suite = [gx.expectations.ExpectColumnValuesToBeBetween(column="age", min_value=18, max_value=120),
             gx.expectations.ExpectColumnValuesToBeInSet(column="country", value_set=["FR", "NO", "SE", "DE"]),
             gx.expectations.ExpectColumnValuesToMatchRegex(column="email", regex=PATTERN),
             gx.expectations.ExpectColumnValuesToNotBeNull(column="income"),
             gx.expectations.ExpectColumnPairValuesAToBeGreaterThanB(column_A="end", column_B="start", or_equal=True,
                                                                    ignore_row_if="either_value_is_missing")]
    found = {}

    def run():
        found["results"] = [batch.validate(e, result_format="SUMMARY") for e in suite]

    def counts():
        return [int(r.result.get("unexpected_count", 0)) for r in found["results"]] + [None]
    return run, counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, nargs="+", default=[1_000_000, 10_000_000])
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    warnings.filterwarnings("ignore")
    for rows in args.rows:
        df = make_table(rows)
        print(f"\n{rows:,} rows x {len(KINDS)} rules ({', '.join(KINDS)}); CPU seconds, medians of {args.repeats}")
        run, counts = morvane_counts(df)
        ours = cpu(run, args.repeats)
        expected = [v for v, _ in counts()]
        print(f"{'morvane':<22}{ours:>9.3f}s  violations {expected}")
        for label, make in (("pandera", pandera_counts), ("great_expectations", gx_counts)):
            try:
                peer_run, peer_counts = make(df)
                seconds = cpu(peer_run, args.repeats)
            except ImportError as error:
                print(f"{label:<22}  skipped: {error}")
                continue
            got = peer_counts()
            same = all(g is None or g == e for g, e in zip(got, expected))
            print(f"{label:<22}{seconds:>9.3f}s  {seconds / ours:>6.1f}x morvane  violations {got} "
                  f"({'the same' if same else 'DIFFERENT'}{'; where rule not timed' if None in got else ''})")
        plain = mv.profile(df.iloc[:1000], exclude=["start", "end"])
        ruled = mv.profile(df.iloc[:1000], exclude=["start", "end"], rules=RULES)
        without = cpu(lambda: mv.profile(df, like=plain), args.repeats)
        with_rules = cpu(lambda: mv.profile(df, like=ruled), args.repeats)
        print(f"{'profile without rules':<22}{without:>9.3f}s")
        print(f"{'profile with rules':<22}{with_rules:>9.3f}s  {with_rules / without:>6.2f}x (target <= 1.5x)")


if __name__ == "__main__":
    main()
