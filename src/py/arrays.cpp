#include "py/arrays.hpp"

#include "core/common/errors.hpp"
#include "py/array_read.hpp"
#include "py/convert.hpp"
#include "py/raise.hpp"
#include "py/ref.hpp"

namespace morvane::py {

namespace {

bool equiv(PyArrayObject* a, int typenum) {
    PyArray_Descr* d = PyArray_DescrFromType(typenum);
    const bool same = PyArray_EquivTypes(PyArray_DESCR(a), d);
    Py_DECREF(d);
    return same;
}

std::size_t element_count(PyArrayObject* a) {
    std::size_t n = 1;
    for (int i = 0; i < PyArray_NDIM(a); ++i) n *= static_cast<std::size_t>(PyArray_DIM(a, i));
    return n;
}

// Element-wise copy through the iteration protocol: a 0-d array fails to iterate, an
// n-d array yields rows, and the first element that fails ends the copy.
template <class E, class Conv>
std::optional<std::vector<E>> iterate_copy(PyArrayObject* a, std::size_t reserve, Conv&& conv) {
    std::vector<E> out;
    out.reserve(reserve);
    Ref it = Ref::steal(PyObject_GetIter(reinterpret_cast<PyObject*>(a)));
    if (!it) return std::nullopt;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        E v{};
        if (!conv(item.get(), v)) return std::nullopt;
        out.push_back(std::move(v));
    }
    if (PyErr_Occurred()) return std::nullopt;
    return out;
}

}  // namespace

InputDataType determine_type(PyArrayObject* a) {
    if (equiv(a, NPY_FLOAT64) || equiv(a, NPY_FLOAT32)) return InputDataType::Float;
    static constexpr int INTEGER_KINDS[] = {NPY_INT8, NPY_INT16, NPY_INT32, NPY_INTP,
                                            NPY_UINT8, NPY_UINT16, NPY_UINT32, NPY_UINTP};
    bool integer = false;
    for (int t : INTEGER_KINDS) integer = equiv(a, t) || integer;
    if (integer) return InputDataType::Integer;
    if (equiv(a, NPY_BOOL)) return InputDataType::Boolean;
    return InputDataType::String;
}

std::optional<std::vector<double>> copy_to_f64(PyArrayObject* a) {
    std::vector<double> out;
    if (copy_floats(a, out)) return out;
    return iterate_copy<double>(a, element_count(a), to_f64);
}

std::optional<std::vector<std::string>> copy_to_strings(PyArrayObject* a) {
    return iterate_copy<std::string>(a, element_count(a), to_string);
}

std::optional<std::vector<std::int64_t>> copy_to_i64(PyArrayObject* a) {
    std::vector<std::int64_t> out;
    bool ok = true;
    bool done = visit_numeric(a, [&](auto view) {
        using T = typename decltype(view)::value_type;
        if constexpr (IS_INT_ELEMENT<T>) {
            out.resize(view.size);
            for (std::size_t i = 0; i < view.size && ok; ++i) {
                const T v = view[i];
                if (!std::in_range<std::int64_t>(v)) {
                    overflow_error(OUT_OF_RANGE);
                    ok = false;
                }
                out[i] = static_cast<std::int64_t>(v);
            }
        } else {
            ok = false;  // not an integer array: take the element-wise path
        }
    });
    if (done && ok) return out;
    if (done && PyErr_Occurred()) return std::nullopt;
    return iterate_copy<std::int64_t>(a, element_count(a), to_i64);
}

std::optional<std::vector<bool>> copy_to_bool(PyArrayObject* a) {
    if (PyArray_NDIM(a) == 1 && PyArray_TYPE(a) == NPY_BOOL) {
        std::vector<bool> out(static_cast<std::size_t>(PyArray_DIM(a, 0)));
        const Elements<npy_bool, false> view{PyArray_BYTES(a), PyArray_STRIDE(a, 0), out.size()};
        for (std::size_t i = 0; i < view.size; ++i) out[i] = view[i] != 0;
        return out;
    }
    std::vector<bool> out;
    out.reserve(element_count(a));
    Ref it = Ref::steal(PyObject_GetIter(reinterpret_cast<PyObject*>(a)));
    if (!it) return std::nullopt;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        bool v = false;
        if (!to_bool(item.get(), v)) return std::nullopt;
        out.push_back(v);
    }
    if (PyErr_Occurred()) return std::nullopt;
    return out;
}

std::optional<std::vector<float>> convert_f32(PyArrayObject* a, InputDataType kind) {
    const Py_ssize_t len = PyObject_Length(reinterpret_cast<PyObject*>(a));
    if (len < 0) return std::nullopt;
    if (kind == InputDataType::Boolean || kind == InputDataType::String) {
        fail(ModelPerformanceError::of(PerfKind::UnsupportedTypeError));
        return std::nullopt;
    }
    std::vector<float> out;
    if (copy_floats(a, out)) return out;
    auto item = [](PyObject* e, float& v) {
        double d;
        if (!to_f64(e, d)) return false;
        v = static_cast<float>(d);
        return true;
    };
    return iterate_copy<float>(a, static_cast<std::size_t>(len), item);
}

std::nullptr_t generate_type_err() { return type_error(HETEROGENEOUS_TYPES); }

}  // namespace morvane::py
