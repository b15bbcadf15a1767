"""Score histograms per true class: the native kernel's bins and counts against NumPy, the ranking
metrics computed from them against scikit-learn within their stated bounds, and the estimated
performance of unlabeled windows (isotonic calibration against scikit-learn, estimates and intervals
on data whose scores keep the reference's relation to outcomes)."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from sklearn import isotonic, metrics as skm

import morvane as mv
from morvane import _native
from morvane.comparing import estimated, metrics, multiclass, ranking
from morvane.tables.read import read_table

EDGE_SCORES = [0.0, 1.0, 0.5, 2 ** -30, 2 ** -31, 2 ** -10, 2 ** -11, 1 - 2 ** -10, 1 - 2 ** -11, 1 - 2 ** -30,
               1 - 2 ** -31, float(np.nextafter(1.0, 0.0)), 5e-324, 0.37, float(np.nextafter(0.37, 0.0))]


@pytest.mark.parametrize("threshold", [0.5, 0.37, 0.9, 2 ** -12, 1 - 2 ** -20, 0.001])
@given(st.lists(st.floats(0.0, 1.0), max_size=50))
@settings(max_examples=40, deadline=None)
def test_kernel_bins_are_the_edges_bins(threshold, scores):
    scores = np.array(EDGE_SCORES + scores + [threshold, float(np.nextafter(threshold, 0.0))])
    edges = ranking.score_edges(threshold)
    assert len(edges) == _native.SCORE_BINS and np.all(np.diff(edges) >= 0)
    expected = np.searchsorted(edges, scores, side="right") - 1
    found = np.array(_native.score_bins(list(scores), threshold))
    assert np.array_equal(found, expected)
    # The decision of a bin is the decision of its rows.
    assert np.array_equal(found > ranking.threshold_bin(threshold), scores >= threshold)


def _binary_counts(target, score, threshold=0.5, decision=None):
    """(3, bins) counts by class (decisions added up) and the rest of the kernel's answer; the
    decisions are the scores thresholded unless labels are given."""
    t = read_table({"y": target, "s": score, "d": score if decision is None else decision})
    counts, *rest = _native.binary_scores(t.columns, t.slot("y"), t.slot("s"), t.slot("d"), 1.0, "1",
                                          decision is None, threshold)
    return (counts.sum(axis=1), *rest)


def test_binary_counts_per_class_with_missing_targets_scores_and_out_of_range():
    rng = np.random.default_rng(4)
    n = 5000
    y = rng.integers(0, 2, n).astype(float)
    y[rng.random(n) < 0.1] = np.nan
    s = rng.random(n) ** 3
    s[rng.random(n) < 0.05] = np.nan
    s[:3] = [1.5, -0.25, 2.0]
    counts, missing, outside, first = _binary_counts(y, s, 0.3)
    edges = ranking.score_edges(0.3)
    ok = ~np.isnan(s) & (s >= 0) & (s <= 1)
    for row, rows in enumerate([y == 0, y == 1, np.isnan(y)]):
        expected = np.bincount(np.searchsorted(edges, s[rows & ok], side="right") - 1, minlength=len(edges))
        assert np.array_equal(counts[row], expected)
    assert (missing, outside, first) == (int(np.isnan(s).sum()), 3, 1.5)
    assert counts.dtype == np.int64 and counts.sum() == ok.sum()


def test_multiclass_counts_by_class_and_by_decision():
    rng = np.random.default_rng(5)
    n, classes = 3000, ["a", "b", "c"]
    p = rng.dirichlet([1, 1, 1], n)
    y = np.array(classes, dtype=object)[rng.integers(0, 3, n)]
    y[rng.random(n) < 0.1] = None
    y[:2] = "z"  # outside the classes: not counted
    t = read_table({"y": y, **{c: p[:, j] for j, c in enumerate(classes)}})
    by_class, by_decision, missing, outside, _ = _native.multiclass_scores(t.columns, t.slot("y"),
                                                                         [t.slot(c) for c in classes], None, classes)
    assert by_class.shape == (4, 3, _native.SCORE_BINS) and by_decision.shape == (3, 3, _native.SCORE_COARSE_BINS)
    edges = ranking.score_edges(0.5)
    truth = np.array([classes.index(v) if v in classes else (3 if v is None else -1) for v in y])
    decided = p.argmax(1)
    for r in range(4):
        for j in range(3):
            rows = truth == r
            bins = np.searchsorted(edges, p[rows, j], side="right") - 1
            assert np.array_equal(by_class[r, j], np.bincount(bins, minlength=len(edges)))
    for d in range(3):
        for j in range(3):
            rows = (decided == d) & (truth >= 0)
            assert np.array_equal(by_decision[d, j], np.bincount(np.minimum((p[rows, j] * 64).astype(int), 63),
                                                                 minlength=64))
    assert missing == 2 and outside == 0


SHAPES = {  # name: (positive scores, negative scores) of n rows
    "beta spread": lambda rng, n: (rng.beta(3, 2, n), rng.beta(2, 3, n)),
    "normal overlap": lambda rng, n: (np.clip(rng.normal(0.6, 0.2, n), 0, 1), np.clip(rng.normal(0.45, 0.2, n), 0, 1)),
    "confident": lambda rng, n: (1 - rng.beta(0.3, 4, n), rng.beta(0.3, 4, n)),
    "rare positives": lambda rng, n: (rng.beta(4, 2, n // 20), rng.beta(2, 4, n)),
}


@pytest.mark.parametrize("shape", SHAPES)
def test_ranking_metrics_within_their_bounds_of_scikit_learn(shape):
    rng = np.random.default_rng(6)
    pos, neg = SHAPES[shape](rng, 10_000)
    y = np.r_[np.ones(len(pos)), np.zeros(len(neg))]
    s = np.r_[pos, neg]
    counts = _binary_counts(y, s)[0]
    auc, variance, bound = ranking.roc_auc(counts[1], counts[0])
    ap, ap_bound = ranking.average_precision(counts[1], counts[0])
    true_auc, true_ap = skm.roc_auc_score(y, s), skm.average_precision_score(y, s)
    assert abs(auc - true_auc) <= bound + 1e-12 and abs(ap - true_ap) <= ap_bound + 1e-12
    if shape != "confident":  # the target on well-spread scores
        assert abs(auc - true_auc) <= 0.002 and abs(ap - true_ap) <= 0.002 and bound <= 0.002
    # DeLong's variance against the spread of AUC over resampled classes.
    boot = ranking.bootstrap_variance(ranking.roc_auc_many, counts[1], counts[0], draws=300)
    assert variance == pytest.approx(boot, rel=0.25)


def test_macro_roc_auc_within_its_bound_of_scikit_learn():
    rng = np.random.default_rng(7)
    n, k = 20_000, 4
    y = rng.integers(0, k, n)
    logits = rng.normal(size=(n, k)) + 1.2 * np.eye(k)[y]
    p = np.exp(logits) / np.exp(logits).sum(1, keepdims=True)
    classes = [str(c) for c in range(k)]
    t = read_table({"y": y.astype(str).astype(object), **{c: p[:, j] for j, c in enumerate(classes)}})
    by_class = _native.multiclass_scores(t.columns, t.slot("y"), [t.slot(c) for c in classes], None, classes)[0]
    macro, _, bound = ranking.macro_roc_auc(by_class)
    expected = skm.roc_auc_score(y, p, multi_class="ovr", average="macro")
    assert abs(macro - expected) <= min(bound + 1e-12, 0.002)


@given(st.lists(st.tuples(st.integers(0, 30), st.integers(0, 30)), min_size=1, max_size=40))
@settings(max_examples=60, deadline=None)
def test_isotonic_fit_matches_scikit_learn(cells):
    x = np.array([min(a, b) for a, b in cells], float)
    m = np.array([b for _, b in cells], float)
    fit = estimated.isotonic(x, m)
    live = m > 0
    if not live.any():
        assert np.isnan(fit).all()
        return
    expected = isotonic.IsotonicRegression().fit(np.flatnonzero(live), x[live] / m[live], sample_weight=m[live])
    assert np.allclose(fit[live], expected.predict(np.flatnonzero(live)), atol=1e-9)
    assert np.all(np.diff(fit) >= -1e-12) or not live.all()


def _logistic_rows(rng, n, shift=0.0):
    s = 1 / (1 + np.exp(-(1.5 * rng.normal(shift, 1, n) - 1)))
    return (rng.random(n) < s).astype(float), s


def _split_counts(target, score, decision=None):
    """The kernel's (3, 2, bins) counts: by class, then by decision."""
    t = read_table({"y": target, "s": score, "d": score if decision is None else decision})
    return _native.binary_scores(t.columns, t.slot("y"), t.slot("s"), t.slot("d"), 1.0, "1", decision is None,
                                 0.5)[0]


