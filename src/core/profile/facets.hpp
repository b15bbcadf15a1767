// Bias counts of a facet: rows split into groups by a rule on one column (group a
// where the rule holds, d elsewhere; or one group per value), each group counted by
// label and prediction (negative / positive) of the binary task.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/profile/column.hpp"
#include "core/profile/task.hpp"

namespace morvane::profile {

enum class RuleOp : std::uint8_t { Equal, AtLeast, Above, AtMost, Below, OneOf, PerValue };

struct FacetRule {
    RuleOp op = RuleOp::Equal;
    std::vector<Label> values;        // Equal / OneOf: the labels; comparisons: one number
    std::vector<std::string> groups;  // PerValue: the sorted values
};

struct FacetCounts {
    std::vector<std::int64_t> counts;  // groups × 2 × 2: [group][label][prediction]
    std::int64_t missing = 0;
};

FacetCounts facet_counts(const Column& facet, const FacetRule& rule, const Column& target, const Column& prediction,
                         const BinaryRule& binary);

}  // namespace morvane::profile
