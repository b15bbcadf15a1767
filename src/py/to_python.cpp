#include "py/to_python.hpp"

namespace morvane::py {

bool set_item(PyObject* dict, std::string_view key, PyObject* value) {
    Ref v = Ref::steal(value);
    if (!v) return false;
    Ref k = Ref::steal(to_py(key));
    if (!k) return false;
    return PyDict_SetItem(dict, k.get(), v.get()) == 0;
}

}  // namespace morvane::py
