"""Estimated performance of unlabeled windows on nannyml's own example data: the binary car-loan
dataset and the multiclass credit-card dataset, in chunks of 5,000 rows.

Per chunk: morvane's estimate and its 1 - alpha interval (the chunk profiled without its labels and
compared with the reference), the realized value (the chunk's labels), and nannyml's CBPE estimate
fitted on the same reference. Both are given the data's own decisions (`y_pred`) beside its scores
(morvane's `prediction=` and `score=`: each read as given). Then the mean absolute error of each
estimator against the realized values and how often morvane's interval covers them, over every
chunk and over the chunks whose scores keep the reference's relation to outcomes (the assumption of
both estimators): a chunk is counted as calibrated when a Hosmer-Lemeshow test of its labels against
the reference's isotonic calibration (per class against the rest, Bonferroni) keeps p > 0.01. The
peer's example data change that relation in their second half on purpose, where neither estimator
can follow.

Then the cost: CPU seconds per window (median of repeats), morvane's profile of the window plus its
estimated performance against CBPE's estimate of the same window, each fitted on the reference once
beforehand (morvane keeps the reference's terms from its first window on); and the cost of that
first window beside CBPE's fit.

    pip install nannyml statsmodels    # the peer, for this benchmark only
    python benchmarks/bench_estimated.py [--alpha 0.05] [--chunk 5000] [--repeats 7]
"""

from __future__ import annotations

import argparse
import os
import time
import warnings

os.environ.setdefault("NML_DISABLE_USAGE_LOGGING", "1")  # the peer reports its use over the network otherwise

import numpy as np
from _timing import median_time
from sklearn import metrics as skm

import morvane as mv

BINARY = {  # morvane metric: (nannyml metric, realized value of truth, decision, score)
    "Accuracy": ("accuracy", lambda y, d, s: skm.accuracy_score(y, d)),
    "ROCAUC": ("roc_auc", lambda y, d, s: skm.roc_auc_score(y, s)),
    "F1Score": ("f1", lambda y, d, s: skm.f1_score(y, d)),
    "PrecisionPositive": ("precision", lambda y, d, s: skm.precision_score(y, d)),
    "RecallPositive": ("recall", lambda y, d, s: skm.recall_score(y, d)),
}
MULTICLASS = {
    "Accuracy": ("accuracy", lambda y, d, s, c: skm.accuracy_score(y, d)),
    "MacroROCAUC": ("roc_auc", lambda y, d, s, c: skm.roc_auc_score(y, s, multi_class="ovr", labels=c)),
    "MacroF1": ("f1", lambda y, d, s, c: skm.f1_score(y, d, average="macro")),
    "MacroPrecision": ("precision", lambda y, d, s, c: skm.precision_score(y, d, average="macro")),
    "MacroRecall": ("recall", lambda y, d, s, c: skm.recall_score(y, d, average="macro")),
}


def still_calibrated(ref_truth, ref_scores, truth, scores, groups=10):
    """Whether a chunk's labels agree with the reference's isotonic calibration of its scores."""
    from scipy import stats
    from sklearn.isotonic import IsotonicRegression

    ref_truth, truth = np.atleast_2d(ref_truth.T).T, np.atleast_2d(truth.T).T
    ref_scores, scores = np.atleast_2d(ref_scores.T).T, np.atleast_2d(scores.T).T
    ps = []
    for j in range(truth.shape[1]):
        expected = IsotonicRegression(out_of_bounds="clip").fit(ref_scores[:, j], ref_truth[:, j]).predict(scores[:, j])
        edges = np.quantile(scores[:, j], np.linspace(0, 1, groups + 1)[1:-1])
        group = np.searchsorted(edges, scores[:, j], side="right")
        o, e = np.bincount(group, truth[:, j]), np.bincount(group, expected)
        v = np.maximum(np.bincount(group, expected * (1 - expected)), 1e-9)
        ps.append(stats.chi2.sf(((o - e) ** 2 / v).sum(), groups))
    return min(1.0, min(ps) * len(ps)) > 0.01


