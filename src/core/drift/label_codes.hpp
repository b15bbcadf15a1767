// A column of text labels as the drift cores take it: dictionary-encoded, so that a
// label's text is looked up once per distinct label rather than once per row.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace morvane {

// Row i holds the label texts[codes[i]]. The texts are distinct UTF-8 strings, in any
// order; every code is below texts.size().
struct LabelCodes {
    std::span<const std::uint32_t> codes;
    std::span<const std::string> texts;
};

}  // namespace morvane
