// Error values -> Python exceptions, and the guard that keeps C++ exceptions from
// ever reaching the interpreter.
#pragma once

#include <Python.h>

#include <cstddef>
#include <new>
#include <stdexcept>
#include <string_view>

#include "core/common/errors.hpp"

namespace morvane::py {

// The exception a broken invariant ends a call with: a BaseException subclass that
// is not in the module namespace, so ordinary `except Exception` does not hide it.
PyObject* panic_exception_type();

// Set the Python exception for an error value; always returns nullptr so that a
// failing entry can `return fail(err);`.
[[gnu::cold, gnu::noinline]] std::nullptr_t fail(BiasError e);
[[gnu::cold, gnu::noinline]] std::nullptr_t fail(DriftError e);
[[gnu::cold, gnu::noinline]] std::nullptr_t fail(DataBiasRuntimeError e);
[[gnu::cold, gnu::noinline]] std::nullptr_t fail(ModelBiasRuntimeError e);
[[gnu::cold, gnu::noinline]] std::nullptr_t fail(const ModelPerformanceError& e);
[[gnu::cold, gnu::noinline]] std::nullptr_t fail(const InvalidMetricError& e);

[[gnu::cold, gnu::noinline]] std::nullptr_t fail_with(PyObject* type, std::string_view message);
inline std::nullptr_t type_error(std::string_view m) { return fail_with(PyExc_TypeError, m); }
inline std::nullptr_t value_error(std::string_view m) { return fail_with(PyExc_ValueError, m); }
inline std::nullptr_t overflow_error(std::string_view m) { return fail_with(PyExc_OverflowError, m); }

inline constexpr std::string_view OUT_OF_RANGE = "out of range integral type conversion attempted";
inline constexpr std::string_view HETEROGENEOUS_TYPES = "Data passed in is of hetergeneous types";

// "'<type>' object cannot be converted to '<expected>'"
[[gnu::cold, gnu::noinline]] std::nullptr_t type_mismatch(PyObject* value, std::string_view expected);

[[gnu::cold, gnu::noinline]] void set_panic(const char* message);

// Runs one entry point: any C++ exception becomes PanicException with its message,
// and an exhausted allocator becomes MemoryError, instead of terminating the process.
template <class F>
PyObject* guard(F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown panic");
    }
    return nullptr;
}

// Same for entries that return an int status (setters, init).
template <class F>
int guard_status(F&& f) noexcept {
    PyObject* r = guard([&]() -> PyObject* { return f() == 0 ? Py_None : nullptr; });
    return r ? 0 : -1;
}

}  // namespace morvane::py
