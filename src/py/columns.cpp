#include "py/columns.hpp"

#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/common/utf8.hpp"
#include "py/arrays.hpp"
#include "py/array_read.hpp"
#include "py/convert.hpp"
#include "py/raise.hpp"

namespace morvane::py {

namespace {

// Every kind below hands its elements and the membership test to a sink, once the
// column has been read and the value checked: sink.direct(elements, test), with
// test(elements[i]) the flag, or for numbers sink.numeric(elements, equal, at_least),
// which also settles categorical or continuous. Elements are any accessor with
// `size` and operator[].

// Elements already reduced to their flag.
template <class Get>
struct Computed {
    using value_type = bool;
    Get get;
    std::size_t size;
    bool operator[](std::size_t i) const { return get(i); }
};
template <class Get>
Computed<Get> computed(std::size_t size, Get get) {
    return {std::move(get), size};
}
constexpr auto IDENTITY = [](bool b) { return b; };

// The value's kind does not fit the column's.
template <class R>
std::optional<R> type_err() {
    generate_type_err();
    return std::nullopt;
}

// ---- Numeric columns -----------------------------------------------------------

// float64 and int64, the common columns, are labelled in an AVX2 build where the
// processor has it (measured: 25-40 % faster, the data-bias and model-bias benchmarks);
// the other element kinds run the baseline build only, which keeps this file's
// compilation short.
template <class E, class Eq, class Ge, class Sink>
auto numeric_sink(const E& x, const Eq& equal, const Ge& at_least, Sink& sink) {
    using T = typename E::value_type;
    if constexpr (std::is_same_v<T, double> || std::is_same_v<T, std::int64_t>)
        return with_best_isa([&] { return sink.numeric(x, equal, at_least); });
    else
        return sink.numeric(x, equal, at_least);
}

template <class R, class E, class Sink>
std::optional<R> float_column(const E& x, PyObject* value, Sink& sink) {
    double v;
    if (PyFloat_Check(value)) {
        v = PyFloat_AS_DOUBLE(value);
    } else if (PyLong_Check(value)) {
        std::int64_t i;
        if (!to_i64(value, i)) return std::nullopt;
        v = static_cast<double>(i);
    } else {
        return type_err<R>();
    }
    return numeric_sink(x, FloatEqual{v}, FloatAtLeast{v}, sink);
}

template <class R, class E, class Sink>
std::optional<R> integer_column(const E& x, PyObject* value, Sink& sink) {
    IntegerRange equal, at_least;
    if (PyFloat_Check(value)) {
        // A float value becomes an integer by truncation toward zero, saturating at the
        // limits, NaN giving 0: 2.9 labels like 2.
        const std::int64_t v = saturating_trunc(PyFloat_AS_DOUBLE(value));
        equal = integer_equal_to(v);
        at_least = integer_at_least(v);
    } else if (PyLong_Check(value)) {
        std::int64_t v;
        if (!to_i64(value, v)) return std::nullopt;
        equal = integer_equal_to(v);
        at_least = integer_at_least(v);
    } else {
        return type_err<R>();
    }
    using T = typename E::value_type;
    return numeric_sink(x, typed_equal<T>(equal), typed_at_least<T>(at_least), sink);
}

// A numeric column of the kind of Wide (double: float dtypes; int64: integer dtypes),
// labelled by `column(elements)`: read in place when the array's dtype is of that kind,
// else copied element by element as Wide, with the element-wise errors.
template <class R, class Wide, class Column>
std::optional<R> label_typed(PyArrayObject* a, const Column& column) {
    constexpr bool FLOATS = std::is_floating_point_v<Wide>;
    std::optional<R> out;
    bool handled = false;
    visit_numeric(a, [&](auto view) {
        using T = typename decltype(view)::value_type;
        if constexpr (FLOATS ? IS_FLOAT_ELEMENT<T> : IS_INT_ELEMENT<T>) {
            handled = true;
            reserve_as_copy(view.size, sizeof(Wide));
            if constexpr (!FLOATS) {
                if constexpr (!std::in_range<std::int64_t>(std::numeric_limits<T>::max())) {
                    // Elements convert to 64-bit signed integers first, as element-wise.
                    for (std::size_t i = 0; i < view.size; ++i)
                        if (!std::in_range<std::int64_t>(view[i])) {
                            overflow_error(OUT_OF_RANGE);
                            return;
                        }
                }
            }
            out = with_elements<T>(view.data, view.stride, view.size, column);
        }
    });
    if (handled) return out;
    std::optional<std::vector<Wide>> elements;
    if constexpr (FLOATS) elements = copy_to_f64(a);
    else elements = copy_to_i64(a);
    if (!elements) return std::nullopt;
    return with_elements(*elements, column);
}

// ---- Boolean columns -----------------------------------------------------------

// Only a Python bool or int names a boolean label; an int means True exactly when 1.
std::optional<bool> boolean_label(PyObject* value) {
    if (PyBool_Check(value)) return value == Py_True;
    if (PyLong_Check(value)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        return overflow == 0 && v == 1;
    }
    generate_type_err();
    return std::nullopt;
}

template <class R, class Sink>
std::optional<R> label_boolean(PyArrayObject* a, PyObject* value, Sink& sink) {
    if (PyArray_NDIM(a) == 1 && PyArray_TYPE(a) == NPY_BOOL) {
        const auto label = boolean_label(value);
        if (!label) return std::nullopt;
        const bool want = *label;
        return with_elements<npy_bool>(PyArray_BYTES(a), PyArray_STRIDE(a, 0), static_cast<std::size_t>(PyArray_DIM(a, 0)),
                                       [&](const auto& x) {
                                           return sink.direct(x, [want](npy_bool e) { return (e != 0) == want; });
                                       });
    }
    auto elements = copy_to_bool(a);
    if (!elements) return std::nullopt;
    const auto label = boolean_label(value);
    if (!label) return std::nullopt;
    const bool want = *label;
    return sink.direct(computed(elements->size(), [&](std::size_t i) { return (*elements)[i] == want; }), IDENTITY);
}

// ---- String columns ------------------------------------------------------------

// A one-dimensional unicode array of native byte order, read as UCS-4 in place.
struct UnicodeColumn {
    const char* data;
    npy_intp stride;
    npy_intp size;
    std::size_t width;  // code units per element

