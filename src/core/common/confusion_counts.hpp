// Agreement counts between ground truth and prediction against a positive label.
// The counts are exact 64-bit integers; formulas read them as 32-bit floats, so a
// window of any length keeps counting instead of stalling at 2^24.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "core/common/array_view.hpp"
#include "core/common/errors.hpp"

namespace morvane {

// How often two flags hold over a number of pairs: the first, the second, and both
// together. The 2x2 table of a confusion matrix and that of a facet split are both
// read from these four counts.
struct PairTally {
    std::uint64_t pairs = 0;
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    std::uint64_t both = 0;

    PairTally& operator+=(const PairTally& o) {
        pairs += o.pairs;
        first += o.first;
        second += o.second;
        both += o.both;
        return *this;
    }
};

// Tallies the flags first(i) and second(i) for i < n. Three running counts instead of
// four branches keep the loop branch-free, and 32-bit partial counts over blocks let it
// vectorise wide.
template <class First, class Second>
PairTally tally_pairs(std::size_t n, First first, Second second) {
    constexpr std::size_t BLOCK = std::size_t{1} << 24;
    PairTally t;
    for (std::size_t start = 0; start < n; start += BLOCK) {
        const std::size_t end = std::min(n, start + BLOCK);
        std::uint32_t f = 0, s = 0, b = 0;
        for (std::size_t i = start; i < end; ++i) {
            const std::uint32_t x = first(i);
            const std::uint32_t y = second(i);
            f += x;
            s += y;
            b += x & y;
        }
        t += PairTally{end - start, f, s, b};
    }
    return t;
}

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

    // Counts two numeric views of equal length, each element converted to a 64-bit float
    // and narrowed to 32 bits before it is compared with `label` (as push_dataset sees
    // the converted values), without converting: the doubles that narrow to the label
    // form one interval, tested in place.
    void push_views(const ArrayView& y_true, const ArrayView& y_pred, float label);

    // Truth as the first flag, prediction as the second.
    void add(const PairTally& t) {
        true_positive += t.both;
        false_negative += t.first - t.both;
        false_positive += t.second - t.both;
        true_negative += t.pairs - t.first - t.second + t.both;
    }

    // Counts equal-length slices with a caller's positivity rule.
    template <class T, class IsPositive>
    void push_pairs(std::span<const T> y_true, std::span<const T> y_pred, IsPositive positive) {
        add(tally_pairs(
            y_true.size(), [&](std::size_t i) { return positive(y_true[i]); },
            [&](std::size_t i) { return positive(y_pred[i]); }));
    }

    bool empty() const { return (true_positive | false_positive | true_negative | false_negative) == 0; }
};

}  // namespace morvane
