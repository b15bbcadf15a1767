// The class a row's label names, for the kernels that count a multiclass task's outcomes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/profile/column.hpp"
#include "core/profile/text_index.hpp"

namespace morvane::profile {

// The index of row i's label among the task's classes (`index`), or -1 when it is missing or names
// no class; `scratch` holds the text of a non-text label.
inline std::int64_t class_of(const TextIndex& index, const Chunk& c, std::int64_t i, std::string& scratch) {
    bool missing;
    const std::string_view key = category_key(c, i, scratch, missing);
    if (missing) return -1;
    const std::size_t at = index.find(key);
    return at == TextIndex::NONE ? -1 : static_cast<std::int64_t>(at);
}

}  // namespace morvane::profile
