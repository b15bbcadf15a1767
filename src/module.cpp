// PyInit__morvane: the module object and the registration tables, in registration
// order. Families add their functions and classes here and nowhere else.
#include <Python.h>

#include <vector>

#include "bind/families.hpp"
#include "bind/families.hpp"
#include "bind/families.hpp"
#include "bind/families.hpp"
#include "py/module_def.hpp"
#include "py/numpy.hpp"
#include "py/raise.hpp"
#include "py/ref.hpp"

namespace morvane::py {
namespace {

const FunctionDef* const FUNCTIONS[] = {
    &PY_DATA_BIAS_ANALYZER,
    &PY_DATA_BIAS_RUNTIME_CHECK,
    &PY_DATA_BIAS_PARTIAL_CHECK,
    &PY_DATA_BIAS_ANALYZER_EXPLICIT_SEG,
    &PY_MODEL_BIAS_ANALYZER,
    &PY_MODEL_BIAS_RUNTIME_CHECK,
    &PY_MODEL_BIAS_PARTIAL_CHECK,
    &PY_MODEL_BIAS_ANALYZER_EXPLICIT_SEG,
    &PY_MODEL_PERF_LINEAR_REGRESSION,
    &PY_MODEL_PERF_CLASS_RT_FULL,
    &PY_MODEL_PERF_CLASS_RT_PARTIAL,
    &PY_MODEL_PERF_CLASSIFICATION,
    &PY_MODEL_PERF_LOG_REG_RT_PARTIAL,
    &PY_MODEL_PERF_LOGISTIC_REGRESSION,
    &PY_MODEL_PERF_LIN_REG_RT_FULL,
    &PY_MODEL_PERF_LIN_REG_RT_PARTIAL,
    &PY_MODEL_PERF_LOG_REG_RT_FULL,
    &PY_COMPUTE_DRIFT_CATEGORICAL_DISTRIBTUION,
    &PY_COMPUTE_DRIFT_CONTINUOUS_DISTRIBTUION,
};

// name, factory
struct ClassEntry {
    const char* name;
    TypeFactory type;
};
const std::vector<ClassEntry> CLASSES = {
    {"PyCategoricalDataDrift", py_categorical_data_drift_type},
    {"PyContinuousDataDrift", py_continuous_data_drift_type},
    {"PyStreamingContinuousDataDriftFlush", py_streaming_continuous_data_drift_flush_type},
    {"PyStreamingContinuousDataDriftDecay", py_streaming_continuous_data_drift_decay_type},
    {"PyStreamingCategoricalDataDriftFlush", py_streaming_categorical_data_drift_flush_type},
    {"PyStreamingCategoricalDataDriftDecay", py_streaming_categorical_data_drift_decay_type},
    {"PyDataBiasStreaming", py_data_bias_streaming_type},
    {"PyModelBiasStreaming", py_model_bias_streaming_type},
    {"PyBinaryClassificationStreaming", binary_classification_streaming_type},
    {"PyLinearRegressionStreaming", linear_regression_streaming_type},
    {"PyLogisticRegressionStreaming", logistic_regression_streaming_type},
};

PyModuleDef MODULE_DEF = {PyModuleDef_HEAD_INIT, "_morvane", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* create_module() {
    if (!import_numpy()) return nullptr;
    // The method table must outlive the module: built once, kept for the process.
    static std::vector<PyMethodDef> methods = [] {
        std::vector<PyMethodDef> m;
        for (const FunctionDef* f : FUNCTIONS)
            m.push_back({f->sig->name.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f->impl)),
                         METH_FASTCALL | METH_KEYWORDS, f->sig->docstring.c_str()});
        m.push_back({nullptr, nullptr, 0, nullptr});
        return m;
    }();
    MODULE_DEF.m_methods = methods.data();
    Ref module = Ref::steal(PyModule_Create(&MODULE_DEF));
    if (!module) return nullptr;
    for (const ClassEntry& c : CLASSES) {
        PyTypeObject* type = c.type();
        if (!type) return nullptr;
        if (PyModule_AddObjectRef(module.get(), c.name, reinterpret_cast<PyObject*>(type)) < 0) return nullptr;
    }
    if (!panic_exception_type()) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace morvane::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__morvane() {
    // One module per process: a second initialisation returns the same object.
    static PyObject* MODULE = nullptr;
    return morvane::py::guard([]() -> PyObject* {
        if (!MODULE) MODULE = morvane::py::create_module();
        Py_XINCREF(MODULE);
        return MODULE;
    });
}
