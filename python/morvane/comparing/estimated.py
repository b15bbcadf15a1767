"""Estimated performance of a window whose labels are not known yet, from its score histogram and the
reference's calibration.

The assumption: the relation between scores and outcomes is the reference's. The reference's
calibration is the share of each class among its rows of similar score: a monotone (isotonic) fit of
the positive share over the score bins, for each decision apart (so the fit
reproduces the reference's own confusion matrix exactly). Each window bin then has an expected
outcome, hence an expected confusion matrix and the estimated metrics.

The interval of an estimate is a prediction interval for the window's realized value: draws of the
calibration (a Beta posterior per fitted block of the reference, Jeffreys prior) and of the window's
labels given it (binomial per bin), the alpha/2 and 1 - alpha/2 quantiles of the realized metric.

The test of an estimate asks whether the window's expected metric fell below the reference's under
the same calibration (one-sided, normal). Its variance is that of the *measured* metric of a labeled
window of the same size drawn from the reference (plus the reference's own), which bounds the
estimate's: the estimate is the measured metric's conditional mean given the scores, so it varies
less. Conservative by construction; the variance of the estimates themselves, bootstrapped over the
score bins, held its level only for windows of 1,000 rows and more (ratios of a 50-row window's
expected counts are skewed far into the tail where Holm puts the threshold).

When the reference's own metrics are not reproduced by its calibration within TOLERANCE (a relation
between scores and outcomes that is not a function of the score, or too few labeled rows), nothing is
estimated and the checks say why.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from morvane.comparing import multiclass, ranking
from morvane.comparing.metrics import ratios_many

BINARY_ESTIMATED = ("BalancedAccuracy", "PrecisionPositive", "PrecisionNegative", "RecallPositive",
                    "RecallNegative", "Accuracy", "F1Score", "ROCAUC")
MULTICLASS_ESTIMATED = ("Accuracy", "MacroPrecision", "MacroRecall", "MacroF1", "WeightedPrecision",
                        "WeightedRecall", "WeightedF1", "MacroROCAUC")
TOLERANCE = 0.02  # the largest gap between a reference metric and its self-estimate that is accepted
MIN_LABELED = 30  # labeled reference rows per class below which a calibration is not estimated
COARSE_BINS = 64
DRAWS = 1000
NULL_DRAWS = 200


@dataclass
class Estimate:
    """One estimated metric: the estimate, its interval, the reference's value and the test."""
    metric: str
    value: float | None
    interval: tuple[float, float] | None
    reference: float | None
    reference_estimate: float | None = None
    p: float | None = None
    details: dict = field(default_factory=dict)


# ---- isotonic calibration ----

def isotonic(x, m) -> np.ndarray:
    """Weighted isotonic (non-decreasing) fit of the shares x / m over bins with m > 0 (pool adjacent
    violators); bins without rows take the fit of the nearest bin that has rows (NaN if none)."""
    x, m = np.asarray(x, np.float64), np.asarray(m, np.float64)
    where = np.flatnonzero(m > 0)
    fit = np.full(len(m), np.nan)
    if len(where) == 0:
        return fit
    sums, weights, sizes = [], [], []
    for i in where:
        sums.append(x[i]); weights.append(m[i]); sizes.append(1)
        while len(sums) > 1 and sums[-2] / weights[-2] >= sums[-1] / weights[-1]:
            s, w, n = sums.pop(), weights.pop(), sizes.pop()
            sums[-1] += s; weights[-1] += w; sizes[-1] += n
    values = np.repeat(np.array(sums) / np.array(weights), sizes)
    fit[where] = values
    # Empty bins: the nearest bin with rows (the lower one on ties).
    nearest = where[np.clip(np.searchsorted(where, np.arange(len(m))), 0, len(where) - 1)]
    lower = where[np.clip(np.searchsorted(where, np.arange(len(m)), side="right") - 1, 0, len(where) - 1)]
    use_lower = np.abs(np.arange(len(m)) - lower) <= np.abs(nearest - np.arange(len(m)))
    return fit[np.where(use_lower, lower, nearest)]


def _blocks(fit: np.ndarray, m: np.ndarray) -> np.ndarray:
    """Block ids of a fit: runs of equal fitted value."""
    change = np.r_[True, fit[1:] != fit[:-1]]
    return np.cumsum(change) - 1


