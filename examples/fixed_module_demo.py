"""morvane on real data: a classifier and a regressor watched in production.

Two models are trained on data sets bundled with scikit-learn:

- a logistic-regression classifier on the breast-cancer data (positive label: malignant),
- a ridge regressor on the diabetes data (disease progression after one year).

At training time the demo keeps a baseline: performance, data-bias and model-bias
metrics on held-out rows, and the histograms of the input features. Production batches
then arrive. The first comes from the same population as the baseline. In the second
the population has moved: the classifier's images come from a grainier scanner (the
"mean texture" feature reads higher and "mean radius" slightly larger) and a referral
clinic sends many more malignant cases; the regressor's patients have a higher body-mass
index and progress faster.

Every family of the module runs on these batches: one-shot analyzers, runtime checks
against the stored baseline, streaming monitors and drift detectors. The demo prints a
report and writes a PNG comparing baseline and production histograms of the drifting
features.

    python examples/fixed_module_demo.py                  # report on stdout, figure in ./morvane_demo.png
    python examples/fixed_module_demo.py --out /tmp/run   # figure in /tmp/run/morvane_demo.png
"""

from __future__ import annotations

import argparse
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
from sklearn.datasets import load_breast_cancer, load_diabetes
from sklearn.linear_model import LogisticRegression, Ridge
from sklearn.model_selection import train_test_split
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

import _morvane as mv

