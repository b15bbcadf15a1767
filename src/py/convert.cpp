#include "py/convert.hpp"

#include <algorithm>
#include <limits>

#include "py/array_read.hpp"

namespace morvane::py {

namespace {

// A sequence that is not a list, tuple or array may report any length: reserve no
// more than this up front and let the vector grow past it.
constexpr Py_ssize_t MAX_TRUSTED_RESERVE = 1 << 16;

bool index_to_i64(PyObject* o, std::int64_t& out) {
    Ref idx = Ref::borrow(o);
    if (!PyLong_Check(o)) {
        idx = Ref::steal(PyNumber_Index(o));
        if (!idx) return false;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
    if (overflow) {
        overflow_error(OUT_OF_RANGE);
        return false;
    }
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

template <class I>
bool narrow_int(std::int64_t v, I& out) {
    if (v < std::numeric_limits<I>::min() || v > std::numeric_limits<I>::max()) {
        overflow_error(OUT_OF_RANGE);
        return false;
    }
    out = static_cast<I>(v);
    return true;
}

// Element-wise conversion through the iteration protocol.
template <class E, class Conv>
bool iterate_convert(PyObject* o, std::vector<E>& out, Conv&& conv) {
    Ref it = Ref::steal(PyObject_GetIter(o));
    if (!it) return false;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        E v{};
        if (!conv(item.get(), v)) return false;
        out.push_back(v);
    }
    return !PyErr_Occurred();
}

// Lists are read by index, holding each item while it converts: an element's own
// conversion may mutate the list, exactly as it may under plain iteration.
template <class E, class Conv>
bool list_convert(PyObject* list, std::vector<E>& out, Conv&& conv) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
        E v{};
        if (!conv(item.get(), v)) return false;
        out.push_back(v);
    }
    return true;
}

template <class E, class Conv, class Fast>
bool sequence_convert(PyObject* o, std::vector<E>& out, Conv&& conv, Fast&& fast_array) {
    Py_ssize_t reserve = 0;
    if (!sequence_front(o, reserve)) return false;
    std::vector<E> result;
    result.reserve(static_cast<std::size_t>(reserve));
    bool ok;
    if (PyArray_Check(o) && fast_array(reinterpret_cast<PyArrayObject*>(o), result, ok)) {
        // handled by the typed path
    } else if (PyList_CheckExact(o)) {
        // A list subclass may define its own iteration, which element-wise reading honours.
        ok = list_convert(o, result, conv);
    } else {
        ok = iterate_convert(o, result, conv);
    }
    if (!ok) return false;
    out = std::move(result);
    return true;
}

// Typed reads for float targets: every numeric dtype, never failing.
template <class E>
bool float_array_fast(PyArrayObject* a, std::vector<E>& out, bool& ok) {
    ok = true;
    return copy_floats(a, out);
}

// Typed reads for integer targets: integer dtypes only (float and bool scalars are
// refused by __index__, so those arrays take the element-wise path for its message).
template <class E>
bool int_array_fast(PyArrayObject* a, std::vector<E>& out, bool& ok) {
    bool eligible = false;
    const bool visited = visit_numeric(a, [&](auto view) {
        using T = typename decltype(view)::value_type;
        if constexpr (IS_INT_ELEMENT<T>) {
            eligible = true;
            ok = true;
            out.resize(view.size);
            for (std::size_t i = 0; i < view.size; ++i) {
                const T v = view[i];
                if (!std::in_range<E>(v)) {
                    overflow_error(OUT_OF_RANGE);
                    ok = false;
                    return;
                }
                out[i] = static_cast<E>(v);
            }
        }
    });
    return visited && eligible;
}

bool float_list_item(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    return to_f64(o, out);
}

}  // namespace

