"""Independent reference formulas for the performance tests, in numpy.float32 arithmetic
with the C library's single-precision logarithm, pair by pair in input order."""

import ctypes
import ctypes.util
import math

import numpy as np

F = np.float32
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.logf.restype = ctypes.c_float
_libm.logf.argtypes = [ctypes.c_float]

CLASSIFICATION = [
    "BalancedAccuracy",
    "PrecisionPositive",
    "PrecisionNegative",
    "RecallPositive",
    "RecallNegative",
    "Accuracy",
    "F1Score",
]
LOGISTIC = CLASSIFICATION + ["LogLoss"]
REGRESSION = [
    "RootMeanSquaredError",
    "MeanSquaredError",
    "MeanAbsoluteError",
    "RSquared",
    "MaxError",
    "MeanSquaredLogError",
    "RootMeanSquaredLogError",
    "MeanAbsolutePercentageError",
]
DEFAULT_EPS = F(1e-12)


def logf(x):
    return F(_libm.logf(float(x)))


def ratios(tp, fp, tn, fn):
    """The seven ratio metrics from four counts, each count read as a float32."""
    tp, fp, tn, fn = (F(c) for c in (tp, fp, tn, fn))
    with np.errstate(all="ignore"):
        rp = tp / (tp + fn)
        rn = tn / (tn + fp)
        pp = tp / (tp + fp)
        pn = tn / (tn + fn)
        values = [
            (rp + rn) * F(0.5),
            pp,
            pn,
            rp,
            rn,
            (tp + tn) / (tn + (fn + (tp + fp))),
            # precision and recall both 0 is the worst F1, 0 (as scikit-learn has it)
            F(0) if rp == 0 and pp == 0 else ((rp + rp) * pp) / (rp + pp),
        ]
    return {k: float(v) for k, v in zip(CLASSIFICATION, values)}


def counts(truth, predicted):
    """(TP, FP, TN, FN) of two boolean sequences."""
    tp = fp = tn = fn = 0
    for t, p in zip(truth, predicted):
        if t and p:
            tp += 1
        elif p:
            fp += 1
        elif t:
            fn += 1
        else:
            tn += 1
    return tp, fp, tn, fn


def log_term(t, p, eps=DEFAULT_EPS):
    """t·ln c + (1 − t)·ln(1 − c), c = p clamped to [eps, 1 − eps], all float32."""
    t, p = F(t), F(p)
    upper = F(1) - eps
    c = p
    if not math.isnan(p):
        c = eps if p < eps else (upper if p > upper else p)
    with np.errstate(all="ignore"):
        return t * logf(c) + (F(1) - t) * logf(F(1) - c)


def log_loss(y_true, y_pred, eps=DEFAULT_EPS):
    """Terms in float32, summed in float64 in order, the sum narrowed once."""
    total = 0.0
    for t, p in zip(y_true, y_pred):
        total += float(log_term(t, p, eps))
    with np.errstate(all="ignore"):
        return float(-F(total) / F(len(y_true)))


def logistic(y_true, y_pred, threshold):
    """The one-shot logistic record: both sides thresholded as float64 values."""
    th = float(F(threshold))
    c = counts([float(F(t)) >= th for t in y_true], [float(F(p)) >= th for p in y_pred])
    out = ratios(*c)
    out["LogLoss"] = log_loss(y_true, y_pred)
    return out


def _ln(x):
    """The C library's double logarithm, with its values at zero and below."""
    if x > 0:
        return math.log(x)
    return -math.inf if x == 0 else math.nan


def regression_sums(y_true, y_pred):
    """The ten running sums of the regression accumulator, in float64, in order."""
    D = np.float64
    s = dict(se=D(0), ae=D(0), mx=D(0), sle=D(0), ape=D(0), t=D(0), n=D(0), tt=D(0), pp=D(0), tp=D(0))
    with np.errstate(all="ignore"):
        for t, p in zip(y_true, y_pred):
            t, p = D(F(t)), D(F(p))
            d = t - p
            s["se"] += d * d
            s["ae"] += abs(d)
            s["mx"] = np.fmax(s["mx"], abs(d))
            ld = D(_ln(t + D(1))) - D(_ln(p + D(1)))
            s["sle"] += ld * ld
            s["ape"] += abs(abs(d) / t)
            s["t"] += t
            s["n"] += D(1)
            s["tt"] += t * t
            s["pp"] += p * p
            s["tp"] += t * p
    return s


def r_squared(s):
    with np.errstate(all="ignore"):
        return _r_squared(s)


def _r_squared(s):
    sst = s["tt"] - (s["t"] * s["t"]) / s["n"]
    sse = s["pp"] + (s["tt"] - (s["tp"] + s["tp"]))
    if sst != 0.0:
        return 1.0 - sse / sst
    return 1.0 if sse == 0.0 else 0.0


def streaming_regression(y_true, y_pred):
    """The regression window record: roots taken after narrowing to float32."""
    s = regression_sums(y_true, y_pred)
    n = s["n"]
    with np.errstate(all="ignore"):
        mse, msle = F(s["se"] / n), F(s["sle"] / n)
        values = [np.sqrt(mse), mse, F(s["ae"] / n), F(r_squared(s)), F(s["mx"]), msle, np.sqrt(msle), F(s["ape"] / n)]
    return {k: float(v) for k, v in zip(REGRESSION, values)}


def one_shot_regression(y_true, y_pred):
    """The one-shot regression record: roots in float64, then narrowed."""
    s = regression_sums(y_true, y_pred)
    n = np.float64(len(y_true))
    with np.errstate(all="ignore"):
        mse, msle = s["se"] / n, s["sle"] / n
        values = [np.sqrt(mse), mse, s["ae"] / n, r_squared(s), s["mx"], msle, np.sqrt(msle), s["ape"] / n]
        # Narrowing a value beyond the 32-bit range gives inf, as the module does.
        return {k: float(F(v)) for k, v in zip(REGRESSION, values)}


def same(a, b):
    """Dicts equal value for value, NaN equal to NaN."""
    if a.keys() != b.keys():
        return False
    return all((math.isnan(a[k]) and math.isnan(b[k])) or a[k] == b[k] for k in a)
