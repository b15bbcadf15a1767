"""A population for calibrating `mv.compare` by simulation, producing profiles' statistics directly.

The reference (10,000 rows) is drawn row by row: its continuous features get quantile edges by the
layout rule (distinct values v[floor(k m / n_bins)]) and its categories are the values it saw, as a
real profile would. A current window of any size is then drawn *as counts*: given the reference's
edges, a window's bin counts are multinomial with the population's exact bin probabilities, and the
task and facet statistics come from a population whose (facet, label, probability) or (target,
error) values lie on a finite grid, so their counts are multinomial over grid cells and every sum is
a function of those counts. This is exactly the distribution of the statistics of a row-by-row
window of that population (features drawn independently), at a cost that does not grow with the
window, so windows of 1,000,000 rows cost what windows of 50 do.
"""

from __future__ import annotations

import math

import numpy as np
from scipy import stats

N_REFERENCE = 10_000
N_BINS = 10
PROBABILITIES = np.array([0.02, 0.1, 0.2, 0.3, 0.4, 0.6, 0.7, 0.8, 0.9, 0.98])  # predicted P(positive)
REGRESSION_ERRORS = np.arange(-3.0, 3.01, 0.5)


class StatsProfile:
    """A profile's statistics as plain dicts, easy to draw and edit; `as_profile` makes the profile."""

    def __init__(self, stats_dict):
        self._data = stats_dict
        self.n_rows = stats_dict["n_rows"]

    def _stats(self):
        return self._data


def _feature_models():
    """20 continuous features (normal, skewed, heavy-tied integers, some with missing values) and 3
    categorical ones (balanced, long-tailed with rare values, binary with missing values)."""
    features = []
    for i in range(20):
        if i < 10:
            dist, sd = stats.norm(loc=i, scale=1.0 + i / 10), 1.0 + i / 10
        elif i < 14:
            dist = stats.lognorm(s=0.8)
            sd = float(dist.std())
        elif i < 17:
            dist = stats.poisson(mu=1.5 + i - 14)
            sd = float(dist.std())
        else:
            dist, sd = stats.uniform(loc=-1, scale=3), math.sqrt(9 / 12)
        missing = (0.0, 0.02, 0.1)[i % 3]
        features.append({"name": f"x{i:02d}", "kind": "continuous", "dist": dist, "sd": sd, "missing": missing,
                      "discrete": 14 <= i < 17})
    tail = np.array([0.3, 0.2, 0.15, 0.1, 0.08, 0.06, 0.04, 0.03, 0.02, 0.015, 0.004, 0.001])
    features.append({"name": "c_plan", "kind": "categorical", "values": ["basic", "gold", "plus", "pro"],
                  "p": np.array([0.4, 0.1, 0.3, 0.2]), "missing": 0.0})
    features.append({"name": "c_city", "kind": "categorical", "values": [f"city{j:02d}" for j in range(12)],
                  "p": tail / tail.sum(), "missing": 0.01})
    features.append({"name": "c_flag", "kind": "categorical", "values": ["False", "True"],
                  "p": np.array([0.7, 0.3]), "missing": 0.03})
    return features


def _quantile_edges(values, n_bins=N_BINS):
    """The package's quantile layout: the range, the quantiles, a bin of its own for a heavy tie."""
    from morvane import _native

    v = np.sort(np.asarray(values, dtype=np.float64)) + 0.0
    m = len(v)
    return np.array(_native.edges_from_ranks(m, n_bins, v[_native.layout_ranks(m, n_bins)].tolist()))


def _below(feature, x, shift=0.0):
    """P(value < x) for the (shifted) feature distribution."""
    x = np.asarray(x, dtype=np.float64) - shift
    if feature["discrete"]:
        return feature["dist"].cdf(np.ceil(x) - 1)
    return feature["dist"].cdf(x)


