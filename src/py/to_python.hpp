// Native results -> Python objects: 32-bit metric values widen exactly.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>

#include "core/common/metrics.hpp"
#include "py/raise.hpp"
#include "py/ref.hpp"
#include "core/common/check_report.hpp"

namespace morvane::py {

inline PyObject* to_py(float v) { return PyFloat_FromDouble(static_cast<double>(v)); }
inline PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_py(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// A list of floats, in order.
template <class T>
PyObject* to_py_list(std::span<const T> values) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = to_py(values[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// Sets d[key] = value, consuming the new reference to value.
bool set_item(PyObject* dict, std::string_view key, PyObject* value);

// {metric name: value} for every entry of a metric map. Entries are written in
// enumeration order, so the dict's order is stable from run to run.
template <class M>
PyObject* report_to_py_dict(const MetricMap<M>& map) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t i = 0; i < METRIC_COUNT<M>; ++i) {
        const auto m = static_cast<M>(i);
        const auto it = map.find(m);
        if (it == map.end()) continue;
        if (!set_item(dict.get(), metric_name(m), to_py(it->second))) return nullptr;
    }
    return dict.release();
}

// {"passed": True} or {"passed": False, "failed_report": [{"metric", "driftError"}, ...]}.
template <class M>
PyObject* into_py_dict(const DriftReport<M>& report) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    if (!set_item(dict.get(), "passed", PyBool_FromLong(report.passed))) return nullptr;
    if (report.passed) return dict.release();
    if (!report.failed_report) throw std::logic_error("a failed drift report carries no failed metrics");
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& [deviation, metric] : *report.failed_report) {
        Ref entry = Ref::steal(PyDict_New());
        if (!entry) return nullptr;
        if (!set_item(entry.get(), "metric", to_py(metric_name(metric))) ||
            !set_item(entry.get(), "driftError", to_py(deviation)))
            return nullptr;
        if (PyList_Append(list.get(), entry.get()) < 0) return nullptr;
    }
    if (!set_item(dict.get(), "failed_report", list.release())) return nullptr;
    return dict.release();
}

}  // namespace morvane::py
