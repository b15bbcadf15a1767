"""morvane on real-looking data: a regression model on scikit-learn's diabetes data set.

A baseline is measured on held-out data at training time; production batches then
arrive, one of them after the population has shifted, and each batch's metrics are
compared with the baseline.
"""

import numpy as np
from sklearn.datasets import load_diabetes
from sklearn.linear_model import Ridge
from sklearn.model_selection import train_test_split

import _morvane


def show(title, metrics, baseline=None):
    print(f"\n{title}")
    for name in sorted(metrics):
        value = metrics[name]
        line = f"  {name:<30}{value:>14.6f}"
        if baseline is not None and baseline[name] != 0:
            change = (value - baseline[name]) / abs(baseline[name])
            line += f"   {change:+8.1%} vs baseline"
        print(line)


def main():
    X, y = load_diabetes(return_X_y=True)
    X_train, X_rest, y_train, y_rest = train_test_split(X, y, test_size=0.5, random_state=0)
    X_base, X_prod, y_base, y_prod = train_test_split(X_rest, y_rest, test_size=0.5, random_state=0)
    model = Ridge(alpha=0.1).fit(X_train, y_train)

    baseline = _morvane.py_model_perf_linear_regression(y_base, model.predict(X_base))
    show("Baseline (held-out data at training time)", baseline)

    rng = np.random.default_rng(42)
    healthy = _morvane.py_model_perf_linear_regression(y_prod, model.predict(X_prod))
    show("Production batch 1 (same population)", healthy, baseline)

    # The population drifts: body-mass index (column 2) rises, and the disease progression
    # with it, beyond what the model learnt.
    X_shift = X_prod.copy()
    X_shift[:, 2] += 0.03
    y_shift = y_prod + 60.0 * rng.uniform(0.5, 1.5, size=y_prod.size)
    drifted = _morvane.py_model_perf_linear_regression(y_shift, model.predict(X_shift))
    show("Production batch 2 (shifted population)", drifted, baseline)


if __name__ == "__main__":
    main()
