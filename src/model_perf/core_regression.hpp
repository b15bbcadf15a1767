// Regression metrics: one pass fills ten 64-bit sums; finishing turns them into the
// eight 32-bit metrics. The streaming monitor keeps the same sums open.
#pragma once

#include <array>
#include <span>

#include "errors/errors.hpp"
#include "metrics/metrics.hpp"

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

    // R² in 64 bits from the expanded sums: 1 - SSE / SST, with SST exactly 0 giving
    // 1.0 for an exact fit and 0.0 otherwise.
    double r_squared() const;
};

// The eight metrics in LinearRegressionEvaluationMetric order.
struct LinearRegressionRuntime {
    std::array<float, 8> values{};

    float get(LinearRegressionEvaluationMetric m) const { return values[static_cast<std::size_t>(m)]; }

    static Result<LinearRegressionRuntime, ModelPerformanceError> make(std::span<const float> y_true,
                                                                       std::span<const float> y_pred);
    // Finishes the sums; n is the number of pairs as a 64-bit float.
    static LinearRegressionRuntime from_buckets(const LinearRegressionErrorBuckets& b, double n);

    MetricMap<LinearRegressionEvaluationMetric> to_map() const;
};

}  // namespace morvane