class Population:
    """The population, reference profiles drawn from it, and windows under a scenario, given a
    reference (`population.reference(rng).window(n, rng, ...)`):
    `task` is "binary" (one facet holding 30% of rows), "regression" or "multiclass"; `shift` moves
    feature x00 by that many standard deviations; `accuracy` sets the binary model's accuracy (0.90
    in the reference); `selection_gap` raises the facet's positive-prediction rate by that much."""

    def __init__(self, task="binary", features=None, accuracy=0.9):
        self.task = task
        self.features = _feature_models() if features is None else features
        self.accuracy = accuracy  # the binary model's accuracy in the reference

    def reference(self, rng) -> "Population":
        """A fresh reference of N_REFERENCE rows: its layout and profile. Calibration draws one per
        window, since a false-alarm rate is a probability over both samples."""
        drawn = Population(self.task, self.features, self.accuracy)
        drawn.layout = {}
        drawn._cache = {}
        rows = drawn._draw_layout(rng)
        drawn.profile = drawn.window(N_REFERENCE, rng)
        drawn.profile._stats()["features"].update(rows)  # the reference's own rows, as a profile counts them
        return drawn

    def _draw_layout(self, rng) -> dict:
        """Draw reference rows: set the layout from them and return their feature stats."""
        self.layout, features = {}, {}
        for feature in self.features:
            name = feature["name"]
            keep = rng.random(N_REFERENCE) >= feature["missing"]
            if feature["kind"] == "continuous":
                values = np.sort(feature["dist"].rvs(size=int(keep.sum()), random_state=rng).astype(np.float64))
                edges = self.layout[name] = _quantile_edges(values)
                below = np.searchsorted(values, edges, side="left")  # rows under each edge, by the bin rule
                counts = np.diff(np.concatenate([[0], below, [len(values)]]))
                features[name] = {"kind": "continuous", "edges": edges, "categories": None,
                                  "minimum": float(values[0]) if len(values) else math.inf,
                                  "maximum": float(values[-1]) if len(values) else -math.inf}
            else:
                seen = rng.choice(len(feature["values"]), size=int(keep.sum()), p=feature["p"])
                present = np.unique(seen)
                self.layout[name] = [feature["values"][j] for j in present]  # the values are sorted already
                counts = np.append(np.bincount(seen, minlength=len(feature["values"]))[present], 0)
                features[name] = {"kind": "categorical", "edges": None, "categories": list(self.layout[name])}
            features[name].update(counts=counts.astype(np.int64), missing=int(N_REFERENCE - keep.sum()))
        return features

    # -- probabilities of each cell under a scenario --

    def _feature_probabilities(self, feature, shift):
        layout = self.layout[feature["name"]]
        if feature["kind"] == "continuous":
            cuts = np.concatenate([[0.0], _below(feature, layout, shift), [1.0]])
            p = np.diff(cuts)
        else:
            p = np.zeros(len(layout) + 1)
            for value, q in zip(feature["values"], feature["p"]):
                p[layout.index(value) if value in layout else len(layout)] += q
        p = np.clip(p, 0.0, None)
        return np.append(p / p.sum() * (1.0 - feature["missing"]), feature["missing"])

    def _binary_cells(self, accuracy, selection_gap):
        """P(facet, label, probability index), shape (2, 2, len(PROBABILITIES)); facet 0 is "a"."""
        low, high = np.arange(5), np.arange(5, 10)
        side = np.array([5.0, 4.0, 3.0, 2.0, 1.0])  # confident predictions are the common ones
        cells = np.zeros((2, 2, len(PROBABILITIES)))
        for facet, share in ((0, 0.3), (1, 0.7)):
            right_neg, right_pos = accuracy, accuracy
            if facet == 0 and selection_gap:
                right_pos = accuracy + 0.05  # the facet's positives more often predicted positive,
                right_neg = accuracy - (selection_gap - 0.4 * 0.05) / 0.6  # its negatives too
            for label, share_label in ((0, 0.6), (1, 0.4)):
                right = right_pos if label else right_neg
                good, bad = (high, low) if label else (low, high)
                cells[facet, label, good] = share * share_label * right * (side[::-1] if label else side) / side.sum()
                cells[facet, label, bad] = share * share_label * (1 - right) * (side if label else side[::-1]) / side.sum()
        return cells

    def _regression_cells(self):
        targets = np.arange(3.0, 23.0)
        py = stats.poisson(9.0).pmf(np.arange(20)) + 0.002
        pe = stats.norm.pdf(REGRESSION_ERRORS, scale=1.0)
        cells = np.outer(py / py.sum(), pe / pe.sum())
        return targets, cells

    def _multiclass_cells(self):
        """P(true class, predicted class, index of the true class's probability)."""
        k, freq = 4, np.array([0.4, 0.3, 0.2, 0.1])
        confusion = np.full((k, k), 0.2 / (k - 1))
        np.fill_diagonal(confusion, 0.8)
        cells = np.zeros((k, k, len(PROBABILITIES)))
        for t in range(k):
            for p in range(k):
                grid = np.arange(5, 10) if p == t else np.arange(0, 5)
                cells[t, p, grid] = freq[t] * confusion[t, p] / 5
        return cells

    # -- statistics of a window --

    def window(self, n, rng, *, shift=0.0, accuracy=None, selection_gap=0.0) -> StatsProfile:
        accuracy = self.accuracy if accuracy is None else accuracy
        features = {}
        for feature in self.features:
            key = (feature["name"], shift if feature["name"] == "x00" else 0.0)
            if key not in self._cache:
                self._cache[key] = self._feature_probabilities(feature, key[1])
            counts = rng.multinomial(n, self._cache[key])
            layout = self.layout[feature["name"]]
            continuous = feature["kind"] == "continuous"
            features[feature["name"]] = {"kind": feature["kind"], "edges": layout if continuous else None,
                                      "categories": None if continuous else list(layout),
                                      "counts": counts[:-1].astype(np.int64), "missing": int(counts[-1])}
            if continuous:  # a window's own range is not drawn: no check reads it
                features[feature["name"]].update(minimum=math.nan, maximum=math.nan)
        stats_dict = {"n_rows": int(n), "features": features, "task": None, "facets": {}}
        if self.task == "binary":
            cells = self._binary_cells(accuracy, selection_gap)
            counts = rng.multinomial(n, cells.ravel() / cells.sum()).reshape(cells.shape)
            stats_dict["task"], stats_dict["facets"] = _binary_stats(counts)
        elif self.task == "regression":
            targets, cells = self._regression_cells()
            counts = rng.multinomial(n, cells.ravel()).reshape(cells.shape)
            stats_dict["task"] = _regression_stats(targets, counts)
        else:
            cells = self._multiclass_cells()
            counts = rng.multinomial(n, cells.ravel() / cells.sum()).reshape(cells.shape)
            stats_dict["task"] = _multiclass_stats(counts)
        return StatsProfile(stats_dict)