// The common front of every sequence converter: str refused, non-sequences refused,
// and the length used to size the output.
bool sequence_front(PyObject* o, Py_ssize_t& reserve) {
    if (PyUnicode_Check(o)) {
        type_error("Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(o)) {
        type_mismatch(o, "Sequence");
        return false;
    }
    // Lists, tuples and arrays are sized by their storage, which a subclass's __len__
    // cannot misreport; any other sequence's own claim is trusted only so far.
    if (PyList_Check(o)) {
        reserve = PyList_GET_SIZE(o);
    } else if (PyTuple_Check(o)) {
        reserve = PyTuple_GET_SIZE(o);
    } else if (PyArray_Check(o)) {
        auto* a = reinterpret_cast<PyArrayObject*>(o);
        reserve = PyArray_NDIM(a) > 0 ? PyArray_DIM(a, 0) : 0;
    } else {
        reserve = PySequence_Size(o);
        if (reserve < 0) {
            PyErr_Clear();
            reserve = 0;
        }
        reserve = std::min(reserve, MAX_TRUSTED_RESERVE);
    }
    return true;
}

bool to_f64(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool to_f32(PyObject* o, float& out) {
    double d;
    if (!to_f64(o, d)) return false;
    out = static_cast<float>(d);
    return true;
}

bool to_i64(PyObject* o, std::int64_t& out) { return index_to_i64(o, out); }

bool to_u64(PyObject* o, std::uint64_t& out) {
    Ref idx = Ref::borrow(o);
    if (!PyLong_Check(o)) {
        idx = Ref::steal(PyNumber_Index(o));
        if (!idx) return false;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        overflow_error(OUT_OF_RANGE);
        return false;
    }
    out = v;
    return true;
}

bool to_i32(PyObject* o, std::int32_t& out) {
    std::int64_t v;
    return index_to_i64(o, v) && narrow_int(v, out);
}

bool to_i8(PyObject* o, std::int8_t& out) {
    std::int64_t v;
    return index_to_i64(o, v) && narrow_int(v, out);
}

bool to_bool(PyObject* o, bool& out) {
    if (PyBool_Check(o)) {
        out = o == Py_True;
        return true;
    }
    // NumPy's boolean scalar is not a bool subclass but carries the same meaning.
    if (PyArray_IsScalar(o, Bool)) {
        out = PyArrayScalar_VAL(o, Bool) != 0;
        return true;
    }
    type_mismatch(o, "PyBool");
    return false;
}

bool to_string(PyObject* o, std::string& out) {
    if (!PyUnicode_Check(o)) {
        type_mismatch(o, "PyString");
        return false;
    }
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &len);
    if (!s) return false;
    out.assign(s, static_cast<std::size_t>(len));
    return true;
}

bool From<AnyArray>::convert(PyObject* o, AnyArray& v) {
    if (!PyArray_Check(o)) {
        type_mismatch(o, "PyUntypedArray");
        return false;
    }
    v.array = reinterpret_cast<PyArrayObject*>(o);
    return true;
}

bool From<F64Array>::convert(PyObject* o, F64Array& v) {
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (!PyArray_Check(o) || PyArray_NDIM(a) != 1 || !PyArray_EquivTypenums(PyArray_TYPE(a), NPY_FLOAT64) ||
        !PyArray_ISNOTSWAPPED(a)) {
        type_mismatch(o, "PyArray<T, D>");
        return false;
    }
    v.array = a;
    return true;
}

bool From<FloatDict>::convert(PyObject* o, FloatDict& v) {
    if (!PyDict_Check(o)) {
        type_mismatch(o, "PyDict");
        return false;
    }
    // A snapshot of the items: a value's __float__ may mutate the dict.
    Ref items = Ref::steal(PyDict_Items(o));
    if (!items) return false;
    FloatDict result;
    result.reserve(static_cast<std::size_t>(PyList_GET_SIZE(items.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        std::string key;
        float value;
        if (!to_string(PyTuple_GET_ITEM(pair, 0), key) || !to_f32(PyTuple_GET_ITEM(pair, 1), value)) return false;
        result.insert_or_assign(std::move(key), value);
    }
    v = std::move(result);
    return true;
}

bool From<std::vector<std::string>>::convert(PyObject* o, std::vector<std::string>& v) {
    auto no_fast = [](PyArrayObject*, std::vector<std::string>&, bool&) { return false; };
    return sequence_convert(o, v, to_string, no_fast);
}

bool to_f64_seq(PyObject* o, std::vector<double>& out) {
    return sequence_convert(o, out, float_list_item, float_array_fast<double>);
}

bool to_f32_seq(PyObject* o, std::vector<float>& out) {
    auto item = [](PyObject* e, float& v) {
        double d;
        if (!float_list_item(e, d)) return false;
        v = static_cast<float>(d);
        return true;
    };
    return sequence_convert(o, out, item, float_array_fast<float>);
}

bool to_i32_seq(PyObject* o, std::vector<std::int32_t>& out) {
    return sequence_convert(o, out, to_i32, int_array_fast<std::int32_t>);
}

bool to_i8_seq(PyObject* o, std::vector<std::int8_t>& out) {
    return sequence_convert(o, out, to_i8, int_array_fast<std::int8_t>);
}

}  // namespace morvane::py