@dataclass
class Calibration:
    """Share of positives per score bin: an isotonic fit whose blocks (runs of one fitted share) are
    joined linearly between their centres, so a window whose rows sit higher within a block than the
    reference's gets the higher share the fit implies there. `weights` maps block shares to bins."""
    share: np.ndarray    # per bin
    weights: np.ndarray  # (bins, blocks): each bin's share is a mix of at most two blocks' shares
    x: np.ndarray        # positives per block
    m: np.ndarray        # rows per block

    def draw(self, rng, draws: int, bins=slice(None)) -> np.ndarray:
        """(draws x bins) shares of the chosen bins: a Beta posterior per block (Jeffreys prior), joined
        like the fit."""
        per_block = rng.beta(self.x + 0.5, self.m - self.x + 0.5, size=(draws, len(self.m)))
        if per_block.shape[1] == 0:
            return np.zeros((draws, len(self.share[bins])))
        # Each bin mixes at most two blocks: gathered, not a dense product.
        weights = self.weights[bins]
        rows = np.arange(len(weights))
        low = np.argmax(weights > 0, axis=1)
        high = weights.shape[1] - 1 - np.argmax(weights[:, ::-1] > 0, axis=1)
        w_low, w_high = weights[rows, low], np.where(high > low, weights[rows, high], 0.0)
        return per_block[:, low] * w_low + per_block[:, high] * w_high


def _side_weights(fit, m, centres) -> tuple[np.ndarray, np.ndarray]:
    """The blocks of one side's fit (runs of equal share over bins with rows) and the (bins, blocks)
    weights joining them linearly between their row-weighted centres (flat beyond the outer ones)."""
    block = _blocks(fit, m)
    n_blocks = int(block.max()) + 1
    rows = np.bincount(block, m, n_blocks)
    centre = np.bincount(block, m * centres, n_blocks) / np.where(rows > 0, rows, 1.0)
    at = np.searchsorted(centre, centres, side="right") - 1
    below, beyond = at < 0, at >= n_blocks - 1  # flat beyond the outer centres
    between = ~(below | beyond)
    j = at[between]
    gap = centre[j + 1] - centre[j]
    t = np.where(gap > 0, (centres[between] - centre[j]) / np.where(gap > 0, gap, 1.0), 0.0)
    weights = np.zeros((len(fit), n_blocks))
    weights[below, 0] = 1.0
    weights[beyond & ~below, n_blocks - 1] = 1.0
    rows_between = np.flatnonzero(between)
    weights[rows_between, j] = 1.0 - t
    weights[rows_between, j + 1] = t
    return block, weights


def calibrate(pos, neg, centres, split: int | None = None) -> Calibration:
    """The calibration of a reference's histograms (bins at `centres`), fitted apart below and above
    `split` (bins 0..split and split+1..), so each side keeps its own totals."""
    pos, neg = np.asarray(pos, np.float64), np.asarray(neg, np.float64)
    centres = np.asarray(centres, np.float64)
    m = pos + neg
    sides = [slice(0, len(m))] if split is None else [slice(0, split + 1), slice(split + 1, len(m))]
    fitted = []
    for side in sides:
        fit = isotonic(pos[side], m[side])
        if not np.isnan(fit).all():
            fitted.append((side, fit))
    if not fitted:
        return Calibration(np.full(len(m), np.nan), np.zeros((len(m), 0)), np.zeros(0), np.zeros(0))
    blocks, parts, x, rows = [], [], [], []
    for side, fit in fitted:
        block, w = _side_weights(fit, m[side], centres[side])
        n_blocks = w.shape[1]
        x.append(np.bincount(block, pos[side], n_blocks))
        rows.append(np.bincount(block, m[side], n_blocks))
        parts.append((side, w))
    total = sum(w.shape[1] for _, w in parts)
    weights = np.zeros((len(m), total))
    offset = 0
    for side, w in parts:
        weights[side, offset:offset + w.shape[1]] = w
        offset += w.shape[1]
    if len(parts) < len(sides):  # a side without reference rows takes the nearest fitted bin's mix
        side, _ = parts[0]
        empty = np.ones(len(m), bool)
        empty[side] = False
        known = np.flatnonzero(~empty)
        near = known[np.abs(np.flatnonzero(empty)[:, None] - known[None, :]).argmin(axis=1)]
        weights[empty] = weights[near]
    x, rows = np.concatenate(x), np.concatenate(rows)
    return Calibration(weights @ (x / np.where(rows > 0, rows, 1.0)), weights, x, rows)


