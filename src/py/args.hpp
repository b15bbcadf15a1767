// Signature records and the binder: positional and keyword arguments onto parameter
// slots, with the interpreter-style TypeErrors, before any conversion happens.
#pragma once

#include <Python.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace morvane::py {

// One callable's parameters. A parameter written "name=default" is optional and shows
// its default in the text signature; the others are required, counted from the left.
struct Signature {
    // The docstring is rendered by the three factories below.
    Signature(const char* cls, const char* name, std::vector<std::string> params);

    std::string_view cls;  // owning class, empty for module functions
    std::string_view name;  // "__new__" for constructors
    std::vector<std::string> params;  // as written, defaults included
    std::vector<std::string> names;  // bare parameter names
    std::size_t required;
    std::string docstring;  // "<signature>\n--\n\n<doc>", the layout inspect understands

    // "py_fn()" or "PyClass.method()": how binding errors name the callable.
    std::string display_name() const;
};

// Module function: "name(a, b)"; method: "name($self, a, b)"; class: "Class(a, b)".
Signature function_signature(const char* name, std::vector<std::string> params, const char* doc = "");
Signature method_signature(const char* cls, const char* name, std::vector<std::string> params, const char* doc = "");
Signature class_signature(const char* cls, std::vector<std::string> params, const char* doc = "");

inline constexpr std::size_t MAX_PARAMS = 12;
using Slots = std::array<PyObject*, MAX_PARAMS>;  // borrowed; nullptr where not given

// Vectorcall form: args[0..nargs) positional, then one value per name in kwnames.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Slots& out);
// Classic form (tp_new): a tuple and an optional dict.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Slots& out);

}  // namespace morvane::py
