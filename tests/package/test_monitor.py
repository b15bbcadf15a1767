"""Monitor: threads push batches of every table kind without errors or lost rows; windows reset,
merge, pickle, save and restore; report calls compare."""

import pickle
import threading

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvane as mv
from morvane import monitor as monitor_module


@pytest.fixture
def rng():
    return np.random.default_rng(20261207)


@pytest.fixture
def reference(rng):
    n = 2000
    t = {"x": rng.normal(size=n), "c": rng.choice(["a", "b"], n), "y": rng.integers(0, 2, n), "p": rng.random(n)}
    return mv.profile(t, target="y", prediction="p", task="binary", facets={"c": "a"}), t


def batches(rng, k, n=500):
    pd = pytest.importorskip("pandas")
    out = []
    for i in range(k):
        t = {"x": rng.normal(size=n), "c": rng.choice(["a", "b", "z"], n), "y": rng.integers(0, 2, n),
             "p": rng.random(n)}
        out.append(pd.DataFrame(t) if i % 2 else t)
    return out


def test_threads_update_and_report_without_errors_or_lost_rows(reference, rng, monkeypatch):
    ref, _ = reference
    mon = mv.Monitor(ref)
    work = batches(rng, 24)
    reports = []
    monkeypatch.setattr(monitor_module, "compare", lambda r, c, **o: (r, c, o))
    errors = []

    def push(part):
        try:
            for b in part:
                mon.update(b)
                reports.append(mon.report(alpha=0.05))
        except Exception as e:  # pragma: no cover - the assertion below reports it
            errors.append(e)

    threads = [threading.Thread(target=push, args=(work[i::4],)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert mon.current == mv.merge([mv.profile(b, like=ref) for b in work])
    assert mon.current.n_rows == 24 * 500
    assert all(r[0] is ref and r[2] == {"alpha": 0.05} for r in reports)


def test_reset_merge_bytes_pickle_and_save(reference, rng, tmp_path):
    ref, t = reference
    a, b = mv.Monitor(ref), mv.Monitor(ref)
    first, second = batches(rng, 2)
    a.update(first)
    b.update(second)
    both = a.merge(b)
    assert both.current == mv.profile(first, like=ref).merge(mv.profile(second, like=ref))
    restored = mv.Monitor.from_bytes(both.to_bytes())
    assert restored.current == both.current and restored.reference == ref
    assert pickle.loads(pickle.dumps(both)).current == both.current
    both.save(tmp_path / "m.mvm")
    loaded = mv.load(tmp_path / "m.mvm")
    assert isinstance(loaded, mv.Monitor) and loaded.current == both.current
    size = len(both.to_bytes())
    for _ in range(5):
        both.update(first)
    # Constant memory: the window is counts, not rows (only the counts' widths may grow).
    assert len(both.to_bytes()) < size + 200
    both.reset()
    assert both.current.n_rows == 0 and both.current.layout == ref.layout
    with pytest.raises(mv.MismatchError):
        a.merge(mv.Monitor(mv.profile({"x": t["x"]})))
    with pytest.raises(mv.FormatError):
        mv.Monitor.from_bytes(ref.to_bytes())


def test_failed_update_leaves_the_window_unchanged(reference):
    ref, _ = reference
    mon = mv.Monitor(ref)
    mon.update({"x": [0.0], "c": ["a"], "y": [1], "p": [0.9]})
    before = mon.current
    with pytest.raises(KeyError):
        mon.update({"x": [0.0]})
    with pytest.raises(ValueError):
        mon.update({"x": [0.0, 1.0], "c": ["a"], "y": [1], "p": [0.9]})
    assert mon.current == before


def test_progress_bar_when_asked_and_silence_otherwise(capsys):
    pytest.importorskip("tqdm")
    table = {f"c{i}": np.arange(1000.0) for i in range(8)}
    mv.profile(table, progress=True)
    assert "profiling" in capsys.readouterr().err
    mv.profile(table, progress=False)
    mv.profile(table)  # small work: no bar even on a terminal
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("n_threads", [1, 2, 3, 8])
def test_thread_count_never_changes_the_profile(rng, n_threads):
    table = {f"c{i}": rng.normal(size=3000) for i in range(7)}
    table["s"] = rng.choice(["a", "b", "c"], 3000)
    assert mv.profile(table, threads=n_threads) == mv.profile(table, threads=1)
    with pytest.raises(ValueError):
        mv.profile(table, threads=0)


@settings(max_examples=25, deadline=None)
@given(st.lists(st.integers(0, 400), min_size=1, max_size=12), st.integers(1, 6), st.integers(0, 2**32 - 1))
def test_any_batches_on_any_threads_equal_one_profile_of_all_rows(sizes, n_threads, seed):
    rng = np.random.default_rng(seed)
    ref = mv.profile({"x": rng.normal(size=100), "c": rng.choice(["a", "b"], 100), "y": rng.integers(0, 2, 100),
                      "p": rng.random(100)}, target="y", prediction="p", task="binary", facets={"c": None})
    work = [{"x": rng.normal(size=n), "c": rng.choice(["a", "b", "q"], n), "y": rng.integers(0, 2, n),
             "p": rng.random(n)} for n in sizes]
    mon = mv.Monitor(ref, threads=1)
    threads = [threading.Thread(target=lambda part: [mon.update(b) for b in part], args=(work[i::n_threads],))
               for i in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    whole = {k: np.concatenate([b[k] for b in work]) for k in work[0]}
    assert mon.current == mv.profile(whole, like=ref)
