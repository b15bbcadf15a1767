// Text label columns read for the drift detectors: dictionary-encoded while they are
// read, so that a label's text is decoded once per distinct label, not once per row.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/drift/label_codes.hpp"
#include "py/convert.hpp"

namespace morvane::py {

// Accepts exactly the inputs of From<std::vector<std::string>>, failing with the same
// error at the same element, and holds the same labels: row i is texts[codes[i]], the
// texts distinct and in first-seen order.
struct LabelColumn {
    std::vector<std::uint32_t> codes;
    std::vector<std::string> texts;
    LabelCodes view() const { return {codes, texts}; }
};

template <> struct From<LabelColumn> { static bool convert(PyObject* o, LabelColumn& v); };

}  // namespace morvane::py
