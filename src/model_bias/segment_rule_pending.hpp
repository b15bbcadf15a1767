// Stand-in for the shared segmentation rule until it lands on this branch.
#pragma once

#include <cstdint>

namespace morvane {

struct SegmentRule {
    enum class Kind : std::uint8_t { GreaterThan, GreaterThanEqualTo, LessThan, LessThanEqualTo, Label };
    Kind kind;
    std::int8_t value;

    constexpr bool passes(std::int8_t x) const {
        switch (kind) {
            case Kind::GreaterThan: return x > value;
            case Kind::GreaterThanEqualTo: return x >= value;
            case Kind::LessThan: return x < value;
            case Kind::LessThanEqualTo: return x <= value;
            case Kind::Label: return x == value;
        }
        return false;
    }
};

}  // namespace morvane
