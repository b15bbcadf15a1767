// Conversions shared by the drift classes: metric names, heuristic names, and the
// result containers that cross back into Python.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "drift/core_baseline.hpp"
#include "drift/core_metrics.hpp"
#include "py/call.hpp"
#include "py/to_python.hpp"

namespace morvane::py::drift {

// The paragraph every compute_drift docstring ends with.
#define MORVANE_DRIFT_TYPE_PARAGRAPH                                                                    \
    "`drift_type` must be one of `\"JensenShannon\"`, `\"PopulationStabilityIndex\"`,\n"                \
    "`\"WassersteinDistance\"` or `\"KullbackLeibler\"`."

// Every name parsed in order; nullopt with "Unsupported drift type" raised on the first unknown one.
inline std::optional<std::vector<DriftType>> parse_types(const std::vector<std::string>& names) {
    return take(parse_drift_types(names));
}
inline std::optional<DriftType> parse_type(const std::string& name) { return take(parse_drift_type(name)); }
// None selects no heuristic; unknown text raises "Unsupported drift type".
inline std::optional<std::optional<QuantileType>> parse_quantile(const std::optional<std::string>& text) {
    return take(coerce_quantile_type(text));
}

// A core step without a value: true, or false with its error raised.
inline bool done(Result<void, DriftError>&& r) {
    if (r) return true;
    fail(r.error());
    return false;
}

inline PyObject* float_list(std::span<const double> values) { return to_py_list(values); }

// {label: value} in the order given.
inline PyObject* label_dict(const std::vector<std::pair<std::string_view, double>>& entries) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [label, value] : entries)
        if (!set_item(dict.get(), label, to_py(value))) return nullptr;
    return dict.release();
}

}  // namespace morvane::py::drift
