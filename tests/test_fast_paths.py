"""Typed fast paths against element-wise reading, for the entry points whose own tests
do not already compare them: the same values in every layout, dtype and container give
the same result, or the same error."""

import math

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _morvane as mv
from conftest import SANITIZED
from data_bias_reference import assert_metrics, expected_flags, reference_with_scale

SETTINGS = settings(max_examples=10 if SANITIZED else 40, deadline=None, derandomize=True, database=None,
                    suppress_health_check=list(HealthCheck))


def outcome(fn):
    try:
        return ("ok", repr(fn()))
    except (TypeError, ValueError, OverflowError) as e:
        return (type(e).__name__, str(e))


def all_same(results):
    assert all(r == results[0] for r in results[1:]), results


def unaligned(array):
    raw = np.zeros(array.nbytes + 1, dtype=np.uint8)
    view = raw[1:].view(array.dtype)
    view[:] = array
    return view


def numeric_readings(values, dtype):
    """One array's values in every typed layout: contiguous, strided, reversed, unaligned."""
    a = np.array(values, dtype=dtype)
    return [a, np.repeat(a, 3)[::3], np.ascontiguousarray(a[::-1])[::-1], unaligned(a)]


def text_readings(values):
    """Text read in place (native UCS-4), element-wise (object, big-endian) and strided."""
    a = np.array(values, dtype="U4")
    return [a, a.astype(object), a.astype(">U4"), np.repeat(a, 2)[::2]]


floats32 = st.floats(-1e3, 1e3, width=32) | st.sampled_from([0.0, -0.0, math.inf, -math.inf, math.nan])
small_ints = st.integers(-3, 6)
words = st.sampled_from(["a", "b", "ab", "é", "a\0b", ""])


@st.composite
def columns(draw):
    """(readings of one column, a label or threshold of the kind the column takes)."""
    kind = draw(st.sampled_from(["float", "int", "text", "bool"]))
    n = draw(st.integers(1, 30))
    if kind == "float":
        values = draw(st.lists(floats32, min_size=n, max_size=n))
        readings = numeric_readings(values, np.float64) + numeric_readings(values, np.float32)[:2]
        value = draw(floats32 | small_ints)
    elif kind == "int":
        values = draw(st.lists(small_ints, min_size=n, max_size=n))
        readings = numeric_readings(values, np.int64) + [np.array(values, np.int8), np.array(values, np.int16)[::-1][::-1]]
        value = draw(small_ints | st.sampled_from([2.5, -0.5, 1e30, math.nan]))
    elif kind == "text":
        values = draw(st.lists(words, min_size=n, max_size=n))
        readings = text_readings(values)
        value = draw(words)
    else:
        values = draw(st.lists(st.booleans(), min_size=n, max_size=n))
        readings = numeric_readings(values, np.bool_)
        value = draw(st.booleans() | st.sampled_from([0, 1, 2]))
    return kind, values, readings, value


@SETTINGS
@given(columns(), st.data())
def test_implicit_labelling_same_on_every_reading(column, data):
    kind, values, readings, value = column
    n = len(values)
    gt = np.array(data.draw(st.lists(st.integers(0, 1), min_size=n, max_size=n)))
    other = np.array(data.draw(st.lists(st.integers(0, 1), min_size=n, max_size=n)))
    data_bias = [outcome(lambda: mv.py_data_bias_analyzer(r, gt, value, 1)) for r in readings]
    all_same(data_bias)
    # As predictions, the first column the model-bias analyzer labels.
    all_same([outcome(lambda: mv.py_model_bias_analyzer(other, gt, r, 1, 1, value)) for r in readings])
    if kind == "float" and not isinstance(value, bool):
        # The readings also agree with the element-wise rule itself.
        facet = expected_flags([float(v) for v in values], float(value))
        if 0 < sum(facet) < n:
            assert_metrics(mv.py_data_bias_analyzer(readings[0], gt, value, 1), *reference_with_scale(facet, list(gt)))


@SETTINGS
@given(st.lists(words, min_size=1, max_size=30), words, st.lists(floats32, min_size=1, max_size=30), floats32,
       st.sampled_from(["GreaterThan", "GreaterThanEqualTo", "LessThan", "LessThanEqualTo"]))
