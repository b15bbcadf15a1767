// The array layer of the cores, in the way of NumPy's loops: a view of one-dimensional
// memory (data, byte stride, length, element type), one visitor that resolves the
// element type, and one accessor that reads elements through the stride (the
// contiguous case is a branch of its own, so that loops over it vectorise).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

namespace morvane {

enum class Dtype : std::uint8_t { Float64, Float32, Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64, Bool };

struct ArrayView {
    const char* data;
    std::ptrdiff_t stride;  // in bytes; elements may be unaligned
    std::size_t length;
    Dtype dtype;
};

// Typed elements of a view: contiguous, or at a byte stride.
template <class T, bool CONTIGUOUS>
struct Elements {
    using value_type = T;
    const char* data;
    std::ptrdiff_t stride;
    std::size_t size;
    T operator[](std::size_t i) const {
        T v;
        // Unsigned offsets in the contiguous case, so loops see consecutive elements.
        if constexpr (CONTIGUOUS) std::memcpy(&v, data + i * sizeof(T), sizeof(T));
        else std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof(T));
        return v;
    }
};

// Calls f with the contiguous accessor when the stride allows it, else the strided one.
template <class T, class F>
decltype(auto) with_elements(const char* data, std::ptrdiff_t stride, std::size_t size, F&& f) {
    if (stride == static_cast<std::ptrdiff_t>(sizeof(T))) return f(Elements<T, true>{data, stride, size});
    return f(Elements<T, false>{data, stride, size});
}

template <class T, class F>
decltype(auto) with_elements(const std::vector<T>& v, F&& f) {
    return f(Elements<T, true>{reinterpret_cast<const char*>(v.data()), sizeof(T), v.size()});
}

// Calls f(Elements<T, false>) with the view's element type T.
template <class F>
decltype(auto) visit_dtype(const ArrayView& v, F&& f) {
    auto as = [&]<class T>(T*) -> decltype(auto) { return f(Elements<T, false>{v.data, v.stride, v.length}); };
    switch (v.dtype) {
        case Dtype::Float64: return as(static_cast<double*>(nullptr));
        case Dtype::Float32: return as(static_cast<float*>(nullptr));
        case Dtype::Int8: return as(static_cast<std::int8_t*>(nullptr));
        case Dtype::UInt8: return as(static_cast<std::uint8_t*>(nullptr));
        case Dtype::Int16: return as(static_cast<std::int16_t*>(nullptr));
        case Dtype::UInt16: return as(static_cast<std::uint16_t*>(nullptr));
        case Dtype::Int32: return as(static_cast<std::int32_t*>(nullptr));
        case Dtype::UInt32: return as(static_cast<std::uint32_t*>(nullptr));
        case Dtype::Int64: return as(static_cast<std::int64_t*>(nullptr));
        case Dtype::UInt64: return as(static_cast<std::uint64_t*>(nullptr));
        case Dtype::Bool: break;
    }
    return as(static_cast<bool*>(nullptr));
}

// Elements [start, start + k) of a numeric view as E: as 32-bit floats each converted
// through a 64-bit float (as a NumPy scalar's __float__ converts it, then narrowed); as
// 32-bit integers from a view of integers the caller has checked to be in range.
template <class E>
void read_as(const ArrayView& v, std::size_t start, std::size_t k, E* out);
extern template void read_as<float>(const ArrayView&, std::size_t, std::size_t, float*);
extern template void read_as<std::int32_t>(const ArrayView&, std::size_t, std::size_t, std::int32_t*);

// Reads two views of the same length in consecutive blocks of E, in order: block(a, b)
// sees std::span<const E> of equal length. Two blocks of 8 KiB stay in the first-level
// cache while the caller reads them.
template <class E, class Block>
void for_blocks(const ArrayView& a, const ArrayView& b, Block&& block) {
    constexpr std::size_t BLOCK = 2048;
    E ab[BLOCK], bb[BLOCK];
    const std::size_t n = a.length;
    for (std::size_t start = 0; start < n; start += BLOCK) {
        const std::size_t k = n - start < BLOCK ? n - start : BLOCK;
        read_as(a, start, k, ab);
        read_as(b, start, k, bb);
        block(std::span<const E>(ab, k), std::span<const E>(bb, k));
    }
}

// The element type of a view over T.
template <class T>
inline constexpr Dtype DTYPE_OF = std::is_same_v<T, double>  ? Dtype::Float64
                                  : std::is_same_v<T, float> ? Dtype::Float32
                                                             : Dtype::Int32;

// A view of a vector's elements (double, float or int32).
template <class T>
ArrayView view_of(const std::vector<T>& v) {
    static_assert(std::is_same_v<T, double> || std::is_same_v<T, float> || std::is_same_v<T, std::int32_t>);
    return {reinterpret_cast<const char*>(v.data()), sizeof(T), v.size(), DTYPE_OF<T>};
}

// Calls f with the typed accessor of a view the caller knows to hold T.
template <class T, class F>
decltype(auto) with_elements(const ArrayView& v, F&& f) {
    return with_elements<T>(v.data, v.stride, v.length, f);
}

}  // namespace morvane
