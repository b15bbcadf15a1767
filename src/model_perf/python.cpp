// The performance family's Python functions and classes.
#include "model_perf/python.hpp"

#include "data_handler/arrays.hpp"
#include "model_perf/core_regression.hpp"
#include "py/call.hpp"
#include "py/to_python.hpp"

namespace morvane::py {

namespace {

// Both arrays through convert_f32; any failure, whatever its cause, is reported as
// the one ValueError the performance functions use.
std::optional<std::pair<std::vector<float>, std::vector<float>>> read_pair(AnyArray y_true, AnyArray y_pred) {
    auto t = convert_f32(y_true.array, determine_type(y_true.array));
    auto p = t ? convert_f32(y_pred.array, determine_type(y_pred.array)) : std::nullopt;
    if (!t || !p) {
        PyErr_Clear();
        value_error("Invalid types passed");
        return std::nullopt;
    }
    return std::pair{std::move(*t), std::move(*p)};
}

const Signature LINEAR_REGRESSION = function_signature("py_model_perf_linear_regression", {"y_true_src", "y_pred_src"});

PyObject* linear_regression(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(LINEAR_REGRESSION, args, nargs, kwnames, [](AnyArray y_true, AnyArray y_pred) -> PyObject* {
        auto data = read_pair(y_true, y_pred);
        if (!data) return nullptr;
        auto rt = LinearRegressionRuntime::make(data->first, data->second);
        if (!rt) return fail(rt.error());
        return report_to_py_dict(rt->to_map());
    });
}

}  // namespace

const FunctionDef PY_MODEL_PERF_LINEAR_REGRESSION{&LINEAR_REGRESSION, linear_regression};

}  // namespace morvane::py