def test_explicit_segmentation_same_on_every_reading(labels, label, numbers, threshold, kind):
    n = min(len(labels), len(numbers))
    labels, numbers = labels[:n], numbers[:n]
    gt = np.array([i % 2 for i in range(n)], dtype=np.float64)
    # The label rule on text in every reading, as features and as predictions.
    all_same([outcome(lambda: mv.py_data_bias_analyzer_explicit_seg(r, None, label, None, gt, 0.5, None, "GreaterThan"))
              for r in text_readings(labels)])
    all_same([outcome(lambda: mv.py_model_bias_analyzer_explicit_seg(gt, 0.5, None, "LessThan", gt, 0.5, None,
                                                                     "LessThan", r, None, label, None))
              for r in text_readings(labels)])
    # The threshold rule on numbers, typed and element-wise (big-endian, object).
    base = np.array(numbers, dtype=np.float64)
    readings = numeric_readings(numbers, np.float64) + [base.astype(">f8"), base.astype(object), base.astype(np.float32)]
    all_same([outcome(lambda: mv.py_model_bias_analyzer_explicit_seg(r, threshold, None, kind, gt, 0.5, None,
                                                                     "GreaterThan", gt[::-1], 0.5, None, "LessThan"))
              for r in readings])


@SETTINGS
@given(st.integers(0, 2**32 - 1), st.integers(0, 5000), st.sampled_from(["binary", "probability", "integer"]))
def test_performance_functions_same_on_every_reading(seed, n, shape):
    # Lengths past the 2048-element blocks of the direct path, in every layout and dtype.
    rng = np.random.default_rng(seed)
    if shape == "binary":
        t, p = rng.integers(0, 2, n).astype(np.float64), rng.integers(0, 2, n).astype(np.float64)
        dtypes = [np.float64, np.float32, np.int8, np.uint16, np.int64]
    elif shape == "probability":
        t = rng.integers(0, 2, n).astype(np.float64)
        p = rng.random(n).astype(np.float32).astype(np.float64)
        dtypes = [np.float64, np.float32]
    else:
        t, p = rng.integers(-50, 50, n).astype(np.float64), rng.integers(-50, 50, n).astype(np.float64)
        dtypes = [np.float64, np.float32, np.int16, np.int32]
    pairs = [(a, b) for dt in dtypes for a, b in zip(numeric_readings(t, dt), numeric_readings(p, dt)[::-1])]
    for fn in (mv.py_model_perf_linear_regression, mv.py_model_perf_classification,
               lambda a, b: mv.py_model_perf_logistic_regression(a, b, 0.5)):
        all_same([outcome(lambda: fn(a, b)) for a, b in pairs])


class Sub(list):
    """A list subclass: read through its iteration, not its storage."""


def forms(values, dtype):
    a = np.array(values, dtype=dtype)
    return [list(values), tuple(values), Sub(values), a, np.repeat(a, 2)[::2], a.astype(object), list(a), unaligned(a),
            a.astype(a.dtype.newbyteorder())]


@SETTINGS
@given(st.sampled_from(["data bias", "model bias", "binary", "linear", "logistic"]), st.data())
def test_monitor_constructors_and_resets_same_in_every_form(kind, data):
    n = data.draw(st.integers(1, 12))
    if kind in ("data bias", "model bias", "binary"):
        cols = [data.draw(st.lists(st.integers(-2, 3), min_size=n, max_size=n)) for _ in range(3 if kind == "model bias" else 2)]
        dtype = np.int32
    else:
        cols = [data.draw(st.lists(floats32 if kind == "linear" else st.floats(0, 1, width=32), min_size=n, max_size=n))
                for _ in range(2)]
        dtype = np.float64
    make = {"data bias": mv.PyDataBiasStreaming, "model bias": mv.PyModelBiasStreaming,
            "binary": mv.PyBinaryClassificationStreaming, "linear": mv.PyLinearRegressionStreaming,
            "logistic": lambda t, p: mv.PyLogisticRegressionStreaming(t, p, 0.5)}[kind]
    runs = []
    for i in range(len(forms(cols[0], dtype))):
        args = [forms(c, dtype)[i] for c in cols]
        try:
            m = make(*args)
        except (TypeError, ValueError) as e:
            runs.append((type(e).__name__, str(e)))
            continue
        m.push_batch(*[forms(c[::-1], dtype)[i] for c in cols])
        reset = outcome(lambda: m.reset_baseline(*args[::-1] if kind != "model bias" else args))
        runs.append((reset, outcome(m.drift_snapshot), outcome(m.performance_snapshot)))
    all_same(runs)


