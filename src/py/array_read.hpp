// Direct reads of typed array memory: the fast path beside element-wise conversion.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <type_traits>
#include <vector>

#include "core/common/array_view.hpp"
#include "py/numpy.hpp"

namespace morvane::py {

// The view of a one-dimensional array of native byte order whose dtype is float32/64, a
// fixed-size integer or bool; nullopt for every other array, which then takes the
// element-wise path.
inline std::optional<ArrayView> numeric_view(PyArrayObject* a) {
    if (PyArray_NDIM(a) != 1 || !PyArray_ISNOTSWAPPED(a)) return std::nullopt;
    Dtype dtype;
    switch (PyArray_TYPE(a)) {
        case NPY_DOUBLE: dtype = Dtype::Float64; break;
        case NPY_FLOAT: dtype = Dtype::Float32; break;
        case NPY_BYTE: dtype = Dtype::Int8; break;
        case NPY_UBYTE: dtype = Dtype::UInt8; break;
        case NPY_SHORT: dtype = Dtype::Int16; break;
        case NPY_USHORT: dtype = Dtype::UInt16; break;
        case NPY_INT: dtype = Dtype::Int32; break;
        case NPY_UINT: dtype = Dtype::UInt32; break;
        case NPY_LONG:
        case NPY_LONGLONG: dtype = Dtype::Int64; break;
        case NPY_ULONG:
        case NPY_ULONGLONG: dtype = Dtype::UInt64; break;
        case NPY_BOOL: dtype = Dtype::Bool; break;
        default: return std::nullopt;
    }
    return ArrayView{PyArray_BYTES(a), PyArray_STRIDE(a, 0), static_cast<std::size_t>(PyArray_DIM(a, 0)), dtype};
}

// Calls f with the typed elements (strided accessor) of an array numeric_view reads, and
// returns true; returns false, without calling f, for every other array.
template <class F>
bool visit_numeric(PyArrayObject* a, F&& f) {
    const auto view = numeric_view(a);
    if (!view) return false;
    visit_dtype(*view, f);
    return true;
}

// Fills `out` with the elements of an array numeric_view reads, each converted as its
// NumPy scalar's __float__ converts it (a C cast to double), then narrowed to E; returns
// false, reading nothing, for every other array.
template <class E>
bool copy_floats(PyArrayObject* a, std::vector<E>& out) {
    return visit_numeric(a, [&](auto view) {
        out.resize(view.size);
        for (std::size_t i = 0; i < view.size; ++i) out[i] = static_cast<E>(static_cast<double>(view[i]));
    });
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
