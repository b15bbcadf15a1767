"""Declared data-quality rules (mv.Rule): counted in the profile's pass, equal to pandas' counts on
every rule kind, kept in the bytes, merged exactly, judged by the "rules" family of compare."""

import dataclasses
import json

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st
from scipy import stats

import morvane as mv
from morvane import _native
from morvane.tables.read import read_table

DAY = np.timedelta64(1, "D")
START = np.datetime64("2024-01-01", "ns")


def known(values):
    """A pandas nullable float array with NaN as NA: a missing operand of the oracle."""
    a = pd.array(np.asarray(values, dtype=np.float64), dtype="Float64")
    return pd.array(np.where(np.isnan(a.to_numpy(dtype=np.float64, na_value=np.nan)), pd.NA, a), dtype="Float64")


def counts(result):
    """(violating, evaluated) of a nullable boolean result: NA is not evaluated."""
    result = pd.array(result, dtype="boolean")
    evaluated = int((~result.isna()).sum())
    return int((result == False).sum()), evaluated  # noqa: E712 -- NA stays NA


@st.composite
def tables(draw):
    n = draw(st.integers(0, 80))
    floats = st.one_of(st.floats(-50, 150, allow_nan=False), st.just(np.nan), st.just(np.inf))
    x = np.array(draw(st.lists(floats, min_size=n, max_size=n)), dtype=np.float64)
    y = np.array(draw(st.lists(floats, min_size=n, max_size=n)), dtype=np.float64)
    k = np.array(draw(st.lists(st.integers(-3, 3), min_size=n, max_size=n)), dtype=np.int64)
    s = draw(st.lists(st.sampled_from(["FR", "NO", "a@b.c", "x@y", "no at", "", None]), min_size=n, max_size=n))
    days = draw(st.lists(st.one_of(st.integers(-5, 40), st.none()), min_size=n, max_size=n))
    d = np.array([np.datetime64("NaT") if v is None else START + v * DAY for v in days], dtype="datetime64[ns]")
    b = np.array(draw(st.lists(st.booleans(), min_size=n, max_size=n)), dtype=bool)
    return pd.DataFrame({"x": x, "y": y, "k": k, "s": pd.Series(s, dtype=object), "d": d, "b": b})


def oracle(df):
    """Each rule and its counts by pandas, written independently of morvane's grammar."""
    x, y, k = known(df.x), known(df.y), known(df.k)
    s = df.s
    present = s.notna()
    d = known(df.d.astype("int64").where(df.d.notna(), np.nan))

    def where(mask, result):
        return pd.array(np.where(mask, pd.array(result, dtype="boolean"), pd.NA), dtype="boolean")

    low, high = np.datetime64("2024-01-05", "ns").astype(np.int64), np.datetime64("2024-01-20", "ns").astype(np.int64)
    ratio = known((x / y).to_numpy(dtype=np.float64, na_value=np.nan))
    return [
        (mv.Rule("x", between=(0, 100)), (x >= 0) & (x <= 100)),
        (mv.Rule("k", between=(-1, 2)), (k >= -1) & (k <= 2)),
        (mv.Rule("d", between=(np.datetime64("2024-01-05"), pd.Timestamp("2024-01-20"))), (d >= low) & (d <= high)),
        (mv.Rule("s", one_of=["FR", "NO"]), where(present, s.isin(["FR", "NO"]))),
        (mv.Rule("k", one_of=[0, 2, 7]), pd.array(df.k.isin([0, 2, 7]), dtype="boolean")),
        (mv.Rule("b", one_of=[True]), pd.array(df.b, dtype="boolean")),
        (mv.Rule("s", matches=r"^[^@]+@[^@]+$"), where(present, s.fillna("").str.contains(r"^[^@]+@[^@]+$"))),
        (mv.Rule("x", not_null=True), pd.array(~df.x.isna(), dtype="boolean")),
        (mv.Rule("s", not_null=True), pd.array(present, dtype="boolean")),
        (mv.Rule("d", not_null=True), pd.array(df.d.notna(), dtype="boolean")),
        (mv.Rule("x", at_least="y"), x >= y),
        (mv.Rule("x", at_most="y"), x <= y),
        (mv.Rule("x", at_least=10), x >= 10),
        (mv.Rule(where="x * k <= y + 1", name="sum"), known((x * k).to_numpy(np.float64, na_value=np.nan)) <= y + 1),
        (mv.Rule(where="x / y < 2", name="ratio"), ratio < 2),
        (mv.Rule(where="is_null(y) or x >= y", name="kleene or"), pd.array(df.y.isna(), dtype="boolean") | (x >= y)),
        (mv.Rule(where="not (x > 1 and -k < 2)", name="kleene and"), ~((x > 1) & (-k < 2))),
        (mv.Rule(where="b and k != 0", name="flag"), pd.array(df.b, dtype="boolean") & (k != 0)),
        (mv.Rule(where="d - d == 0", name="instants"), (d - d) == 0),
        (mv.Rule(where="`x` >= 1e1", name="quoted"), x >= 10),
    ]


