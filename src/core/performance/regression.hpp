// Regression metrics: one pass fills ten 64-bit sums; finishing turns them into the
// 32-bit metrics of the regression table. The streaming monitor keeps the same sums open.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "core/common/array_view.hpp"
#include "core/common/errors.hpp"
#include "core/common/metric_record.hpp"

namespace morvane {

struct LinearRegressionErrorBuckets {
    double squared_error_sum = 0.0;
    double absolute_error_sum = 0.0;
    double max_error = 0.0;
    double squared_log_error_sum = 0.0;
    double absolute_percent_error_sum = 0.0;
    double y_true_sum = 0.0;
    double count = 0.0;
    double y_true_squared_sum = 0.0;
    double y_pred_squared_sum = 0.0;
    double y_true_y_pred_sum = 0.0;

    static Result<LinearRegressionErrorBuckets, ModelPerformanceError> from_dataset(std::span<const float> y_true,
                                                                                    std::span<const float> y_pred);
    // Adds one pair, widened to 64 bits.
    void push(float t, float p);
    // Adds the pairs of two equal-length blocks, in order, as push() would (four at a
    // time with AVX2 when the processor has it).
    void push_block(std::span<const float> y_true, std::span<const float> y_pred);
    // Adds the pairs of two equal-length numeric views, each element read as read_as
    // reads it, in order (contiguous float arrays in place).
    void push_views(const ArrayView& y_true, const ArrayView& y_pred);

    // R² in 64 bits from the expanded sums: 1 - SSE / SST, with SST exactly 0 giving
    // 1.0 for an exact fit and 0.0 otherwise.
    double r_squared() const;
};

// The regression record: one slot per row of the regression table.
using LinearRegressionRecord = MetricRecord<tables::REGRESSION>;

// How the two root metrics are taken: of the 64-bit mean, narrowed after (the one-shot
// function), or of the mean narrowed to 32 bits first (the streaming monitor).
enum class RootOf : std::uint8_t { WideMean, NarrowedMean };

// The metrics from the sums record; n is the number of pairs as a 64-bit float.
LinearRegressionRecord regression_metrics(const LinearRegressionErrorBuckets& b, double n, RootOf roots = RootOf::WideMean);
// The metrics of two equal-length, non-empty vectors.
Result<LinearRegressionRecord, ModelPerformanceError> regression_metrics(std::span<const float> y_true,
                                                                         std::span<const float> y_pred);

}  // namespace morvane