def _interval(samples, alpha):
    s = np.asarray(samples, np.float64)
    s = s[np.isfinite(s)]
    if len(s) < 20:
        return None
    lo, hi = np.quantile(s, [alpha / 2.0, 1.0 - alpha / 2.0])
    return float(lo), float(hi)


def _p_lower(change, variance):
    return ranking.lower_p(change, variance) if change is not None and math.isfinite(change) else None


def _finite(v):
    return v is not None and math.isfinite(v)


# ---- binary ----
# Binary histograms are (3, 2, bins): negatives, positives, rows without a target; then rows decided
# negative and positive. Decisions are the scores thresholded, or the model's own when it gives both.

def binary_confusion(counts, share):
    """Expected (tn, fp, fn, tp) of (..., 2, bins) counts by decision under shares of the same shape."""
    counts = np.asarray(counts, np.float64)
    pos = (counts * share).sum(-1)
    neg = counts.sum(-1) - pos
    return neg[..., 0], neg[..., 1], pos[..., 0], pos[..., 1]


def _binary_values(counts, share) -> dict:
    out = ratios_many(*binary_confusion(counts, share))
    counts = np.asarray(counts, np.float64)
    out["ROCAUC"] = ranking.roc_auc_many((counts * share).sum(-2), (counts * (1.0 - share)).sum(-2))
    return out


def _measured_binary(neg, pos) -> dict:
    """The binary metrics of (..., 2, bins) labeled counts by decision, and ROCAUC."""
    out = ratios_many(neg[..., 0, :].sum(-1), neg[..., 1, :].sum(-1), pos[..., 0, :].sum(-1),
                         pos[..., 1, :].sum(-1))
    out["ROCAUC"] = ranking.roc_auc_many(pos.sum(-2), neg.sum(-2))
    return out


@dataclass(frozen=True)
class _BinaryReference:
    """What a binary estimate needs of the reference alone: computed once per reference and threshold
    and reused for every window compared with it."""
    measured: dict
    diagnosis: dict
    refusal: str | None                       # why nothing is estimated from this reference, if so
    calibration: Calibration | None = None
    share: np.ndarray | None = None           # (2, bins) calibrated positive share
    self_estimate: dict | None = None
    cells: np.ndarray | None = None           # (2 classes, 2 decisions, occupied bins) shares of its rows
    null_reference: dict | None = None        # the measured metrics of NULL_DRAWS labeled copies of it
    null_by_size: dict = field(default_factory=dict)  # the same of labeled windows, by their rows

    def null_of_size(self, n: int, seed: int) -> dict:
        """The measured metrics of NULL_DRAWS labeled windows of n rows drawn from the reference's rows
        (drawn once per size: windows of one size share them)."""
        if n not in self.null_by_size:
            if len(self.null_by_size) >= _KEEP:
                self.null_by_size.pop(next(iter(self.null_by_size)))
            self.null_by_size[n] = _null_binary(np.random.default_rng([seed, 2, n]), n, self.cells)
        return self.null_by_size[n]


_REFERENCES: dict = {}  # a few recent references' terms, by their bytes and threshold
_KEEP = 8


def _binary_reference(ref: np.ndarray, threshold: float, seed: int) -> _BinaryReference:
    key = (ref.tobytes(), ref.shape, threshold, seed)
    found = _REFERENCES.get(key)
    if found is None:
        found = _fit_binary_reference(ref, threshold, np.random.default_rng([seed, 1]))
        if len(_REFERENCES) >= _KEEP:
            _REFERENCES.pop(next(iter(_REFERENCES)))
        _REFERENCES[key] = found
    return found


def _fit_binary_reference(ref, threshold, rng) -> _BinaryReference:
    neg_r, pos_r = ref[0], ref[1]
    measured = {k: float(v) for k, v in _measured_binary(neg_r, pos_r).items()}
    bins_pos, bins_neg = pos_r.sum(0), neg_r.sum(0)
    diagnosis = _reliability(bins_pos, bins_neg, threshold)
    if bins_pos.sum() < MIN_LABELED or bins_neg.sum() < MIN_LABELED:
        return _BinaryReference(measured, diagnosis,
                                f"the reference has fewer than {MIN_LABELED} labeled rows with scores of each class")
    # Calibrated apart per decision (the two decisions side by side on one axis, fitted apart): rows
    # of similar score and the same decision. With decisions by the threshold, the decision is the
    # side of the threshold; with the model's own, rows it decided differently at one score differ.
    bins = pos_r.shape[-1]
    centres = np.tile(ranking.bin_centres(threshold), 2)
    cal = calibrate(pos_r.ravel(), neg_r.ravel(), centres, bins - 1)
    share = cal.share.reshape(2, bins)
    self_estimate = {k: float(v) for k, v in _binary_values(pos_r + neg_r, share).items()}
    gap = max(abs(self_estimate[k] - measured[k]) for k in measured if _finite(measured[k]) and _finite(self_estimate[k]))
    if gap > TOLERANCE:
        return _BinaryReference(measured, diagnosis,
                                f"the reference's calibration does not reproduce its own metrics (a gap of {gap:.3f}): "
                                "its outcomes are not a monotone function of the score")
    # Labeled windows drawn from the reference's rows: only its occupied bins can receive rows.
    occupied = (ref[:2] > 0).any(axis=(0, 1))
    n_r = float(ref[:2].sum())
    cells = ref[:2][..., occupied] / n_r
    null_reference = _null_binary(rng, int(n_r), cells)
    return _BinaryReference(measured, diagnosis, None, cal, share, self_estimate, cells, null_reference)


