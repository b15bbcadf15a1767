"""A timeline of nannyml's synthetic car-loan example beside what nannyml shows for the same chunks.

    PEER=/path/to/venv-with-nannyml/bin/python
    $PEER benchmarks/peer_car_loan.py --export /tmp/car_loan      # the peer's data and its alerts
    python benchmarks/peer_car_loan.py --data /tmp/car_loan [--png docs/figures/car_loan_timeline.png]

The export step (nannyml installed, morvane not needed) writes the reference and the analysis rows
with their targets as Parquet, and the alerts of nannyml's univariate drift calculator (its default
methods: Jensen-Shannon and L-infinity with their default thresholds) and realized-performance
calculator (ROC AUC) on chunks of 5,000 rows, as in nannyml's quickstart. The second step profiles the
reference with morvane, places the analysis rows in a history of 5,000-row periods, prints both
verdicts chunk by chunk and draws the timeline's figure.
"""

import argparse
import json
import os

FEATURES = ["car_value", "salary_range", "debt_to_income_ratio", "loan_length", "repaid_loan_on_prev_car",
            "size_of_downpayment", "driver_tenure"]
CHUNK = 5000


def export(directory):
    os.environ["NML_DISABLE_USAGE_LOGGING"] = "1"  # no usage reports sent anywhere
    import nannyml as nml

    os.makedirs(directory, exist_ok=True)
    reference, analysis, targets = nml.load_synthetic_car_loan_dataset()
    analysis = analysis.merge(targets, on="id")
    reference.to_parquet(os.path.join(directory, "reference.parquet"))
    analysis.to_parquet(os.path.join(directory, "analysis.parquet"))
    drift = nml.UnivariateDriftCalculator(column_names=FEATURES, timestamp_column_name="timestamp", chunk_size=CHUNK)
    drift.fit(reference)
    table = drift.calculate(analysis).filter(period="analysis").to_df()
    alerts = [[c[0] for c in table.columns if c[-1] == "alert" and row[c]] for _, row in table.iterrows()]
    perf = nml.PerformanceCalculator(y_pred_proba="y_pred_proba", y_pred="y_pred", y_true="repaid",
                                     timestamp_column_name="timestamp", problem_type="classification_binary",
                                     metrics=["roc_auc"], chunk_size=CHUNK)
    perf.fit(reference)
    ptable = perf.calculate(analysis).filter(period="analysis").to_df()
    auc = [float(v) for v in ptable[("roc_auc", "value")]]
    auc_alert = [bool(v) for v in ptable[("roc_auc", "alert")]]
    with open(os.path.join(directory, "nannyml.json"), "w") as f:
        json.dump({"version": nml.__version__, "drift_alerts": [sorted(set(a)) for a in alerts], "roc_auc": auc,
                   "roc_auc_alert": auc_alert}, f)
    print(f"wrote {directory}: {len(reference):,} reference rows, {len(analysis):,} analysis rows, "
          f"{len(alerts)} chunks")


def ours(directory, png):
    import pandas as pd

    import morvane as mv
    from morvane.history import History

    reference = pd.read_parquet(os.path.join(directory, "reference.parquet"))
    analysis = pd.read_parquet(os.path.join(directory, "analysis.parquet"))
    with open(os.path.join(directory, "nannyml.json")) as f:
        peer = json.load(f)
    ref = mv.profile(reference, target="repaid", prediction="y_pred_proba", task="binary", features=FEATURES)
    h = History(ref, rows=CHUNK).update(analysis)
    tl = h.timeline(alpha=0.01)
    print(f"chunks of {CHUNK:,} rows: nannyml {peer['version']} against morvane (alpha 0.01 a chunk)")
    print(f"{'rows':<14}{'nannyml drift alerts':<44}{'AUC':>6} {'alert':<6}  morvane failures")
    for i, (start, end, report) in enumerate(tl.reports):
        theirs = ", ".join(peer["drift_alerts"][i]) or "—"
        failed = sorted({c.column or c.metric for c in report.failures}) or ["—"]
        auc = report_metric(report, "ROCAUC")
        alert = "yes" if peer["roc_auc_alert"][i] else "no"
        print(f"{start:>6}-{end:<7}{theirs:<44}{peer['roc_auc'][i]:>6.3f} {alert:<6}  "
              f"{', '.join(failed)}" + ("" if auc is None else f" (ROC AUC {auc:.3f})"))
    if png:
        fig = tl.plot(max_panels=8)
        fig.savefig(png, dpi=70)
        print(f"wrote {png}")


def report_metric(report, metric):
    for c in report.checks:
        if c.metric == metric and c.column is None:
            return c.current
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--export", help="write the peer's data and alerts to this directory (needs nannyml)")
    parser.add_argument("--data", help="a directory written by --export")
    parser.add_argument("--png", help="save the timeline's figure here")
    args = parser.parse_args()
    if args.export:
        export(args.export)
    if args.data:
        ours(args.data, args.png)


if __name__ == "__main__":
    main()
