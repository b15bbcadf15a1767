#include "data_handler/segmentation.hpp"

#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "data_handler/arrays.hpp"
#include "py/array_read.hpp"
#include "py/convert.hpp"
#include "py/raise.hpp"

namespace morvane::py {

namespace {

// The value's kind does not fit the column's.
std::optional<Flags> type_err() {
    generate_type_err();
    return std::nullopt;
}

// ---- Float columns -------------------------------------------------------------

template <class E>
std::optional<Flags> float_column_flags(const E& x, PyObject* value) {
    double v;
    if (PyFloat_Check(value)) {
        v = PyFloat_AS_DOUBLE(value);
    } else if (PyLong_Check(value)) {
        std::int64_t i;
        if (!to_i64(value, i)) return std::nullopt;
        v = static_cast<double>(i);
    } else {
        return type_err();
    }
    if (is_continuous(x)) return flags_where(x, [v](auto e) { return static_cast<double>(e) >= v; });
    return flags_where(x, [v](auto e) { return static_cast<double>(e) == v; });
}

std::optional<Flags> label_float(PyArrayObject* a, PyObject* value) {
    std::optional<Flags> out;
    bool handled = false;
    visit_numeric(a, [&](auto view) {
        using T = typename decltype(view)::value_type;
        if constexpr (IS_FLOAT_ELEMENT<T>) {
            handled = true;
            reserve_as_copy(static_cast<std::size_t>(view.size), sizeof(double));
            out = with_elements<T>(view.data, view.stride, static_cast<std::size_t>(view.size),
                                   [&](const auto& x) { return float_column_flags(x, value); });
        }
    });
    if (handled) return out;
    auto elements = copy_to_f64(a);
    if (!elements) return std::nullopt;
    return with_elements(*elements, [&](const auto& x) { return float_column_flags(x, value); });
}

// ---- Integer columns -----------------------------------------------------------

template <class E>
std::optional<Flags> integer_column_flags(const E& x, PyObject* value) {
    // A float value is compared exactly with the integers: an element is "at least
    // 2.9" from 3 on, and only an integral value can be equal to an element.
    std::optional<double> float_value;
    std::int64_t int_value = 0;
    if (PyFloat_Check(value)) {
        float_value = PyFloat_AS_DOUBLE(value);
    } else if (PyLong_Check(value)) {
        if (!to_i64(value, int_value)) return std::nullopt;
    } else {
        return type_err();
    }
    const bool continuous = is_continuous(x);
    IntegerCut cut = integer_cut(int_value);
    if (float_value) cut = continuous ? integer_at_least(*float_value) : integer_equal_to(*float_value);
    return integer_flags(x, cut, continuous);
}

std::optional<Flags> label_integer(PyArrayObject* a, PyObject* value) {
    std::optional<Flags> out;
    bool handled = false;
    visit_numeric(a, [&](auto view) {
        using T = typename decltype(view)::value_type;
        if constexpr (IS_INT_ELEMENT<T>) {
            handled = true;
            reserve_as_copy(static_cast<std::size_t>(view.size), sizeof(std::int64_t));
            if constexpr (!std::in_range<std::int64_t>(std::numeric_limits<T>::max())) {
                // Elements convert to 64-bit signed integers first, as element-wise.
                for (npy_intp i = 0; i < view.size; ++i)
                    if (!std::in_range<std::int64_t>(view[i])) {
                        overflow_error(OUT_OF_RANGE);
                        return;
                    }
            }
            out = with_elements<T>(view.data, view.stride, static_cast<std::size_t>(view.size),
                                   [&](const auto& x) { return integer_column_flags(x, value); });
        }
    });
    if (handled) return out;
    auto elements = copy_to_i64(a);
    if (!elements) return std::nullopt;
    return with_elements(*elements, [&](const auto& x) { return integer_column_flags(x, value); });
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

std::optional<Flags> label_boolean(PyArrayObject* a, PyObject* value) {
    if (PyArray_NDIM(a) == 1 && PyArray_TYPE(a) == NPY_BOOL) {
        const auto label = boolean_label(value);
        if (!label) return std::nullopt;
        const bool want = *label;
        return with_elements<npy_bool>(PyArray_BYTES(a), PyArray_STRIDE(a, 0), static_cast<std::size_t>(PyArray_DIM(a, 0)),
                                       [&](const auto& x) { return flags_where(x, [want](npy_bool e) { return (e != 0) == want; }); });
    }
    auto elements = copy_to_bool(a);
    if (!elements) return std::nullopt;
    const auto label = boolean_label(value);
    if (!label) return std::nullopt;
    Flags out(elements->size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = (*elements)[i] == *label;
    return out;
}

// ---- String columns ------------------------------------------------------------

// A one-dimensional unicode array of native byte order, read as UCS-4 in place.
struct UnicodeColumn {
    const char* data;
    npy_intp stride;
    npy_intp size;
    std::size_t width;  // code units per element

    // The element's length once NumPy's trailing NULs are dropped, as its str has.
    std::size_t length(const char32_t* e) const {
        std::size_t n = width;
        while (n > 0 && e[n - 1] == 0) --n;
        return n;
    }
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

// Code points of valid UTF-8 (what str conversion produced).
std::u32string decode_utf8(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        char32_t c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        for (std::size_t j = 1; j < len && i + j < s.size(); ++j) c = (c << 6) | (static_cast<unsigned char>(s[i + j]) & 0x3F);
        out.push_back(c);
        i += len;
    }
    return out;
}

// Equal code points are equal UTF-8 bytes.
Flags unicode_equal_flags(const UnicodeColumn& col, std::string_view label) {
    const std::u32string want = decode_utf8(label);
    Flags out(static_cast<std::size_t>(col.size));
    std::vector<char32_t> buf(col.width);
    for (npy_intp i = 0; i < col.size; ++i) {
        const char32_t* e = col.element(i, buf.data());
        const std::size_t n = col.length(e);
        out[static_cast<std::size_t>(i)] = n == want.size() && std::char_traits<char32_t>::compare(e, want.data(), n) == 0;
    }
    return out;
}

Flags string_equal_flags(const std::vector<std::string>& elements, std::string_view label) {
    Flags out(elements.size());
    for (std::size_t i = 0; i < elements.size(); ++i) out[i] = elements[i] == label;
    return out;
}

std::optional<Flags> label_string(PyArrayObject* a, PyObject* value) {
    std::optional<std::vector<std::string>> elements;
    const auto fast = unicode_column(a);
    if (!fast) {
        elements = copy_to_strings(a);
        if (!elements) return std::nullopt;
    }
    if (!PyUnicode_Check(value)) return type_err();
    std::string label;
    if (!to_string(value, label)) return std::nullopt;
    if (fast) return unicode_equal_flags(*fast, label);
    return string_equal_flags(*elements, label);
}

}  // namespace

std::optional<Flags> apply_label(PyArrayObject* column, PyObject* value) {
    switch (determine_type(column)) {
        case InputDataType::Float: return label_float(column, value);
        case InputDataType::Integer: return label_integer(column, value);
        case InputDataType::String: return label_string(column, value);
        case InputDataType::Boolean: return label_boolean(column, value);
    }
    return std::nullopt;
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
            out = with_elements<T>(view.data, view.stride, static_cast<std::size_t>(view.size),
                                   [&](const auto& x) { return threshold_flags(x, *kind, *threshold); });
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
        if (const auto fast = unicode_column(column)) return unicode_equal_flags(*fast, *label);
        auto elements = copy_to_strings(column);
        if (!elements) {
            PyErr_Clear();
            return unexpected(BiasError::BiasConfigError);
        }
        return string_equal_flags(*elements, *label);
    }
    return unexpected(BiasError::BiasConfigError);
}

}  // namespace morvane::py