def _null_binary(rng, n: int, cells: np.ndarray) -> dict:
    """The measured metrics of NULL_DRAWS labeled windows of n rows drawn from (2, 2, bins) cell shares."""
    drawn = rng.multinomial(n, cells.ravel(), size=NULL_DRAWS).reshape((NULL_DRAWS,) + cells.shape)
    return _measured_binary(drawn[:, 0], drawn[:, 1])


def estimate_binary(reference, window, threshold: float, alpha: float, *, draws: int = DRAWS,
                    seed: int = 0) -> list[Estimate]:
    """Estimates of the binary metrics for the unlabeled rows of `window` from the labeled rows of
    `reference` (both (3, 2, bins) histograms)."""
    ref = _binary_reference(np.asarray(reference, np.float64), float(threshold), seed)
    w = np.asarray(window, np.float64)[2]
    measured = ref.measured
    reason = "the window has no rows with scores" if w.sum() <= 0 else ref.refusal
    if reason is not None:
        return [Estimate(k, None, None, _float(measured[k]), details={"estimated": True, "not_estimated": reason,
                                                                        "calibration": dict(ref.diagnosis)})
                for k in BINARY_ESTIMATED]
    rng = np.random.default_rng(seed)
    # Only the bins the window occupies count: empty bins add nothing to any metric.
    live = (w > 0).any(axis=0)
    w, share = w[:, live], ref.share[:, live]
    point = _binary_values(w, share)
    # Realized values: calibration drawn, then the window's labels given it, bin by bin.
    cells = (w > 0).ravel()
    q = ref.calibration.draw(rng, draws, np.flatnonzero(np.tile(live, 2))[cells])
    y = np.zeros((draws, w.size))
    y[:, cells] = rng.binomial(w.ravel()[cells].astype(np.int64)[None], q)
    y = y.reshape((draws,) + w.shape)
    realized = _measured_binary(w[None] - y, y)
    # Null variance: that of the measured metric of labeled windows of both sizes drawn from the
    # reference's rows, which bounds the estimates' (see the module's docstring).
    n_w = int(w.sum())
    null_w, null_r = ref.null_of_size(n_w, seed), ref.null_reference
    out = []
    for k in BINARY_ESTIMATED:
        self_estimate = ref.self_estimate[k]
        correction = measured[k] - self_estimate if _finite(measured[k]) and _finite(self_estimate) else 0.0
        value = float(point[k]) + correction if _finite(float(point[k])) else None
        interval = _interval(realized[k] + correction, alpha)
        variance = _variance(null_w[k]) + _variance(null_r[k])
        change = float(point[k]) - self_estimate if value is not None else None
        p = _p_lower(change, variance) if _finite(measured[k]) else None
        out.append(Estimate(k, value, interval, _float(measured[k]), self_estimate, p,
                            {"estimated": True, "test": "normal one-sided, variance of a labeled window's metric (conservative)",
                             "calibration": dict(ref.diagnosis), "rows": n_w}))
    return out


