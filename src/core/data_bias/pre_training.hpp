// Pre-training bias: four counts of a facet split and the seven data-bias metrics
// they give. Shared by the one-shot analyzers, the runtime record and the monitors.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "core/common/confusion_counts.hpp"
#include "core/common/errors.hpp"
#include "core/segmentation/flags.hpp"
#include "core/common/metrics.hpp"

namespace morvane {

// The facet split as a tally of pairs: the first flag is membership of facet a, the
// second a positive label.
struct PreTraining {
    PairTally pairs;

    std::uint64_t facet_a_count() const { return pairs.first; }
    std::uint64_t facet_a_positive() const { return pairs.both; }
    std::uint64_t facet_d_count() const { return pairs.pairs - pairs.first; }
    std::uint64_t facet_d_positive() const { return pairs.second - pairs.both; }

    // Counts labelled values (see in_group). Unequal or empty slices are a DataLengthError,
    // a sample without both facets NoFacetDeviation.
    static Result<PreTraining, BiasError> new_from_labels(std::span<const std::int8_t> feature,
                                                          std::span<const std::int8_t> ground_truth);

    // Adds every pair of two slices of equal length.
    void accumulate(std::span<const std::int8_t> feature, std::span<const std::int8_t> ground_truth);

    // The counts of n pairs from the counts of their facet flags (`tests`) against
    // their label flags (`flags`).
    static PreTraining from_flag_counts(const BitCounts& c, std::uint64_t n) { return {{n, c.tests, c.flags, c.both}}; }

    // From the four counts of a facet split, as another binding keeps them.
    static PreTraining from_facet_counts(std::uint64_t a_positive, std::uint64_t a_count, std::uint64_t d_positive,
                                         std::uint64_t d_count) {
        return {{a_count + d_count, a_count, a_positive + d_positive, a_positive}};
    }

    // Adds one element.
    void push(bool in_facet_a, bool positive) { pairs += PairTally{1, in_facet_a, positive, in_facet_a && positive}; }

    std::uint64_t total() const { return pairs.pairs; }
    bool has_both_facets() const { return pairs.first != 0 && pairs.first != pairs.pairs; }
};

namespace data_bias::core {

// What the formulas read of a facet split, in the arithmetic T they run in: the counts,
// and their gap and total (from whole counts, each converted once from the exact integer).
template <class T>
struct PreTrainingInputs {
    T a_positive, a_count, d_positive, d_count, count_gap, total;
};

// The seven values in DataBiasMetric order, in T arithmetic; zero denominators and
// proportions of 0 or 1 give what IEEE gives. Defined for float and double.
template <class T>
std::array<T, 7> pre_training_formulas(const PreTrainingInputs<T>& in);

// The seven values in DataBiasMetric order, in 32-bit arithmetic. Both facet counts
// must be above zero (callers check); a proportion of 0 or 1 gives what IEEE gives.
std::array<float, 7> pre_training_values(const PreTraining& p);

// The seven-entry metric map, or EmptyDataVector when a facet has no elements.
Result<MetricMap<DataBiasMetric>, ModelPerformanceError> pre_training_bias(const PreTraining& p);

}  // namespace data_bias::core

// Facet flags against label flags (1 = facet a / positive label). Flags of unequal
// length are a DataLengthError; no pairs, or a single facet, NoFacetDeviation.
Result<MetricMap<DataBiasMetric>, BiasError> data_bias_analysis_core(const Flags& facet_flags, const Flags& label_flags);

// The same from counts already made: NoFacetDeviation unless both facets have elements.
Result<MetricMap<DataBiasMetric>, BiasError> data_bias_analysis_counts(const PreTraining& counts);

}  // namespace morvane