@settings(max_examples=120, deadline=None)
@given(tables(), st.sampled_from(["pandas", "dict", "arrow"]))
def test_violations_equal_pandas_on_every_rule_kind(df, kind):
    cases = oracle(df)
    rules = [rule for rule, _ in cases]
    table = {"pandas": df, "dict": {c: df[c].to_numpy() if c != "s" else df[c].tolist() for c in df},
             "arrow": pytest.importorskip("pyarrow").Table.from_pandas(df, preserve_index=False)}[kind]
    p = mv.profile(table, rules=rules)
    assert [p.violations(rule.name) for rule in rules] == [counts(expected) for _, expected in cases]


@settings(max_examples=60, deadline=None)
@given(tables(), st.lists(st.integers(0, 80), max_size=3))
def test_rules_merge_exactly_and_keep_their_bytes(df, cuts):
    rules = [rule for rule, _ in oracle(df)]
    whole = mv.profile(df, rules=rules)
    bounds = [0, *sorted(min(c, len(df)) for c in cuts), len(df)]
    parts = [mv.profile(df.iloc[a:b], like=whole) for a, b in zip(bounds, bounds[1:])]
    merged = mv.merge(parts[::-1])
    assert merged.to_bytes() == whole.to_bytes()
    again = mv.Profile.from_bytes(whole.to_bytes())
    assert again == whole and again.layout == whole.layout
    assert [again.violations(r.name) for r in rules] == [whole.violations(r.name) for r in rules]


def test_default_names_and_unknown_names():
    assert mv.Rule("age", between=(18, 120)).name == "age between 18 and 120"
    assert mv.Rule("income", not_null=True).name == "income not null"
    assert mv.Rule("c", one_of={"NO", "FR", "SE"}).name == "c one of 'FR', 'NO', 'SE'"  # a set, in one order
    assert mv.Rule(where=" price *  quantity <= total ").name == "price * quantity <= total"
    assert mv.Rule("age", between=(18, 120), tolerance=0.001, severity="warning").name == \
        "age between 18 and 120 (tolerance 0.001, warning)"
    df = pd.DataFrame({"age": [17.0, 30.0], "country": ["FR", "SE"], "email": ["a@b", "ab"], "income": [1.0, None],
                       "start": [1, 2], "end": [2, 1], "price": [1.0, 2.0], "quantity": [2, 2], "total": [2.0, 3.0]})
    p = mv.profile(df, rules=[mv.Rule("age", between=(18, 120)), mv.Rule("country", one_of=["FR", "NO"]),
                              mv.Rule("email", matches=r"^[^@]+@[^@]+$"), mv.Rule("income", not_null=True),
                              mv.Rule("end", at_least="start"), mv.Rule(where="price * quantity <= total", name="totals"),
                              mv.Rule("age", between=(18, 120), tolerance=0.001, severity="warning")])
    assert [p.violations(r.name) for r in p.layout.extra("rules")] == [(1, 2)] * 4 + [(1, 2), (1, 2), (1, 2)]
    with pytest.raises(KeyError, match="no rule"):
        p.violations("age")


TABLE = {"age": np.array([20.0, 30.0]), "name": ["a", "b"], "when": np.array(["2024-01-01"] * 2, "datetime64[ns]")}


