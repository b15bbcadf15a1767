// Tail probabilities of the package's tests (normal, chi-square, Student's t, hypergeometric).
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::native {
void bind_tails(nanobind::module_& m);
}
