// The registered functions and classes of each family, for the module table (module.cpp).
#pragma once

#include "py/module_def.hpp"

namespace morvane::py {

extern const FunctionDef PY_DATA_BIAS_ANALYZER;
extern const FunctionDef PY_DATA_BIAS_RUNTIME_CHECK;
extern const FunctionDef PY_DATA_BIAS_PARTIAL_CHECK;
extern const FunctionDef PY_DATA_BIAS_ANALYZER_EXPLICIT_SEG;
PyTypeObject* py_data_bias_streaming_type();

extern const FunctionDef PY_MODEL_BIAS_ANALYZER;
extern const FunctionDef PY_MODEL_BIAS_RUNTIME_CHECK;
extern const FunctionDef PY_MODEL_BIAS_PARTIAL_CHECK;
extern const FunctionDef PY_MODEL_BIAS_ANALYZER_EXPLICIT_SEG;
PyTypeObject* py_model_bias_streaming_type();

extern const FunctionDef PY_MODEL_PERF_LINEAR_REGRESSION;
extern const FunctionDef PY_MODEL_PERF_CLASS_RT_FULL;
extern const FunctionDef PY_MODEL_PERF_CLASS_RT_PARTIAL;
extern const FunctionDef PY_MODEL_PERF_CLASSIFICATION;
extern const FunctionDef PY_MODEL_PERF_LOG_REG_RT_PARTIAL;
extern const FunctionDef PY_MODEL_PERF_LOGISTIC_REGRESSION;
extern const FunctionDef PY_MODEL_PERF_LIN_REG_RT_FULL;
extern const FunctionDef PY_MODEL_PERF_LIN_REG_RT_PARTIAL;
extern const FunctionDef PY_MODEL_PERF_LOG_REG_RT_FULL;
PyTypeObject* binary_classification_streaming_type();
PyTypeObject* linear_regression_streaming_type();
PyTypeObject* logistic_regression_streaming_type();

extern const FunctionDef PY_COMPUTE_DRIFT_CATEGORICAL_DISTRIBTUION;
extern const FunctionDef PY_COMPUTE_DRIFT_CONTINUOUS_DISTRIBTUION;
PyTypeObject* py_categorical_data_drift_type();
PyTypeObject* py_continuous_data_drift_type();
PyTypeObject* py_streaming_continuous_data_drift_flush_type();
PyTypeObject* py_streaming_continuous_data_drift_decay_type();
PyTypeObject* py_streaming_categorical_data_drift_flush_type();
PyTypeObject* py_streaming_categorical_data_drift_decay_type();

}  // namespace morvane::py