@pytest.mark.parametrize("rule, message", [
    (mv.Rule("height", between=(0, 3)), "reads column 'height'"),
    (mv.Rule(where="age * * 2 > 1", name="bad"), "'bad'.*does not parse"),
    (mv.Rule(where="age > 1 > 0", name="chain"), "'chain'.*do not chain"),
    (mv.Rule(where="age + 1", name="value"), "'value'.*not a condition"),
    (mv.Rule(where="age > missing", name="absent"), "'absent' reads column 'missing'"),
    (mv.Rule(where="name > 1", name="text"), "'text' needs numbers"),
    (mv.Rule(where="when > 3", name="mixed"), "'mixed'.*instants with numbers"),
    (mv.Rule("name", between=(0, 1)), "'name between 0 and 1' needs numbers"),
    (mv.Rule("age", matches="1"), "age matches '1'. needs texts"),
    (mv.Rule("name", matches="(", name="re"), "'re'.*pattern"),
    (mv.Rule("name", one_of=[1, 2]), "'name one of 1, 2' compares text"),
    (mv.Rule("when", between=(0, 1)), "give instants"),
    (mv.Rule("age", at_least="name"), "needs numbers or instants in column 'name'"),
    (mv.Rule("age", at_least="when"), "compares float values of 'age' with datetime"),
])
def test_bad_rules_raise_at_profile_time_naming_the_rule(rule, message):
    with pytest.raises(ValueError, match=message):
        mv.profile(TABLE, rules=[rule])


def test_misshapen_rules_and_duplicate_names():
    for kwargs in ({}, {"between": (1, 2), "not_null": True}, {"between": (2, 1)}, {"one_of": []},
                   {"not_null": True, "tolerance": 1.0}, {"not_null": True, "severity": "fatal"}):
        with pytest.raises(ValueError):
            mv.Rule("age", **kwargs)
    with pytest.raises(ValueError, match="exactly one"):
        mv.Rule(where="age > 1", between=(1, 2))
    with pytest.raises(ValueError, match="named 'twice'"):
        mv.profile(TABLE, rules=[mv.Rule("age", not_null=True, name="twice"), mv.Rule("name", not_null=True, name="twice")])
    with pytest.raises(ValueError, match="like="):
        mv.profile(TABLE, like=mv.profile(TABLE), rules=[mv.Rule("age", not_null=True)])


def test_a_window_lacking_a_rule_column_names_the_rule_and_other_rules_do_not_compare():
    ref = mv.profile(TABLE, features=["age"], rules=[mv.Rule("name", not_null=True)])
    with pytest.raises(ValueError, match="'name not null' reads column 'name'"):
        mv.profile({"age": np.array([1.0])}, like=ref)
    with pytest.raises(mv.MismatchError, match="rules differ"):
        mv.compare(ref, mv.profile(TABLE, features=["age"]))


def test_malformed_programs_are_refused_by_the_core():
    t = read_table({"x": np.zeros(3)})
    cols, slot = t.columns, t.slot("x")
    for steps in ([("column", 0, 0.0, 0), ("and", 0, 0.0, 0)], [("column", 0, 0.0, 0)] * 2,
                  [("column", 1, 0.0, 0)], [("member", 0, 0.0, 0)], [("nope", 0, 0.0, 0)]):
        with pytest.raises(ValueError):
            _native.rule_counts(cols, [(steps, [slot], [])], 1)


def rates(violating, evaluated, tolerance=0.0, severity="error"):
    rng = np.random.default_rng(7)
    rule = mv.Rule("v", at_most=0, tolerance=tolerance, severity=severity)
    ref = mv.profile({"f": rng.normal(size=100), "v": np.zeros(100)}, features=["f"], rules=[rule])
    cur = {"f": rng.normal(size=evaluated), "v": np.r_[np.ones(violating), np.zeros(evaluated - violating)]}
    return mv.compare(ref, mv.profile(cur, like=ref))


def test_a_rule_without_tolerance_fails_on_any_violation_and_spends_no_alpha():
    clean, broken = rates(0, 1000), rates(1, 1000)
    (c,) = [c for c in clean.checks if c.family == "rules"]
    (b,) = [c for c in broken.checks if c.family == "rules"]
    assert not c.failed and c.p_value is None and clean.passed
    assert b.failed and not broken.passed and b.details["violating"] == 1 and b.current == 0.001
    # The other checks keep the corrected p-values they had without the rule.
    others = [[c.p_value for c in r.checks if c.family != "rules"] for r in (clean, broken)]
    assert others[1] == pytest.approx(others[0], rel=1e-12)


@pytest.mark.parametrize("violating, evaluated, tolerance", [(3, 1000, 0.001), (12, 1000, 0.005), (0, 50, 0.01),
                                                             (40, 1000, 0.01)])
