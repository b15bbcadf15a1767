// Owning reference to a Python object (one Py_DECREF on every path), and the scope that
// sets the pending exception aside.
#pragma once

#include <Python.h>

#include <utility>

namespace morvane::py {

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* o) { return Ref(o); }
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

// Sets the interpreter's pending exception aside, normalised, for the life of the
// scope, and puts it back when the scope ends unless it was taken: no path can lose or
// leak it.
class ErrorScope {
public:
    ErrorScope() {
        PyErr_Fetch(&type_, &value_, &trace_);
        if (type_) PyErr_NormalizeException(&type_, &value_, &trace_);
    }
    ErrorScope(const ErrorScope&) = delete;
    ErrorScope& operator=(const ErrorScope&) = delete;
    ~ErrorScope() {
        if (type_) PyErr_Restore(type_, value_, trace_);
    }

    // The exception object, borrowed; null when no exception was pending.
    PyObject* value() const { return value_; }
    // The exception object, owned by the caller; nothing is put back.
    Ref take() {
        Py_XDECREF(std::exchange(type_, nullptr));
        Py_XDECREF(std::exchange(trace_, nullptr));
        return Ref::steal(std::exchange(value_, nullptr));
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* trace_ = nullptr;
};

}  // namespace morvane::py
