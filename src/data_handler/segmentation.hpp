// Segmentation: a raw column plus a rule becomes 16-bit membership flags (1 = in the
// group: facet a, or a positive label). The implicit form decides by itself whether a
// numeric column is categorical or continuous; the explicit form is told the rule.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "data_handler/core_segment_rule.hpp"
#include "data_handler/core_segmentation.hpp"
#include "errors/errors.hpp"
#include "py/numpy.hpp"

namespace morvane::py {

// The implicit labelling of a column with a label or threshold. Element conversion
// errors come first, then the value's kind is checked against the column's; returns
// nullopt with that Python error set.
std::optional<Flags> apply_label(PyArrayObject* column, PyObject* label_or_threshold);

// The same labelling as one byte per element (1 or 0), in a buffer that is not
// cleared first: half the memory of the flags, for callers that only count them.
struct ByteFlags {
    std::unique_ptr<std::int8_t[]> data;
    std::size_t size = 0;
    std::span<const std::int8_t> span() const { return {data.get(), size}; }
};
std::optional<ByteFlags> apply_label_bytes(PyArrayObject* column, PyObject* label_or_threshold);

// Sums of the same labelling against a vector of weights, for callers that only
// count the flags: over the pairs up to the shorter length, the number of flags set,
// the sum of the weights where a flag is set, and the sum of all weights; and the
// column's length. No flags vector is made.
struct FlagSums {
    std::uint64_t flags = 0;
    std::int64_t weighted = 0;
    std::int64_t weights = 0;
    std::size_t length = 0;
};
std::optional<FlagSums> apply_label_sums(PyArrayObject* column, PyObject* label_or_threshold,
                                         std::span<const std::int16_t> weights);
std::optional<FlagSums> apply_label_sums(PyArrayObject* column, PyObject* label_or_threshold,
                                         std::span<const std::int8_t> weights);

// The explicit segmentation: a threshold with its comparison kind, or a string label.
// Any other combination, an unknown kind or an unreadable column is BiasConfigError
// (no Python error is left set).
Result<Flags, BiasError> label_python_bias_explicit_seg(PyArrayObject* column, std::optional<double> threshold,
                                                        const std::optional<std::string>& label,
                                                        const std::optional<std::string>& threshold_type);

}  // namespace morvane::py
