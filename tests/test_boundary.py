"""The binding toolkit: argument binding, converters, borrow rules, the panic guard,
error texts, metric vocabulary, reports and the two array-reading paths."""

import inspect
import shutil
import subprocess
import sys

import numpy as np
import pytest

import _morvane
from conftest import f32, huge_allocation, raises_with

st = pytest.importorskip("_morvane_selftest")


# --- module surface -------------------------------------------------------------------

def test_shared_object_exports_only_the_init_function():
    if not shutil.which("nm"):
        pytest.skip("nm not available")
    out = subprocess.run(["nm", "-D", "--defined-only", _morvane.__file__], capture_output=True, text=True, check=True)
    names = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert names == ["PyInit__morvane"]


def test_module_has_empty_docstring_and_no_panic_exception():
    assert _morvane.__doc__ == ""
    assert not hasattr(_morvane, "PanicException")


def test_reimport_returns_the_same_module():
    import importlib

    again = importlib.import_module("_morvane")
    assert again is sys.modules["_morvane"]


def test_every_callable_has_a_text_signature():
    for name in dir(_morvane):
        if name.startswith("_"):
            continue
        obj = getattr(_morvane, name)
        assert obj.__text_signature__, name
        inspect.signature(obj)


# --- argument binding -----------------------------------------------------------------

@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: st.Counter(), "Counter.__new__() missing 1 required positional argument: 'start'"),
        (lambda: st.Counter(1.0, 2.0, 3.0), "Counter.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: st.Counter(1.0, bogus=1), "Counter.__new__() got an unexpected keyword argument 'bogus'"),
        (lambda: st.Counter(1.0, start=2.0), "Counter.__new__() got multiple values for argument 'start'"),
        (lambda: st.convert(), "convert() missing 2 required positional arguments: 'kind' and 'value'"),
        (lambda: st.convert("f32", 1, 2), "convert() takes 2 positional arguments but 3 were given"),
        (lambda: st.Counter(1.0).add(), "Counter.add() missing 1 required positional argument: 'values'"),
        (lambda: st.Counter(1.0).add([1], [2]), "Counter.add() takes 1 positional argument but 2 were given"),
        (lambda: st.Counter(1.0, None), "argument 'scale': must be real number, not NoneType"),
        (
            lambda: _morvane.py_model_perf_linear_regression([1.0], np.array([1.0])),
            "argument 'y_true_src': 'list' object cannot be converted to 'PyUntypedArray'",
        ),
    ],
)
def test_binding_errors(call, message):
    with raises_with(TypeError, message):
        call()


def test_keywords_in_any_order_and_defaults():
    a = st.Counter(scale=0.5, start=4.0)
    assert a.total() == 2.0
    b = st.Counter(start=1.0)
    assert b.total() == f32(0.1)  # the default is the 32-bit 0.1
    x, y = np.array([1.0, 2.0]), np.array([1.5, 2.0])
    assert _morvane.py_model_perf_linear_regression(y_pred_src=y, y_true_src=x) == _morvane.py_model_perf_linear_regression(x, y)


def test_signatures_follow_the_docstring_layout():
    assert st.Counter.__text_signature__ == "(start, scale=0.10)"
    assert st.Counter.__doc__ == "A test counter."
    assert st.Counter.add.__text_signature__ == "($self, values)"
    assert str(inspect.signature(st.Counter)) == "(start, scale=0.1)"
    assert st.convert.__text_signature__ == "(kind, value)"
    assert _morvane.py_model_perf_linear_regression.__doc__ is None
    assert _morvane.py_model_perf_linear_regression.__text_signature__ == "(y_true_src, y_pred_src)"


# --- converters -----------------------------------------------------------------------