def rows(population, n, rng, *, shift=0.0, accuracy=0.9, selection_gap=0.0) -> dict:
    """n rows of the binary population as columns (features, "group", "label", "proba"), for
    checking the count-level simulation end to end through `mv.profile`."""
    columns = {}
    for feature in population.features:
        missing = rng.random(n) < feature["missing"]
        if feature["kind"] == "continuous":
            values = feature["dist"].rvs(size=n, random_state=rng).astype(np.float64)
            if feature["name"] == "x00":
                values = values + shift
            columns[feature["name"]] = np.where(missing, np.nan, values)
        else:
            values = np.array(feature["values"], dtype=object)[rng.choice(len(feature["values"]), size=n, p=feature["p"])]
            values[missing] = None
            columns[feature["name"]] = values
    cells = population._binary_cells(accuracy, selection_gap)
    index = rng.choice(cells.size, size=n, p=cells.ravel() / cells.sum())
    facet, label, j = np.unravel_index(index, cells.shape)
    columns["group"] = np.where(facet == 0, "a", "d").astype(object)
    columns["label"] = label
    columns["proba"] = PROBABILITIES[j]
    return columns


def _log_loss(label, c):
    c = np.clip(c, 1e-15, 1 - 1e-15)
    return np.where(np.asarray(label) == 1, -np.log(c), -np.log(1 - c))


