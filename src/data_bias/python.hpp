// The data-bias family's registered functions and classes.
#pragma once

#include "py/module_def.hpp"

namespace morvane::py {

extern const FunctionDef PY_DATA_BIAS_ANALYZER;
extern const FunctionDef PY_DATA_BIAS_RUNTIME_CHECK;
extern const FunctionDef PY_DATA_BIAS_PARTIAL_CHECK;
extern const FunctionDef PY_DATA_BIAS_ANALYZER_EXPLICIT_SEG;

PyTypeObject* py_data_bias_streaming_type();

}  // namespace morvane::py
