// From-Python converters. `From<T>::convert(obj, out)` fills `out` or returns false
// with a Python error set. The binder wraps a TypeError with "argument 'name': ".
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/common/array_view.hpp"
#include "core/common/metric_tables.hpp"
#include "py/numpy.hpp"
#include "py/raise.hpp"
#include "py/ref.hpp"

namespace morvane::py {

template <class T>
struct From;

// A parameter with a default: absent means `D`; None is not absent and fails.
template <class T, auto D>
struct WithDefault {
    T value = D;
};
using Threshold = WithDefault<float, DEFAULT_THRESHOLD>;

// Any NumPy array, borrowed for the call ("PyUntypedArray").
struct AnyArray {
    PyArrayObject* array = nullptr;
    PyObject* object() const { return reinterpret_cast<PyObject*>(array); }
};

// A one-dimensional float64 array ("PyArray<T, D>"), read in place. Conversion accepts
// any layout; the entry then calls `require_contiguous` before reading `values()`,
// so a strided array fails after every argument has converted, with the bare message.
struct F64Array {
    PyArrayObject* array = nullptr;
    bool contiguous() const { return PyArray_IS_C_CONTIGUOUS(array); }
    // The array's memory as a view of the array layer, read in place at any alignment.
    ArrayView view() const {
        return {PyArray_BYTES(array), PyArray_STRIDE(array, 0), static_cast<std::size_t>(PyArray_DIM(array, 0)),
                Dtype::Float64};
    }
    std::span<const double> values() const {
        const auto n = static_cast<std::size_t>(PyArray_SIZE(array));
        if (PyArray_ISALIGNED(array) || n == 0) return {static_cast<const double*>(PyArray_DATA(array)), n};
        // A contiguous view at an odd byte offset holds no readable doubles: read a copy.
        aligned.resize(n);
        std::memcpy(aligned.data(), PyArray_DATA(array), n * sizeof(double));
        return aligned;
    }
    mutable std::vector<double> aligned;  // the copy of an unaligned array
};

// TypeError "The given array is not contiguous" unless every array is.
template <class... A>
bool require_contiguous(const A&... arrays) {
    if ((arrays.contiguous() && ...)) return true;
    type_error("The given array is not contiguous");
    return false;
}

using FloatDict = std::unordered_map<std::string, float>;

// Sequences (list, tuple, one-dimensional array; not str) converted element-wise.
template <class E>
struct Seq {
    std::vector<E> values;
};

// The common front of every sequence converter: str refused, non-sequences refused,
// and the length used to size the output.
bool sequence_front(PyObject* o, Py_ssize_t& reserve);

// Scalars.
bool to_f64(PyObject* o, double& out);
bool to_f32(PyObject* o, float& out);
bool to_i64(PyObject* o, std::int64_t& out);
bool to_u64(PyObject* o, std::uint64_t& out);
bool to_i32(PyObject* o, std::int32_t& out);
bool to_i8(PyObject* o, std::int8_t& out);
bool to_bool(PyObject* o, bool& out);
bool to_string(PyObject* o, std::string& out);

template <> struct From<double> { static bool convert(PyObject* o, double& v) { return to_f64(o, v); } };
template <> struct From<float> { static bool convert(PyObject* o, float& v) { return to_f32(o, v); } };
template <> struct From<std::int64_t> { static bool convert(PyObject* o, std::int64_t& v) { return to_i64(o, v); } };
template <> struct From<std::uint64_t> { static bool convert(PyObject* o, std::uint64_t& v) { return to_u64(o, v); } };
template <> struct From<std::int32_t> { static bool convert(PyObject* o, std::int32_t& v) { return to_i32(o, v); } };
template <> struct From<std::int8_t> { static bool convert(PyObject* o, std::int8_t& v) { return to_i8(o, v); } };
template <> struct From<std::string> { static bool convert(PyObject* o, std::string& v) { return to_string(o, v); } };

template <class T, auto D>
struct From<WithDefault<T, D>> {
    static bool convert(PyObject* o, WithDefault<T, D>& v) { return From<T>::convert(o, v.value); }
};

template <class T>
struct From<std::optional<T>> {
    static bool convert(PyObject* o, std::optional<T>& v) {
        if (o == Py_None) {
            v.reset();
            return true;
        }
        return From<T>::convert(o, v.emplace());
    }
};

// A borrowed Python object, unconverted.
struct Object {
    PyObject* object = nullptr;
};
template <> struct From<Object> {
    static bool convert(PyObject* o, Object& v) {
        v.object = o;
        return true;
    }
};

template <> struct From<AnyArray> { static bool convert(PyObject* o, AnyArray& v); };
template <> struct From<F64Array> { static bool convert(PyObject* o, F64Array& v); };
template <> struct From<FloatDict> { static bool convert(PyObject* o, FloatDict& v); };
template <> struct From<std::vector<std::string>> { static bool convert(PyObject* o, std::vector<std::string>& v); };

// Sequence of numbers with fast paths for lists of Python numbers and for
// one-dimensional numeric arrays; results and errors match element-wise conversion.
bool to_f32_seq(PyObject* o, std::vector<float>& out);
bool to_f64_seq(PyObject* o, std::vector<double>& out);
bool to_i32_seq(PyObject* o, std::vector<std::int32_t>& out);
bool to_i8_seq(PyObject* o, std::vector<std::int8_t>& out);

template <> struct From<Seq<float>> { static bool convert(PyObject* o, Seq<float>& v) { return to_f32_seq(o, v.values); } };
template <> struct From<Seq<double>> { static bool convert(PyObject* o, Seq<double>& v) { return to_f64_seq(o, v.values); } };
template <> struct From<Seq<std::int32_t>> { static bool convert(PyObject* o, Seq<std::int32_t>& v) { return to_i32_seq(o, v.values); } };
template <> struct From<Seq<std::int8_t>> { static bool convert(PyObject* o, Seq<std::int8_t>& v) { return to_i8_seq(o, v.values); } };

}  // namespace morvane::py
