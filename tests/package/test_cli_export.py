"""The command line's exports: `--openmetrics` writes what `to_openmetrics` gives (readable by the
node_exporter's user, no temporary left), `--notify` posts the failing checks with the exit codes
unchanged, a delivery that fails exits 2 without the webhook's secret, `timeline --history` without
data redraws from the history alone, and a history file where a table or a profile belongs is named
as one."""

import json

import numpy as np
import pytest

from test_cli import BINARY, cli, files, table  # noqa: F401 -- files is a fixture
from webhooks import Receiver, free_port

pa = pytest.importorskip("pyarrow")
import pyarrow.parquet  # noqa: E402

import morvane as mv  # noqa: E402
from morvane.cli import main  # noqa: E402


@pytest.fixture
def receiver():
    r = Receiver()
    yield r
    r.close()


def test_compare_exports_and_notifies(files, tmp_path, receiver):
    reference = tmp_path / "reference.mvp"
    assert main(["profile", str(files["reference"]), "-o", str(reference), *BINARY]) == 0
    prom = tmp_path / "textfile" / "morvane.prom"
    prom.parent.mkdir()
    code = main(["compare", str(reference), str(files["drifted"]), "--openmetrics", str(prom), "--label",
                 "model=churn,team=risk", "--notify", receiver.url + "/hook", "--notify-kind", "json"])
    expected = mv.compare(mv.load(reference), mv.profile(pa.csv.read_csv(files["drifted"]), like=mv.load(reference)))
    assert code == 1 and prom.read_text() == expected.to_openmetrics(labels={"model": "churn", "team": "risk"})
    assert prom.stat().st_mode & 0o044 == 0o044 and sorted(p.name for p in prom.parent.iterdir()) == ["morvane.prom"]
    assert receiver.json()["n_failures"] == len(expected.failures) and receiver.json()["labels"]["model"] == "churn"
    # A passing report sends no alert; JSON is always sent.
    assert main(["compare", str(reference), str(files["same"]), "--notify", receiver.url, "--notify-kind",
                 "slack"]) == 0 and len(receiver.received) == 1
    secret = f"http://127.0.0.1:{free_port()}/services/s3cr3t"
    broken = cli("compare", reference, files["drifted"], "--notify", secret, "--notify-kind", "slack", "--timeout",
                 "0.5", cwd=tmp_path)
    assert broken.returncode == 2 and "AlertError" in broken.stderr and "s3cr3t" not in broken.stderr + broken.stdout
    assert cli("compare", reference, files["same"], "--pushgateway", receiver.url, cwd=tmp_path).returncode == 2


def test_timeline_from_the_history_alone(tmp_path):
    start = np.datetime64("2024-05-01", "s")
    t = table(1)
    timed, reference = tmp_path / "timed.parquet", tmp_path / "reference.mvp"
    pyarrow.parquet.write_table(t.append_column("ts", pa.array(start - np.arange(t.num_rows) * 60)), timed)
    assert main(["profile", str(timed), "-o", str(reference), *BINARY, "--timestamp", "ts"]) == 0
    days = []
    for day, shift in enumerate((0.0, 0.6)):
        t = table(20 + day, n=1500, shift=shift)
        days.append(tmp_path / f"day{day}.parquet")
        pyarrow.parquet.write_table(t.append_column("ts", pa.array(start + np.timedelta64(day, "D")
                                                                    + np.arange(t.num_rows) * 50)), days[-1])
    store = tmp_path / "h.sqlite"
    first, again = tmp_path / "first.json", tmp_path / "again.json"
    assert main(["timeline", str(reference), *map(str, days), "--every", "1D", "--history", str(store),
                 "--json", str(first)]) == 1
    assert main(["timeline", str(reference), "--history", str(store), "--json", str(again), "--html",
                 str(tmp_path / "d.html"), "--openmetrics", str(tmp_path / "m.prom")]) == 1
    assert json.loads(again.read_text()) == json.loads(first.read_text())
    assert 'morvane_report_passed 0' in (tmp_path / "m.prom").read_text()
    # A history where a table or a profile belongs, or no data and no history, is a usage error naming it.
    for args in (["timeline", reference, store, "--every", "1D"], ["compare", reference, store],
                 ["compare", store, days[0]], ["timeline", store, "--history", store], ["timeline", reference],
                 ["timeline", reference, "--every", "1D", "--history", tmp_path / "none.sqlite"]):
        result = cli(*args, cwd=tmp_path)
        assert result.returncode == 2 and "history" in result.stderr, (args, result.stderr)
