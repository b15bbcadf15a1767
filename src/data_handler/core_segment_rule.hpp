// The rule the streaming bias monitors apply to raw small-integer values: a comparison
// kind and the value to compare with. Shared by the data-bias and model-bias families.
#pragma once

#include <cstdint>

namespace morvane {

// The four comparison kinds of ThresholdType, in the same order, then Label (equality).
enum class SegmentRuleKind : std::uint8_t {
    GreaterThan,
    GreaterThanEqualTo,
    LessThan,
    LessThanEqualTo,
    Label,
};

struct SegmentRule {
    SegmentRuleKind kind = SegmentRuleKind::Label;
    std::int8_t value = 1;

    static constexpr SegmentRule label(std::int8_t v) { return {SegmentRuleKind::Label, v}; }

    // Signed comparison of the element with the rule's value.
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
