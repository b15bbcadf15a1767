"""One-shot classification and logistic-regression metrics on 1e6 and 1e7 rows: morvane
against scikit-learn computing the same metrics (accuracy, precision, recall, balanced
accuracy, F1, log loss) and against a vectorised NumPy version."""

import statistics
import sys
import time

import numpy as np

import _morvane
from _timing import median_time, print_table

EPS = np.float32(1e-12)


def cpu_time(fn, repeats):
    return median_time(fn, repeats, clock=time.process_time)


def numpy_ratios(truth, pred):
    tp = np.count_nonzero(truth & pred)
    t = np.count_nonzero(truth)
    p = np.count_nonzero(pred)
    fn, fp = t - tp, p - tp
    tn = truth.size - tp - fn - fp
    tp, fp, tn, fn = (np.float32(x) for x in (tp, fp, tn, fn))
    rp, rn = tp / (tp + fn), tn / (tn + fp)
    pp = tp / (tp + fp)
    return {
        "Accuracy": (tp + tn) / (tn + (fn + (tp + fp))),
        "PrecisionPositive": pp,
        "RecallPositive": rp,
        "BalancedAccuracy": (rp + rn) * np.float32(0.5),
        "F1Score": ((rp + rp) * pp) / (rp + pp),
    }


def numpy_classification(t, p):
    return numpy_ratios(t.astype(np.float32) == 1.0, p.astype(np.float32) == 1.0)


def numpy_logistic(t, p, threshold):
    t32, p32 = t.astype(np.float32), p.astype(np.float32)
    out = numpy_ratios(t32 >= threshold, p32 >= threshold)
    c = np.clip(p32, EPS, np.float32(1) - EPS)
    terms = t32 * np.log(c) + (np.float32(1) - t32) * np.log(np.float32(1) - c)
    out["LogLoss"] = -np.float32(terms.sum(dtype=np.float64)) / np.float32(t.size)
    return out


def sklearn_classification(t, p):
    from sklearn import metrics as m

    return {
        "Accuracy": m.accuracy_score(t, p),
        "PrecisionPositive": m.precision_score(t, p),
        "RecallPositive": m.recall_score(t, p),
        "BalancedAccuracy": m.balanced_accuracy_score(t, p),
        "F1Score": m.f1_score(t, p),
    }


def sklearn_logistic(t, p, threshold):
    from sklearn import metrics as m

    out = sklearn_classification(t, (p >= threshold).astype(np.float64))
    out["LogLoss"] = m.log_loss(t, p)
    return out


def check(ours, *refs):
    for ref in refs:
        for k, v in ref.items():
            assert abs(ours[k] - float(v)) <= 1e-4 * max(1.0, abs(float(v))), (k, ours[k], v)


def main(sizes=(1_000_000, 10_000_000)):
    rng = np.random.default_rng(0)
    have_sklearn = True
    try:
        import sklearn  # noqa: F401
    except ImportError:
        have_sklearn = False
        print("scikit-learn not installed: skipped", file=sys.stderr)
    summary = []
    for n in sizes:
        repeats = 7 if n <= 1_000_000 else 3
        truth = (rng.random(n) < 0.4).astype(np.float64)
        prob = np.clip(truth * 0.35 + rng.random(n) * 0.65, 0.001, 0.999)
        labels = (prob >= 0.5).astype(np.float64)

        ours = _morvane.py_model_perf_classification(truth, labels)
        refs = [numpy_classification(truth, labels)] + ([sklearn_classification(truth, labels)] if have_sklearn else [])
        check(ours, *refs)
        # CPU-time medians, the three taken in turns so that other load falls on all alike.
        cpu = {"morvane": [], "numpy": [], "floor": []}
        for _ in range(3):
            cpu["morvane"].append(cpu_time(lambda: _morvane.py_model_perf_classification(truth, labels), repeats))
            cpu["numpy"].append(cpu_time(lambda: numpy_classification(truth, labels), repeats))
            cpu["floor"].append(cpu_time(lambda: (truth.sum(), labels.sum()), repeats))
        ours, np_time, floor = (statistics.median(cpu[k]) for k in ("morvane", "numpy", "floor"))
        rows = [
            ("morvane", ours),
            ("numpy (vectorised)", np_time),
            ("numpy floor (read inputs once)", floor),
        ]
        if have_sklearn:
            rows.append(("scikit-learn", cpu_time(lambda: sklearn_classification(truth, labels), max(1, repeats // 2))))
        print_table(f"classification metrics (5), n = {n:,}, CPU time", rows)
        met = np_time / ours >= 2.0 and ours / floor <= 1.5
        print(f"target (2x NumPy, within 1.5x the floor): {np_time / ours:.2f}x NumPy, {ours / floor:.2f}x the floor: "
              f"{'met' if met else 'MISSED'}")
        summary.append((f"classification n={n:,}", rows))

        ours = _morvane.py_model_perf_logistic_regression(truth, prob, 0.5)
        refs = [numpy_logistic(truth, prob, 0.5)] + ([sklearn_logistic(truth, prob, 0.5)] if have_sklearn else [])
        check(ours, *refs)
        # CPU time (time.process_time) for the logistic rows; target: within 4x the floor.
        cpu = dict(clock=time.process_time)
        rows = [
            ("morvane", median_time(lambda: _morvane.py_model_perf_logistic_regression(truth, prob, 0.5), repeats, **cpu)),
            ("numpy (vectorised)", median_time(lambda: numpy_logistic(truth, prob, 0.5), repeats, **cpu)),
            ("numpy floor (read inputs once)", median_time(lambda: (truth.sum(), prob.sum()), repeats, **cpu)),
        ]
        if have_sklearn:
            rows.append(("scikit-learn", median_time(lambda: sklearn_logistic(truth, prob, 0.5), max(1, repeats // 2), **cpu)))
        print_table(f"logistic metrics (5 + log loss), n = {n:,} (CPU time)", rows)
        print(f"morvane: {rows[0][1] / rows[2][1]:.1f}x the floor (target 4x)")
        summary.append((f"logistic n={n:,}", rows))

    if have_sklearn:
        print("\nspeed-up over scikit-learn (target: at least 20x at n = 1,000,000)")
        for label, rows in summary:
            d = dict(rows)
            print(f"  {label:<28}{d['scikit-learn'] / d['morvane']:>8.1f}x")


if __name__ == "__main__":
    main(tuple(int(float(a)) for a in sys.argv[1:]) or (1_000_000, 10_000_000))