@pytest.mark.parametrize(
    "kind, value, expected",
    [
        ("f32", 0.1, f32(0.1)),
        ("f32", 3, 3.0),
        ("f32", np.float64(1e40), float("inf")),
        ("f64", 0.1, 0.1),
        ("i8", -128, -128),
        ("i8", np.int64(127), 127),
        ("i32", 2**31 - 1, 2**31 - 1),
        ("i64", -(2**63), -(2**63)),
        ("u64", 2**64 - 1, 2**64 - 1),
        ("str", "héllo", "héllo"),
        ("strs", ("a", "b"), ["a", "b"]),
        ("strs", np.array(["x", "y"]), ["x", "y"]),
        ("dict", {"a": 0.1, "b": 2}, {"a": f32(0.1), "b": 2.0}),
        ("opt_f32", None, None),
        ("opt_f32", 0.5, 0.5),
        ("f64array", np.array([1.5, 2.5]), [1.5, 2.5]),
        ("seq_f32", [0.1, 1, True], [f32(0.1), 1.0, 1.0]),
        ("seq_f64", (0.1, np.float32(0.1)), [0.1, f32(0.1)]),
        ("seq_i32", np.array([1, -2], dtype=np.int16), [1, -2]),
        ("seq_i8", [True, 5, np.uint8(7)], [1, 5, 7]),
    ],
)
def test_converters_accept(kind, value, expected):
    assert st.convert(kind, value) == expected