def chunks(frame, size):
    return [frame.iloc[i:i + size] for i in range(0, len(frame) - size + 1, size)]


def morvane_estimates(reference, chunk, alpha):
    """{metric: (estimate, interval)} of a chunk profiled without its labels."""
    report = mv.compare(reference, mv.profile(chunk, like=reference), alpha=alpha, checks=["performance"])
    return {c.metric: (c.current, c.interval) for c in report.checks if c.details.get("estimated")}


def nannyml_estimates(nml, reference, analysis, kwargs, metrics, size):
    estimator = nml.CBPE(metrics=metrics, chunk_size=size, **kwargs).fit(reference)
    frame = estimator.estimate(analysis).filter(period="analysis").to_df()
    return {m: frame[(m, "value")].to_numpy() for m in metrics}


def binary_case(nml, alpha, size):
    reference, analysis, targets = nml.load_synthetic_car_loan_dataset()
    analysis = analysis.merge(targets, on="id")
    ref_profile = mv.profile(reference[["repaid", "y_pred", "y_pred_proba"]], target="repaid", prediction="y_pred",
                             score="y_pred_proba", task="binary")
    parts = chunks(analysis, size)
    start = time.perf_counter()
    ours = [morvane_estimates(ref_profile, c[["y_pred", "y_pred_proba"]], alpha) for c in parts]
    ours_time = time.perf_counter() - start
    start = time.perf_counter()
    peer = nannyml_estimates(nml, reference, analysis.drop(columns=["repaid"]),
                             dict(y_pred_proba="y_pred_proba", y_pred="y_pred", y_true="repaid",
                                  problem_type="classification_binary"),
                             [m for m, _ in BINARY.values()], size)
    peer_time = time.perf_counter() - start
    realized = [{k: f(c["repaid"], c["y_pred"], c["y_pred_proba"]) for k, (_, f) in BINARY.items()} for c in parts]
    calibrated = [still_calibrated(reference["repaid"].to_numpy(), reference["y_pred_proba"].to_numpy(),
                                   c["repaid"].to_numpy(), c["y_pred_proba"].to_numpy()) for c in parts]
    return "binary (car loan)", BINARY, ours, peer, realized, calibrated, ours_time, peer_time


def multiclass_case(nml, alpha, size):
    reference, analysis, targets = nml.load_synthetic_multiclass_classification_dataset()
    analysis = analysis.merge(targets, on="id")
    classes = ["highstreet_card", "prepaid_card", "upmarket_card"]
    scores = [f"y_pred_proba_{c}" for c in classes]
    ref_profile = mv.profile(reference[["y_true", "y_pred"] + scores], target="y_true", prediction="y_pred",
                             score=dict(zip(classes, scores)), task="multiclass")
    parts = chunks(analysis, size)
    start = time.perf_counter()
    ours = [morvane_estimates(ref_profile, c[["y_pred"] + scores], alpha) for c in parts]
    ours_time = time.perf_counter() - start
    start = time.perf_counter()
    peer = nannyml_estimates(nml, reference, analysis.drop(columns=["y_true"]),
                             dict(y_pred_proba=dict(zip(classes, scores)), y_pred="y_pred", y_true="y_true",
                                  problem_type="classification_multiclass"),
                             [m for m, _ in MULTICLASS.values()], size)
    peer_time = time.perf_counter() - start
    realized = [{k: f(c["y_true"], c["y_pred"], c[scores].to_numpy(), classes)
                 for k, (_, f) in MULTICLASS.items()} for c in parts]
    onehot = lambda y: (np.asarray(y)[:, None] == np.array(classes)[None, :]).astype(float)
    calibrated = [still_calibrated(onehot(reference["y_true"]), reference[scores].to_numpy(), onehot(c["y_true"]),
                                   c[scores].to_numpy()) for c in parts]
    return "multiclass (credit cards)", MULTICLASS, ours, peer, realized, calibrated, ours_time, peer_time


