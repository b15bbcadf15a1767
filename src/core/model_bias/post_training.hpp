// Post-training (model) bias: per-facet confusion counts, the generalized-entropy
// input, and the twelve metrics computed from them.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "core/common/confusion_counts.hpp"
#include "core/common/errors.hpp"
#include "core/common/metrics.hpp"
#include "core/segmentation/flags.hpp"

namespace morvane {

struct PostTraining {
    // Each facet's outcomes (exact counts, read as 32-bit floats by the formulas).
    ConfusionMatrix confusion_a;
    ConfusionMatrix confusion_d;
    std::uint64_t facet_a_count = 0;
    std::uint64_t facet_a_label_positive = 0;
    std::uint64_t facet_a_pred_positive = 0;
    std::uint64_t facet_d_count = 0;
    std::uint64_t facet_d_label_positive = 0;
    std::uint64_t facet_d_pred_positive = 0;

    void accumulate_single(bool in_facet_a, bool predicted_positive, bool label_positive);

    // Adds every element of three equally long, non-empty slices; on a length error
    // nothing is added.
    Result<void, BiasError> accumulate_batch(std::span<const std::int8_t> feature, std::span<const std::int8_t> prediction,
                                             std::span<const std::int8_t> ground_truth);

    // Adds `count` elements of one (facet, prediction, label) combination.
    void add_combination(bool in_facet_a, bool predicted_positive, bool label_positive, std::uint64_t count);
};

// The one-shot record: counts plus the generalized entropy of the same elements.
struct DiscretePostTraining {
    PostTraining counts;
    float generalized_entropy = 0.0f;

    // Three flag columns of equal, non-zero length; else a DataLengthError.
    static Result<DiscretePostTraining, BiasError> make(const Flags& facet_flags, const Flags& prediction_flags,
                                                        const Flags& label_flags);
};

// Elements counted by benefit (0: missed positive, 1: found positive, 2: negative
// ground truth); the streaming form of the generalized-entropy input.
struct BucketGeneralizedEntropy {
    std::uint64_t benefit_zero = 0;
    std::uint64_t benefit_one = 0;
    std::uint64_t benefit_two = 0;

    // Pairs up to the shorter slice.
    void accumulate(std::span<const std::int8_t> ground_truth, std::span<const std::int8_t> prediction);
    void add(bool label_positive, bool predicted_positive);

    std::uint64_t total() const { return benefit_zero + benefit_one + benefit_two; }
    // ((n * n) / (S * S)) * Q - n, the unnormalised entropy of the counted elements.
    float generalized_entropy() const;
};

namespace model_bias {

// Which guard of the metric formulas a record fails: a facet without elements, or a
// zero denominator that the guards refuse.
enum class GuardFailure : std::uint8_t { None, EmptyFacet, ZeroDenominator };
GuardFailure check_guards(const PostTraining& t);

// One facet's counts in the arithmetic T the formulas run in: confusion counts,
// elements, label and prediction positives, and the label and prediction negatives.
template <class T>
struct FacetCounts {
    T tp, fp, tn, fn;
    T n, l, p;
    T label_negative, pred_negative;
};

// Both facets, with the elements and predicted negatives of both together (from whole
// counts, each an exact integer converted once).
template <class T>
struct PostTrainingInputs {
    FacetCounts<T> a, d;
    T total, pred_negative;
};

// A record's counts as the 32-bit floats the formulas read.
PostTrainingInputs<float> post_training_inputs(const PostTraining& t);

// The eleven count formulas in ModelBiasMetric order (all but GeneralizedEntropy), in T
// arithmetic, zero denominators unguarded. Defined for float and double.
template <class T>
std::array<T, 11> post_training_formulas(const PostTrainingInputs<T>& in);

// The twelve values in ModelBiasMetric order; meaningful once check_guards passes.
std::array<float, 12> bias_values(const PostTraining& t, float generalized_entropy);

float cond_dem_desp_in_pred_labels(const PostTraining& t);

Result<MetricMap<ModelBiasMetric>, BiasError> post_training_bias(const DiscretePostTraining& d);

}  // namespace model_bias
}  // namespace morvane
