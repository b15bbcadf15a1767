// The drift family's registered functions and classes.
#pragma once

#include "py/module_def.hpp"

namespace morvane::py {

extern const FunctionDef PY_COMPUTE_DRIFT_CATEGORICAL_DISTRIBTUION;
extern const FunctionDef PY_COMPUTE_DRIFT_CONTINUOUS_DISTRIBTUION;

PyTypeObject* py_categorical_data_drift_type();
PyTypeObject* py_continuous_data_drift_type();
PyTypeObject* py_streaming_continuous_data_drift_flush_type();
PyTypeObject* py_streaming_continuous_data_drift_decay_type();
PyTypeObject* py_streaming_categorical_data_drift_flush_type();
PyTypeObject* py_streaming_categorical_data_drift_decay_type();

}  // namespace morvane::py
