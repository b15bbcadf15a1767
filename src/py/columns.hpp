// Segmentation of Python columns: a raw column plus a rule becomes membership flags
// (1 = in the group: facet a, or a positive label). The implicit form decides by itself
// whether a numeric column is categorical or continuous; the explicit form is told the rule.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/segmentation/segmentation.hpp"
#include "core/common/errors.hpp"
#include "py/numpy.hpp"

namespace morvane::py {

// The implicit labelling of a column with a label or threshold. Element conversion
// errors come first, then the value's kind is checked against the column's; returns
// nullopt with that Python error set.
std::optional<Flags> apply_label(PyArrayObject* column, PyObject* label_or_threshold);

// The labelling of a column counted against flags given as bits, without making its
// own flags: over the pairs up to the shorter length, how many of its flags are set
// (`tests`), how many of them where the given flag is set (`both`), how many given
// flags are set (`flags`); and the column's length.
struct LabelCounts {
    BitCounts counts;
    std::size_t length = 0;
};
std::optional<LabelCounts> apply_label_counts(PyArrayObject* column, PyObject* label_or_threshold, const Flags& flags);

// The explicit segmentation: a threshold with its comparison kind, or a string label.
// Any other combination, an unknown kind or an unreadable column is BiasConfigError
// (no Python error is left set).
Result<Flags, BiasError> label_python_bias_explicit_seg(PyArrayObject* column, std::optional<double> threshold,
                                                        const std::optional<std::string>& label,
                                                        const std::optional<std::string>& threshold_type);

}  // namespace morvane::py