def show(title, table, ours, peer, realized, calibrated, ours_time, peer_time, alpha):
    print(f"\n{title}: {len(realized)} chunks; morvane {ours_time:.2f}s, nannyml CBPE {peer_time:.2f}s")
    print(f"{'chunk':>5} {'calibrated':>10} {'metric':<18}{'realized':>9}{'morvane':>9}{'interval':>20}{'nannyml':>9}")
    for i, real in enumerate(realized):
        for k, (peer_name, _) in table.items():
            est, interval = ours[i].get(k, (None, None))
            lo, hi = interval if interval else (float("nan"), float("nan"))
            print(f"{i:>5} {str(calibrated[i]):>10} {k:<18}{real[k]:>9.4f}{_f(est):>9}"
                  f"{f'[{lo:.4f}, {hi:.4f}]':>20}{peer[peer_name][i]:>9.4f}")
    kept = np.array(calibrated)
    for label, rows in (("every chunk", np.ones(len(kept), bool)), ("calibrated chunks", kept)):
        print(f"\n{label} ({rows.sum()})")
        print(f"{'metric':<18}{'MAE morvane':>12}{'MAE nannyml':>12}{'max err morvane':>16}{'coverage':>10}"
              f"{'target':>8}")
        if not rows.any():
            continue
        for k, (peer_name, _) in table.items():
            real = np.array([r[k] for r in realized])[rows]
            est = np.array([o[k][0] if o.get(k) and o[k][0] is not None else np.nan for o in ours])[rows]
            intervals = [o[k][1] for o, keep in zip(ours, rows) if keep]
            covered = [iv is not None and iv[0] <= r <= iv[1] for iv, r in zip(intervals, real)]
            print(f"{k:<18}{np.nanmean(np.abs(est - real)):>12.4f}"
                  f"{np.mean(np.abs(peer[peer_name][rows] - real)):>12.4f}"
                  f"{np.nanmax(np.abs(est - real)):>16.4f}{np.mean(covered):>10.2f}{1 - alpha:>8.2f}")


def cost(nml, alpha, size, repeats):
    """CPU seconds per window of both estimators on the car-loan data, in one run."""
    reference, analysis, _ = nml.load_synthetic_car_loan_dataset()
    window = analysis.iloc[:size]
    ref_profile = mv.profile(reference[["repaid", "y_pred", "y_pred_proba"]], target="repaid", prediction="y_pred",
                             score="y_pred_proba", task="binary")
    ours = lambda: morvane_estimates(ref_profile, window[["y_pred", "y_pred_proba"]], alpha)
    first = median_time(ours, repeats=1, warmup=0, clock=time.process_time)
    names = [m for m, _ in BINARY.values()]
    fit = lambda: nml.CBPE(metrics=names, chunk_size=size, y_pred_proba="y_pred_proba", y_pred="y_pred",
                           y_true="repaid", problem_type="classification_binary").fit(reference)
    peer_fit = median_time(fit, repeats=1, warmup=0, clock=time.process_time)
    estimator = fit()
    per_window = median_time(ours, repeats=repeats, clock=time.process_time)
    peer_window = median_time(lambda: estimator.estimate(window), repeats=repeats, clock=time.process_time)
    print(f"\ncost, binary (car loan), one {size:,}-row window, CPU seconds (median of {repeats})")
    print(f"{'':<34}{'morvane':>10}{'CBPE':>10}{'ratio':>8}")
    print(f"{'per window (reference fitted)':<34}{per_window:>10.4f}{peer_window:>10.4f}{per_window / peer_window:>8.2f}")
    print(f"{'first window / CBPE fit':<34}{first:>10.4f}{peer_fit:>10.4f}{first / peer_fit:>8.2f}")


def _f(v):
    return f"{v:.4f}" if v is not None else "-"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--alpha", type=float, default=0.05)
    parser.add_argument("--chunk", type=int, default=5000)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    try:
        import nannyml as nml
    except ImportError:
        raise SystemExit("skipped: this benchmark needs the peer, which is not installed (pip install nannyml statsmodels)")
    warnings.filterwarnings("ignore")
    cost(nml, args.alpha, args.chunk, args.repeats)
    for case in (binary_case, multiclass_case):
        show(*case(nml, args.alpha, args.chunk), args.alpha)


if __name__ == "__main__":
    main()
