#include "py/args.hpp"

#include "py/raise.hpp"

namespace morvane::py {

namespace {

std::string join_quoted(const std::vector<std::string_view>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

std::string plural(std::size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

bool bind_core(const Signature& sig, PyObject* const* pos, std::size_t npos, PyObject* const* kw_names,
               PyObject* const* kw_values, std::size_t nkw, Slots& out) {
    const std::size_t n = sig.names.size();
    out.fill(nullptr);
    if (npos > n) {
        std::string m = sig.display_name() + " takes ";
        if (sig.required < n)
            m += "from " + std::to_string(sig.required) + " to " + std::to_string(n) + " positional arguments";
        else
            m += plural(n, "positional argument");
        m += " but " + std::to_string(npos) + (npos == 1 ? " was given" : " were given");
        type_error(m);
        return false;
    }
    for (std::size_t i = 0; i < npos; ++i) out[i] = pos[i];
    for (std::size_t k = 0; k < nkw; ++k) {
        PyObject* key = kw_names[k];
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
        if (!utf8) {
            PyErr_Clear();
            type_error(sig.display_name() + " keywords must be strings");
            return false;
        }
        const std::string_view kname(utf8, static_cast<std::size_t>(len));
        std::size_t slot = n;
        for (std::size_t i = 0; i < n; ++i)
            if (sig.names[i] == kname) slot = i;
        if (slot == n) {
            type_error(sig.display_name() + " got an unexpected keyword argument '" + std::string(kname) + "'");
            return false;
        }
        if (out[slot]) {
            type_error(sig.display_name() + " got multiple values for argument '" + std::string(kname) + "'");
            return false;
        }
        out[slot] = kw_values[k];
    }
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!out[i]) missing.push_back(sig.names[i]);
    if (!missing.empty()) {
        type_error(sig.display_name() + " missing " + plural(missing.size(), "required positional argument") +
                   ": " + join_quoted(missing));
        return false;
    }
    return true;
}

}  // namespace

Signature::Signature(const char* cls_, const char* name_, std::vector<std::string> params_)
    : cls(cls_ ? cls_ : ""), name(name_), params(std::move(params_)) {
    required = 0;
    bool seen_default = false;
    for (const auto& p : params) {
        const auto eq = p.find('=');
        names.push_back(p.substr(0, eq));
        if (eq == std::string::npos && !seen_default)
            ++required;
        else
            seen_default = true;
    }
    if (names.size() > MAX_PARAMS) throw std::logic_error("too many parameters in a signature");
}

std::string Signature::display_name() const {
    std::string out;
    if (!cls.empty()) {
        out += cls;
        out += '.';
    }
    out += name;
    out += "()";
    return out;
}

namespace {

std::string render(std::string_view head, const std::vector<std::string>& params, bool self, const char* doc) {
    std::string out(head);
    out += '(';
    bool first = true;
    if (self) {
        out += "$self";
        first = false;
    }
    for (const auto& p : params) {
        if (!first) out += ", ";
        out += p;
        first = false;
    }
    out += ")\n--\n\n";
    out += doc;
    return out;
}

}  // namespace

Signature function_signature(const char* name, std::vector<std::string> params, const char* doc) {
    Signature s(nullptr, name, std::move(params));
    s.docstring = render(name, s.params, false, doc);
    return s;
}

Signature method_signature(const char* cls, const char* name, std::vector<std::string> params, const char* doc) {
    Signature s(cls, name, std::move(params));
    s.docstring = render(name, s.params, true, doc);
    return s;
}

Signature class_signature(const char* cls, std::vector<std::string> params, const char* doc) {
    Signature s(cls, "__new__", std::move(params));
    s.docstring = render(cls, s.params, false, doc);
    return s;
}

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Slots& out) {
    const auto npos = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
    // The common call, every parameter by position and no keywords, needs no checks:
    // it is what per-element methods such as push see millions of times.
    if (!kwnames && npos == sig.names.size()) {
        for (std::size_t i = 0; i < npos; ++i) out[i] = args[i];
        return true;
    }
    const std::size_t nkw = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    PyObject* const* names = kwnames ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr;
    return bind_core(sig, args, npos, names, args + npos, nkw, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Slots& out) {
    const auto npos = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    PyObject* const* pos = npos ? &PyTuple_GET_ITEM(args, 0) : nullptr;
    std::vector<PyObject*> keys, values;
    if (kwargs) {
        PyObject *k, *v;
        Py_ssize_t i = 0;
        while (PyDict_Next(kwargs, &i, &k, &v)) {
            keys.push_back(k);
            values.push_back(v);
        }
    }
    return bind_core(sig, pos, npos, keys.data(), values.data(), keys.size(), out);
}

}  // namespace morvane::py
