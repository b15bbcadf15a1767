// The classification records and their formulas: the ratio metrics from confusion
// counts, and the logistic log loss accumulated over blocks of pairs.
#pragma once

#include <array>
#include <cmath>
#include <optional>
#include <span>
#include <string>

#include "core/common/array_view.hpp"
#include "core/common/confusion_counts.hpp"
#include "core/common/errors.hpp"
#include "core/common/metric_record.hpp"
#include "core/common/metrics.hpp"
#include "core/performance/regression.hpp"

namespace morvane {

// The records of the two classification families, one slot per row of their tables.
using BinaryClassificationRecord = MetricRecord<tables::CLASSIFICATION>;
using LogisticRegressionRecord = MetricRecord<tables::LOGISTIC>;

// The seven ratio metrics in slot order from counts already read as 32-bit floats (whole
// or expected counts), zero denominators unguarded as below.
std::array<float, 7> ratio_metrics(float tp, float fp, float tn, float fn);

// The seven ratio metrics from confusion counts, in 32-bit arithmetic: zero
// denominators give NaN, except F1Score, which is 0 when precision and recall are both 0.
BinaryClassificationRecord classification_metrics(const ConfusionMatrix& cm);
// The ratios followed by the given log loss.
LogisticRegressionRecord logistic_metrics(const ConfusionMatrix& cm, float log_loss);

// The clamp of the log-loss probabilities: [eps, 1 - eps] in 32 bits.
struct LogLossClamp {
    float eps;
    float upper;

    // Null when the bounds cross (epsilon above one half, or NaN): no term can be formed.
    static std::optional<LogLossClamp> from_stability_eps();

    // t·ln c + (1 − t)·ln(1 − c) with c = p clamped (NaN stays NaN), all in 32 bits.
    float term(float t, float p) const {
        const float c = p < eps ? eps : (p > upper ? upper : p);
        return t * std::log(c) + (1.0f - t) * std::log(1.0f - c);
    }
};

// The one-shot logistic computation, fed in consecutive blocks of pairs: counts of
// both thresholded sides, and the log-loss terms summed in input order.
struct LogisticAccumulator {
    ConfusionMatrix counts;
    double log_loss_sum = 0.0;  // 32-bit terms, accumulated in 64 bits
    std::size_t n = 0;
    double threshold = 0.0;
    LogLossClamp clamp{};

    // For n pairs in all: fails with InvalidData when there is data and the epsilon
    // cannot clamp.
    static Result<LogisticAccumulator, ModelPerformanceError> start(std::size_t n, double threshold);
    // Equal-length blocks, in order.
    void add(std::span<const float> y_true, std::span<const float> y_pred);
    // Two equal-length numeric views, each element read as read_as reads it (contiguous
    // float arrays in place).
    void add_views(const ArrayView& y_true, const ArrayView& y_pred);
    // LogLoss = −sum / n; a NaN LogLoss fails with InvalidData.
    Result<LogisticRegressionRecord, ModelPerformanceError> finish() const;
};

// The logistic metrics of two equal-length vectors: both thresholded (as 64-bit values)
// for the counts; the log loss uses the raw ground truth and the clamped predictions. A
// NaN log loss (empty input, NaN data, t = 1 with p = 1) or an unusable epsilon fails
// with InvalidData.
Result<LogisticRegressionRecord, ModelPerformanceError> logistic_metrics(std::span<const float> y_true,
                                                                         std::span<const float> y_pred, double threshold);

// A record from a stored metric set; a missing name fails with InvalidAnalysisReport.
template <class Record>
Result<Record, ModelPerformanceError> performance_record(const MetricValues& map) {
    auto r = Record::from_names(map);
    if (!r) return unexpected(ModelPerformanceError::of(PerfKind::InvalidAnalysisReport));
    return *r;
}

}  // namespace morvane