def test_a_tolerance_is_an_exact_one_sided_binomial_test(violating, evaluated, tolerance):
    report = rates(violating, evaluated, tolerance)
    (check,) = [c for c in report.checks if c.family == "rules"]
    expected = stats.binomtest(violating, evaluated, tolerance, alternative="greater").pvalue
    assert check.details["raw_p_value"] == pytest.approx(expected, rel=1e-9)
    assert check.failed == (check.p_value <= 0.01)


def test_a_warning_never_fails_the_report():
    report = rates(500, 1000, severity="warning")
    (check,) = [c for c in report.checks if c.family == "rules"]
    assert check.failed and check.details["severity"] == "warning" and report.passed
    assert "rules" in report.tables and "warning" in report.to_html()


def test_suggested_rules_hold_on_the_reference_and_catch_new_values():
    df = pd.DataFrame({"age": [20, 35, 61], "city": ["Oslo", "Lyon", "Oslo"], "ok": [True, False, True],
                       "score": [0.5, np.nan, 0.7], "when": pd.to_datetime(["2024-01-01", "2024-02-01", "2024-03-01"])})
    rules = mv.suggest_rules(mv.profile(df))
    names = {r.name for r in rules}
    assert {"age between 20 and 61", "age not null", "city one of 'Lyon', 'Oslo'", "score between 0.5 and 0.7",
            "ok one of False, True"} <= names and "score not null" not in names
    ref = mv.profile(df, rules=rules)
    assert all(ref.violations(r.name)[0] == 0 for r in rules)
    window = df.assign(age=[20, 35, 99], city=["Oslo", "Rome", None], when=pd.to_datetime(["2024-01-01"] * 3))
    found = mv.profile(window, like=ref)
    assert found.violations("age between 20 and 61") == (1, 3)
    assert found.violations("city one of 'Lyon', 'Oslo'") == (1, 2)
    assert found.violations("city not null") == (1, 3)


def test_command_line_rules(tmp_path):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    from morvane.cli import main

    df = pd.DataFrame({"age": [17.0, 30.0, 150.0], "income": [1.0, None, 2.0], "price": [1.0, 2.0, 3.0],
                       "quantity": [2.0, 2.0, 2.0], "total": [2.0, 4.0, 5.0], "country": ["FR", "NO", "SE"]})
    data = tmp_path / "data.parquet"
    pq.write_table(pa.Table.from_pandas(df, preserve_index=False), data)
    file = tmp_path / "rules.json"
    file.write_text(json.dumps([{"column": "country", "one_of": ["FR", "NO"], "name": "countries"},
                                "country matches ^[A-Z]{2}$"]))
    out = tmp_path / "ref.mvp"
    assert main(["profile", str(data), "-o", str(out), "--rule", "age between 18 120", "--rule", "income not null",
                 "--rule", "where: price * quantity <= total", "--rules", str(file)]) == 0
    p = mv.load(out)
    assert [p.violations(n) for n in ("age between 18 and 120", "income not null", "price * quantity <= total",
                                      "countries", "country matches '^[A-Z]{2}$'")] == [(2, 3), (1, 3), (1, 3),
                                                                                        (1, 3), (0, 3)]
    assert main(["profile", str(data), "-o", str(out), "--rule", "age between"]) == 2


def test_the_dashboard_lists_each_rule_with_its_meaning_and_failing_periods():
    df = pd.DataFrame({"ts": pd.date_range("2024-01-01", periods=48, freq="h"), "f": np.arange(48.0) % 24,
                       "v": np.r_[np.zeros(24), np.ones(24)]})
    ref = mv.profile(df.iloc[:24], timestamp="ts", features=["f"], rules=[mv.Rule("v", at_most=0, name="zero")])
    h = mv.History(ref, every="1D")
    h.update(df)
    page = h.timeline().to_html()
    rules = page[page.index('<section id="rules">'):]
    assert "A row violates it when v is above 0" in rules and "1 of 2" in rules and ">24<" in rules


