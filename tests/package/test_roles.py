"""The input contract: every silent case of a misread column now fails loudly or reads the column as
meant (roles score/exclude/timestamp, keys, misconfiguration, type changes, windows without labels),
and the example data (a binary model deciding at 0.65 with its scores, multiclass probability
columns named `y_pred_proba_<class>`) gives scikit-learn's metrics with one call."""

import warnings

import numpy as np
import pytest
from sklearn import metrics as skm

import morvane as mv

pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")
pa = pytest.importorskip("pyarrow")

N = 3000


def performance(reference, window):
    """{metric: current value} of the measured performance checks comparing a window with its reference
    (estimated ones, from scores without labels, are not measurements)."""
    report = mv.compare(reference, window, checks=["performance"])
    return {c.metric: c.current for c in report.checks if c.family == "performance" and getattr(c, "segment", None) is None
            and c.current is not None and not c.details.get("estimated")}


def binary_example(seed, n=N, threshold=0.65):
    rng = np.random.default_rng(seed)
    y = rng.integers(0, 2, n)
    score = np.clip(0.35 * y + 0.65 * rng.random(n), 0.0, 1.0)
    return {"x": rng.normal(size=n), "y": y, "y_pred": (score >= threshold).astype(np.int64), "y_pred_proba": score}


def multiclass_example(seed, n=N, classes=("ant", "bee", "cat")):
    rng = np.random.default_rng(seed)
    y = rng.choice(classes, n)
    logits = rng.normal(size=(n, len(classes))) + 1.5 * (np.array(classes)[None, :] == y[:, None])
    proba = np.exp(logits) / np.exp(logits).sum(axis=1, keepdims=True)
    table = {"x": rng.normal(size=n), "y": y, "y_pred": np.array(classes)[proba.argmax(axis=1)]}
    table.update({f"y_pred_proba_{c}": proba[:, j] for j, c in enumerate(classes)})
    return table, proba


def close(a, b):
    return a == pytest.approx(b, rel=2e-6, abs=1e-6)


# ---- the example data: one call each ----------------------------------------------------------

def test_example_binary_model_deciding_at_065():
    ref_rows, rows = binary_example(1), binary_example(2)
    opts = dict(target="y", prediction="y_pred", score="y_pred_proba", task="binary")
    reference = mv.profile(ref_rows, **opts)
    got = performance(reference, mv.profile(rows, like=reference))
    y, pred, score = rows["y"], rows["y_pred"], rows["y_pred_proba"]
    assert close(got["Accuracy"], skm.accuracy_score(y, pred))
    assert close(got["PrecisionPositive"], skm.precision_score(y, pred))
    assert close(got["RecallPositive"], skm.recall_score(y, pred))
    assert close(got["RecallNegative"], skm.recall_score(y, pred, pos_label=0))
    assert close(got["F1Score"], skm.f1_score(y, pred))
    assert close(got["LogLoss"], skm.log_loss(y, score))
    # The scores alone are decided at the threshold given, which must be the model's to agree.
    alone = mv.profile(ref_rows, target="y", score="y_pred_proba", task="binary", threshold=0.65)
    assert performance(alone, mv.profile(rows, like=alone))["Accuracy"] == got["Accuracy"]
    default = mv.profile(ref_rows, target="y", score="y_pred_proba", task="binary")
    flipped = np.mean((score >= 0.5) != pred)
    assert flipped > 0.05 and not close(performance(default, mv.profile(rows, like=default))["Accuracy"],
                                        got["Accuracy"])


@pytest.mark.parametrize("how", ["dict", "list by prefix", "2-D", "score alone"])
def test_example_multiclass_probability_columns(how):
    (ref_rows, _), (rows, proba) = multiclass_example(3), multiclass_example(4)
    names = [f"y_pred_proba_{c}" for c in ("ant", "bee", "cat")]
    if how == "dict":
        opts = dict(prediction="y_pred", score={c: f"y_pred_proba_{c}" for c in ("cat", "ant", "bee")})
    elif how == "list by prefix":
        opts = dict(prediction="y_pred", score=names)
    elif how == "2-D":
        ref_rows["m"] = np.column_stack([ref_rows[n] for n in names])
        rows["m"] = proba
        opts = dict(prediction="y_pred", score="m", exclude=names)
    else:
        opts = dict(score=names, exclude="y_pred")
    reference = mv.profile(ref_rows, target="y", task="multiclass", **opts)
    got = performance(reference, mv.profile(rows, like=reference))
    y, pred = rows["y"], rows["y_pred"]
    assert close(got["Accuracy"], skm.accuracy_score(y, pred))
    assert close(got["MacroF1"], skm.f1_score(y, pred, average="macro"))
    assert close(got["LogLoss"], skm.log_loss(y, proba, labels=["ant", "bee", "cat"]))
    assert not set(reference.columns) & {"y", "y_pred", *names}


# ---- each silent case of the issue, now loud or read as meant --------------------------------

def yes_no(n=200, seed=5):
    rng = np.random.default_rng(seed)
    return {"y": rng.choice(["no", "yes"], n), "p": rng.random(n), "x": rng.normal(size=n)}