def _reliability(pos, neg, threshold):
    """How well the reference's raw scores match its outcome shares, on 64 equal-width groups: the
    expected calibration error and a chi-square p-value of 'the scores are calibrated'. Estimates do
    not rely on it (they use the reference's observed shares), but it tells whether the scores can
    be read as probabilities."""
    centres = ranking.bin_centres(threshold)
    group = np.minimum((ranking.score_edges(threshold) * COARSE_BINS).astype(np.int64), COARSE_BINS - 1)
    m = np.bincount(group, pos + neg, COARSE_BINS)
    x = np.bincount(group, pos, COARSE_BINS)
    mean_score = np.bincount(group, (pos + neg) * centres, COARSE_BINS) / np.where(m > 0, m, 1.0)
    keep = m > 0
    n = m.sum()
    if n <= 0:
        return {}
    ece = float((np.abs(x[keep] - m[keep] * mean_score[keep])).sum() / n)
    e = m[keep] * mean_score[keep]
    v = np.maximum(m[keep] * mean_score[keep] * (1 - mean_score[keep]), 1.0)
    stat = float(((x[keep] - e) ** 2 / v).sum())
    from scipy.stats import chi2
    p = float(chi2.sf(stat, int(keep.sum())))
    out = {"expected_calibration_error": ece, "p_value": p}
    if ece > 0.05 and p < 0.001:  # large, and more than the noise of the groups
        out["warning"] = (f"the reference's scores are badly calibrated (expected calibration error {ece:.3f}); "
                          "estimates use the outcome shares observed in the reference, not the scores")
    return out


def _multiclass_reliability(by_class) -> dict:
    """The binary diagnosis of each class's scores against the rest; the worst class is reported."""
    k = by_class.shape[1]
    found = [(_reliability(*ranking.one_vs_rest(by_class, j), 0.5), j) for j in range(k)]
    found = [(d, j) for d, j in found if d]
    if not found:
        return {}
    worst, j = max(found, key=lambda item: item[0]["expected_calibration_error"])
    return dict(worst, score_column=j)


def _variance(samples) -> float:
    s = np.asarray(samples, np.float64)
    s = s[np.isfinite(s)]
    return float(np.var(s, ddof=1)) if len(s) > 1 else float("nan")


def _float(v):
    v = float(v)
    return v if math.isfinite(v) else None


# ---- multiclass ----

def coarse_of_bins() -> np.ndarray:
    """The coarse group (1/64 wide) of each fine bin at threshold 1/2 (fine bins nest in coarse ones)."""
    return np.minimum((ranking.score_edges(0.5) * COARSE_BINS).astype(np.int64), COARSE_BINS - 1)


def _multiclass_calibrations(by_class):
    """Per class, its isotonic calibration (one against the rest) on the coarse groups."""
    k = by_class.shape[1]
    coarse = coarse_of_bins()
    out = []
    for j in range(k):
        pos, neg = ranking.one_vs_rest(by_class, j)
        out.append(calibrate(np.bincount(coarse, pos, COARSE_BINS), np.bincount(coarse, neg, COARSE_BINS),
                             (np.arange(COARSE_BINS) + 0.5) / COARSE_BINS))
    return out


def multiclass_expected(by_decision, shares) -> np.ndarray:
    """Expected (..., truth, decision) counts: for rows decided d, each class j's calibrated share
    summed over their coarse scores of column j, then scaled so each decision's column sums to its rows."""
    by_decision = np.asarray(by_decision, np.float64)  # (decision, column, coarse)
    shares = np.asarray(shares, np.float64)            # (..., column, coarse)
    raw = np.einsum("dcg,...cg->...cd", by_decision, shares)
    rows = by_decision[:, 0, :].sum(-1)  # every scored row counts once in each column
    totals = raw.sum(axis=-2, keepdims=True)
    with np.errstate(all="ignore"):
        return np.where(totals > 0, raw * (rows / np.where(totals > 0, totals, 1.0)), 0.0)


def _macro_auc_estimate(unlabeled, fine_shares):
    """Macro one-vs-rest AUC of (column, bins) unlabeled histograms under (..., column, bins) shares."""
    pos = unlabeled * fine_shares
    neg = unlabeled - pos
    return np.nanmean(ranking.roc_auc_many(pos, neg), axis=-1)