@pytest.mark.parametrize(
    "kind, value, exc, message",
    [
        ("i8", 128, OverflowError, "out of range integral type conversion attempted"),
        ("i8", -129, OverflowError, "out of range integral type conversion attempted"),
        ("i32", 2**31, OverflowError, "out of range integral type conversion attempted"),
        ("i64", 2**63, OverflowError, "out of range integral type conversion attempted"),
        ("u64", -1, OverflowError, "out of range integral type conversion attempted"),
        ("u64", 2**64, OverflowError, "out of range integral type conversion attempted"),
        ("i32", 1.5, TypeError, "argument 'value': 'float' object cannot be interpreted as an integer"),
        ("f32", "x", TypeError, "argument 'value': must be real number, not str"),
        ("str", 1, TypeError, "argument 'value': 'int' object cannot be converted to 'PyString'"),
        ("strs", "ab", TypeError, "argument 'value': Can't extract `str` to `Vec`"),
        ("strs", 5, TypeError, "argument 'value': 'int' object cannot be converted to 'Sequence'"),
        ("strs", ["a", 1], TypeError, "argument 'value': 'int' object cannot be converted to 'PyString'"),
        ("dict", [("a", 1.0)], TypeError, "argument 'value': 'list' object cannot be converted to 'PyDict'"),
        ("dict", {1: 1.0}, TypeError, "argument 'value': 'int' object cannot be converted to 'PyString'"),
        ("dict", {"a": "b"}, TypeError, "argument 'value': must be real number, not str"),
        ("f64array", [1.0], TypeError, "argument 'value': 'list' object cannot be converted to 'PyArray<T, D>'"),
        ("f64array", np.arange(3), TypeError, "argument 'value': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ("f64array", np.ones((2, 2)), TypeError, "argument 'value': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ("f64array", np.arange(4.0)[::2], TypeError, "The given array is not contiguous"),
        ("seq_f32", {1.0}, TypeError, "argument 'value': 'set' object cannot be converted to 'Sequence'"),
        ("seq_f32", "12", TypeError, "argument 'value': Can't extract `str` to `Vec`"),
        ("seq_f32", [1.0, None], TypeError, "argument 'value': must be real number, not NoneType"),
        ("seq_i8", [1, 200], OverflowError, "out of range integral type conversion attempted"),
        ("seq_i8", np.array([1, 200]), OverflowError, "out of range integral type conversion attempted"),
        ("seq_i32", np.array([1.0]), TypeError, "argument 'value': 'numpy.float64' object cannot be interpreted as an integer"),
    ],
)
def test_converters_refuse(kind, value, exc, message):
    with raises_with(exc, message):
        st.convert(kind, value)


SEQUENCE_DTYPES = [np.float64, np.float32, np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64, np.bool_]


@pytest.mark.parametrize("dtype", SEQUENCE_DTYPES)
@pytest.mark.parametrize("kind", ["seq_f32", "seq_f64", "seq_i32", "seq_i8"])
def test_sequence_fast_path_equals_element_path(kind, dtype):
    rng = np.random.default_rng(7)
    data = (rng.normal(size=50) * 100).astype(dtype)
    typed = data[::-2]  # strided, still typed memory
    slow = np.array(list(typed), dtype=object)  # the same values, one Python object each

    def outcome(value):
        try:
            return ("ok", st.convert(kind, value))
        except Exception as e:  # noqa: BLE001 - comparing both paths' errors
            return (type(e).__name__, str(e).replace("numpy.", "").split("'")[-2:])

    fast, ref = outcome(typed), outcome(slow)
    assert fast[0] == ref[0]
    if fast[0] == "ok":
        assert fast[1] == ref[1]


def test_list_mutated_by_element_conversion_is_read_safely():
    values = [1.0, 2.0, 3.0]

    class Shrinks:
        def __float__(self):
            values.clear()
            return 9.0

    values.insert(1, Shrinks())
    assert st.convert("seq_f64", values) == [1.0, 9.0]


def test_sequence_with_lying_length_is_read_by_iteration():
    class Lies:
        def __len__(self):
            return 2**40

        def __getitem__(self, i):
            if i >= 3:
                raise IndexError
            return float(i)

    assert st.convert("seq_f64", Lies()) == [0.0, 1.0, 2.0]


def test_iteration_error_midway_propagates():
    class Broken:
        def __len__(self):
            return 3

        def __getitem__(self, i):
            if i == 1:
                raise KeyError("boom")
            return 1.0

    with pytest.raises(KeyError):
        st.convert("seq_f64", Broken())


# --- objects, borrowing, panics --------------------------------------------------------

def test_reentrant_exclusive_use_is_refused_and_state_kept():
    c = st.Counter(10.0, 1.0)

    class CallsAdd:
        def __float__(self):
            c.add([1.0])
            return 1.0

    class CallsTotal:
        def __float__(self):
            c.total()
            return 1.0

    with raises_with(RuntimeError, "Already borrowed"):
        c.add([CallsAdd()])
    with raises_with(RuntimeError, "Already mutably borrowed"):
        c.add([CallsTotal()])
    assert (c.total(), c.pushes) == (10.0, 0)
    c.add([1.0, 2.0])  # the borrow was released on every failing path
    assert (c.total(), c.pushes) == (13.0, 1)


def test_methods_check_their_receiver():
    with pytest.raises(TypeError):
        st.Counter.add(object(), [1.0])
    with pytest.raises(TypeError):
        st.Counter.total(object())


def test_panic_is_a_base_exception_with_its_message():
    with pytest.raises(BaseException) as info:
        st.Counter(1.0).panic()
    assert type(info.value) is st.PanicException
    assert not issubclass(st.PanicException, Exception)
    assert str(info.value) == "Invalid error conversion"
    with pytest.raises(st.PanicException, match="^a failed drift report carries no failed metrics$"):
        st.broken_report()


@huge_allocation
def test_allocation_failure_is_memory_error_not_abort():
    with pytest.raises(MemoryError):
        st.allocate(2**60)
    with pytest.raises(MemoryError):
        st.allocate(2**45)


@huge_allocation
def test_huge_broadcast_array_is_memory_error():
    huge = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2**44,), strides=(0,))
    with pytest.raises(MemoryError):
        _morvane.py_model_perf_linear_regression(huge, huge)


# --- error model ----------------------------------------------------------------------