def _binary_stats(counts):
    predicted = (PROBABILITIES >= 0.5).astype(int)
    facet = np.zeros((2, 2, 2), dtype=np.int64)
    loss_sum = loss_sq = 0.0
    for label in (0, 1):
        for j, c in enumerate(PROBABILITIES):
            facet[:, label, predicted[j]] += counts[:, label, j]
            loss = _log_loss(label, c)
            rows = counts[:, label, j].sum()
            loss_sum += rows * loss
            loss_sq += rows * loss * loss
    confusion = facet.sum(axis=0)
    task = {"kind": "binary", "positive": 1, "threshold": 0.5, "n": int(counts.sum()), "missing": 0,
            "confusion": confusion, "has_proba": True, "log_loss_sum": float(loss_sum),
            "log_loss_sq_sum": float(loss_sq)}
    facets = {"group": {"rule": "group == 'a'", "groups": ["a", "d"], "counts": facet, "missing": 0}}
    return task, facets


def regression_sums(y, p, weights=None):
    """The profile's regression sums of targets y and predictions p (optionally weighted counts)."""
    y, p = np.asarray(y, np.float64), np.asarray(p, np.float64)
    w = np.ones_like(y) if weights is None else np.asarray(weights, np.float64)
    e = p - y
    sle = (np.log(1 + y) - np.log(1 + p)) ** 2
    with np.errstate(divide="ignore", invalid="ignore"):
        ape = np.abs(e / y)
    terms = {"y": y, "y2": y ** 2, "y3": y ** 3, "y4": y ** 4, "p": p, "p2": p ** 2, "yp": y * p, "e": e,
             "e2": e ** 2, "e3": e ** 3, "e4": e ** 4, "abs_e": np.abs(e), "sle": sle, "sle2": sle ** 2,
             "ape": ape, "ape2": ape ** 2, "e2y": e ** 2 * y, "e2y2": e ** 2 * y ** 2}
    return {name: float((w * value).sum()) for name, value in terms.items()}


def _regression_stats(targets, counts):
    y = np.repeat(targets, len(REGRESSION_ERRORS)).reshape(counts.shape)
    p = y + REGRESSION_ERRORS[None, :]
    sums = regression_sums(y.ravel(), p.ravel(), counts.ravel())
    used = counts > 0
    max_abs = float(np.abs(p - y)[used].max()) if used.any() else 0.0
    return {"kind": "regression", "n": int(counts.sum()), "missing": 0, "sums": sums, "max_abs_error": max_abs}


def _multiclass_stats(counts):
    loss = -np.log(PROBABILITIES)
    rows = counts.sum(axis=(0, 1))
    return {"kind": "multiclass", "classes": ["c0", "c1", "c2", "c3"], "n": int(counts.sum()), "missing": 0,
            "confusion": counts.sum(axis=2).astype(np.int64), "has_proba": True,
            "log_loss_sum": float((rows * loss).sum()), "log_loss_sq_sum": float((rows * loss * loss).sum())}


def rates(population, n, windows, rng, checks=None, **scenario):
    """(failing windows, windows, {family: failing windows it took part in}) for `windows` windows
    of n rows under a scenario, each with a fresh reference: a false-alarm rate is a probability
    over both samples (windows sharing a reference would fail together, most of all large ones)."""
    from morvane import compare

    failed, families = 0, {}
    for _ in range(windows):
        reference = population.reference(rng)
        report = compare(as_profile(reference.profile), as_profile(reference.window(n, rng, **scenario)), checks=checks)
        if not report.passed:
            failed += 1
            for family in {check.family for check in report.failures}:
                families[family] = families.get(family, 0) + 1
    return failed, windows, families