LOUD = [
    ("probability columns named proba_<class> as classes",
     lambda: mv.profile({"y": ["a", "b", "c"] * 10, **{f"proba_{c}": np.full(30, 1 / 3) for c in "abc"}, "q": [0.5] * 30},
                        target="y", score=["proba_a", "proba_b", "q"], task="multiclass"),
     ValueError, "'q' maps to no class"),
    ("a yes/no target with the default positive=1",
     lambda: mv.profile(yes_no(), target="y", prediction="p", task="binary"), ValueError, "positive=1 is not among"),
    ("threshold=65 with probabilities",
     lambda: mv.profile(yes_no(), target="y", prediction="p", task="binary", positive="yes", threshold=65),
     ValueError, "threshold=65"),
    ("a probability a rounding step above 1",
     lambda: mv.profile({"y": [0, 1, 1, 0], "p": [0.2, 0.9, np.nextafter(1.0, 2.0), 0.4]}, target="y", prediction="p",
                        task="binary"), ValueError, "'p' holds 1.0000000000000002 at row 2"),
    ("a score column that is not a probability",
     lambda: mv.profile({"y": [0, 1, 1, 0], "s": [0.2, 0.9, 1.3, 0.4]}, target="y", score="s", task="binary"),
     ValueError, "'s' holds 1.3 at row 2"),
    ("a column in two roles",
     lambda: mv.profile({"y": [0, 1], "p": [0.1, 0.9]}, target="y", prediction="p", score="p", task="binary"),
     ValueError, "'p' is given as prediction and as score"),
    ("a multiclass score column for a class never seen",
     lambda: mv.profile({"y": ["a", "b"] * 5, "pa": [0.5] * 10, "pb": [0.5] * 10, "pz": [0.0] * 10}, target="y",
                        score={"a": "pa", "b": "pb", "z": "pz"}, task="multiclass"), ValueError, "class 'z'"),
    ("a multiclass class without a score column",
     lambda: mv.profile({"y": ["a", "b", "c"] * 5, "pa": [0.5] * 15, "pb": [0.5] * 15}, target="y",
                        score={"a": "pa", "b": "pb"}, task="multiclass"), ValueError, "no column for class 'c'"),
]


