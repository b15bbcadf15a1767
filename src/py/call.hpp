// Calling an entry point: bind, convert each argument by the type the body asks for,
// run the body inside the panic guard.
#pragma once

#include <Python.h>

#include <expected>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/raise.hpp"

namespace morvane::py {

// The parameter types of a lambda body.
template <class F>
struct Params : Params<decltype(&F::operator())> {};
template <class C, class R, class... A>
struct Params<R (C::*)(A...) const> {
    using type = std::tuple<std::remove_cvref_t<A>...>;
};
// The parameter types after the first (a method body's first parameter is the state).
template <class F>
struct TailParams : TailParams<decltype(&F::operator())> {};
template <class C, class R, class S, class... A>
struct TailParams<R (C::*)(S, A...) const> {
    using type = std::tuple<std::remove_cvref_t<A>...>;
};

// Re-raise a conversion TypeError as "argument 'name': <message>"; other errors pass.
[[gnu::cold, gnu::noinline]] void wrap_argument_error(std::string_view name);

template <class Tuple>
bool convert_slots(const Signature& sig, const Slots& slots, Tuple& out) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        [[maybe_unused]] auto one = [&]<std::size_t K>(std::integral_constant<std::size_t, K>) {
            PyObject* o = slots[K];
            if (!o) return true;  // an omitted parameter keeps its default
            using T = std::tuple_element_t<K, Tuple>;
            if (From<T>::convert(o, std::get<K>(out))) return true;
            wrap_argument_error(sig.names[K]);
            return false;
        };
        return (one(std::integral_constant<std::size_t, I>{}) && ...);
    }(std::make_index_sequence<std::tuple_size_v<Tuple>>{});
}

// Module function: body(converted args...) -> PyObject* (nullptr with an error set).
template <class F>
PyObject* call(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, F&& body) {
    return guard([&]() -> PyObject* {
        Slots slots;
        if (!bind(sig, args, nargs, kwnames, slots)) return nullptr;
        typename Params<std::remove_cvref_t<F>>::type converted;
        if (!convert_slots(sig, slots, converted)) return nullptr;
        return std::apply(body, std::move(converted));
    });
}

// Unwraps a core result for the boundary: the value, or nullopt with the error raised.
template <class T, class E>
std::optional<T> take(std::expected<T, E>&& r) {
    if (r) return std::move(*r);
    fail(r.error());
    return std::nullopt;
}

}  // namespace morvane::py
