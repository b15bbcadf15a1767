// The model-bias family's registered functions and classes.
#pragma once

#include "py/module_def.hpp"

namespace morvane::py {

extern const FunctionDef PY_MODEL_BIAS_ANALYZER;
extern const FunctionDef PY_MODEL_BIAS_RUNTIME_CHECK;
extern const FunctionDef PY_MODEL_BIAS_PARTIAL_CHECK;
extern const FunctionDef PY_MODEL_BIAS_ANALYZER_EXPLICIT_SEG;
PyTypeObject* py_model_bias_streaming_type();

}  // namespace morvane::py
