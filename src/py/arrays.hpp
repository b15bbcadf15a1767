// NumPy arrays -> native vectors: the element kind of an array, and copies into
// 64-bit floats, 32-bit floats or strings. Typed memory is read directly where the
// array allows it; every other array goes element by element through Python, with the
// same results and errors.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// TypeError "Data passed in is of hetergeneous types".
std::nullptr_t generate_type_err();

}  // namespace morvane::py
