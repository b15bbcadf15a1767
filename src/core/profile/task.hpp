// Performance statistics of a task, per row pair of target and prediction: binary
// confusion counts and log-loss sums, the multiclass k × k confusion, and the exact
// regression sums (one table row per sum). Rows with a missing side are counted apart.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/profile/column.hpp"
#include "core/profile/exact_sum.hpp"

namespace morvane::profile {

// A label as the caller named it: compared numerically with numeric and boolean
// columns when it is a number, otherwise by its text.
struct Label {
    bool has_number = false;
    double number = 0.0;
    std::string text;
};

// Whether element i equals the label; `missing` set for nulls and NaN.
bool matches(const Chunk& c, std::int64_t i, const Label& label, std::string& scratch, bool& missing);

// Walks the rows of several equally long columns together, chunk boundaries apart.
struct RowCursor {
    const Column* column;
    std::size_t chunk = 0;
    std::int64_t at = 0;
    const Chunk& current() const { return column->chunks[chunk]; }
    void advance() {
        if (++at >= column->chunks[chunk].length) { at = 0; ++chunk; }
        while (chunk < column->chunks.size() && column->chunks[chunk].length == 0) ++chunk;
    }
    void start() { while (chunk < column->chunks.size() && column->chunks[chunk].length == 0) ++chunk; }
};

inline constexpr double LOG_LOSS_EPS = 1e-15;

struct BinaryStats {
    std::array<std::int64_t, 4> confusion{};  // [truth neg/pos][prediction neg/pos]
    std::int64_t n = 0, missing = 0;
    ExactSum log_loss, log_loss_sq;
};

// The positive-class decision of a binary prediction: a label, or a probability
// thresholded (p >= threshold is positive).
struct BinaryRule {
    Label positive;
    bool has_proba = false;
    double threshold = 0.5;
};

// With `score` (the model's probabilities beside its decisions), the decisions come from
// `prediction` and the log loss from `score`; a row missing either is missing.
BinaryStats binary_stats(const Column& target, const Column& prediction, const BinaryRule& rule,
                         const Column* score = nullptr);

struct MulticlassStats {
    std::vector<std::int64_t> confusion;  // k × k, [truth][prediction]
    std::int64_t n = 0, missing = 0;
    bool has_proba = false;
    ExactSum log_loss, log_loss_sq;
};

// `prediction` holds labels (one column) or one probability column per class. With `score`
// (one probability column per class, beside label decisions), the decisions come from the
// labels and the log loss from the scores.
MulticlassStats multiclass_stats(const Column& target, std::span<const Column* const> prediction,
                                 std::span<const std::string> classes, bool has_proba,
                                 std::span<const Column* const> score = {});

// The regression sums, one row each: its name and its term from y (target) and p.
struct SumRow {
    const char* name;
    double (*term)(double y, double p);
};
extern const std::array<SumRow, 18> REGRESSION_SUMS;

struct RegressionStats {
    std::int64_t n = 0, missing = 0;
    std::array<ExactSum, 18> sums;
    double max_abs_error = 0.0;
};

RegressionStats regression_stats(const Column& target, const Column& prediction);

}  // namespace morvane::profile
