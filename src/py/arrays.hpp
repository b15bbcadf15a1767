// NumPy arrays -> native values: the element kind of an array, copies into 64-bit
// floats, 32-bit floats or strings, and direct blocks of two arrays. Typed memory is
// read directly where the array allows it; every other array goes element by element
// through Python, with the same results and errors.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "py/array_read.hpp"
#include "py/numpy.hpp"

namespace morvane::py {

enum class InputDataType : std::uint8_t { Float, Integer, String, Boolean };

// By NumPy dtype equivalence: float32/64, then the integer kinds, then bool; anything
// else (strings, objects, float16, complex, non-native byte order) is String.
InputDataType determine_type(PyArrayObject* array);

// Copies every element, or returns nullopt with the first failing element's Python
// error set (TypeError, OverflowError, or whatever a broken __float__ raises).
std::optional<std::vector<double>> copy_to_f64(PyArrayObject* array);
std::optional<std::vector<std::string>> copy_to_strings(PyArrayObject* array);
std::optional<std::vector<std::int64_t>> copy_to_i64(PyArrayObject* array);
std::optional<std::vector<bool>> copy_to_bool(PyArrayObject* array);

// The performance functions' reading of an array: numeric kinds only, each element
// through a 64-bit float, rounded to 32 bits. Boolean and String kinds fail with
// ModelPerformanceError::UnsupportedTypeError.
std::optional<std::vector<float>> convert_f32(PyArrayObject* array, InputDataType kind);

// Two numeric one-dimensional arrays of native byte order are read straight from their
// memory: `use(t, p)` gets their views, of equal length, whose elements the cores convert
// exactly as convert_f32 converts them (through a double), so no whole-array vectors are
// allocated. Any other pair of arrays is NotEligible, with nothing called: those take the
// convert_f32 path with its errors.
enum class Direct { NotEligible, LengthMismatch, Done };

template <class Use>
Direct read_views(PyArrayObject* y_true, PyArrayObject* y_pred, Use&& use) {
    auto view_of = [](PyArrayObject* a) -> std::optional<ArrayView> {
        const InputDataType kind = determine_type(a);
        if (kind != InputDataType::Float && kind != InputDataType::Integer) return std::nullopt;
        return numeric_view(a);
    };
    const auto t = view_of(y_true), p = view_of(y_pred);
    if (!t || !p) return Direct::NotEligible;
    // The room of the two converted vectors, before anything else, as convert_f32 takes it.
    reserve_as_copy(t->length + p->length, sizeof(float));
    if (p->length != t->length) return Direct::LengthMismatch;
    use(*t, *p);
    return Direct::Done;
}

// TypeError "Data passed in is of hetergeneous types".
std::nullptr_t generate_type_err();

}  // namespace morvane::py