ERROR_TABLE = [
    ("BiasError", 0, ValueError, "No deviation in behavior between facets"),
    ("BiasError", 1, ValueError, "No segmentation parameters provided"),
    ("BiasError", 2, ValueError, "Ambiguous segmentation parameters"),
    ("BiasError", 3, ValueError, "All data arrays must have equal length and be at least lenght 1"),
    ("BiasError", 4, ValueError, "Invalid bias configuration"),
    ("DriftError", 0, ValueError, "Data used for runtime drift analysis must be non empty"),
    ("DriftError", 1, SystemError, "Unable to convert internal timestamp into DateTime object"),
    ("DriftError", 2, SystemError, "Internal runtime bins are malformed"),
    ("DriftError", 3, ValueError, "Baseline data must be non empty"),
    ("DriftError", 4, ValueError, "NaN values are not supported"),
    ("DriftError", 5, ValueError, "Unsupported drift type"),
    ("DriftError", 6, ValueError, "Operation not supported in current drift mode"),
    ("DriftError", 7, ValueError, "Configuration not supported in current drift mode"),
    ("ModelPerformanceError", 0, TypeError, "Metric cannot be computed with given data"),
    ("ModelPerformanceError", 1, ValueError, "Empty data vectors"),
    ("ModelPerformanceError", 2, ValueError, "Data vectors must be equal length"),
    ("ModelPerformanceError", 3, ValueError, "Invalid analysis report"),
    ("ModelPerformanceError", 5, TypeError, "Data Vector type mistmatch"),
    ("ModelPerformanceError", 6, TypeError, "UnSupportedType"),
    ("PerfBias", 4, TypeError, "Bias Error: BiasConfigError"),
    ("PerfBias", 3, TypeError, "Bias Error: DataLengthError"),
    ("ToBias", 0, ValueError, "No deviation in behavior between facets"),
    ("ToBias", 1, ValueError, "All data arrays must have equal length and be at least lenght 1"),
]
DATA_BIAS_RT = ["ClassImbalance", "DifferenceInProportionOfLabels", "KlDivergence", "JsDivergence",
                "TotalVariationDistance", "KolmogorovSmirnov", "LpNorm"]
MODEL_BIAS_RT = ["DifferenceInPositivePredictedLabels", "DisparateImpact", "AccuracyDifference", "RecallDifference",
                 "DifferenceInConditionalAcceptance", "DifferenceInAcceptanceRate", "SpecialityDifference",
                 "DifferenceInConditionalRejection", "TreatmentEquity",
                 "ConditionalDemographicDesparityPredictedLabels", "DifferenceInRejectionRate", "GeneralizedEntropy"]
ERROR_TABLE += [("DataBiasRuntimeError", i, ValueError, n + " not present") for i, n in enumerate(DATA_BIAS_RT)]
ERROR_TABLE += [("ModelBiasRuntimeError", i, ValueError, n + " not present") for i, n in enumerate(MODEL_BIAS_RT)]


@pytest.mark.parametrize("family, member, exc, message", ERROR_TABLE)
def test_error_texts_and_types(family, member, exc, message):
    with pytest.raises(Exception) as info:
        st.raise_error(family, member)
    assert type(info.value) is exc
    assert str(info.value) == message


@pytest.mark.parametrize("member", [2, 3, 4, 5, 6])
def test_only_two_performance_errors_convert_to_bias_errors(member):
    with pytest.raises(st.PanicException, match="^Invalid error conversion$"):
        st.raise_error("ToBias", member)


# --- metric vocabulary and reports --------------------------------------------------------

@pytest.mark.parametrize(
    "parser, names, expected",
    [
        ("data_bias", [], []),
        ("model_bias", ["DisparateImpact", "DisparateImpact"], ["DisparateImpact", "DisparateImpact"]),
        ("logistic_regression", ["LogLoss", "F1Score"], ["LogLoss", "F1Score"]),
        ("linear_regression", ["RSquared", "MaxError"], ["RSquared", "MaxError"]),
        ("classification", ["Accuracy", "BalancedAccuracy"], ["Accuracy", "BalancedAccuracy"]),
    ],
)
def test_metric_lists_parse(parser, names, expected):
    assert st.parse_metrics(parser, names) == expected


