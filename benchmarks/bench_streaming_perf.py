"""Streaming performance monitors: the cost of one `push` and the throughput of
`push_batch`, against river's streaming metrics updated with the same pairs
(river.metrics: Accuracy, Precision, Recall, F1, LogLoss, MAE, RMSE, R2)."""

import sys

import numpy as np

import _morvane
from _timing import median_time

try:
    from river import metrics as rm
except ImportError:
    rm = None
    print("river not installed: peers skipped", file=sys.stderr)


def families(n, rng):
    """(name, monitor factory, pairs as Python lists, river metrics and their pair adapter)."""
    truth = (rng.random(n) < 0.4).astype(float)
    prob = np.clip(truth * 0.35 + rng.random(n) * 0.65, 0.001, 0.999)
    labels = (prob >= 0.5).astype(np.int64)
    y = rng.uniform(1.0, 100.0, n)
    yhat = y + rng.normal(scale=3.0, size=n)
    out = [
        (
            "binary classification",
            lambda: _morvane.PyBinaryClassificationStreaming([1, 0, 1], [1, 0, 0]),
            truth.astype(np.int64),
            labels,
            lambda: [rm.Accuracy(), rm.Precision(), rm.Recall(), rm.F1()],
            lambda t, p: (bool(t), bool(p)),
        ),
        (
            "logistic regression",
            lambda: _morvane.PyLogisticRegressionStreaming([1.0, 0.0, 1.0], [0.8, 0.3, 0.6], 0.5),
            truth,
            prob,
            lambda: [rm.Accuracy(), rm.Precision(), rm.Recall(), rm.F1(), rm.LogLoss()],
            None,
        ),
        (
            "linear regression",
            lambda: _morvane.PyLinearRegressionStreaming([1.0, 2.0, 3.0], [1.1, 1.9, 3.2]),
            y,
            yhat,
            lambda: [rm.MAE(), rm.RMSE(), rm.R2()],
            lambda t, p: (t, p),
        ),
    ]
    return out


def river_loop(make_metrics, adapt, t_list, p_list):
    ms = make_metrics()
    if adapt is None:
        # Logistic: the label metrics see the thresholded prediction, LogLoss the probability.
        labels_m, loss = ms[:-1], ms[-1]

        def run():
            for t, p in zip(t_list, p_list):
                bt, bp = t == 1.0, p >= 0.5
                for m in labels_m:
                    m.update(bt, bp)
                loss.update(bt, p)
    else:

        def run():
            for t, p in zip(t_list, p_list):
                a, b = adapt(t, p)
                for m in ms:
                    m.update(a, b)

    return run


def per_pair(fn, n, repeats=5):
    return median_time(fn, repeats) / n


def main(n_push=200_000, n_batch=1_000_000):
    rng = np.random.default_rng(0)
    print(f"{'family':<24}{'morvane push':>14}{'empty loop':>12}{'river update':>14}{'ratio':>8}"
          f"{'push_batch':>14}{'river':>14}{'ratio':>8}")
    print(f"{'':<24}{'ns/pair':>14}{'ns/pair':>12}{'ns/pair':>14}{'':>8}{'Mpairs/s':>14}{'Mpairs/s':>14}{'':>8}")
    ratios = []
    for name, factory, t, p, river_metrics, adapt in families(n_batch, rng):
        t_list, p_list = t[:n_push].tolist(), p[:n_push].tolist()
        monitor = factory()
        push = monitor.push

        def push_loop():
            for a, b in zip(t_list, p_list):
                push(a, b)

        def empty_loop():
            for a, b in zip(t_list, p_list):
                pass

        ours = per_pair(push_loop, n_push)
        floor = per_pair(empty_loop, n_push)
        batch_monitor = factory()
        batch = per_pair(lambda: batch_monitor.push_batch(t, p), n_batch)
        if rm is not None:
            n_river = n_push // 4
            river = per_pair(river_loop(river_metrics, adapt, t_list[:n_river], p_list[:n_river]), n_river, repeats=3)
            ratios.append((name, river / ours))
            print(f"{name:<24}{ours * 1e9:>14.0f}{floor * 1e9:>12.0f}{river * 1e9:>14.0f}{river / ours:>7.1f}x"
                  f"{1e-6 / batch:>14.1f}{1e-6 / river:>14.2f}{river / batch:>7.0f}x")
        else:
            print(f"{name:<24}{ours * 1e9:>14.0f}{floor * 1e9:>12.0f}{'-':>14}{'-':>8}{1e-6 / batch:>14.1f}")
    if ratios:
        print("\npush against river's per-pair updates of the same metrics (target: at least 10x cheaper)")
        for name, r in ratios:
            print(f"  {name:<24}{r:>8.1f}x")


if __name__ == "__main__":
    main()
