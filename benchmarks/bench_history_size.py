"""What a history file stores per period: its counts alone, the layout being the reference's, kept once.

    python benchmarks/bench_history_size.py [--days 20]

Data: the days of `bench_history.py` (10,000 rows, 20 features, a binary task, 3 segments), once as
they are and once with an id column of 10,000 values in the reference; each day holds either every
id (ids seen again) or ids the reference never saw. Prints, per period, the bytes stored (the counts),
the whole profile's bytes (what each period stored before: its layout too) and the file's growth."""

import argparse
import os
import sys
import tempfile
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from bench_history import day_frame  # noqa: E402


def main():
    import morvane as mv
    from morvane.history import History

    parser = argparse.ArgumentParser()
    parser.add_argument("--days", type=int, default=20)
    args = parser.parse_args()
    warnings.simplefilter("ignore")  # the id column is a key: said once, not per run
    base = day_frame(-1, 10_000, 20)
    ids = np.array([f"id{i:05d}" for i in range(10_000)], dtype=object)
    features = [f"f{i}" for i in range(20)]
    print(f"{'reference':<34}{'ref bytes':>11}{'stored/period':>15}{'whole/period':>14}{'file/period':>13}")
    for label, id_of in [("no id column", None), ("10,000 ids, every one each day", lambda d, n: ids[np.arange(n) % 10_000]),
                         ("10,000 ids, each day new ones", lambda d, n: np.array([f"new{d}-{i}" for i in range(n)], dtype=object))]:
        reference_frame = base if id_of is None else base.assign(id=ids[np.arange(len(base)) % 10_000])
        reference = mv.profile(reference_frame, target="y", prediction="score", task="binary",
                               features=features + ([] if id_of is None else ["id"]), timestamp="ts", segments=["segment"])
        path = os.path.join(tempfile.mkdtemp(), "h.sqlite")
        h = History(reference, "1D", path=path)
        for d in range(args.days):
            day = day_frame(d, 10_000, 20)
            h.update(day if id_of is None else day.assign(id=id_of(d, len(day))))
        h.close()
        h = History.open(path)
        stored = sum(len(p.to_counts()) for _, _, p in h.profiles()) / args.days
        whole = sum(len(p.to_bytes()) for _, _, p in h.profiles()) / args.days
        grown = (os.path.getsize(path) - len(reference.to_bytes())) / args.days
        print(f"{label:<34}{len(reference.to_bytes()):>11,}{stored:>15,.0f}{whole:>14,.0f}{grown:>13,.0f}")
        h.close()


if __name__ == "__main__":
    main()
