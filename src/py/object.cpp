#include "py/object.hpp"

namespace morvane::py {

PyTypeObject* create_type(const ClassDef& def) {
    // Method and getter tables, the qualified name and the docstring must outlive the
    // type, which lives as long as the process: they are allocated once and kept.
    auto* methods = new std::vector<PyMethodDef>();
    for (const auto& m : def.methods)
        methods->push_back({m.sig->name.data(), m.impl, m.flags, m.sig->docstring.c_str()});
    methods->push_back({nullptr, nullptr, 0, nullptr});
    auto* getsets = new std::vector<PyGetSetDef>();
    for (const auto& g : def.getters) getsets->push_back({g.name, g.get, nullptr, g.doc, nullptr});
    getsets->push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    auto* qualified = new std::string(std::string("_morvane.") + def.name);

    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(def.tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(def.tp_dealloc)},
        {Py_tp_doc, const_cast<char*>(def.ctor->docstring.c_str())},
        {Py_tp_methods, methods->data()},
        {Py_tp_getset, getsets->data()},
        {0, nullptr},
    };
    PyType_Spec spec{qualified->c_str(), static_cast<int>(def.basicsize), 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace morvane::py