    const char32_t* element(npy_intp i, char32_t* buf) const {
        std::memcpy(buf, data + i * stride, width * sizeof(char32_t));
        return buf;
    }
};

bool valid_code_point(char32_t c) { return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF); }

// The fast reading applies when every element would convert to UTF-8: a lone
// surrogate or a value beyond U+10FFFF is left to the element-wise path, which
// reports it exactly as it always does.
std::optional<UnicodeColumn> unicode_column(PyArrayObject* a) {
    if (PyArray_NDIM(a) != 1 || PyArray_TYPE(a) != NPY_UNICODE || !PyArray_ISNOTSWAPPED(a)) return std::nullopt;
    UnicodeColumn col{PyArray_BYTES(a), PyArray_STRIDE(a, 0), PyArray_DIM(a, 0),
                      static_cast<std::size_t>(PyArray_ITEMSIZE(a)) / sizeof(char32_t)};
    reserve_as_copy(static_cast<std::size_t>(col.size), sizeof(std::string));
    std::vector<char32_t> buf(col.width);
    for (npy_intp i = 0; i < col.size; ++i) {
        const char32_t* e = col.element(i, buf.data());
        for (std::size_t j = 0; j < col.width; ++j)
            if (!valid_code_point(e[j])) return std::nullopt;
    }
    return col;
}

// Equal code points are equal UTF-8 bytes; NumPy drops an element's trailing NULs
// when it hands it out as a str, so they are dropped here too.
template <class Sink>
auto unicode_equal(const UnicodeColumn& col, std::string_view label, Sink& sink) {
    const std::u32string want = decode_utf8(label);
    std::vector<char32_t> buf(col.width);
    return sink.direct(computed(static_cast<std::size_t>(col.size),
                         [&](std::size_t i) {
                             const char32_t* e = col.element(static_cast<npy_intp>(i), buf.data());
                             std::size_t n = col.width;
                             while (n > 0 && e[n - 1] == 0) --n;
                             return n == want.size() && std::char_traits<char32_t>::compare(e, want.data(), n) == 0;
                         }),
                IDENTITY);
}

template <class Sink>
auto strings_equal(const std::vector<std::string>& elements, std::string_view label, Sink& sink) {
    return sink.direct(computed(elements.size(), [&](std::size_t i) { return elements[i] == label; }), IDENTITY);
}

template <class R, class Sink>
std::optional<R> label_string(PyArrayObject* a, PyObject* value, Sink& sink) {
    std::optional<std::vector<std::string>> elements;
    const auto fast = unicode_column(a);
    if (!fast) {
        elements = copy_to_strings(a);
        if (!elements) return std::nullopt;
    }
    if (!PyUnicode_Check(value)) return type_err<R>();
    std::string label;
    if (!to_string(value, label)) return std::nullopt;
    if (fast) return unicode_equal(*fast, label, sink);
    return strings_equal(*elements, label, sink);
}

template <class R, class Sink>
std::optional<R> label_column(PyArrayObject* column, PyObject* value, const Sink& sink) {
    switch (determine_type(column)) {
        case InputDataType::Float:
            return label_typed<R, double>(column, [&](const auto& x) { return float_column<R>(x, value, sink); });
        case InputDataType::Integer:
            return label_typed<R, std::int64_t>(column, [&](const auto& x) { return integer_column<R>(x, value, sink); });
        case InputDataType::String: return label_string<R>(column, value, sink);
        case InputDataType::Boolean: return label_boolean<R>(column, value, sink);
    }
    return std::nullopt;
}

// Labelling into flags.
struct Bits {
    template <class E, class T>
    Flags direct(const E& x, const T& test) const {
        return flags_where(x, test);
    }
    template <class E, class Eq, class Ge>
    Flags numeric(const E& x, const Eq& equal, const Ge& at_least) const {
        Flags out{std::vector<std::uint64_t>(word_count(x.size)), x.size};
        label_numeric_bits(x, equal, at_least, out.words.data());
        return out;
    }
};
constexpr Bits BITS;

// Labelling counted straight against given bits, in one pass.
struct Counts {
    const Flags& flags;