def _by_decision(counts):
    """(3, 2, bins) from (3, bins) counts decided by the threshold 1/2."""
    split = ranking.threshold_bin(0.5)
    out = np.zeros((3, 2, counts.shape[1]), np.int64)
    out[:, 0, :split + 1], out[:, 1, split + 1:] = counts[:, :split + 1], counts[:, split + 1:]
    return out


def _realized(labeled):
    realized = metrics.ratios_many(labeled[0, 0].sum(), labeled[0, 1].sum(), labeled[1, 0].sum(),
                                   labeled[1, 1].sum())
    realized["ROCAUC"] = ranking.roc_auc(labeled[1].sum(0), labeled[0].sum(0))[0]
    return realized


@pytest.mark.parametrize("given", [False, True])
def test_binary_estimates_keep_the_reference_exact_and_cover_realized_values(given):
    # given: the model's own decisions (score >= 0.35 as labels) beside its scores, not the threshold's.
    rng = np.random.default_rng(8)
    decide = (lambda s: (s >= 0.35).astype(float)) if given else (lambda s: None)
    y, s = _logistic_rows(rng, 20_000)
    reference = _split_counts(y, s, decide(s))
    unlabeled = np.r_[reference[:2] * 0, reference[:1] + reference[1:2]]
    for e in estimated.estimate_binary(reference, unlabeled, 0.5, 0.05, draws=400):
        # The reference's own rows, unlabeled: the estimate is its measured value.
        assert e.value == pytest.approx(e.reference, abs=1e-9 if e.metric != "ROCAUC" or given else 0.01)
        assert e.p > 0.2
    misses = []
    for shift in (0.0, 0.5):
        y, s = _logistic_rows(rng, 5000, shift)
        window = _split_counts(np.full(len(y), np.nan), s, decide(s))
        realized = _realized(_split_counts(y, s, decide(s)))
        for e in estimated.estimate_binary(reference, window, 0.5, 0.01, draws=400):
            assert e.details["estimated"] and abs(e.value - float(realized[e.metric])) < 0.03
            misses.append(not e.interval[0] <= float(realized[e.metric]) <= e.interval[1])
    assert sum(misses) <= 2


