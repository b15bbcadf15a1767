// The performance family's registered functions and classes.
#pragma once

#include "py/module_def.hpp"

namespace morvane::py {

extern const FunctionDef PY_MODEL_PERF_LINEAR_REGRESSION;

}  // namespace morvane::py
