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

// Calls f with the rule's test as a function object of its own type, so that a loop
// over many elements compiles to one plain comparison per element.
template <class F>
decltype(auto) visit_rule(SegmentRule r, F&& f) {
    const std::int8_t v = r.value;
    switch (r.kind) {
        case SegmentRuleKind::GreaterThan: return f([v](std::int8_t x) { return x > v; });
        case SegmentRuleKind::GreaterThanEqualTo: return f([v](std::int8_t x) { return x >= v; });
        case SegmentRuleKind::LessThan: return f([v](std::int8_t x) { return x < v; });
        case SegmentRuleKind::LessThanEqualTo: return f([v](std::int8_t x) { return x <= v; });
        case SegmentRuleKind::Label: break;
    }
    return f([v](std::int8_t x) { return x == v; });
}

}  // namespace morvane