def test_estimates_refused_with_a_reason():
    tiny = np.zeros((3, _native.SCORE_BINS), np.int64)
    tiny[0, 10], tiny[1, 900], tiny[2, 500] = 5, 5, 100
    out = estimated.estimate_binary(_by_decision(tiny), _by_decision(tiny), 0.5, 0.01)
    assert all(e.value is None and "fewer than" in e.details["not_estimated"] for e in out)
    # Outcomes that are not a monotone function of the score: positives in the middle only.
    odd = np.zeros((3, _native.SCORE_BINS), np.int64)
    odd[0, 30:300] = 20
    odd[0, 700:1000] = 20
    odd[1, 300:700] = 20
    odd[2, 100:1000] = 3
    out = estimated.estimate_binary(_by_decision(odd), _by_decision(odd), 0.5, 0.01, draws=200)
    assert all(e.value is None and "monotone" in e.details["not_estimated"] for e in out)


def test_multiclass_estimates_close_to_realized_values():
    rng = np.random.default_rng(9)
    k, classes = 3, ["a", "b", "c"]

    def rows(n, shift):
        logits = 1.5 * rng.normal(size=(n, k))
        logits[:, 0] += shift
        p = np.exp(logits) / np.exp(logits).sum(1, keepdims=True)
        return (p.cumsum(1) < rng.random((n, 1))).sum(1), p

    def counts(y, p, hide=False):
        labels = np.array([None] * len(y), dtype=object) if hide else np.array(classes, dtype=object)[y]
        t = read_table({"y": labels, **{c: p[:, j] for j, c in enumerate(classes)}})
        return _native.multiclass_scores(t.columns, t.slot("y"), [t.slot(c) for c in classes], None, classes)[:2]

    y, p = rows(20_000, 0.0)
    confusion = np.zeros((k, k))
    np.add.at(confusion, (y, p.argmax(1)), 1)
    ref = counts(y, p)
    yw, pw = rows(5000, 0.6)
    realized_confusion = np.zeros((k, k))
    np.add.at(realized_confusion, (yw, pw.argmax(1)), 1)
    realized = multiclass.summary(realized_confusion)
    realized["MacroROCAUC"] = skm.roc_auc_score(yw, pw, multi_class="ovr")
    out = estimated.estimate_multiclass(confusion, *ref, *counts(yw, pw, hide=True), 0.01, draws=400)
    assert [e.metric for e in out] == list(estimated.MULTICLASS_ESTIMATED)
    for e in out:
        assert abs(e.value - float(realized[e.metric])) < 0.03
        assert e.interval[0] - 0.005 <= float(realized[e.metric]) <= e.interval[1] + 0.005


# ---- through mv.profile and mv.compare ----

