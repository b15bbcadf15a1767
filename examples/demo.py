"""morvane on real data: three models watched in production.

Three models are trained on data sets bundled with scikit-learn:

- breast cancer: a logistic-regression classifier giving the probability of a benign tumour (binary),
- wine: a logistic-regression classifier naming one of three cultivars (multiclass),
- diabetes: a ridge regressor predicting disease progression after one year (regression).

Each data set is split into training rows, reference rows and production rows. The model's inputs,
outcomes and predictions on the reference rows make the reference profile, saved to disk and loaded
back as a deployment would. Three production windows then arrive, in batches, into a monitor:

- unchanged: the production rows as they are (same population as the reference),
- drifted: the same rows with some inputs shifted (a recalibrated instrument, a new population),
- degraded: the same inputs, but outcomes that no longer follow the model (the world changed).

For each window the demo prints the verdict, which accounts for the window's size and the number
of checks, and the failing checks. The breast-cancer drifted window is also written as an HTML
report and a PNG figure.

    python examples/demo.py                  # files in ./morvane_demo
    python examples/demo.py --out /tmp/run   # files in /tmp/run
"""

from __future__ import annotations

import argparse
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

import numpy as np
from sklearn.datasets import load_breast_cancer, load_diabetes, load_wine
from sklearn.linear_model import LogisticRegression, Ridge
from sklearn.model_selection import train_test_split
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

import morvane as mv

SEED = 7
BATCH = 40  # rows per batch arriving at the monitor


@dataclass
class Case:
    """One data set, its model and how to build the reference and the windows."""

    name: str
    task: str
    load: Callable[[], Any]
    model: Any
    drifted: dict[str, float]  # feature -> shift in standard deviations of the reference rows
    profile_options: dict[str, Any]


CASES = [
    Case("breast cancer", "binary", load_breast_cancer,
         make_pipeline(StandardScaler(), LogisticRegression(max_iter=2000)),
         {"mean texture": 1.5, "mean smoothness": -1.5},
         {"positive": 1, "facets": {"mean radius": mv.above(15.0)}}),
    Case("wine", "multiclass", load_wine,
         make_pipeline(StandardScaler(), LogisticRegression(max_iter=2000)),
         {"alcohol": 1.5, "color_intensity": 1.5}, {}),
    Case("diabetes", "regression", load_diabetes, Ridge(alpha=0.1), {"bmi": 1.2, "s5": 1.2}, {}),
]


def columns(case: Case, X: np.ndarray, y: np.ndarray, names: list[str], model: Any) -> dict[str, np.ndarray]:
    """The table a deployment would log: inputs, outcome and the model's prediction."""
    table = {name: X[:, i] for i, name in enumerate(names)}
    table["outcome"] = y
    if case.task == "binary":
        table["prediction"] = model.predict_proba(X)[:, 1]  # probability of the positive label
    elif case.task == "multiclass":
        table["prediction"] = model.predict(X)
    else:
        table["prediction"] = model.predict(X)
    return table


def windows(case: Case, X: np.ndarray, y: np.ndarray, spread: np.ndarray, names: list[str],
            rng: np.random.Generator) -> dict[str, tuple[np.ndarray, np.ndarray]]:
    """The three production windows: (inputs, outcomes)."""
    drifted = X.copy()
    for feature, shift in case.drifted.items():
        i = names.index(feature)
        drifted[:, i] += shift * spread[i]
    degraded = y.copy()
    if case.task == "regression":
        degraded = y + rng.normal(0.0, 1.5 * np.std(y), size=len(y))  # outcomes no longer follow the inputs
    else:
        labels = np.unique(y)
        flip = rng.random(len(y)) < 0.4
        degraded[flip] = rng.choice(labels, size=int(flip.sum()))
    return {"unchanged": (X, y), "drifted": (drifted, y), "degraded": (X, degraded)}


def watch(reference: mv.Profile, table: dict[str, np.ndarray]) -> mv.Report:
    """Feed a window to a monitor batch by batch, as production traffic would arrive, then compare."""
    monitor = mv.Monitor(reference)
    n = len(table["outcome"])
    for start in range(0, n, BATCH):
        monitor.update({name: values[start:start + BATCH] for name, values in table.items()})
    return monitor.report(alpha=0.01)


def describe(report: mv.Report) -> str:
    verdict = "passed" if report.passed else "FAILED"
    text = f"{verdict} ({len(report.failures)} of {len(report.checks)} checks failed)"
    failed = [check.label() for check in report.failures]
    if failed:
        text += "\n" + "\n".join(f"      {label}" for label in failed[:6])
        if len(failed) > 6:
            text += f"\n      ... and {len(failed) - 6} more"
    return text


def run_case(case: Case, out: Path, rng: np.random.Generator) -> dict[str, mv.Report]:
    data = case.load()
    names = [str(name) for name in data.feature_names]
    X, y = data.data, data.target
    stratify = y if case.task != "regression" else None
    X_train, X_rest, y_train, y_rest = train_test_split(X, y, train_size=0.4, random_state=SEED, stratify=stratify)
    X_ref, X_prod, y_ref, y_prod = train_test_split(X_rest, y_rest, train_size=0.5, random_state=SEED,
                                                    stratify=y_rest if stratify is not None else None)
    model = case.model.fit(X_train, y_train)

    reference = mv.profile(columns(case, X_ref, y_ref, names, model), target="outcome", prediction="prediction",
                           task=case.task, **case.profile_options)
    path = out / f"{case.name.replace(' ', '_')}.mvp"
    reference.save(path)
    reference = mv.load(path)  # what a deployment reads back
    assert isinstance(reference, mv.Profile)
    print(f"\n{case.name} ({case.task}): reference profile of {reference.n_rows} rows saved to {path}")

    reports = {}
    for window, (inputs, outcomes) in windows(case, X_prod, y_prod, X_ref.std(axis=0), names, rng).items():
        reports[window] = watch(reference, columns(case, inputs, outcomes, names, model))
        print(f"  {window + ' window,':<18} {len(outcomes)} rows: {describe(reports[window])}")
    return reports


def main(argv: list[str] | None = None) -> dict[str, Any]:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=Path("morvane_demo"), help="directory for the files written")
    parser.add_argument("--no-figure", action="store_true", help="skip the HTML report and the PNG (no matplotlib)")
    parser.add_argument("--no-year", action="store_true", help="skip the year of New York flights (examples/flights.py)")
    args = parser.parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(SEED)

    reports = {case.name: run_case(case, args.out, rng) for case in CASES}
    result: dict[str, Any] = {"reports": reports}
    if not args.no_figure:
        shown = reports["breast cancer"]["drifted"]
        result["html"] = shown.to_html(args.out / "breast_cancer_drifted.html")
        result["png"] = args.out / "breast_cancer_drifted.png"
        shown.plot().savefig(result["png"], dpi=100)
        print(f"\nThe breast-cancer drifted window: {result['html']} (open in a browser) and {result['png']}")
    if not args.no_year:
        import sys

        sys.path.insert(0, str(Path(__file__).resolve().parent))
        import flights  # beside this file: a year of a real feed, day by day

        print("\nA year of New York flights (2013), day by day")
        result["year"] = flights.main(["--out", str(args.out)])
    return result


if __name__ == "__main__":
    main()