def stats_from_rows(features=None, *, like=None, task=None, y=None, prediction=None, proba=None, facet=None,
                    classes=None):
    """A profile from NumPy rows, for tests: float features are continuous (NaN missing,
    quantile edges unless `like` gives the layout), others categorical (None missing). `task` is
    "binary" (y in {0, 1}; `proba` of the positive class or 0/1 `prediction`), "regression" or
    "multiclass" (class indices; `proba` a row-per-sample matrix); `facet` flags group "a"."""
    features = features or {}
    base = like.layout if like is not None else None
    out = {}
    n_rows = len(next(iter(features.values()))) if features else (len(y) if y is not None else 0)
    for name, column in features.items():
        column = np.asarray(column)
        if column.dtype.kind == "f":
            missing = np.isnan(column)
            values = column[~missing]
            edges = np.array(base.feature(name).edges) if base else _quantile_edges(values)
            counts = np.bincount(np.searchsorted(edges, values, side="right"), minlength=len(edges) + 1)
            out[name] = {"kind": "continuous", "edges": edges, "categories": None, "counts": counts.astype(np.int64),
                         "missing": int(missing.sum()),
                         "minimum": float(values.min()) if len(values) else math.inf,
                         "maximum": float(values.max()) if len(values) else -math.inf}
        else:
            missing = np.array([v is None for v in column], dtype=bool)
            values = [str(v) for v in column[~missing]]
            categories = base.feature(name).categories if base else sorted(set(values))
            index = {c: k for k, c in enumerate(categories)}
            counts = np.bincount([index.get(v, len(categories)) for v in values], minlength=len(categories) + 1)
            out[name] = {"kind": "categorical", "edges": None, "categories": list(categories),
                         "counts": counts.astype(np.int64), "missing": int(missing.sum())}
    stats_dict = {"n_rows": int(n_rows), "features": out, "task": None, "facets": {}}
    if task == "binary":
        y = np.asarray(y, dtype=np.int64)
        predicted = (np.asarray(proba) >= 0.5).astype(np.int64) if proba is not None else np.asarray(prediction)
        confusion = np.zeros((2, 2), dtype=np.int64)
        np.add.at(confusion, (y, predicted), 1)
        losses = _log_loss(y, np.asarray(proba, np.float64)) if proba is not None else np.zeros(len(y))
        stats_dict["task"] = {"kind": "binary", "positive": 1, "threshold": 0.5, "n": len(y), "missing": 0,
                              "confusion": confusion, "has_proba": proba is not None,
                              "log_loss_sum": float(losses.sum()), "log_loss_sq_sum": float((losses ** 2).sum())}
        if facet is not None:
            facet = np.asarray(facet, dtype=bool)
            counts = np.zeros((2, 2, 2), dtype=np.int64)
            np.add.at(counts, ((~facet).astype(np.int64), y, predicted), 1)
            stats_dict["facets"] = {"group": {"rule": "group == 'a'", "groups": ["a", "d"], "counts": counts,
                                              "missing": 0}}
    elif task == "regression":
        y, p = np.asarray(y, np.float64), np.asarray(prediction, np.float64)
        stats_dict["task"] = {"kind": "regression", "n": len(y), "missing": 0, "sums": regression_sums(y, p),
                              "max_abs_error": float(np.abs(p - y).max()) if len(y) else 0.0}
    elif task == "multiclass":
        y, p = np.asarray(y, np.int64), np.asarray(prediction, np.int64)
        k = len(classes)
        confusion = np.zeros((k, k), dtype=np.int64)
        np.add.at(confusion, (y, p), 1)
        losses = (-np.log(np.clip(np.asarray(proba)[np.arange(len(y)), y], 1e-15, 1 - 1e-15))
                  if proba is not None else np.zeros(len(y)))
        stats_dict["task"] = {"kind": "multiclass", "classes": list(classes), "n": len(y), "missing": 0,
                              "confusion": confusion, "has_proba": proba is not None,
                              "log_loss_sum": float(losses.sum()), "log_loss_sq_sum": float((losses ** 2).sum())}
    return as_profile(StatsProfile(stats_dict))


