// Results to Python (None, a metric dict or a report, or the error raised), and the
// binding of the monitor surface: the methods the five streaming monitors share,
// written once over the monitor type and its metric-list parser. A family's class table
// names them with the signatures of its class.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "core/common/check_report.hpp"
#include "core/common/errors.hpp"
#include "py/object.hpp"
#include "py/to_python.hpp"

namespace morvane::py {

// None, or the error raised.
inline PyObject* done(const Result<void, ModelPerformanceError>& r) {
    if (!r) return fail(r.error());
    Py_RETURN_NONE;
}

// A metric dict or a report, or the error raised.
template <class M, class E>
PyObject* dict_or_fail(const Result<MetricMap<M>, E>& r) {
    if (!r) return fail(r.error());
    return report_to_py_dict(*r);
}
template <class M, class E>
PyObject* report_or_fail(const Result<DriftReport<M>, E>& r) {
    if (!r) return fail(r.error());
    return into_py_dict(*r);
}

template <class Monitor, auto Parse>
struct MonitorMethods {
    using C = Class<Monitor>;
    using M = typename Monitor::Metric;

    // The batch methods take the monitor's arrays, of the given converter types.
    template <const Signature& SIG, class... Arrays>
    static PyObject* push_batch(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
        return C::template method<Access::Exclusive>(
            SIG, self, a, n, kw, [](Monitor& m, Arrays... arrays) -> PyObject* { return done(m.push_batch(arrays.values...)); });
    }
    template <const Signature& SIG, class... Arrays>
    static PyObject* reset_baseline(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
        return C::template method<Access::Exclusive>(SIG, self, a, n, kw, [](Monitor& m, Arrays... arrays) -> PyObject* {
            return done(m.reset_baseline(arrays.values...));
        });
    }

    template <const Signature& SIG>
    static PyObject* flush(PyObject* self, PyObject*) {
        return C::template simple<Access::Exclusive>(self, &SIG, [](Monitor& m) -> PyObject* {
            m.flush();
            Py_RETURN_NONE;
        });
    }

    template <const Signature& SIG>
    static PyObject* performance_snapshot(PyObject* self, PyObject*) {
        return C::template simple<Access::Shared>(self, &SIG, [](Monitor& m) { return dict_or_fail(m.performance_snapshot()); });
    }

    template <const Signature& SIG>
    static PyObject* drift_snapshot(PyObject* self, PyObject*) {
        return C::template simple<Access::Shared>(self, &SIG, [](Monitor& m) { return dict_or_fail(m.drift_snapshot()); });
    }

    template <const Signature& SIG>
    static PyObject* drift_report(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
        return C::template method<Access::Shared>(SIG, self, a, n, kw, [](Monitor& m, float threshold) -> PyObject* {
            return report_or_fail(m.drift_report(threshold));
        });
    }

    template <const Signature& SIG>
    static PyObject* drift_report_partial_metrics(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
        return C::template method<Access::Shared>(
            SIG, self, a, n, kw, [](Monitor& m, std::vector<std::string> names, float threshold) -> PyObject* {
                auto metrics = Parse(names);
                if (!metrics) return fail(metrics.error());
                return report_or_fail(m.drift_report(threshold, std::span<const M>(*metrics)));
            });
    }
};

// The signatures of the surface's methods of class CLS, named P_FLUSH, P_PERF, P_DRIFT,
// P_REPORT and P_PARTIAL.
#define MORVANE_MONITOR_SURFACE_SIGNATURES(P, CLS)                                   \
    const Signature P##_FLUSH = method_signature(CLS, "flush", {});                  \
    const Signature P##_PERF = method_signature(CLS, "performance_snapshot", {});    \
    const Signature P##_DRIFT = method_signature(CLS, "drift_snapshot", {});         \
    const Signature P##_REPORT = method_signature(CLS, "drift_report", {"drift_threshold"}); \
    const Signature P##_PARTIAL = method_signature(CLS, "drift_report_partial_metrics", {"metrics", "drift_threshold"});

}  // namespace morvane::py
