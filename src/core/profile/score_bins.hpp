// Histograms of a classifier's scores per true class, for the ranking metrics (ROC AUC,
// average precision) and the estimated performance of windows whose labels are not known.
//
// The bins of a score s in [0, 1] are fixed, so histograms of any table merge by adding:
// 1,022 bins of width 1/1024 in the middle, and 21 bins at each end whose widths halve
// toward 0 and 1 (down to 2^-30), where a confident model puts most of its rows. The bin
// holding the binary threshold is split at it, so a bin's decision is known: 1,065 bins.
// Every bin index is computed exactly (products by powers of two, 1 − s for s ≥ 1/2).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/profile/column.hpp"
#include "core/profile/task.hpp"

namespace morvane::profile {

inline constexpr int SCORE_TAIL_BINS = 21;      // per end: [0, 2^-30), then [2^-k, 2^-k+1) up to 2^-10
inline constexpr int SCORE_MIDDLE_BINS = 1022;  // [k/1024, (k+1)/1024) for k = 1 .. 1022
inline constexpr int SCORE_GRID_BINS = 2 * SCORE_TAIL_BINS + SCORE_MIDDLE_BINS;
inline constexpr int SCORE_BINS = SCORE_GRID_BINS + 1;  // the threshold's bin split in two
inline constexpr int SCORE_COARSE_BINS = 64;           // [k/64, (k+1)/64): multiclass rows by decision

// The grid bin of a score in [0, 1] (callers check the range), 0 .. SCORE_GRID_BINS − 1.
int score_grid_bin(double s);
// The bin of a score with the threshold's grid bin split at the threshold, 0 .. SCORE_BINS − 1;
// rows at or above the threshold fall in bins above score_bin_threshold(threshold).
int score_bin(double s, double threshold);
int score_bin_threshold(double threshold);
int score_coarse_bin(double s);

// Binary: counts[row][decision][bin] with rows negative, positive, target missing, and decisions
// negative, positive: SCORE_BINS per row and decision. Decisions are the scores thresholded, or a
// column of their own (labels, or probabilities thresholded) when the model gives both.
struct BinaryScoreCounts {
    std::vector<std::int64_t> counts;  // 3 × 2 × SCORE_BINS
    std::int64_t missing = 0;           // rows without a score or a decision
    std::int64_t out_of_range = 0;      // rows whose score lies outside [0, 1]
    double first_out_of_range = 0.0;
};

// A null target: the window's labels are not known yet (every row in the target-missing row).
BinaryScoreCounts binary_score_counts(const Column* target, const Column& score, const Column& decision,
                                      const BinaryRule& rule);

// Multiclass with k score columns: by_class[row][column][bin] with rows the k classes and
// then the rows whose target is missing (k + 1 rows, SCORE_BINS bins at threshold 1/2, an
// edge already), and by_decision[decided class][column][coarse bin] of every scored row: the class of
// the `decision` column (labels) when given, else the most probable one.
struct MulticlassScoreCounts {
    std::vector<std::int64_t> by_class;     // (k + 1) × k × SCORE_BINS
    std::vector<std::int64_t> by_decision;  // k × k × SCORE_COARSE_BINS
    std::int64_t missing = 0;               // rows with a missing score, or a label outside the classes
    std::int64_t out_of_range = 0;
    double first_out_of_range = 0.0;
};

MulticlassScoreCounts multiclass_score_counts(const Column* target, std::span<const Column* const> scores,
                                              const Column* decision, std::span<const std::string> classes);

}  // namespace morvane::profile
