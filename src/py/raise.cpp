#include "py/raise.hpp"

#include <string>

#include "py/ref.hpp"

namespace morvane::py {

PyObject* panic_exception_type() {
    // Created once per process and kept alive for its life.
    static PyObject* TYPE = PyErr_NewExceptionWithDoc(
        "_morvane.PanicException", "A broken invariant inside the native module.", PyExc_BaseException, nullptr);
    return TYPE;
}

void set_panic(const char* message) {
    PyObject* type = panic_exception_type();
    PyErr_SetString(type ? type : PyExc_SystemError, message);
}

std::nullptr_t fail_with(PyObject* type, std::string_view message) {
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

std::nullptr_t type_mismatch(PyObject* value, std::string_view expected) {
    std::string m = "'";
    // The bare type name, as Python prints it: "ndarray", not "numpy.ndarray".
    m += _PyType_Name(Py_TYPE(value));
    m += "' object cannot be converted to '";
    m += expected;
    m += "'";
    return type_error(m);
}

std::nullptr_t fail(BiasError e) { return value_error(display(e)); }

std::nullptr_t fail(DriftError e) {
    const bool internal = e == DriftError::DateTimeError || e == DriftError::MalformedRuntimeData;
    return fail_with(internal ? PyExc_SystemError : PyExc_ValueError, display(e));
}

std::nullptr_t fail(DataBiasRuntimeError e) { return value_error(display(e)); }
std::nullptr_t fail(ModelBiasRuntimeError e) { return value_error(display(e)); }
std::nullptr_t fail(const InvalidMetricError& e) { return value_error(display(e)); }

std::nullptr_t fail(const ModelPerformanceError& e) {
    switch (e.kind) {
        case PerfKind::EmptyDataVector:
        case PerfKind::DataVectorLengthMismatch:
        case PerfKind::InvalidAnalysisReport: return value_error(display(e));
        default: return type_error(display(e));
    }
}

}  // namespace morvane::py