DRIFT_METRICS = ["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]
# Feature drift is flagged on the Jensen-Shannon divergence (in bits, between 0 and 1).
# PSI and KL are shown too, but they weigh runtime values outside the baseline's range
# heavily (such values fall in a bin where the baseline share is 0), which small
# baselines like these make common.
JS_ALERT = 0.05
# Performance runtime checks: a metric fails when it worsens by more than 10 % of its
# baseline value (the default threshold).
CHECK_THRESHOLD = 0.10
# Bias metrics of a few hundred rows are noisier: bias checks fail on growth beyond 50 %,
# bias monitors on a relative change of 50 % in either direction.
BIAS_THRESHOLD = 0.5
# Streaming performance monitors: a metric fails when it falls 0.1 below its baseline.
MONITOR_THRESHOLD = 0.1
# Binning heuristic of the feature detectors: Sturges keeps few bins for small samples.
HEURISTIC = "Sturges"

CLASSIFIER_FEATURES = ["mean radius", "mean texture", "mean smoothness", "mean concave points"]
FACET_FEATURE = "mean texture"  # facet a: grainy, high-texture images
FACET_THRESHOLD = 20.0
BATCH_SIZE = 400


# ---- report helpers ------------------------------------------------------------------


def heading(text: str) -> None:
    print(f"\n{text}\n{'=' * len(text)}")


def verdict(report: Mapping[str, Any]) -> str:
    if report["passed"]:
        return "passed"
    return f"FAILED ({len(report['failed_report'])} metrics)"


def show_check(title: str, baseline: Mapping[str, float], latest: Mapping[str, float], report: Mapping[str, Any],
               checked: list[str] | None = None) -> None:
    """One table: baseline and latest value of every metric, and the check's verdict on it."""
    failed = {entry["metric"]: entry["driftError"] for entry in report.get("failed_report", [])}
    print(f"\n  {title}: {verdict(report)}")
    print(f"    {'metric':<48}{'baseline':>10}{'latest':>10}   verdict")
    for name in sorted(latest):
        if name in failed:
            mark = f"FAILED (change {failed[name]:.4f})"
        elif checked is not None and name not in checked:
            mark = "not checked"
        else:
            mark = "ok"
        print(f"    {name:<48}{baseline[name]:>10.4f}{latest[name]:>10.4f}   {mark}")


def show_monitor(title: str, report: Mapping[str, Any]) -> None:
    """One line: the verdict, and each failed metric with its change."""
    entries = sorted(report.get("failed_report", []), key=lambda e: e["metric"])
    failed = ", ".join(f"{e['metric']} ({e['driftError']:.3f})" for e in entries)
    print(f"  {title}: {verdict(report)}" + (f": {failed}" if failed else ""))


def show_drift(name: str, scores: list[float]) -> None:
    js, psi, wd, kl = scores
    flag = "DRIFT" if js >= JS_ALERT else "stable"
    print(f"    {name:<24}JS {js:8.4f}   PSI {psi:8.4f}   Wasserstein {wd:8.4f}   KL {kl:8.4f}   {flag}")


# ---- data --------------------------------------------------------------------------


@dataclass
class Batch:
    title: str
    X: np.ndarray
    y: np.ndarray


@dataclass
class Classifier:
    model: Any
    names: list[str]
    X_train: np.ndarray
    X_base: np.ndarray
    y_base: np.ndarray
    batches: list[Batch] = field(default_factory=list)

    def column(self, X: np.ndarray, name: str) -> np.ndarray:
        # Drift detectors read contiguous float64 arrays in place.
        return np.ascontiguousarray(X[:, self.names.index(name)], dtype=np.float64)

    def proba(self, X: np.ndarray) -> np.ndarray:
        cols = [self.names.index(n) for n in CLASSIFIER_FEATURES]
        # Log loss is computed in 32 bits, where a probability within 3e-8 of 1 rounds to
        # 1.0 and a confident right answer would make it NaN: keep probabilities inside.
        return np.clip(self.model.predict_proba(X[:, cols])[:, 1], 1e-6, 1 - 1e-6)


def build_classifier(rng: np.random.Generator) -> Classifier:
    data = load_breast_cancer()
    X, y = data.data, 1 - data.target  # 1 = malignant
    names = [str(n) for n in data.feature_names]
    X_train, X_rest, y_train, y_rest = train_test_split(X, y, test_size=0.6, random_state=0, stratify=y)
    X_base, X_pool, y_base, y_pool = train_test_split(X_rest, y_rest, test_size=0.5, random_state=0, stratify=y_rest)
    cols = [names.index(n) for n in CLASSIFIER_FEATURES]
    model = make_pipeline(StandardScaler(), LogisticRegression()).fit(X_train[:, cols], y_train)
    clf = Classifier(model, names, X_train, X_base, y_base)

    # Production batches are drawn (with replacement) from rows the model never saw.
    same = rng.integers(0, len(y_pool), BATCH_SIZE)
    clf.batches.append(Batch("batch 1: same population", X_pool[same], y_pool[same]))

    # A referral clinic: 70 % malignant cases instead of about 37 %.
    malignant, benign = np.flatnonzero(y_pool == 1), np.flatnonzero(y_pool == 0)
    n_mal = int(0.7 * BATCH_SIZE)
    rows = np.concatenate([rng.choice(malignant, n_mal), rng.choice(benign, BATCH_SIZE - n_mal)])
    X_drift = X_pool[rows].copy()
    # A grainier scanner: texture reads higher, radii slightly larger.
    X_drift[:, names.index("mean texture")] += rng.normal(4.0, 1.0, BATCH_SIZE)
    X_drift[:, names.index("mean radius")] *= 1.08
    clf.batches.append(Batch("batch 2: new scanner, referral clinic", X_drift, y_pool[rows]))
    return clf


@dataclass
class Regressor:
    model: Any
    X_train: np.ndarray
    X_base: np.ndarray
    y_base: np.ndarray
    batches: list[Batch] = field(default_factory=list)


BMI = 2  # column of the body-mass index in the diabetes data


def build_regressor(rng: np.random.Generator) -> Regressor:
    X, y = load_diabetes(return_X_y=True)
    X_train, X_rest, y_train, y_rest = train_test_split(X, y, test_size=0.5, random_state=0)
    X_base, X_pool, y_base, y_pool = train_test_split(X_rest, y_rest, test_size=0.5, random_state=0)
    model = Ridge(alpha=0.1).fit(X_train, y_train)
    reg = Regressor(model, X_train, X_base, y_base)
    same = rng.integers(0, len(y_pool), BATCH_SIZE)
    reg.batches.append(Batch("batch 1: same population", X_pool[same], y_pool[same]))
    rows = rng.integers(0, len(y_pool), BATCH_SIZE)
    X_drift = X_pool[rows].copy()
    X_drift[:, BMI] += 0.03  # heavier patients (the features are centred and scaled)
    y_drift = y_pool[rows] + rng.uniform(30.0, 90.0, BATCH_SIZE)  # who progress faster
    reg.batches.append(Batch("batch 2: heavier, faster-progressing patients", X_drift, y_drift))
    return reg


# ---- the classifier ------------------------------------------------------------------


def facet_flags(clf: Classifier, X: np.ndarray) -> np.ndarray:
    return (clf.column(X, FACET_FEATURE) >= FACET_THRESHOLD).astype(np.int8)


def run_classifier(clf: Classifier, figure: dict) -> None:
    heading("Classifier: breast cancer, logistic regression (positive label: malignant)")
    p_base = clf.proba(clf.X_base)
    pred_base = (p_base >= 0.5).astype(np.int64)
    texture_base = clf.column(clf.X_base, FACET_FEATURE)

    # Baseline, kept at training time: three dicts of metric values.
    perf_base = mv.py_model_perf_logistic_regression(clf.y_base.astype(np.float64), p_base, 0.5)
    data_bias_base = mv.py_data_bias_analyzer(texture_base, clf.y_base, FACET_THRESHOLD, 1)
    model_bias_base = mv.py_model_bias_analyzer(texture_base, clf.y_base, pred_base, FACET_THRESHOLD, 1, 1)
    print(f"  baseline: {len(clf.y_base)} held-out rows, accuracy {perf_base['Accuracy']:.3f}, "
          f"log loss {perf_base['LogLoss']:.3f}")
    print(f"  facet a: '{FACET_FEATURE}' >= {FACET_THRESHOLD} (grainy images); positive label: malignant")

    # Streaming monitors hold the same baseline and accumulate production rows.
    logistic = mv.PyLogisticRegressionStreaming(clf.y_base.astype(np.float64), p_base, 0.5)
    binary = mv.PyBinaryClassificationStreaming(clf.y_base, pred_base)
    facets_base = facet_flags(clf, clf.X_base)
    data_bias_monitor = mv.PyDataBiasStreaming(facets_base, clf.y_base)
    model_bias_monitor = mv.PyModelBiasStreaming(facets_base, pred_base, clf.y_base)

    # Drift detectors: one per watched feature, built from the training data.
    watched = ["mean radius", "mean texture", "mean smoothness", "mean concave points"]
    batch_detectors = {n: mv.PyContinuousDataDrift(clf.column(clf.X_train, n), HEURISTIC) for n in watched}
    streams = {n: mv.PyStreamingContinuousDataDriftFlush(clf.column(clf.X_train, n), HEURISTIC, None, None)
               for n in ("mean radius", "mean texture")}
    label_names = np.array(["benign", "malignant"])
    labels_base = list(label_names[clf.y_base])
    # Predictions stream in one at a time; the window flushes itself every BATCH_SIZE rows.
    prediction_drift = mv.PyStreamingCategoricalDataDriftFlush(list(label_names[pred_base]), BATCH_SIZE, None)

    for batch in clf.batches:
        heading(f"Classifier, {batch.title} ({len(batch.y)} rows)")
        p = clf.proba(batch.X)
        pred = (p >= 0.5).astype(np.int64)
        texture = clf.column(batch.X, FACET_FEATURE)

        # One-shot analyzers on the batch, then runtime checks against the baseline.
        perf = mv.py_model_perf_logistic_regression(batch.y.astype(np.float64), p, 0.5)
        show_check("Performance (py_model_perf_log_reg_rt_full)", perf_base, perf,
                   mv.py_model_perf_log_reg_rt_full(perf_base, perf, CHECK_THRESHOLD))
        hard = mv.py_model_perf_classification(batch.y.astype(np.float64), pred.astype(np.float64))
        hard_base = {k: v for k, v in perf_base.items() if k != "LogLoss"}
        show_monitor("  Hard labels, Accuracy and F1Score (py_model_perf_class_rt_partial)",
                     mv.py_model_perf_class_rt_partial(hard_base, hard, ["Accuracy", "F1Score"], CHECK_THRESHOLD))
        data_bias = mv.py_data_bias_analyzer(texture, batch.y, FACET_THRESHOLD, 1)
        show_check("Data bias (py_data_bias_runtime_check)", data_bias_base, data_bias,
                   mv.py_data_bias_runtime_check(data_bias_base, data_bias, BIAS_THRESHOLD))
        model_bias = mv.py_model_bias_analyzer(texture, batch.y, pred, FACET_THRESHOLD, 1, 1)
        headline = ["DifferenceInPositivePredictedLabels", "DisparateImpact", "AccuracyDifference", "RecallDifference"]
        show_check("Model bias, headline metrics (py_model_bias_partial_check)", model_bias_base, model_bias,
                   mv.py_model_bias_partial_check(model_bias_base, model_bias, headline, BIAS_THRESHOLD), headline)

        # Streaming monitors: the window holds this batch only.
        print("\n  Streaming monitors (window = this batch):")
        for monitor in (logistic, binary, data_bias_monitor, model_bias_monitor):
            monitor.flush()
        logistic.push_batch(batch.y.astype(np.float64), p)
        binary.push_batch(batch.y, pred)
        flags = facet_flags(clf, batch.X)
        data_bias_monitor.push_batch(flags, batch.y)
        model_bias_monitor.push_batch(flags, pred, batch.y)
        show_monitor(f"PyLogisticRegressionStreaming (drop >= {MONITOR_THRESHOLD})",
                     logistic.drift_report(MONITOR_THRESHOLD))
        show_monitor(f"PyBinaryClassificationStreaming (drop >= {MONITOR_THRESHOLD})",
                     binary.drift_report(MONITOR_THRESHOLD))
        watched_bias = ["ClassImbalance", "DifferenceInProportionOfLabels"]
        show_monitor(f"PyDataBiasStreaming ({', '.join(watched_bias)}; change >= {BIAS_THRESHOLD:.0%})",
                     data_bias_monitor.drift_report_partial_metrics(watched_bias, BIAS_THRESHOLD))
        watched_bias = ["DifferenceInPositivePredictedLabels", "DisparateImpact"]
        show_monitor(f"PyModelBiasStreaming ({', '.join(watched_bias)}; change >= {BIAS_THRESHOLD:.0%})",
                     model_bias_monitor.drift_report_partial_metrics(watched_bias, BIAS_THRESHOLD))

        # Drift of the inputs and of the label and prediction mix.
        print(f"\n  Feature drift against the training data (PyContinuousDataDrift; DRIFT when JS >= {JS_ALERT}):")
        for name, detector in batch_detectors.items():
            show_drift(name, detector.compute_drift_mutliple_criteria(clf.column(batch.X, name), DRIFT_METRICS))
        labels = list(label_names[batch.y])
        print("  Label mix (py_compute_drift_categorical_distribtuion), predictions (PyStreamingCategoricalDataDriftFlush):")
        show_drift("ground truth", mv.py_compute_drift_categorical_distribtuion(labels_base, labels, DRIFT_METRICS))
        for label in label_names[pred]:
            prediction_drift.update_stream(str(label))
        show_drift("predictions", prediction_drift.compute_drift_multiple_criteria(DRIFT_METRICS))
        share = float(np.mean(batch.y))
        print(f"    malignant share: baseline {np.mean(clf.y_base):.2f}, batch {share:.2f}")

        # The streaming detectors keep the batch's histogram for the figure, then start over.
        for name, stream in streams.items():
            stream.update_stream_batch(clf.column(batch.X, name))
            figure.setdefault(name, []).append((batch.title, stream.export_snapshot(),
                                                stream.compute_drift("JensenShannon")))
            stream.flush()
        figure.setdefault("labels", []).append((batch.title, share))
    figure["labels_base"] = float(np.mean(clf.y_base))


# ---- the regressor -------------------------------------------------------------------


def run_regressor(reg: Regressor, figure: dict) -> None:
    heading("Regressor: diabetes, ridge regression (disease progression)")
    perf_base = mv.py_model_perf_linear_regression(reg.y_base, reg.model.predict(reg.X_base))
    print(f"  baseline: {len(reg.y_base)} held-out rows, RMSE {perf_base['RootMeanSquaredError']:.1f}, "
          f"R^2 {perf_base['RSquared']:.3f}")
    monitor = mv.PyLinearRegressionStreaming(reg.y_base, reg.model.predict(reg.X_base))
    bmi_train = np.ascontiguousarray(reg.X_train[:, BMI])
    # Decay mode keeps a long memory: older samples lose half their weight every 10 drift
    # computations. The flush-mode window holds one batch, for the figure.
    bmi_stream = mv.PyStreamingContinuousDataDriftDecay(bmi_train, HEURISTIC, 10)
    bmi_window = mv.PyStreamingContinuousDataDriftFlush(bmi_train, HEURISTIC, None, None)

    for batch in reg.batches:
        heading(f"Regressor, {batch.title} ({len(batch.y)} rows)")
        pred = reg.model.predict(batch.X)
        perf = mv.py_model_perf_linear_regression(batch.y, pred)
        show_check("Performance (py_model_perf_lin_reg_rt_full)", perf_base, perf,
                   mv.py_model_perf_lin_reg_rt_full(perf_base, perf, CHECK_THRESHOLD))
        errors = ["RootMeanSquaredError", "MeanAbsoluteError", "RSquared"]
        show_monitor("  Errors only (py_model_perf_lin_reg_rt_partial)",
                     mv.py_model_perf_lin_reg_rt_partial(perf_base, perf, errors, CHECK_THRESHOLD))

        monitor.flush()
        for t, p in zip(batch.y, pred):  # one pair at a time, as a service would
            monitor.push(float(t), float(p))
        print("\n  Streaming monitor (window = this batch):")
        snapshot = monitor.drift_snapshot()
        print(f"    |baseline - window|: RMSE {snapshot['RootMeanSquaredError']:.2f}, R^2 {snapshot['RSquared']:.3f}")
        report = monitor.drift_report_partial_metrics(["RootMeanSquaredError", "MeanAbsoluteError"], 5.0)
        show_monitor("PyLinearRegressionStreaming (RMSE or MAE moves >= 5)", report)

        bmi = np.ascontiguousarray(batch.X[:, BMI])
        print("\n  Feature drift against the training data:")
        scores = mv.py_compute_drift_continuous_distribtuion(bmi_train, bmi, DRIFT_METRICS, HEURISTIC)
        show_drift("bmi (one-shot)", scores)
        bmi_stream.update_stream_batch(bmi)
        show_drift(f"bmi (decay, n~{bmi_stream.total_samples})", bmi_stream.compute_drift_multiple_criteria(DRIFT_METRICS))
        bmi_window.flush()
        bmi_window.update_stream_batch(bmi)
        figure.setdefault("bmi", []).append((batch.title, bmi_window.export_snapshot(),
                                             bmi_window.compute_drift("JensenShannon")))


# ---- the figure ----------------------------------------------------------------------


def bin_labels(edges: list[float]) -> list[str]:
    """Names of the detector's bins: below the first edge, one per inner bin, then the top."""
    labels = [f"< {edges[0]:.3g}"]
    labels += [f"{a:.3g} to {b:.3g}" for a, b in zip(edges[:-1], edges[1:])]
    labels.append(f">= {edges[-1]:.3g}")
    return labels


def merged(values: list[float]) -> np.ndarray:
    # The last two bins hold values equal to the last edge and above it: shown as one.
    v = np.asarray(values)
    return np.concatenate([v[:-2], [v[-2] + v[-1]]])


def histogram_panel(ax, title: str, entries) -> None:
    _, first, _ = entries[0]
    edges = first["binEdges"]
    x = np.arange(len(edges) + 1)
    width = 0.8 / (len(entries) + 1)
    ax.bar(x - 0.4 + width / 2, merged(first["baselineBins"]), width, label="baseline (training)", color="#8c8c8c")
    colors = ["#4c72b0", "#dd8452"]
    for i, (batch, snapshot, js) in enumerate(entries):
        ax.bar(x - 0.4 + width * (i + 1.5), merged(snapshot["streamBins"]), width, color=colors[i % 2],
               label=f"{batch.split(':')[0]} (JS {js:.3f})")
    ax.set_title(title, fontsize=11)
    ax.set_xticks(x, bin_labels(edges), rotation=60, fontsize=7, ha="right")
    ax.set_ylabel("share of rows")
    ax.legend(fontsize=8)


def write_figure(figure: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 2, figsize=(13, 9))
    histogram_panel(axes[0, 0], "Classifier: mean texture", figure["mean texture"])
    histogram_panel(axes[0, 1], "Classifier: mean radius", figure["mean radius"])
    histogram_panel(axes[1, 0], "Regressor: body-mass index (scaled)", figure["bmi"])

    ax = axes[1, 1]
    names = ["baseline"] + [title.split(":")[0] for title, _ in figure["labels"]]
    shares = [figure["labels_base"]] + [share for _, share in figure["labels"]]
    ax.bar(names, shares, color=["#8c8c8c", "#4c72b0", "#dd8452"][: len(names)])
    for i, s in enumerate(shares):
        ax.text(i, s + 0.01, f"{s:.0%}", ha="center", fontsize=9)
    ax.set_ylim(0, 1)
    ax.set_title("Classifier: share of malignant cases (label mix)", fontsize=11)
    ax.set_ylabel("share of rows")

    fig.suptitle("morvane: training baseline against production batches\n"
                 "(histograms in the drift detectors' own bins; JS = Jensen-Shannon divergence in bits)", fontsize=12)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv: list[str] | None = None) -> Path | None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=Path("."), help="directory for morvane_demo.png")
    parser.add_argument("--no-figure", action="store_true", help="print the report only")
    args = parser.parse_args(argv)

    rng = np.random.default_rng(7)
    figure: dict = {}
    run_classifier(build_classifier(rng), figure)
    run_regressor(build_regressor(rng), figure)
    if args.no_figure:
        return None
    args.out.mkdir(parents=True, exist_ok=True)
    path = args.out / "morvane_demo.png"
    write_figure(figure, path)
    print(f"\nFigure written to {path}")
    return path


if __name__ == "__main__":
    main()