@pytest.mark.parametrize(
    "parser, names, message",
    [
        ("data_bias", ["ClassImbalance", "classimbalance", "LpNorm", "Nope"], 'Metrics: ["classimbalance", "Nope"] are not supported'),
        ("classification", ["Nope", "LogLoss", "Other"], 'Metrics: ["LogLoss"] are not supported'),
        ("model_bias", ["DisparateImpact "], 'Metrics: ["DisparateImpact "] are not supported'),
        ("linear_regression", ['a"b', "x\\y", "it's"], 'Metrics: ["a\\"b", "x\\\\y", "it\'s"] are not supported'),
        ("linear_regression", ["\n\r\t\0"], 'Metrics: ["\\n\\r\\t\\0"] are not supported'),
        ("logistic_regression", ["\x01", "\u200b", "é"], 'Metrics: ["\\u{1}", "\\u{200b}", "é"] are not supported'),
        ("logistic_regression", ["Bad", "Bad"], 'Metrics: ["Bad", "Bad"] are not supported'),
    ],
)
def test_metric_lists_refuse(parser, names, message):
    with raises_with(ValueError, message):
        st.parse_metrics(parser, names)


def test_single_classification_parse():
    assert st.parse_classification_metric("F1Score") == "F1Score"
    with raises_with(ValueError, "Invalid metric type"):
        st.parse_classification_metric("f1score")


def test_metric_dict_widens_exactly():
    assert st.metric_dict("data_bias", {}) == {}
    assert st.metric_dict("data_bias", {"LpNorm": 0.1}) == {"LpNorm": 0.10000000149011612}


def test_drift_report_dicts():
    assert st.drift_report("model_bias", {}) == {"passed": True}
    report = st.drift_report("classification", {"Accuracy": 0.1, "F1Score": 2.0})
    assert list(report) == ["passed", "failed_report"]
    assert report["passed"] is False
    entries = report["failed_report"]
    assert all(list(e) == ["metric", "driftError"] for e in entries)
    assert {e["metric"]: e["driftError"] for e in entries} == {"Accuracy": 0.10000000149011612, "F1Score": 2.0}


# --- array kinds and the two reading paths -----------------------------------------------------

@pytest.mark.parametrize(
    "array, kind",
    [
        (np.array([1.0], dtype=np.float32), "Float"),
        (np.array([1.0]), "Float"),
        (np.array([1], dtype=np.int64), "Integer"),
        (np.array([1], dtype=np.uint64), "Integer"),
        (np.array([1], dtype=np.int8), "Integer"),
        (np.array([True]), "Boolean"),
        (np.array(["a"]), "String"),
        (np.array([1.0], dtype=object), "String"),
        (np.array([1.0], dtype=np.float16), "String"),
        (np.array([1j]), "String"),
        (np.array([1.0], dtype=">f8"), "String"),
        (np.array(1.0), "Float"),
    ],
)
def test_determine_type(array, kind):
    assert st.array_kind(array) == kind


COPY_DTYPES = [np.float64, np.float32, np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64, np.bool_]


def _outcome(kind, array):
    try:
        return ("ok", st.copy(kind, array))
    except Exception as e:  # noqa: BLE001 - comparing both paths' errors
        return (type(e).__name__, str(e))


@pytest.mark.parametrize("dtype", COPY_DTYPES)
@pytest.mark.parametrize("kind", ["f64", "i64", "bool"])
def test_array_fast_path_equals_element_path(kind, dtype):
    rng = np.random.default_rng(3)
    data = (rng.normal(size=64) * 50).astype(dtype)
    for typed in (data[:32], data[::2], data[::-3]):
        # An object array of the same NumPy scalars goes element by element through Python.
        elementwise = np.empty(len(typed), dtype=object)
        elementwise[:] = list(typed)
        assert _outcome(kind, typed) == _outcome(kind, elementwise)


FLOAT_CASES = {
    np.float64: [0.0, 1.0, -1.0, 2.0**53 + 1, 1e300, -0.0, np.inf, 0.1],
    np.float32: [0.0, 1.0, -1.0, 3.4e38, -0.0, np.inf, 0.1],
    np.int64: [0, 1, -7, 2**53 + 1, 2**62],
    np.uint64: [0, 1, 2**64 - 1, 2**63],
    np.int8: [0, 1, -128, 127],
}


