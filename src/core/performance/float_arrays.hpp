// The metric kernels read contiguous 32- and 64-bit float arrays in place: a 64-bit
// element is narrowed to 32 bits in a register, as read_as narrows it, instead of in a
// separate pass over a buffer. Every other array (strided, misaligned, integer) takes the
// buffered path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/common/array_view.hpp"

namespace morvane {

// Calls f(const T*) with the elements of a view of contiguous, aligned floats (T = float
// or double) and returns its result; returns 0, calling nothing, for any other view.
template <class F>
std::size_t with_float_data(const ArrayView& v, F&& f) {
    const auto fits = [&v](std::size_t size) {
        return v.stride == static_cast<std::ptrdiff_t>(size) && reinterpret_cast<std::uintptr_t>(v.data) % size == 0;
    };
    if (v.dtype == Dtype::Float64 && fits(sizeof(double))) return f(reinterpret_cast<const double*>(v.data));
    if (v.dtype == Dtype::Float32 && fits(sizeof(float))) return f(reinterpret_cast<const float*>(v.data));
    return 0;
}

// The same for two views: f(const T*, const P*) when both qualify.
template <class F>
std::size_t with_float_data(const ArrayView& a, const ArrayView& b, F&& f) {
    return with_float_data(a, [&](auto* x) { return with_float_data(b, [&](auto* y) { return f(x, y); }); });
}

// The view without its first k elements.
inline ArrayView drop_front(const ArrayView& v, std::size_t k) {
    return {v.data + static_cast<std::ptrdiff_t>(k) * v.stride, v.stride, v.length - k, v.dtype};
}

}  // namespace morvane