@SETTINGS
@given(st.lists(words, min_size=1, max_size=20), st.lists(words, max_size=20),
       st.lists(st.sampled_from(["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler",
                                 "Nope"]), max_size=4))
def test_drift_labels_same_in_every_form(baseline, runtime, names):
    def run(form):
        d = mv.PyCategoricalDataDrift(form(baseline))
        s = mv.PyStreamingCategoricalDataDriftFlush(form(baseline), None, None)
        return (outcome(lambda: mv.py_compute_drift_categorical_distribtuion(form(baseline), form(runtime), form(names))),
                outcome(lambda: d.compute_drift_mutliple_criteria(form(runtime), form(names))),
                outcome(lambda: s.update_stream_batch(form(runtime))),
                outcome(lambda: s.compute_drift_multiple_criteria(form(names))),
                d.export_baseline(), s.export_snapshot())

    text = [lambda v: np.array(v, dtype=str), lambda v: np.array(v, dtype=object)]
    all_same([run(f) for f in [list, tuple, Sub, *text]])


@SETTINGS
@given(st.lists(floats32.filter(lambda v: not math.isnan(v)), min_size=2, max_size=40),
       st.lists(floats32, min_size=1, max_size=40), st.sampled_from(["FreedmanDiaconis", "Scott", "Sturges"]))
def test_continuous_drift_same_for_aligned_and_unaligned_arrays(baseline, runtime, quantile):
    b, r = np.array(baseline), np.array(runtime)
    names = ["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]
    results = []
    for x, y in ((b, r), (unaligned(b), unaligned(r))):
        s = mv.PyStreamingContinuousDataDriftDecay(x, quantile, None)
        s.update_stream_batch(y)
        results.append((repr(mv.py_compute_drift_continuous_distribtuion(x, y, names, quantile)),
                        repr(mv.PyContinuousDataDrift(x, quantile).compute_drift_mutliple_criteria(y, names)),
                        repr(s.export_snapshot())))
    all_same(results)


NUMERIC_DTYPES = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64, np.float32,
                  np.float64, np.bool_]


def dtype_values(dtype):
    if dtype == np.bool_:
        return st.booleans()
    if np.issubdtype(dtype, np.integer):
        info = np.iinfo(dtype)
        return st.integers(max(-2, int(info.min)), 3) | st.sampled_from([int(info.min), int(info.max)])
    return floats32 | st.sampled_from([0.5, 1.0, 2.0**31])


@SETTINGS
@given(st.sampled_from(["binary", "linear", "logistic"]), st.sampled_from(NUMERIC_DTYPES),
       st.sampled_from(NUMERIC_DTYPES), st.data())
def test_monitor_push_batch_reads_array_memory_as_element_wise(kind, dtype_true, dtype_pred, data):
    """push_batch reading the arrays' memory (any numeric dtype, strided, unaligned) adds what the
    same NumPy scalars converted one by one add, or fails alike (integers outside 32 bits, floats
    or booleans where integers are due, unequal lengths)."""
    n = data.draw(st.integers(0, 10))
    t = np.array(data.draw(st.lists(dtype_values(dtype_true), min_size=n, max_size=n)), dtype=dtype_true)
    p = np.array(data.draw(st.lists(dtype_values(dtype_pred), min_size=n + data.draw(st.sampled_from([0, 0, 1])),
                                    max_size=n + 1))[: n + 1], dtype=dtype_pred)
    make = {"binary": lambda: mv.PyBinaryClassificationStreaming([1, 0, 1], [1, 0, 0]),
            "linear": lambda: mv.PyLinearRegressionStreaming([1.0, 2.0, 3.0], [1.1, 1.9, 3.2]),
            "logistic": lambda: mv.PyLogisticRegressionStreaming([1.0, 0.0, 1.0], [0.8, 0.3, 0.6], 0.5)}[kind]
    runs = []
    for form in (list, lambda a: a, lambda a: np.repeat(a, 2)[::2], unaligned):
        m = make()
        runs.append((outcome(lambda: m.push_batch(form(t), form(p))), outcome(m.performance_snapshot),
                     outcome(m.drift_snapshot)))
    all_same(runs)
