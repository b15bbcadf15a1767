#include "py/call.hpp"

#include <string>

#include "py/ref.hpp"

namespace morvane::py {

void wrap_argument_error(std::string_view name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
    Ref text = Ref::steal(v ? PyObject_Str(v.get()) : nullptr);
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
    if (v) {
        PyObject *nt, *nv, *ntb;
        PyErr_Fetch(&nt, &nv, &ntb);
        PyErr_NormalizeException(&nt, &nv, &ntb);
        if (nv) PyException_SetCause(nv, v.release());
        PyErr_Restore(nt, nv, ntb);
    }
}

}  // namespace morvane::py
