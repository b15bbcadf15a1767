// A Python class owning one native state value, with the shared/exclusive borrow flag
// that refuses overlapping (re-entrant) use.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <vector>

#include "py/call.hpp"

namespace morvane::py {

// One method or read-only attribute of a class, in the order the class presents them.
struct MethodEntry {
    const Signature* sig;  // name and docstring; parameters for fastcall methods
    PyCFunction impl;  // METH_NOARGS, or a fastcall-with-keywords function cast
    int flags;
};
struct GetterEntry {
    const char* name;
    getter get;
    const char* doc;  // nullptr for none
};

template <class F>
MethodEntry fastcall(const Signature& sig, F* f) {
    return {&sig, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS};
}
inline MethodEntry noargs(const Signature& sig, PyCFunction f) { return {&sig, f, METH_NOARGS}; }

struct ClassDef {
    const char* name;  // the bare class name
    const Signature* ctor;  // class_signature: text signature and documentation
    newfunc tp_new;
    destructor tp_dealloc;
    Py_ssize_t basicsize;
    std::vector<MethodEntry> methods;
    std::vector<GetterEntry> getters;
};

// Creates the type object (once; it lives for the process).
PyTypeObject* create_type(const ClassDef& def);

enum class Access { Shared, Exclusive };

template <class State>
struct Instance {
    PyObject_HEAD
    int borrow;  // > 0: shared borrows; -1: exclusive
    alignas(State) unsigned char storage[sizeof(State)];
    State& state() { return *std::launder(reinterpret_cast<State*>(storage)); }
};

// Borrow guard: released on every path.
template <class State>
class Borrow {
public:
    Borrow(Instance<State>* o, Access a) : o_(o) {
        if (a == Access::Exclusive) {
            if (o->borrow != 0) {
                PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
                o_ = nullptr;
                return;
            }
            o->borrow = -1;
        } else {
            if (o->borrow < 0) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                o_ = nullptr;
                return;
            }
            ++o->borrow;
        }
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() {
        if (o_) o_->borrow = o_->borrow < 0 ? 0 : o_->borrow - 1;
    }
    explicit operator bool() const { return o_ != nullptr; }

private:
    Instance<State>* o_;
};

template <class State>
struct Class {
    static inline PyTypeObject* type = nullptr;

    static PyTypeObject* create(const ClassDef& def) {
        if (!type) type = create_type(def);
        return type;
    }

    static void dealloc(PyObject* self) {
        PyTypeObject* tp = Py_TYPE(self);
        reinterpret_cast<Instance<State>*>(self)->state().~State();
        tp->tp_free(self);
        Py_DECREF(tp);
    }

    static ClassDef def(const char* name, const Signature& ctor, newfunc tp_new, std::vector<MethodEntry> methods,
                        std::vector<GetterEntry> getters = {}) {
        return {name, &ctor, tp_new, &dealloc, sizeof(Instance<State>), std::move(methods), std::move(getters)};
    }

    // tp_new: body(converted args...) -> std::optional<State> (nullopt with an error
    // set) or std::expected<State, E>.
    template <class F>
    static PyObject* construct(const Signature& sig, PyTypeObject* tp, PyObject* args, PyObject* kwargs, F&& body) {
        return guard([&]() -> PyObject* {
            Slots slots;
            if (!bind(sig, args, kwargs, slots)) return nullptr;
            typename Params<std::remove_cvref_t<F>>::type converted;
            if (!convert_slots(sig, slots, converted)) return nullptr;
            std::optional<State> state = as_optional(std::apply(body, std::move(converted)));
            if (!state) return nullptr;
            PyObject* self = tp->tp_alloc(tp, 0);
            if (!self) return nullptr;
            auto* inst = reinterpret_cast<Instance<State>*>(self);
            inst->borrow = 0;
            new (inst->storage) State(std::move(*state));
            return self;
        });
    }

    // A method taking arguments: receiver check, borrow, conversion, body(state, args...).
    template <Access A, class F>
    static PyObject* method(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, F&& body) {
        return guard([&]() -> PyObject* {
            Instance<State>* inst = receiver(self, sig);
            if (!inst) return nullptr;
            Slots slots;
            if (!bind(sig, args, nargs, kwnames, slots)) return nullptr;
            Borrow<State> borrow(inst, A);
            if (!borrow) return nullptr;
            typename TailParams<std::remove_cvref_t<F>>::type converted;
            if (!convert_slots(sig, slots, converted)) return nullptr;
            return std::apply([&](auto&&... rest) { return body(inst->state(), std::forward<decltype(rest)>(rest)...); },
                              std::move(converted));
        });
    }

    // A method without parameters, or an attribute getter: body(state).
    template <Access A, class F>
    static PyObject* simple(PyObject* self, const Signature* sig, F&& body) {
        return guard([&]() -> PyObject* {
            Instance<State>* inst = receiver(self, *sig);
            if (!inst) return nullptr;
            Borrow<State> borrow(inst, A);
            if (!borrow) return nullptr;
            return body(inst->state());
        });
    }

private:
    template <class T>
    static std::optional<State> as_optional(T&& r) {
        if constexpr (std::is_same_v<std::remove_cvref_t<T>, std::optional<State>>) {
            return std::forward<T>(r);
        } else {
            return take(std::forward<T>(r));
        }
    }

    static Instance<State>* receiver(PyObject* self, const Signature& sig) {
        if (!type || !PyObject_TypeCheck(self, type)) {
            type_error("descriptor '" + std::string(sig.name) + "' requires a '" + std::string(sig.cls) + "' object");
            return nullptr;
        }
        return reinterpret_cast<Instance<State>*>(self);
    }
};

}  // namespace morvane::py
