// Declared data-quality rules counted over a table's columns.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::native {
void bind_quality(nanobind::module_& m);
}
