#include "py/call.hpp"

#include <string>

#include "py/ref.hpp"

namespace morvane::py {

void wrap_argument_error(std::string_view name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    Ref original = ErrorScope().take();
    Ref text = Ref::steal(original ? PyObject_Str(original.get()) : nullptr);
    const char* msg = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!msg) {
        PyErr_Clear();
        msg = "";
    }
    std::string m = "argument '";
    m += name;
    m += "': ";
    m += msg;
    type_error(m);
    // Keep the original error as the cause, as Python does for chained conversions.
    if (original) {
        const ErrorScope wrapped;
        if (wrapped.value()) PyException_SetCause(wrapped.value(), original.release());
    }
}

}  // namespace morvane::py