    template <class E, class T>
    LabelCounts direct(const E& x, const T& test) const {
        return {count_against_bits(x, test, flags.words.data(), flags.size), x.size};
    }
    template <class E, class Eq, class Ge>
    LabelCounts numeric(const E& x, const Eq& equal, const Ge& at_least) const {
        return numeric_is_continuous(x) ? direct(x, at_least) : direct(x, equal);
    }
};

}  // namespace

std::optional<Flags> apply_label(PyArrayObject* column, PyObject* value) {
    return label_column<Flags>(column, value, BITS);
}

std::optional<LabelCounts> apply_label_counts(PyArrayObject* column, PyObject* value, const Flags& flags) {
    return label_column<LabelCounts>(column, value, Counts{flags});
}

Result<Flags, BiasError> label_python_bias_explicit_seg(PyArrayObject* column, std::optional<double> threshold,
                                                        const std::optional<std::string>& label,
                                                        const std::optional<std::string>& threshold_type) {
    if (threshold && !label && threshold_type) {
        // Threshold rule: the column as 64-bit floats, compared with the threshold.
        std::optional<Flags> out;
        std::optional<ThresholdType> kind;
        const bool typed = visit_numeric(column, [&](auto view) {
            using T = typename decltype(view)::value_type;
            kind = parse_threshold_type(*threshold_type);
            if (!kind) return;
            out = with_elements<T>(view.data, view.stride, view.size, [&](const auto& x) {
                return threshold_flags(x, *kind, *threshold);
            });
        });
        if (typed) {
            if (!out) return unexpected(BiasError::BiasConfigError);
            return std::move(*out);
        }
        auto elements = copy_to_f64(column);
        if (!elements) {
            PyErr_Clear();
            return unexpected(BiasError::BiasConfigError);
        }
        kind = parse_threshold_type(*threshold_type);
        if (!kind) return unexpected(BiasError::BiasConfigError);
        return with_elements(*elements, [&](const auto& x) { return threshold_flags(x, *kind, *threshold); });
    }
    if (!threshold && label && !threshold_type) {
        // Label rule: the column as strings, compared byte for byte.
        if (const auto fast = unicode_column(column)) return unicode_equal(*fast, *label, BITS);
        auto elements = copy_to_strings(column);
        if (!elements) {
            PyErr_Clear();
            return unexpected(BiasError::BiasConfigError);
        }
        return strings_equal(*elements, *label, BITS);
    }
    return unexpected(BiasError::BiasConfigError);
}

}  // namespace morvane::py
