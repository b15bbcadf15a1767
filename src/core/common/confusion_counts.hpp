// Agreement counts between ground truth and prediction against a positive label.
// The counts are exact 64-bit integers; formulas read them as 32-bit floats, so a
// window of any length keeps counting instead of stalling at 2^24.
#pragma once

#include <cstdint>
#include <span>

#include "core/common/errors.hpp"

namespace morvane {

struct ConfusionMatrix {
    std::uint64_t true_positive = 0;
    std::uint64_t false_positive = 0;
    std::uint64_t true_negative = 0;
    std::uint64_t false_negative = 0;

    // The four counts as the 32-bit floats the metric formulas take.
    struct Counts {
        float tp, fp, tn, fn;
    };
    Counts as_f32() const {
        return {static_cast<float>(true_positive), static_cast<float>(false_positive),
                static_cast<float>(true_negative), static_cast<float>(false_negative)};
    }

    // One pair, already reduced to positive / negative.
    void push(bool truth, bool prediction) {
        true_positive += truth & prediction;
        false_positive += !truth & prediction;
        true_negative += !truth & !prediction;
        false_negative += truth & !prediction;
    }

    // Counts the pairs of two equal-length slices; a value is positive when it equals
    // `label` (IEEE equality for floats: NaN never, -0.0 as 0.0). A length mismatch
    // leaves the counts untouched; two empty slices are accepted.
    Result<void, ModelPerformanceError> push_dataset(std::span<const float> y_true, std::span<const float> y_pred,
                                                     float label);
    Result<void, ModelPerformanceError> push_dataset(std::span<const std::int32_t> y_true,
                                                     std::span<const std::int32_t> y_pred, std::int32_t label);

    // Counts equal-length slices with a caller's positivity rule. Three running
    // tallies instead of four branches keep the loop branch-free so it vectorises; the
    // four counts follow from them.
    template <class T, class IsPositive>
    void push_pairs(std::span<const T> y_true, std::span<const T> y_pred, IsPositive positive) {
        std::uint64_t both = 0, truth = 0, predicted = 0;
        const std::size_t n = y_true.size();
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t t = positive(y_true[i]);
            const std::uint64_t p = positive(y_pred[i]);
            both += t & p;
            truth += t;
            predicted += p;
        }
        true_positive += both;
        false_negative += truth - both;
        false_positive += predicted - both;
        true_negative += n - truth - predicted + both;
    }

    bool empty() const { return (true_positive | false_positive | true_negative | false_negative) == 0; }
};

}  // namespace morvane
