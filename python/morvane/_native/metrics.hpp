// Metric values from profile statistics through the formulas `_morvane` uses.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::native {
void bind_metrics(nanobind::module_& m);
}
