// The array arguments of a batch method as views of the one array layer. When every
// argument is a one-dimensional numeric array that the element-wise conversion would
// read from typed memory, the core reads the arrays' own memory: nothing is copied, and
// no Python code runs between taking the views and reading them. Any other argument
// list converts element by element, in argument order, exactly as a Seq argument does.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/common/array_view.hpp"
#include "py/args.hpp"
#include "py/array_read.hpp"
#include "py/call.hpp"
#include "py/convert.hpp"

namespace morvane::py {

// One argument's values as E: 32-bit floats (any numeric dtype, through a double) or
// 32-bit integers (integer dtypes, each checked to be in range).
template <class E>
struct BatchValues {
    std::optional<ArrayView> view;  // the array's own memory
    std::vector<E> copy;            // or its elements, converted one by one
    ArrayView get() const { return view ? *view : view_of(copy); }
};

namespace batch_detail {

// The view E reads in place, or nullopt for an argument that converts element-wise
// (integer targets refuse float and bool arrays, whose elements __index__ refuses).
template <class E>
std::optional<ArrayView> typed_view(PyObject* o) {
    if (!PyArray_Check(o)) return std::nullopt;
    auto v = numeric_view(reinterpret_cast<PyArrayObject*>(o));
    if (!v || std::is_floating_point_v<E>) return v;
    const bool integer = visit_dtype(*v, [](auto x) { return IS_INT_ELEMENT<typename decltype(x)::value_type>; });
    return integer ? v : std::nullopt;
}

// OverflowError "out of range" when an element lies outside E, as the element-wise
// conversion raises it.
template <class E>
bool in_range(const ArrayView& v) {
    if constexpr (std::is_floating_point_v<E>) {
        return true;
    } else {
        static_assert(std::is_same_v<E, std::int32_t>);
        const bool ok = visit_dtype(v, [](auto x) {
            using T = typename decltype(x)::value_type;
            if constexpr (IS_INT_ELEMENT<T> && (sizeof(T) > sizeof(E) || (std::is_unsigned_v<T> && sizeof(T) == sizeof(E)))) {
                // An element outside E leaves bits above bit 31 after the offset: one OR over
                // the column in plain 64-bit integer operations, which vectorise on any x86-64.
                constexpr std::uint64_t OFFSET = std::is_signed_v<T> ? std::uint64_t{1} << 31 : 0;
                constexpr int SHIFT = std::is_signed_v<T> ? 32 : 31;
                return with_elements<T>(x.data, x.stride, x.size, [](const auto& y) {
                    std::uint64_t over = 0;
                    for (std::size_t i = 0; i < y.size; ++i)
                        over |= (static_cast<std::uint64_t>(static_cast<std::int64_t>(y[i])) + OFFSET) >> SHIFT;
                    return over == 0;
                });
            }
            return true;
        });
        if (!ok) overflow_error(OUT_OF_RANGE);
        return ok;
    }
}

inline bool to_seq(PyObject* o, std::vector<float>& out) { return to_f32_seq(o, out); }
inline bool to_seq(PyObject* o, std::vector<std::int32_t>& out) { return to_i32_seq(o, out); }

}  // namespace batch_detail

// Reads the arguments (objects[k] for parameter sig.names[k]) into `out`; false with the
// error of the first argument that fails, as the binder raises it.
template <class E, std::size_t N>
bool read_batch(const Signature& sig, const std::array<PyObject*, N>& objects, std::array<BatchValues<E>, N>& out) {
    using namespace batch_detail;
    std::array<std::optional<ArrayView>, N> views;
    bool all = true;
    for (std::size_t k = 0; k < N; ++k) all = all && (views[k] = typed_view<E>(objects[k])).has_value();
    if (all) {
        std::size_t held = 0;
        for (std::size_t k = 0; k < N; ++k) {
            // The room the earlier arguments' copies and this one would hold together.
            held += views[k]->length;
            reserve_as_copy(held, sizeof(E));
            if (!in_range<E>(*views[k])) return false;
            out[k].view = views[k];
        }
        return true;
    }
    for (std::size_t k = 0; k < N; ++k)
        if (!to_seq(objects[k], out[k].copy)) {
            wrap_argument_error(sig.names[k]);
            return false;
        }
    return true;
}

}  // namespace morvane::py