def as_profile(stats_profile):
    """The `mv.Profile` holding a StatsProfile's statistics (sums converted exactly; the layout's
    columns are named after the roles: "y", "p", "group")."""
    from morvane.state.exact_sum import ExactSum
    from morvane.state.layout import FacetLayout, FeatureLayout, Layout, TaskLayout
    from morvane.state.profile import Profile
    from morvane.state.stats import ClassificationStats, FacetStats, FeatureStats, RegressionStats, frozen

    data = stats_profile._stats()
    features, layouts = {}, []
    for name, f in data["features"].items():
        if f["kind"] == "continuous":
            fl = FeatureLayout(name, "continuous", edges=tuple(float(x) for x in f["edges"]))
        else:
            fl = FeatureLayout(name, "categorical", categories=tuple(f["categories"]))
        layouts.append(fl)
        features[name] = FeatureStats(fl, frozen(f["counts"]), int(f["missing"]), float(f.get("minimum", math.inf)),
                                      float(f.get("maximum", -math.inf)))
    t, task, task_layout = data["task"], None, None
    if t is not None and t["kind"] == "regression":
        task_layout = TaskLayout("regression", "y", ("p",), positive=None)
        task = RegressionStats(task_layout, t["n"], t["missing"], {k: ExactSum.of(v) for k, v in t["sums"].items()},
                               float(t["max_abs_error"]))
    elif t is not None:
        classes = tuple(t["classes"]) if t["kind"] == "multiclass" else None
        task_layout = TaskLayout(t["kind"], "y", ("p",), positive=t.get("positive"),
                                 threshold=t.get("threshold", 0.5), has_proba=t["has_proba"], classes=classes)
        task = ClassificationStats(task_layout, t["n"], t["missing"], frozen(t["confusion"]),
                                   ExactSum.of(t["log_loss_sum"]), ExactSum.of(t["log_loss_sq_sum"]))
    facets, facet_layouts = {}, []
    for name, f in data["facets"].items():
        fl = FacetLayout(name, "==", ("a",), tuple(f["groups"]))
        facet_layouts.append(fl)
        facets[name] = FacetStats(fl, frozen(f["counts"]), int(f["missing"]))
    layout = Layout(tuple(layouts), task_layout, tuple(facet_layouts))
    return Profile._make(layout, int(data["n_rows"]), features, task, facets)


# ---- scored populations: score histograms, ranking metrics and estimated performance ----

SCORE_LEVELS = np.linspace(0.01, 0.99, 50)  # binary scores, calibrated: P(positive | s) = s