def _scored_rows(rng, n, *, shift=0.0, noise=0.0, labeled=True):
    x = rng.normal(shift, 1, n)
    s = 1 / (1 + np.exp(-(1.5 * x - 1)))
    y = (rng.random(n) < s).astype(float)
    s = np.clip(s + rng.normal(0, noise, n), 0, 1) if noise else s
    return {"x": x, "y": y if labeled else np.full(n, np.nan), "s": s}


def _multiclass_rows(rng, n, labeled=True):
    logits = rng.normal(size=(n, 3)) * 1.5
    p = np.exp(logits) / np.exp(logits).sum(1, keepdims=True)
    y = (p.cumsum(1) < rng.random((n, 1))).sum(1)
    labels = np.array(["a", "b", "c"], dtype=object)[y] if labeled else np.full(n, None, dtype=object)
    return {"y": labels, "a": p[:, 0], "b": p[:, 1], "c": p[:, 2]}, y, p


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_histograms_merge_exactly_in_any_split_and_order(seed):
    rng = np.random.default_rng(seed)
    binary = _scored_rows(rng, 3000)
    binary["y"][rng.random(3000) < 0.2] = np.nan  # some rows still without labels
    table, _, _ = _multiclass_rows(rng, 3000)
    for rows, options in ((binary, dict(target="y", prediction="s", task="binary")),
                          (table, dict(target="y", prediction=["a", "b", "c"], task="multiclass"))):
        whole = mv.profile(rows, **options)
        cuts = np.sort(rng.choice(np.arange(1, 3000), 3, replace=False))
        parts = [mv.profile({k: v[a:b] for k, v in rows.items()}, like=whole)
                 for a, b in zip(np.r_[0, cuts], np.r_[cuts, 3000])]
        merged = mv.merge([parts[i] for i in rng.permutation(len(parts))])
        assert merged == whole and merged.to_bytes() == whole.to_bytes()
        assert np.array_equal(merged.task_stats.scores, whole.task_stats.scores)
        assert mv.Profile.from_bytes(whole.to_bytes()).task_stats.scores.tolist() == whole.task_stats.scores.tolist()


def test_ranking_checks_match_scikit_learn_and_fail_only_downward():
    rng = np.random.default_rng(10)
    reference_rows = _scored_rows(rng, 20_000)
    reference = mv.profile(reference_rows, target="y", prediction="s", task="binary")
    checks = {c.metric: c for c in mv.compare(reference, reference).checks}
    auc, ap = checks["ROCAUC"], checks["AveragePrecision"]
    assert abs(auc.reference - skm.roc_auc_score(reference_rows["y"], reference_rows["s"])) <= auc.details["bound"]
    assert abs(ap.reference - skm.average_precision_score(reference_rows["y"], reference_rows["s"])) <= 0.002
    worse = mv.compare(reference, mv.profile(_scored_rows(rng, 5000, noise=0.25), like=reference))
    better = mv.compare(reference, mv.profile(_scored_rows(rng, 5000), like=reference))
    found = {c.metric: c for c in worse.checks}
    assert found["ROCAUC"].failed and found["ROCAUC"].change < 0 and found["ROCAUC"].interval[1] < 0
    assert not any(c.failed for c in better.checks if c.metric in ("ROCAUC", "AveragePrecision"))
    table, y, p = _multiclass_rows(rng, 20_000)
    ref = mv.profile(table, target="y", prediction=["a", "b", "c"], task="multiclass")
    macro = next(c for c in mv.compare(ref, ref).checks if c.metric == "MacroROCAUC")
    assert abs(macro.current - skm.roc_auc_score(y, p, multi_class="ovr")) <= min(macro.details["bound"], 0.002)


@pytest.mark.parametrize("task", ["binary", "multiclass"])
def test_unlabeled_windows_get_estimated_checks_that_cover_their_labels(task):
    rng = np.random.default_rng(11)
    if task == "binary":
        options = dict(target="y", prediction="s", task="binary")
        make = lambda labeled: _scored_rows(rng, 20_000 if labeled else 5000, shift=0.0 if labeled else 0.4,  # noqa
                                            labeled=True)
    else:
        options = dict(target="y", prediction=["a", "b", "c"], task="multiclass")
        make = lambda labeled: _multiclass_rows(rng, 20_000 if labeled else 5000)[0]  # noqa
    reference = mv.profile(make(True), **options)
    window = make(False)
    hidden = dict(window, y=np.full(len(window["y"]), np.nan if task == "binary" else None,
                                    dtype=float if task == "binary" else object))
    report = mv.compare(reference, mv.profile(hidden, like=reference), alpha=0.01)
    measured = {c.metric: c.current for c in mv.compare(reference, mv.profile(window, like=reference)).checks}
    performance = [c for c in report.checks if c.family == "performance"]
    expected = estimated.BINARY_ESTIMATED if task == "binary" else estimated.MULTICLASS_ESTIMATED
    assert [c.metric for c in performance] == list(expected)
    for c in performance:
        assert c.details["estimated"] and c.label().endswith("(estimated)")
        assert c.interval[0] <= c.current <= c.interval[1]
        assert c.interval[0] - 0.005 <= measured[c.metric] <= c.interval[1] + 0.005
        assert abs(c.current - measured[c.metric]) < 0.02