@pytest.mark.parametrize("case, make, error, message", LOUD, ids=[c[0] for c in LOUD])
def test_misconfiguration_is_an_error(case, make, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        make()


@pytest.mark.parametrize("window", [lambda s: s * 100, lambda s: np.log(s / (1 - s))], ids=["percent", "logits"])
def test_scores_outside_probabilities_in_a_window_are_refused(window):
    rows = binary_example(6, n=300)
    reference = mv.profile(rows, target="y", score="y_pred_proba", task="binary", exclude="y_pred")
    bad = dict(rows, y_pred_proba=window(np.clip(rows["y_pred_proba"], 0.01, 0.99)))
    with pytest.raises(ValueError, match="score column 'y_pred_proba' holds"):
        mv.profile(bad, like=reference)


TYPE_CHANGES = [
    # (reference column, window column, read as meant?)
    (np.array([True, False, True, True]), np.array([1, 0, 1, 1]), True),
    (np.array([True, False, True, True]), np.array([1.0, 0.0, np.nan, 1.0]), True),
    (np.array([3, 1, 2, 2]), np.array([3.0, 1.0, np.nan, 2.0]), True),
    (np.array([0.5, 1.5, 2.5, 3.5]), np.array([1, 2, 3, 4]), True),
    (np.array([True, False, True, True]), np.array([1, 2, 1, 0]), "holds 2"),
    (np.array([3, 1, 2, 2]), np.array([3.0, 1.5, 2.0, 2.0]), "holds 1.5"),
    (np.array([1, 0, 1, 1]), np.array(["1", "0", "1", "1"]), "integer in the reference but text here"),
    (np.array(["1", "0", "1", "1"]), np.array([1, 0, 1, 1]), "text in the reference but integer here"),
    (np.array(["2024-01-01"] * 4, dtype="datetime64[ns]"), np.array([1, 2, 3, 4]), "datetime in the reference"),
]


@pytest.mark.parametrize("ref_col, win_col, meant", TYPE_CHANGES)
@pytest.mark.parametrize("role", ["feature", "categorical", "target"])
def test_type_changes_read_exactly_or_refused(ref_col, win_col, meant, role):
    if role == "categorical" and ref_col.dtype.kind != "i":
        pytest.skip("categorical= is for integer codes")
    n = len(ref_col)
    opts = {"feature": {}, "categorical": {"categorical": ["c"]},
            "target": {"target": "c", "prediction": "p", "task": "multiclass"}}[role]
    reference = mv.profile({"c": ref_col, "p": ref_col}, **opts)
    window = {"c": win_col, "p": ref_col}
    if meant is True:
        expected = mv.profile({"c": np.where(np.isnan(win_col.astype(float)), ref_col, win_col).astype(ref_col.dtype)
                               if win_col.dtype.kind == "f" and ref_col.dtype.kind != "f" else win_col.astype(ref_col.dtype),
                               "p": ref_col}, like=reference)
        got = mv.profile(window, like=reference)
        if win_col.dtype.kind == "f" and np.isnan(win_col).any():
            assert got.n_rows == n and (role == "target" or got.missing("c") == 1)
        else:
            assert got == expected
    else:
        with pytest.raises(mv.MismatchError, match=f"column 'c' .*{meant}"):
            mv.profile(window, like=reference)


def test_missing_columns_are_listed_at_once_as_the_reference_names_them():
    reference = mv.profile({"a": [1.0, 2.0], "b": ["x", "y"], "c": [1, 2], "y": [0, 1], "p": [0.2, 0.8]},
                           target="y", prediction="p", task="binary")
    with pytest.raises(mv.MismatchError, match=r"lacks 2 columns the reference needs: 'a' \(feature\), 'c' \(feature\)"):
        mv.profile({"b": ["x"], "y": [1], "p": [0.4]}, like=reference)


def test_a_window_without_labels_or_predictions_counts_what_it_has():
    rows = binary_example(7, n=400)
    reference = mv.profile(rows, target="y", prediction="y_pred", score="y_pred_proba", task="binary")
    for lacking in (["y"], ["y_pred", "y_pred_proba"], ["y", "y_pred", "y_pred_proba"]):
        window = mv.profile({k: v for k, v in rows.items() if k not in lacking}, like=reference)
        assert window.n_rows == 400 and window.histogram("x")[1].sum() == 400
        assert performance(reference, window) == {}  # no measured performance
    # Merged with a labelled window, only the labelled rows count for performance.
    labelled = mv.profile(rows, like=reference)
    unlabelled = mv.profile({"x": rows["x"]}, like=reference)
    assert performance(reference, labelled.merge(unlabelled)) == performance(reference, labelled)


EMPTY = {
    "dict of empty lists": lambda: {"x": [], "y": [], "y_pred": [], "y_pred_proba": []},
    "pandas, no rows": lambda: pd.DataFrame(binary_example(8, n=50)).iloc[:0],
    "polars filter matching nothing": lambda: pl.DataFrame(binary_example(8, n=50)).filter(pl.col("x") > 100),
    "arrow, no rows": lambda: pa.table(binary_example(8, n=50)).slice(0, 0),
    "pandas object columns, no rows": lambda: pd.DataFrame({"x": pd.Series([], dtype=object)}),
}


@pytest.mark.parametrize("name", EMPTY)
def test_empty_windows_profile_cleanly(name):
    reference = mv.profile(binary_example(9, n=200), target="y", prediction="y_pred", score="y_pred_proba",
                           task="binary")
    window = mv.profile(EMPTY[name](), like=reference)
    assert window.n_rows == 0 and window.histogram("x")[1].sum() == 0
    monitor = mv.Monitor(reference)
    monitor.update(binary_example(10, n=20))
    monitor.reset()
    assert monitor.current == window  # a reset monitor holds the same empty window
    mv.compare(reference, window)  # reaches the verdicts without an error


def test_keys_are_not_default_features():
    rng = np.random.default_rng(11)
    n = 1500
    rows = {"id": rng.permutation(n) + 10_000, "when": [f"2026-01-{i % 28 + 1:02d}T{i:06d}" for i in range(n)],
            "code": rng.integers(0, 50, n), "x": rng.normal(size=n), "y": rng.integers(0, 2, n)}
    with pytest.warns(UserWarning, match="'id', 'when' are keys"):
        p = mv.profile(rows, target="y")
    assert p.columns == ["code", "x"]  # floats are measurements, never keys, however distinct
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert mv.profile(rows, target="y", features=["id", "x"]).columns == ["id", "x"]
        assert mv.profile(rows, target="y", exclude=["id", "when"]).columns == ["code", "x"]
        assert mv.profile({k: v[:999] for k, v in rows.items()}, target="y").columns == ["id", "when", "code", "x"]


def test_timestamp_is_never_a_feature_and_is_checked():
    rows = binary_example(12, n=100)
    rows["at"] = np.arange(100).astype("datetime64[h]")
    p = mv.profile(rows, target="y", prediction="y_pred", task="binary", timestamp="at")
    assert "at" not in p.columns and p.layout.timestamp == "at"
    with pytest.raises(ValueError, match="timestamp"):
        mv.profile(rows, timestamp="x")  # numbers are not times


def test_integer_column_names():
    table = pd.DataFrame({0: [1.0, 2.0, 3.0, 4.0], 1: [0, 1, 1, 0], 2: [0.1, 0.8, 0.7, 0.3]})
    p = mv.profile(table, target=1, prediction=2, task="binary")
    assert p.columns == ["0"] and p.layout.task.target == "1"


def test_compare_with_a_table_shows_the_fix():
    reference = mv.profile({"x": [1.0, 2.0, 3.0]})
    with pytest.raises(TypeError, match=r"mv\.profile\(table, like=reference\)"):
        mv.compare(reference, pd.DataFrame({"x": [1.0]}))
