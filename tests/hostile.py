"""Argument generators for calls across the whole registered surface: plausible values,
near misses and hostile objects. Used by the property tests and the fuzz harness."""

import inspect
import math

import numpy as np
from hypothesis import strategies as st

import _morvane

WORDS = [
    # metric names of every family, drift and binning names, segmentation kinds
    "ClassImbalance", "DifferenceInProportionOfLabels", "KlDivergence", "JsDivergence", "LpNorm",
    "TotalVariationDistance", "KolmogorovSmirnov", "DifferenceInPositivePredictedLabels", "DisparateImpact",
    "AccuracyDifference", "RecallDifference", "DifferenceInConditionalAcceptance", "DifferenceInAcceptanceRate",
    "SpecialityDifference", "DifferenceInConditionalRejection", "DifferenceInRejectionRate", "TreatmentEquity",
    "ConditionalDemographicDesparityPredictedLabels", "GeneralizedEntropy", "BalancedAccuracy",
    "PrecisionPositive", "PrecisionNegative", "RecallPositive", "RecallNegative", "Accuracy", "F1Score", "LogLoss",
    "RootMeanSquaredError", "MeanSquaredError", "MeanAbsoluteError", "RSquared", "MaxError",
    "MeanSquaredLogError", "RootMeanSquaredLogError", "MeanAbsolutePercentageError", "JensenShannon",
    "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler", "FreedmanDiaconis", "Scott", "Sturges",
    "GreaterThan", "GreaterThanEqualTo", "LessThan", "LessThanEqualTo", "a", "b", "", "x\0y", "\ud800",
]


class HostileError(Exception):
    """Raised by hostile objects; must pass through the module unchanged."""


class RaisingFloat:
    def __float__(self):
        raise HostileError("float")

    def __index__(self):
        raise HostileError("index")


class LyingSequence:
    """Claims a huge length, yields three items."""

    def __len__(self):
        return 2**40

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError
        return 1


class LyingList(list):
    """A list whose __len__ claims far more items than it stores."""

    def __len__(self):
        return 2**40


class BrokenSequence:
    """Raises while being iterated."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise HostileError("getitem")
        return 0


DTYPES = ["f8", "f4", "f2", "i1", "i2", "i4", "i8", "u1", "u8", "?", ">f8", "<U3", "O", "c16"]

finite = st.floats(-1e6, 1e6, allow_nan=False)
numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-300, 300),
    st.sampled_from([0, 1, -1, 2**63, -(2**63) - 1, 2**64, 0.5, 0.1, 1e-12]),
    st.booleans(),
)
words = st.one_of(st.sampled_from(WORDS), st.text(max_size=6))


@st.composite
def arrays(draw):
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    shape = draw(st.sampled_from([(), (0,), (1,), (3,), (8,), (30,), (2, 3), (4, 1)]))
    n = int(np.prod(shape))
    if dtype.kind in "fc":
        values = draw(st.lists(st.one_of(finite, st.sampled_from([math.nan, math.inf, -math.inf, 0.0])), min_size=n, max_size=n))
    elif dtype.kind in "iub":
        values = draw(st.lists(st.integers(-3, 5), min_size=n, max_size=n))
    elif dtype.kind == "U":
        values = draw(st.lists(st.sampled_from(["a", "b", "c", ""]), min_size=n, max_size=n))
    else:
        values = draw(st.lists(st.one_of(finite, st.sampled_from(["a", "b"]), st.integers(0, 2)), min_size=n, max_size=n))
    with np.errstate(all="ignore"):
        if dtype.kind == "u":
            values = [abs(v) for v in values]
        array = np.array(values, dtype=object).astype(dtype) if n else np.zeros(shape, dtype=dtype)
        array = array.reshape(shape)
    if array.ndim == 1 and array.size > 2 and draw(st.booleans()):
        array = np.repeat(array, 2)[::2]  # same values, non-contiguous
    elif array.ndim == 1 and dtype.kind in "fiu" and draw(st.booleans()):
        shifted = np.zeros(array.nbytes + 1, dtype=np.uint8)[1:].view(dtype)
        shifted[:] = array
        array = shifted  # same values, contiguous but unaligned
    return array


def sequences(elements):
    return st.one_of(st.lists(elements, max_size=12), st.lists(elements, max_size=12).map(tuple))


values = st.deferred(
    lambda: st.one_of(
        numbers,
        words,
        st.none(),
        arrays(),
        sequences(st.integers(-2, 3)),
        sequences(finite),
        sequences(st.sampled_from(["a", "b", "c"])),
        sequences(words),
        st.dictionaries(words, numbers, max_size=8),
        st.sampled_from([RaisingFloat(), LyingSequence(), BrokenSequence(), LyingList([1, 0, 1]), LyingList(["a", "b"]),
                         object(), {1, 2}, b"ab"]),
        sequences(st.sampled_from([RaisingFloat(), 1, 1.0, "a", None])),
    )
)


def registered():
    """(name, object) for every registered function and class."""
    return [(n, getattr(_morvane, n)) for n in dir(_morvane) if not n.startswith("_")]


def parameter_count(fn):
    return len([p for p in inspect.signature(fn).parameters.values() if p.name != "self"])


def methods_of(cls):
    """Public methods (callables) and read-only attributes of a class."""
    meths, attrs = [], []
    for name, member in vars(cls).items():
        if name.startswith("_"):
            continue
        (attrs if inspect.isdatadescriptor(member) else meths).append(name)
    return sorted(meths), sorted(attrs)


# Allowed outcomes of any call: a documented exception type, or the hostile objects' own.
ALLOWED = (TypeError, ValueError, OverflowError, MemoryError, HostileError, UnicodeError)


# Queries that read an object's observable state without changing it.
SNAPSHOTS = ("performance_snapshot", "drift_snapshot", "export_baseline", "export_snapshot")
STATE_ATTRIBUTES = ("num_bins", "n_bins", "total_samples")


def observe(obj):
    """A comparable picture of an object's observable state."""
    picture = []
    for name in SNAPSHOTS:
        if hasattr(obj, name):
            try:
                picture.append((name, repr(getattr(obj, name)())))
            except Exception as e:  # noqa: BLE001 - a failing query is part of the picture
                picture.append((name, type(e).__name__, str(e)))
    for name in STATE_ATTRIBUTES:
        if hasattr(obj, name):
            picture.append((name, repr(getattr(obj, name))))
    return picture


# A failed call may legitimately change this much: the decision threshold is kept
# even when the new baseline is refused.
CHANGES_ON_FAILURE = {"reset_baseline_and_decision_threshold"}


def draw_args(data, fn):
    n = parameter_count(fn)
    return data.draw(st.lists(values, min_size=n, max_size=n))


def attempt(fn, args):
    """(True, result), or (False, error) for an allowed exception; anything else propagates."""
    try:
        return True, fn(*args)
    except ALLOWED as e:
        return False, e


def exercise(target, data, max_calls):
    """Calls a function, or builds an object and calls up to max_calls of its methods,
    all with drawn arguments; a failed method call must leave the object as it was."""
    ok, obj = attempt(target, draw_args(data, target))
    if not ok or not isinstance(target, type):
        return
    methods, attributes = methods_of(target)
    for attr in attributes:
        getattr(obj, attr)
    for _ in range(data.draw(st.integers(1, max_calls))):
        method = data.draw(st.sampled_from(methods))
        fn = getattr(obj, method)
        before = observe(obj)
        ok, _ = attempt(fn, draw_args(data, fn))
        if not ok and method not in CHANGES_ON_FAILURE:
            assert observe(obj) == before, f"{target.__name__}.{method} failed and changed the object"
