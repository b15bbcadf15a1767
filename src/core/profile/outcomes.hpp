// Outcomes by feature bin: each row's slot on a feature's layout and each row's outcome
// (a confusion cell, or a regression error), so per-bin confusion counts and error sums can
// be tallied for explaining a performance change. Counts and exact sums: shards add up.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/profile/column.hpp"
#include "core/profile/exact_sum.hpp"
#include "core/profile/task.hpp"

namespace morvane::profile {

// Slots: bins 0..E of a continuous feature (as count_continuous) or categories 0..K with
// "other" K (as count_categorical); a missing value takes the slot after the last.
std::vector<std::int32_t> row_slots_continuous(const Column& c, std::span<const double> edges);
std::vector<std::int32_t> row_slots_categorical(const Column& c, std::span<const std::string> categories);

// Confusion cells truth * classes + decision per row, -1 where either side is missing (as the
// task's counts: binary_stats and multiclass_stats count the same rows).
std::vector<std::int32_t> binary_cells(const Column& target, const Column& decision, const BinaryRule& rule);
std::vector<std::int32_t> multiclass_cells(const Column& target, std::span<const Column* const> prediction,
                                           std::span<const std::string> classes, bool has_proba);

// Per slot: rows with an error (not NaN), and exact sums of |e|, e^2 and e^4.
struct SlotErrors {
    std::vector<std::int64_t> n;
    std::vector<ExactSum> abs, sq, fourth;
};
SlotErrors slot_errors(std::span<const std::int32_t> slots, std::span<const double> errors, std::size_t n_slots);

}  // namespace morvane::profile
