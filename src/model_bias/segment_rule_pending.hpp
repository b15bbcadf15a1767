// Stand-in for the shared segmentation rule until it lands on this branch.
#pragma once

#include <cstdint>

namespace morvane {

enum class SegmentRuleKind : std::uint8_t { GreaterThan, GreaterThanEqualTo, LessThan, LessThanEqualTo, Label };

struct SegmentRule {
    SegmentRuleKind kind = SegmentRuleKind::Label;
    std::int8_t value = 1;

    static constexpr SegmentRule label(std::int8_t v) { return {SegmentRuleKind::Label, v}; }

    constexpr bool passes(std::int8_t x) const {
        switch (kind) {
            case SegmentRuleKind::GreaterThan: return x > value;
            case SegmentRuleKind::GreaterThanEqualTo: return x >= value;
            case SegmentRuleKind::LessThan: return x < value;
            case SegmentRuleKind::LessThanEqualTo: return x <= value;
            case SegmentRuleKind::Label: return x == value;
        }
        return false;
    }
};

}  // namespace morvane