def test_hostile_rule_sections_are_refused():
    from morvane.state.quality import _rebuild

    base = mv.profile(TABLE, rules=[mv.Rule("age", not_null=True)])
    layout = base.layout
    with pytest.raises(mv.FormatError, match="violates more rows"):
        mv.Profile.from_bytes(mv.Profile._make(layout, 2, base.features, None, {}, extras={"rules": ((3, 2),)}).to_bytes())
    for bad in (_rebuild(None, "where", "age >", "w", 0.0, "error"), _rebuild("name", "matches", "(", "m", 0.0, "error"),
                _rebuild("age", "between", (2.0, 1.0), "b", 0.0, "error")):
        hostile = dataclasses.replace(layout, extras=(("rules", (bad,)),))
        with pytest.raises(mv.FormatError, match="malformed rule"):
            mv.Profile.from_bytes(mv.Profile._make(hostile, 2, base.features, None, {}).to_bytes())
    twice = dataclasses.replace(layout, extras=(("rules", layout.extra("rules") * 2),))
    with pytest.raises(mv.FormatError, match="share a name"):
        mv.Profile.from_bytes(mv.Profile._make(twice, 2, base.features, None, {}).to_bytes())


def test_rules_survive_pickling_monitors_and_segments():
    import pickle

    rule = mv.Rule("v", between=(np.datetime64("2024-01-01"), np.datetime64("2024-02-01")), tolerance=0.01)
    assert pickle.loads(pickle.dumps(rule)) == rule and hash(pickle.loads(pickle.dumps(rule))) == hash(rule)
    rng = np.random.default_rng(5)
    df = pd.DataFrame({"g": rng.choice(["a", "b"], 400), "x": rng.normal(size=400),
                       "v": START + rng.integers(-5, 60, 400) * DAY})
    ref = mv.profile(df, segments=["g"], rules=[rule, mv.Rule(where="x > -1", name="x")])
    assert ref.violations("x") == (int((df.x <= -1).sum()), 400)
    assert pickle.loads(pickle.dumps(ref)) == ref
    mon = mv.Monitor(ref)
    mon.update(df.iloc[:150])
    mon.update(df.iloc[150:])
    assert mon.current.to_bytes() == mv.profile(df, like=ref).to_bytes()
    assert mon.current.violations(rule.name) == ref.violations(rule.name)


def test_rules_from_a_yaml_file(tmp_path):
    pytest.importorskip("yaml")
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    from morvane.cli import main

    data, rules, out = tmp_path / "d.parquet", tmp_path / "rules.yaml", tmp_path / "p.mvp"
    pq.write_table(pa.table({"age": [10.0, 50.0, None], "end": [1.0, 5.0, 2.0], "start": [2.0, 1.0, 1.0]}), data)
    rules.write_text("- column: age\n  between: [18, 120]\n  severity: warning\n- end at least start\n"
                     "- where: is_null(age) or age < 40\n")
    assert main(["profile", str(data), "-o", str(out), "--rules", str(rules)]) == 0
    p = mv.load(out)
    assert [(r.severity, p.violations(r.name)) for r in p.layout.extra("rules")] == [
        ("warning", (1, 2)), ("error", (1, 3)), ("error", (1, 3))]


@settings(max_examples=40, deadline=None)
@given(tables(), st.lists(st.integers(1, 3000), min_size=1, max_size=4), st.integers(0, 3))
def test_chunked_sliced_and_typed_columns_count_as_one_buffer(df, sizes, cut):
    # Blocks of rows never cross a chunk's end, whatever each column's chunks: Arrow columns in
    # chunks of other sizes, sliced with an offset, float32, int8 and byte-swapped NumPy alike.
    pa = pytest.importorskip("pyarrow")
    df = pd.concat([df] * 40, ignore_index=True)
    rules = [rule for rule, _ in oracle(df)]
    want = mv.profile(df, rules=rules)

    def chunked(values, size):
        arr = pa.array(values, from_pandas=True)
        return pa.chunked_array([arr.slice(i, size) for i in range(0, len(arr), size)] or [arr], type=arr.type)

    table = {c: chunked(df[c].to_numpy() if c != "s" else df[c].tolist(), sizes[i % len(sizes)])
             for i, c in enumerate(df.columns)}
    table["k"] = df.k.to_numpy().astype(">i8") if cut % 2 else df.k.to_numpy().astype(np.int8)
    table["y"] = pa.array(np.r_[np.zeros(cut), df.y.to_numpy()]).slice(cut)
    got = mv.profile(table, like=want)
    assert [got.violations(r.name) for r in rules] == [want.violations(r.name) for r in rules]