def estimate_multiclass(ref_confusion, ref_by_class, ref_by_decision, win_by_class, win_by_decision, alpha: float,
                        *, draws: int = DRAWS, seed: int = 0) -> list[Estimate]:
    """Estimates of the multiclass metrics for the unlabeled rows of a window ((k + 1, k, bins) and
    (k, k, coarse) histograms) from a labeled reference (its [truth, decision] confusion and histograms)."""
    ref_by_class = np.asarray(ref_by_class, np.float64)
    k = ref_by_class.shape[1]
    confusion_r = np.asarray(ref_confusion, np.float64)
    measured = {m: float(v) for m, v in multiclass.summary(confusion_r).items()}
    measured["MacroROCAUC"] = ranking.macro_roc_auc(ref_by_class)[0]
    w_dec = np.asarray(win_by_decision, np.float64)
    unlabeled = np.asarray(win_by_class, np.float64)[k]  # (column, bins)
    n_w = int(unlabeled[0].sum()) if k else 0
    support = ref_by_class[:k, 0].sum(-1)
    reason = None
    if n_w <= 0:
        reason = "the window has no rows with scores"
    elif support.min() < MIN_LABELED:
        reason = f"the reference has fewer than {MIN_LABELED} labeled rows with scores of some class"
    cals = _multiclass_calibrations(ref_by_class) if reason is None else None
    coarse = coarse_of_bins()
    if cals is not None:
        shares = np.stack([c.share for c in cals])
        self_values = multiclass.summary(multiclass_expected(ref_by_decision, shares))
        self_values["MacroROCAUC"] = _macro_auc_estimate(ref_by_class[:k].sum(0), shares[:, coarse])
        self_estimate = {m: float(v) for m, v in self_values.items()}
        gap = abs(self_estimate["Accuracy"] - measured["Accuracy"])
        if gap > TOLERANCE:
            reason = (f"the reference's calibration does not reproduce its own accuracy (a gap of {gap:.3f}): "
                      "its scores do not tell the classes apart the way its outcomes do")
    diagnosis = _multiclass_reliability(ref_by_class)
    if reason is not None:
        return [Estimate(m, None, None, _float(measured[m]), details={"estimated": True, "not_estimated": reason,
                                                                        "calibration": diagnosis})
                for m in MULTICLASS_ESTIMATED]
    rng = np.random.default_rng(seed)
    point = multiclass.summary(multiclass_expected(w_dec, shares))
    point["MacroROCAUC"] = _macro_auc_estimate(unlabeled, shares[:, coarse])
    # Realized values: calibrations drawn, then each decision's true classes multinomial.
    q = np.stack([c.draw(rng, draws) for c in cals], axis=1)  # (draws, column, coarse)
    expected = multiclass_expected(w_dec, q)                   # (draws, truth, decision)
    decided = w_dec[:, 0, :].sum(-1).astype(np.int64)
    realized_conf = np.zeros_like(expected)
    for d in range(k):
        if decided[d] > 0:
            p = np.clip(expected[:, :, d] / decided[d], 0, None)
            p /= p.sum(-1, keepdims=True)
            realized_conf[:, :, d] = rng.multinomial(decided[d], p)
    realized = multiclass.summary(realized_conf)
    # Only the bins some column occupies count: empty bins add nothing to an AUC.
    occupied = (unlabeled > 0).any(axis=0)
    live = unlabeled[:, occupied]
    y = rng.binomial(live.astype(np.int64)[None], np.clip(q[:, :, coarse[occupied]], 0, 1))
    realized["MacroROCAUC"] = np.nanmean(ranking.roc_auc_many(y, live[None] - y), axis=-1)
    # Null variance: that of the realized metric of labeled windows of both sizes drawn from the
    # reference's confusion matrix, which bounds the estimates' (see the module's docstring).
    n_r = int(confusion_r.sum())
    flat = confusion_r.ravel() / max(n_r, 1)
    null_w = multiclass.summary(rng.multinomial(n_w, flat, size=NULL_DRAWS).reshape(-1, k, k))
    null_r = multiclass.summary(rng.multinomial(n_r, flat, size=NULL_DRAWS).reshape(-1, k, k))
    auc_var_r = sum(v for _, v in ranking.macro_roc_auc(ref_by_class)[1] if math.isfinite(v)) / k ** 2
    out = []
    for m in MULTICLASS_ESTIMATED:
        correction = measured[m] - self_estimate[m] if _finite(measured[m]) and _finite(self_estimate[m]) else 0.0
        raw = float(point[m])
        value = raw + correction if math.isfinite(raw) else None
        interval = _interval(np.asarray(realized[m]) + correction, alpha)
        if m == "MacroROCAUC":
            variance = auc_var_r * (1.0 + n_r / max(n_w, 1))
        else:
            variance = _variance(null_w[m]) + _variance(null_r[m])
        change = raw - self_estimate[m] if value is not None else None
        p = _p_lower(change, variance) if _finite(measured[m]) else None
        out.append(Estimate(m, value, interval, _float(measured[m]), self_estimate[m], p,
                            {"estimated": True, "rows": n_w, "calibration": diagnosis,
                             "test": "normal one-sided, variance of a labeled window's metric (conservative)"}))
    return out

