"""The command line: `profile` saves what `mv.profile` gives for the same options, `compare` prints the
verdict, writes the same report as `mv.compare` and exits 0 on a pass, 1 on a failure and 2 on any
usage or input error (never 1, which a pipeline reads as "the model's data moved")."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
import pyarrow.csv  # noqa: E402
import pyarrow.parquet  # noqa: E402

import morvane as mv  # noqa: E402
from morvane.cli import main  # noqa: E402


def table(seed, n=2000, shift=0.0, accuracy=0.9):
    rng = np.random.default_rng(seed)
    y = rng.integers(0, 2, n)
    x = rng.normal(size=n) + shift
    z = rng.normal(size=n)
    z[rng.random(n) < 0.05] = np.nan
    right = rng.random(n) < accuracy
    p = np.where(right, 0.5 + 0.5 * rng.random(n), 0.5 * rng.random(n))
    p = np.where(y == 1, p, 1.0 - p)
    return pa.table({"x": x, "z": z, "code": rng.integers(0, 4, n), "city": rng.choice(["a", "b", "c"], n),
                     "sex": rng.choice(["f", "m"], n), "y": y, "p": p})


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("cli")
    paths = {"reference": root / "reference.csv", "same": root / "same.parquet", "drifted": root / "drifted.csv"}
    pyarrow.csv.write_csv(table(1), paths["reference"])
    pyarrow.parquet.write_table(table(2), paths["same"])
    pyarrow.csv.write_csv(table(3, shift=0.5, accuracy=0.7), paths["drifted"])
    return paths


def cli(*args, cwd):
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    return subprocess.run([sys.executable, "-m", "morvane", *map(str, args)], cwd=cwd, capture_output=True,
                          text=True, timeout=300, env=env)


BINARY = ["--target", "y", "--prediction", "p", "--task", "binary"]
OPTION_CASES = [
    (BINARY + ["--positive", "1", "--threshold", "0.4", "--facet", "sex=f", "--facet", "x=>=0.5"],
     dict(target="y", prediction="p", task="binary", positive=1, threshold=0.4,
          facets={"sex": "f", "x": mv.at_least(0.5)})),
    (BINARY + ["--positive", "0", "--facet", "city=one_of:a,b", "--facet", "z=<0", "--facet", "sex=*"],
     dict(target="y", prediction="p", task="binary", positive=0,
          facets={"city": mv.one_of(["a", "b"]), "z": mv.below(0.0), "sex": None})),
    (["--features", "x", "code", "city", "--categorical", "code", "--bins", "Sturges"],
     dict(features=["x", "code", "city"], categorical=["code"], bins="Sturges")),
    (["--features", "x", "z", "--bins=-1,0,1.5"], dict(features=["x", "z"], bins=np.array([-1.0, 0.0, 1.5]))),
    (["--features", "x,code", "city", "--categorical", "code"], dict(features=["x", "code", "city"], categorical=["code"])),
    (["--features=x,z,code"], dict(features=["x", "z", "code"])),
    (["--target", "y", "--score", "p", "--task", "binary", "--threshold", "0.4", "--exclude", "z,city"],
     dict(target="y", score="p", task="binary", threshold=0.4, exclude=["z", "city"])),
    (BINARY + ["--n-bins", "4", "--facet", "x=>1", "--facet", "z=<=0.25"],
     dict(target="y", prediction="p", task="binary", n_bins=4, facets={"x": mv.above(1.0), "z": mv.at_most(0.25)})),
]


@pytest.mark.parametrize("args, options", OPTION_CASES)
def test_profile_saves_what_the_api_gives(files, tmp_path, capsys, args, options):
    out = tmp_path / "reference.mvp"
    assert main(["profile", str(files["reference"]), "-o", str(out), *args]) == 0
    expected = mv.profile(pyarrow.csv.read_csv(files["reference"]), **options)
    assert mv.load(out) == expected
    assert capsys.readouterr().out == f"wrote {out}: 2,000 rows, {len(expected.columns)} columns\n"


def test_profile_like_a_saved_reference(files, tmp_path):
    reference = mv.profile(pyarrow.csv.read_csv(files["reference"]), target="y", prediction="p", task="binary")
    reference.save(tmp_path / "reference.mvp")
    assert main(["profile", str(files["drifted"]), "-o", str(tmp_path / "w.mvp"), "--like",
                 str(tmp_path / "reference.mvp")]) == 0
    assert mv.load(tmp_path / "w.mvp") == mv.profile(pyarrow.csv.read_csv(files["drifted"]), like=reference)
    # Comma lists in compare too.
    code = main(["compare", str(tmp_path / "reference.mvp"), str(tmp_path / "w.mvp"), "--checks", "bias,drift"])
    expected = mv.compare(reference, mv.load(tmp_path / "w.mvp"), checks=["bias", "drift"])
    assert code == (0 if expected.passed else 1)


def test_compare_exit_codes_and_files(files, tmp_path):
    made = cli("profile", files["reference"], "-o", "reference.mvp", *BINARY, "--facet", "sex=f", cwd=tmp_path)
    assert made.returncode == 0, made.stderr
    same = cli("compare", "reference.mvp", files["same"], cwd=tmp_path)
    assert (same.returncode, same.stdout.split(":")[0]) == (0, "PASSED"), same.stdout + same.stderr
    moved = cli("compare", "reference.mvp", files["drifted"], "--html", "r.html", "--json", "r.json", cwd=tmp_path)
    assert (moved.returncode, moved.stdout.split(":")[0]) == (1, "FAILED"), moved.stdout + moved.stderr
    assert "drift · x · " in moved.stdout and moved.stdout.rstrip().endswith("wrote r.json")
    reference = mv.load(tmp_path / "reference.mvp")
    expected = mv.compare(reference, mv.profile(pyarrow.csv.read_csv(files["drifted"]), like=reference))
    assert json.loads((tmp_path / "r.json").read_text()) == json.loads(json.dumps(expected.to_dict()))
    assert '<header class="verdict failed">' in (tmp_path / "r.html").read_text(encoding="utf-8")
    # A current profile saved elsewhere compares like the file it came from; alpha and checks narrow.
    mv.profile(pyarrow.csv.read_csv(files["drifted"]), like=reference).save(tmp_path / "current.mvp")
    saved = cli("compare", "reference.mvp", "current.mvp", "--checks", "bias", "--alpha", "0.001", cwd=tmp_path)
    narrowed = mv.compare(reference, mv.load(tmp_path / "current.mvp"), checks=["bias"], alpha=0.001)
    assert saved.returncode == (0 if narrowed.passed else 1) and saved.stdout.strip() == narrowed.summary()
    # A saved monitor stands for its reference in first place and for its window in second place.
    monitor = mv.Monitor(reference).update(pyarrow.csv.read_csv(files["drifted"]))
    monitor.save(tmp_path / "monitor.mvp")
    for first, second in (("monitor.mvp", files["drifted"]), ("reference.mvp", "monitor.mvp")):
        run = cli("compare", first, second, cwd=tmp_path)
        assert run.returncode == 1 and run.stdout.strip() == expected.summary(), (first, run.stdout + run.stderr)
    broken = cli("compare", "reference.mvp", tmp_path / "absent.csv", cwd=tmp_path)
    assert (broken.returncode, broken.stderr.strip()) == (2, f"morvane: error: {tmp_path / 'absent.csv'}: no such file")


@pytest.mark.parametrize("args, message", [
    (["compare", "{ref}", "{absent}"], "no such file"),
    (["compare", "{absent}", "{csv}"], "no such file"),
    (["compare", "{csv}", "{csv}"], "is not a saved profile (.mvp): make one with"),
    (["compare", "{csv}", "{ref}"], "the arguments look swapped"),
    (["profile", "{csv}", "-o", "{out}", "--like", "{ref}", "--n-bins", "4"], "do not also give --n-bins"),
    (["profile", "{csv}", "-o", "{out}", "--like", "{csv}"], "is not a saved profile"),
    (["compare", "{ref}", "{csv}", "--alpha", "1.5"], None),
    (["compare", "{ref}"], None),
    ([], None),
    (["profile", "{csv}", "-o", "{out}", "--facet", "x=>=abc"], "'abc' is not a number"),
    (["profile", "{csv}", "-o", "{out}", "--facet", "=1"], "expected COL=RULE"),
    (["profile", "{csv}", "-o", "{out}", "--bins", "wide"], "expected quantile"),
    (["profile", "{csv}", "-o", "{out}", "--target", "nope", "--prediction", "p", "--task", "binary"], "nope"),
    (["profile", "{csv}", "-o", "{out}", *BINARY, "--positive", "yes"], "'yes' is not a value of column 'y'"),
    (["profile", "{csv}", "-o", "{out}", "--task", "ordinal"], None),
    (["profile", "{csv}", "-o", "{missing}"], "No such file or directory: '{missing}'"),
])
def test_usage_and_input_errors_exit_2(files, tmp_path, capsys, args, message):
    ref = tmp_path / "reference.mvp"
    mv.profile(pyarrow.csv.read_csv(files["reference"])).save(ref)
    names = {"ref": ref, "absent": tmp_path / "absent.parquet", "csv": files["reference"], "out": tmp_path / "o.mvp",
             "missing": tmp_path / "no folder" / "o.mvp"}
    argv = [arg.format(**names) for arg in args]
    message = message and message.format(**names)
    try:
        code = main(argv)
    except SystemExit as stop:  # argparse's own usage errors
        code = stop.code
    err = capsys.readouterr().err
    assert code == 2, err
    if message is None:
        assert "usage:" in err
    else:
        assert err.startswith("morvane: error: ") and message in err and err.count("\n") == 1
    assert not (tmp_path / "o.mvp").exists()


def test_timeline_exits_on_the_periods_verdict(files, tmp_path):
    """`timeline` places the rows of several files in daily periods, exits 1 when a period drifted and
    0 when none did, and writes the dashboard and one report per period."""
    start = np.datetime64("2024-05-01", "s")
    reference, untimed = tmp_path / "reference.mvp", tmp_path / "untimed.mvp"
    timed = tmp_path / "timed.parquet"
    t = table(1)
    pyarrow.parquet.write_table(t.append_column("ts", pa.array(start - np.arange(t.num_rows) * 60)), timed)
    assert main(["profile", str(timed), "-o", str(reference), *BINARY, "--timestamp", "ts"]) == 0
    assert mv.load(reference).layout.timestamp == "ts" and "ts" not in mv.load(reference).columns
    assert main(["profile", str(files["reference"]), "-o", str(untimed), *BINARY]) == 0
    paths = []
    for day, (seed, shift) in enumerate([(11, 0.0), (12, 0.0), (13, 0.6)]):
        t = table(seed, n=1500, shift=shift)
        times = start + np.timedelta64(day, "D") + np.arange(t.num_rows) * 50
        paths.append(tmp_path / f"day{day}.parquet")
        pyarrow.parquet.write_table(t.append_column("ts", pa.array(times)), paths[-1])
    html, out, store = tmp_path / "dash.html", tmp_path / "tl.json", tmp_path / "h.sqlite"
    result = cli("timeline", reference, *paths, "--every", "1D", "--html", html, "--json", out, "--history", store,
                 cwd=tmp_path)
    assert result.returncode == 1, result.stderr
    periods = json.loads(out.read_text())["periods"]
    assert [p["start"] for p in periods] == ["2024-05-01", "2024-05-02", "2024-05-03"]
    assert [p["passed"] for p in periods] == [True, True, False] and html.stat().st_size > 1000
    assert "1 of 3 periods failed" in result.stdout
    passed = cli("timeline", reference, *paths[:2], "--every", "1D", cwd=tmp_path)
    assert passed.returncode == 0, passed.stderr
    rows = cli("timeline", reference, paths[0], "--rows", "500", cwd=tmp_path)
    assert rows.returncode == 0 and "of 3 periods" in rows.stdout, rows.stderr
    for ref, bad in ((untimed, ["--every", "1D"]), (reference, ["--every", "1Y"]), (reference, [])):
        assert cli("timeline", ref, paths[0], *bad, cwd=tmp_path).returncode == 2
