// NumPy fixed-width unicode arrays (UCS4, NUL-padded) as a dictionary column: rows are told
// apart by their raw bytes (equal bytes, equal texts), each distinct element is converted
// to UTF-8 once, and each row becomes a code. No Python object is made.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace morvane::profile {

struct DictionaryTexts {
    std::string chars;                  // the distinct texts in UTF-8, one after another
    std::vector<std::int64_t> offsets;  // distinct text j is chars[offsets[j], offsets[j + 1])
    std::vector<std::int32_t> codes;    // one per row
};

// `width` bytes per element (a multiple of 4) every `stride` bytes; `swap` for the other
// byte order. Trailing NUL code points are not part of a text (NumPy's own reading).
// Returns false, with `out` unspecified, when an element holds a code point UTF-8 cannot
// carry (a surrogate or one above U+10FFFF) or the rows exceed 32-bit codes.
bool encode_ucs4(const std::uint8_t* data, std::int64_t length, std::int64_t stride, std::int64_t width, bool swap,
                 DictionaryTexts& out);

}  // namespace morvane::profile