def test_a_window_without_its_target_column_is_estimated_and_the_report_says_how():
    rng = np.random.default_rng(12)
    rows = _scored_rows(rng, 20_000)
    overconfident = dict(rows, s=rows["s"] ** 0.3)  # the same ranking, scores far above the outcome shares
    for reference_rows, warned in ((rows, False), (overconfident, True)):
        reference = mv.profile(reference_rows, target="y", prediction="s", task="binary")
        window = {k: v[:3000] for k, v in reference_rows.items() if k != "y"}
        report = mv.compare(reference, mv.profile(window, like=reference))
        assert report.notes()[0].startswith("performance estimated") and "note: performance estimated" in repr(report)
        assert any("badly calibrated" in note for note in report.notes()) == warned
        accuracy = next(c for c in report.checks if c.metric == "Accuracy")
        assert accuracy.current == pytest.approx(accuracy.reference, abs=0.03)  # same rows, estimated
    tiny = mv.profile({k: v[:40] for k, v in rows.items()}, like=reference)
    report = mv.compare(tiny, mv.profile(window, like=reference))
    assert any(note.startswith("performance not estimated: the reference has fewer than") for note in report.notes())
    assert all(c.current is None and c.p_value is None for c in report.checks if c.family == "performance")


def test_histograms_only_up_to_the_class_limit():
    from morvane.state.stats import MAX_SCORED_CLASSES

    rng = np.random.default_rng(13)
    for k in (MAX_SCORED_CLASSES, MAX_SCORED_CLASSES + 1):
        p = rng.dirichlet(np.ones(k), 300)
        table = {"y": np.array([f"c{j:02d}" for j in range(k)], dtype=object)[p.argmax(1)],
                 **{f"c{j:02d}": p[:, j] for j in range(k)}}
        profile = mv.profile(table, target="y", prediction=[f"c{j:02d}" for j in range(k)], task="multiclass")
        kept = profile.task_stats.scores is not None
        assert kept == (k <= MAX_SCORED_CLASSES)
        assert mv.Profile.from_bytes(profile.to_bytes()) == profile
        assert ("MacroROCAUC" in {c.metric for c in mv.compare(profile, profile).checks}) == kept


def test_history_periods_carry_estimates_until_their_labels_replace_them():
    rng = np.random.default_rng(14)
    day = np.datetime64("2026-03-01T00:00:00", "s")

    def rows(n, d, labeled=True):
        out = _scored_rows(rng, n)
        out["ts"] = day + np.timedelta64(d, "D") + rng.integers(0, 86_400, n).astype("timedelta64[s]")
        if not labeled:
            out.pop("y")
        return out

    reference = mv.profile(rows(20_000, -30), target="y", prediction="s", task="binary", timestamp="ts")
    history = mv.History(reference, "1D")
    days = [rows(3000, d) for d in range(3)]
    history.update(days[0])
    for d in (1, 2):
        history.update({k: v for k, v in days[d].items() if k != "y"})

    def performance():
        frame = history.timeline(alpha=0.01).to_pandas()
        return frame[frame["family"] == "performance"]

    before = performance()
    assert before.groupby("start")["estimated"].all().tolist() == [False, True, True]
    estimated_rows = before[before["estimated"]]
    assert ((estimated_rows["interval_low"] <= estimated_rows["current"])
            & (estimated_rows["current"] <= estimated_rows["interval_high"])).all()
    history.update(days[1], replace=True)  # the labels of day 1 arrive
    after = performance()
    assert after.groupby("start")["estimated"].any().tolist() == [False, False, True]
    start = sorted(after["start"].unique())[1]
    measured = after[(after["start"] == start) & (after["metric"] == "Accuracy")]["current"].item()
    guess = before[(before["start"] == start) & (before["metric"] == "Accuracy")]
    assert guess["interval_low"].item() <= measured <= guess["interval_high"].item()