class ScoredPopulation:
    """A classifier's scores and labels on a finite grid, as profiles with score histograms (no
    features: only the performance family is measured). Binary: 50 calibrated score levels, more rows
    toward 0 and 1. Multiclass: 40 fixed probability vectors over 3 classes, each calibrated (the true
    class drawn from the vector). Scenarios: `mixed` replaces that share of labels by coin flips (the
    ranking gets worse, the scores do not move); `toward_middle` moves that share of rows to the
    scores nearest 1/2 (binary) or to the flattest vectors (multiclass): what an unlabeled window
    shows when the model meets harder cases."""

    def __init__(self, task="binary"):
        self.task = task
        if task == "binary":
            self.vectors = np.stack([1 - SCORE_LEVELS, SCORE_LEVELS], axis=1)
            weight = 0.3 + np.abs(SCORE_LEVELS - 0.5)
        else:
            rng = np.random.default_rng(2024)
            self.vectors = rng.dirichlet([0.6, 0.6, 0.6], 40)
            weight = np.ones(40)
        self.weights = weight / weight.sum()
        flat = np.argsort(self.vectors.max(axis=1))
        self.middle = flat[: max(2, len(flat) // 10)]

    def _cells(self, mixed=0.0, toward_middle=0.0):
        """P(vector, true class) under a scenario."""
        w = self.weights * (1 - toward_middle)
        w[self.middle] += toward_middle / len(self.middle)
        k = self.vectors.shape[1]
        truth = (1 - mixed) * self.vectors + mixed / k
        return w[:, None] * truth

    def profile(self, n, rng, *, labeled=True, **scenario):
        from morvane import _native
        from morvane.state.exact_sum import ExactSum
        from morvane.state.layout import Layout, TaskLayout
        from morvane.state.profile import Profile
        from morvane.state.stats import ClassificationStats, frozen

        cells = self._cells(**scenario)
        counts = rng.multinomial(n, cells.ravel() / cells.sum()).reshape(cells.shape)  # (vector, truth)
        k = self.vectors.shape[1]
        decided = self.vectors.argmax(axis=1)
        confusion = np.zeros((k, k), np.int64)
        for t in range(k):
            np.add.at(confusion[t], decided, counts[:, t])
        loss = -np.log(np.clip(self.vectors, 1e-15, 1 - 1e-15))
        ll = float((counts * loss).sum()) if labeled else 0.0
        ll2 = float((counts * loss ** 2).sum()) if labeled else 0.0
        rows = counts.sum(axis=1)
        if self.task == "binary":
            layout = TaskLayout("binary", "y", ("p",), positive=1, threshold=0.5, has_proba=True)
            bins = np.array(_native.score_bins(list(self.vectors[:, 1]), 0.5))
            scores = np.zeros((3, 2, _native.SCORE_BINS), np.int64)  # by class, by decision, by bin
            if labeled:
                np.add.at(scores[0], (decided, bins), counts[:, 0])
                np.add.at(scores[1], (decided, bins), counts[:, 1])
            else:
                np.add.at(scores[2], (decided, bins), rows)
            by_decision = None
        else:
            layout = TaskLayout("multiclass", "y", ("a", "b", "c"), positive=None, has_proba=True,
                                classes=("a", "b", "c"))
            scores = np.zeros((k + 1, k, _native.SCORE_BINS), np.int64)
            by_decision = np.zeros((k, k, _native.SCORE_COARSE_BINS), np.int64)
            for j in range(k):
                bins = np.array(_native.score_bins(list(self.vectors[:, j]), 0.5))
                coarse = np.minimum((self.vectors[:, j] * 64).astype(int), 63)
                for t in range(k):
                    np.add.at(scores[t if labeled else k, j], bins, counts[:, t])
                np.add.at(by_decision[:, j], (decided, coarse), rows)
        if not labeled:
            confusion[:] = 0
        task = ClassificationStats(layout, int(confusion.sum()), int(n - confusion.sum()), frozen(confusion),
                                   ExactSum.of(ll), ExactSum.of(ll2), frozen(scores),
                                   None if by_decision is None else frozen(by_decision))
        return Profile._make(Layout((), layout, ()), int(n), {}, task, {})


def scored_rates(population, n, windows, rng, checks, *, labeled=True, **scenario):
    """(failing windows, windows, {family: count}) of `compare(..., checks=checks)` between a fresh
    labeled reference of N_REFERENCE rows and a window of n rows (labeled or not) under a scenario."""
    from morvane import compare

    failed = 0
    for _ in range(windows):
        reference = population.profile(N_REFERENCE, rng)
        report = compare(reference, population.profile(n, rng, labeled=labeled, **scenario), checks=checks)
        failed += not report.passed
    return failed, windows, {"performance": failed} if failed else {}
