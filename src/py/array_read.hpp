// Direct reads of typed array memory: the fast path beside element-wise conversion.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "py/numpy.hpp"

namespace morvane::py {

// A strided view of one-dimensional array memory; elements may be unaligned.
template <class T>
struct Strided {
    using value_type = T;
    const char* data;
    npy_intp stride;
    npy_intp size;
    T operator[](npy_intp i) const {
        T v;
        std::memcpy(&v, data + i * stride, sizeof(T));
        return v;
    }
};

// Calls f(Strided<T>) for a one-dimensional array of native byte order whose dtype is
// float32/64, a fixed-size integer or bool, and returns true; returns false (without
// calling f) for every other array, which then takes the element-wise path.
template <class F>
bool visit_numeric(PyArrayObject* a, F&& f) {
    if (PyArray_NDIM(a) != 1 || !PyArray_ISNOTSWAPPED(a)) return false;
    const char* data = PyArray_BYTES(a);
    const npy_intp stride = PyArray_STRIDE(a, 0);
    const npy_intp n = PyArray_DIM(a, 0);
    auto call = [&]<class T>(T*) { f(Strided<T>{data, stride, n}); };
    switch (PyArray_TYPE(a)) {
        case NPY_DOUBLE: call(static_cast<double*>(nullptr)); return true;
        case NPY_FLOAT: call(static_cast<float*>(nullptr)); return true;
        case NPY_BYTE: call(static_cast<std::int8_t*>(nullptr)); return true;
        case NPY_UBYTE: call(static_cast<std::uint8_t*>(nullptr)); return true;
        case NPY_SHORT: call(static_cast<std::int16_t*>(nullptr)); return true;
        case NPY_USHORT: call(static_cast<std::uint16_t*>(nullptr)); return true;
        case NPY_INT: call(static_cast<std::int32_t*>(nullptr)); return true;
        case NPY_UINT: call(static_cast<std::uint32_t*>(nullptr)); return true;
        case NPY_LONG:
        case NPY_LONGLONG: call(static_cast<std::int64_t*>(nullptr)); return true;
        case NPY_ULONG:
        case NPY_ULONGLONG: call(static_cast<std::uint64_t*>(nullptr)); return true;
        case NPY_BOOL: call(static_cast<bool*>(nullptr)); return true;
        default: return false;
    }
}

// The element-wise reading reserves room for its whole copy before it reads one element,
// so an array too large to copy fails at once with MemoryError. A typed path that needs
// less memory, or none, reserves and releases the same room first: it fails alike instead
// of reading through a huge array (a broadcast view, say) for minutes. Untouched room
// costs only its mapping. Throws std::bad_alloc, which the entry guard raises as MemoryError.
inline void reserve_as_copy(std::size_t count, std::size_t element_size) {
    if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / element_size) throw std::bad_alloc();
    // The interpreter's allocator, which the compiler cannot elide as it may a malloc/free pair.
    void* room = PyMem_RawMalloc(count * element_size);
    if (!room) throw std::bad_alloc();
    PyMem_RawFree(room);
}

template <class T>
inline constexpr bool IS_FLOAT_ELEMENT = std::is_floating_point_v<T>;
template <class T>
inline constexpr bool IS_INT_ELEMENT = std::is_integral_v<T> && !std::is_same_v<T, bool>;

}  // namespace morvane::py
