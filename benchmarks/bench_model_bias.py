"""Times py_model_bias_analyzer against a vectorised NumPy computation of the same
twelve metrics and against fairlearn's MetricFrame (selection rate, accuracy and
recall per group), on the same data in one run. Prints medians and ratios.

    PYTHONPATH=build/dev python3 benchmarks/bench_model_bias.py [rows ...]
"""

import statistics
import sys
import time

import numpy as np

import _morvane

try:
    from fairlearn.metrics import MetricFrame, selection_rate
    from sklearn.metrics import accuracy_score, recall_score
except ImportError:  # the fairlearn column is skipped
    MetricFrame = None

F = np.float32
FAIRLEARN_MAX_ROWS = 1_000_000


def make_data(n, seed=0):
    rng = np.random.default_rng(seed)
    feature = rng.integers(0, 5, n)  # five groups; facet a is group 1
    gt = (rng.random(n) < 0.4).astype(np.int64)
    flip = rng.random(n) < 0.2
    pred = np.where(flip, 1 - gt, gt)
    return feature, gt, pred


def numpy_metrics(feature, gt, pred):
    """The twelve post-training metrics with vectorised NumPy counting, float32 formulas."""
    fa, pp, lp = feature == 1, pred == 1, gt == 1
    npp, nlp = ~pp, ~lp
    fd = ~fa

    def facet(m):
        tp = np.count_nonzero(m & pp & lp)
        fp = np.count_nonzero(m & pp & nlp)
        tn = np.count_nonzero(m & npp & nlp)
        fn = np.count_nonzero(m & npp & lp)
        n = tp + fp + tn + fn
        return {k: F(v) for k, v in dict(tp=tp, fp=fp, tn=tn, fn=fn, n=n, l=tp + fn, p=tp + fp).items()}, n

    a, na = facet(fa)
    d, nd = facet(fd)
    b = np.where(lp, np.where(pp, F(1), F(0)), F(2)).astype(np.float32)
    mu = b.sum(dtype=np.float32) / F(len(b))
    ge = np.sum((b / mu) ** 2 - F(1), dtype=np.float32)
    pa, pd = a["p"] / a["n"], d["p"] / d["n"]
    n0 = F((na + nd) - (a["p"] + d["p"]))
    da = (a["n"] - a["p"]) / n0 - a["p"] / n0
    dd = (d["n"] - d["p"]) / n0 - d["p"] / n0
    return {
        "DifferenceInPositivePredictedLabels": pa - pd,
        "DisparateImpact": pa / pd,
        "AccuracyDifference": (a["tp"] + a["tn"]) / a["n"] - (d["tp"] + d["tn"]) / d["n"],
        "RecallDifference": a["tp"] / (a["tp"] + a["fn"]) - d["tp"] / (d["tp"] + d["fn"]),
        "DifferenceInConditionalAcceptance": a["p"] / a["l"] - d["p"] / d["l"],
        "DifferenceInAcceptanceRate": a["tp"] / a["p"] - d["tp"] / d["p"],
        "SpecialityDifference": a["tn"] / (a["tn"] + a["fp"]) - d["tn"] / (d["tn"] + d["fp"]),
        "DifferenceInConditionalRejection": (d["n"] - d["l"]) / (d["n"] - d["p"])
        - (a["n"] - a["l"]) / (a["n"] - a["p"]),
        "DifferenceInRejectionRate": d["tn"] / (d["tn"] + d["fn"]) - a["tn"] / (a["tn"] + a["fn"]),
        "TreatmentEquity": d["fn"] / d["fp"] - a["fn"] / a["fp"],
        "ConditionalDemographicDesparityPredictedLabels": (da * F(na) + dd * F(nd)) / F(na + nd),
        "GeneralizedEntropy": ge,
    }


def fairlearn_frame(feature, gt, pred):
    frame = MetricFrame(
        metrics={"selection_rate": selection_rate, "accuracy": accuracy_score, "recall": recall_score},
        y_true=gt,
        y_pred=pred,
        sensitive_features=feature == 1,
    )
    return frame.by_group


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main(sizes):
    print(f"{'rows':>10} {'morvane ms':>11} {'numpy ms':>9} {'fairlearn ms':>13} {'numpy/morvane':>14} {'fairlearn/morvane':>18}")
    for n in sizes:
        feature, gt, pred = make_data(n)
        ours = _morvane.py_model_bias_analyzer(feature, gt, pred, 1, 1, 1)
        reference = numpy_metrics(feature, gt, pred)
        for k, v in reference.items():  # same work: the two agree to float32 rounding
            # The entropy is an index-ordered 32-bit sum in morvane and a pairwise one in
            # NumPy; the sequential sum drifts by about 0.3% at 1e7 rows.
            rtol = 1e-2 if k == "GeneralizedEntropy" else 1e-3
            assert np.isclose(ours[k], float(v), rtol=rtol, atol=1e-4), (k, ours[k], v)
        repeats = 7 if n <= 1_000_000 else 3
        t_ours = median_time(lambda: _morvane.py_model_bias_analyzer(feature, gt, pred, 1, 1, 1), repeats)
        t_np = median_time(lambda: numpy_metrics(feature, gt, pred), repeats)
        # fairlearn marshals rows through Python (about 20 s per million rows here):
        # timed at up to a million rows only.
        if MetricFrame is not None and n <= FAIRLEARN_MAX_ROWS:
            t_fl = median_time(lambda: fairlearn_frame(feature, gt, pred), max(1, repeats // 2))
            fl = f"{t_fl * 1e3:13.1f}"
            fl_ratio = f"{t_fl / t_ours:17.1f}x"
        else:
            fl, fl_ratio = f"{'skipped':>13}", f"{'skipped':>18}"
        print(f"{n:>10} {t_ours * 1e3:11.2f} {t_np * 1e3:9.2f} {fl} {t_np / t_ours:13.2f}x {fl_ratio}")


if __name__ == "__main__":
    main([int(float(a)) for a in sys.argv[1:]] or [1_000_000, 10_000_000])