@pytest.mark.parametrize("dtype", list(FLOAT_CASES))
def test_float_copies_match_python_float_conversion(dtype):
    values = np.array(FLOAT_CASES[dtype], dtype=dtype)
    expected64 = [float(x) for x in values]
    for view in (values, np.repeat(values, 2)[::2], values[::-1][::-1]):
        assert st.copy("f64", view) == expected64
        assert st.copy("f32", view) == [f32(x) for x in expected64]


def test_nan_copies_as_nan():
    got = st.copy("f32", np.array([np.nan, 1.0]))
    assert np.isnan(got[0]) and got[1] == 1.0


def test_copy_errors_match_the_interpreter():
    with pytest.raises(TypeError):
        st.copy("f64", np.ones((2, 3)))
    with raises_with(TypeError, "'int' object cannot be converted to 'PyString'"):
        st.copy("str", np.array(["a", 1], dtype=object))
    assert st.copy("f64", np.array([], dtype=np.float64)) == []
    assert st.copy("f64", np.array([2**64 - 1], dtype=np.uint64)) == [float(2**64 - 1)]
    with raises_with(OverflowError, "out of range integral type conversion attempted"):
        st.copy("i64", np.array([2**64 - 1], dtype=np.uint64))
    with raises_with(OverflowError, "out of range integral type conversion attempted"):
        st.copy("i64", np.array([2**64 - 1], dtype=np.uint64).astype(object))
    with raises_with(TypeError, "UnSupportedType"):
        st.copy("f32", np.array([True]))


@pytest.mark.parametrize(
    "text, bits, expected",
    [
        ("1e-3", 64, 1e-3),
        ("-0.5", 64, -0.5),
        ("+2", 64, 2.0),
        (".5", 64, 0.5),
        ("5.", 64, 5.0),
        ("inf", 64, float("inf")),
        ("-Infinity", 64, float("-inf")),
        ("0.1", 32, f32(0.1)),
        ("1e-3 ", 64, None),
        (" 1", 64, None),
        ("0x10", 64, None),
        ("1e", 64, None),
        ("", 64, None),
        ("e5", 64, None),
        ("infinite", 64, None),
    ],
)
def test_decimal_grammar(text, bits, expected):
    assert st.parse_decimal(text, bits) == expected


def test_nan_text_parses_to_nan():
    assert np.isnan(st.parse_decimal("NaN", 64))


@pytest.mark.parametrize("value, expected", [(None, 1e-12), ("1e-6", 1e-6), ("-3", -3.0), ("bogus", 1e-12), ("0", 0.0)])
def test_stability_eps_read_once_from_environment(value, expected):
    env = {} if value is None else {"MORVANE_STABILITY_EPS": value}
    code = "import _morvane_selftest as s, os; a = s.stability_eps(); os.environ['MORVANE_STABILITY_EPS'] = '5'; print(repr((a, s.stability_eps())))"
    import os

    full = {k: v for k, v in os.environ.items() if k != "MORVANE_STABILITY_EPS"}
    full.update(env)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=full, check=True)
    assert eval(out.stdout) == (expected, expected)


# ---- argument errors keep the conversion error as their cause ----


class _Boom(TypeError):
    pass


class _RaisingFloat:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


@pytest.mark.parametrize("exc, wrapped", [(_Boom("boom"), True), (TypeError(), True), (ValueError("no"), False)])
def test_argument_error_chains_the_conversion_error(exc, wrapped):
    monitor = _morvane.PyLinearRegressionStreaming([1.0], [1.0])
    monitor.push(1.0, 1.0)
    with pytest.raises(type(exc) if not wrapped else TypeError) as info:
        monitor.drift_report(_RaisingFloat(exc))
    if wrapped:
        # The conversion's own exception object, not a copy, is the cause.
        assert str(info.value) == f"argument 'drift_threshold': {exc}" and info.value.__cause__ is exc
    else:
        assert info.value is exc
    # Nothing is left pending: the next call runs clean.
    assert monitor.drift_report(0.1) == {"passed": True}
