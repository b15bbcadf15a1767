// The performance family's registered functions and classes.
#pragma once

#include "py/module_def.hpp"

namespace morvane::py {

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

}  // namespace morvane::py
