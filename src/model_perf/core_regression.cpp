#include "model_perf/core_regression.hpp"

#include <cmath>

namespace morvane {

void LinearRegressionErrorBuckets::push(float tf, float pf) {
    const double t = tf, p = pf;
    const double d = t - p;
    const double ad = std::fabs(d);
    squared_error_sum += d * d;
    absolute_error_sum += ad;
    max_error = std::fmax(max_error, ad);  // maxNum: a NaN error leaves the maximum alone
    const double log_diff = std::log(t + 1.0) - std::log(p + 1.0);
    squared_log_error_sum += log_diff * log_diff;
    absolute_percent_error_sum += std::fabs(ad / t);
    y_true_sum += t;
    count += 1.0;
    y_true_squared_sum += t * t;
    y_pred_squared_sum += p * p;
    y_true_y_pred_sum += t * p;
}

Result<LinearRegressionErrorBuckets, ModelPerformanceError> LinearRegressionErrorBuckets::from_dataset(
    std::span<const float> y_true, std::span<const float> y_pred) {
    if (y_true.size() != y_pred.size()) return unexpected(ModelPerformanceError::of(PerfKind::DataVectorLengthMismatch));
    if (y_true.empty()) return unexpected(ModelPerformanceError::of(PerfKind::EmptyDataVector));
    LinearRegressionErrorBuckets b;
    for (std::size_t i = 0; i < y_true.size(); ++i) b.push(y_true[i], y_pred[i]);
    return b;
}

double LinearRegressionErrorBuckets::r_squared() const {
    const double sst = y_true_squared_sum - (y_true_sum * y_true_sum) / count;
    // The expanded residual sum, not squared_error_sum: the two differ in the last bits.
    const double sse = y_pred_squared_sum + (y_true_squared_sum - (y_true_y_pred_sum + y_true_y_pred_sum));
    if (sst != 0.0) return 1.0 - sse / sst;  // NaN counts as non-zero
    return sse == 0.0 ? 1.0 : 0.0;
}

LinearRegressionRuntime LinearRegressionRuntime::from_buckets(const LinearRegressionErrorBuckets& b, double n) {
    const double mse = b.squared_error_sum / n;
    const double rmse = std::sqrt(mse);
    const double mae = b.absolute_error_sum / n;
    const double r2 = b.r_squared();
    const double msle = b.squared_log_error_sum / n;
    const double rmsle = std::sqrt(msle);
    const double mape = b.absolute_percent_error_sum / n;
    LinearRegressionRuntime r;
    r.values = {static_cast<float>(rmse), static_cast<float>(mse),   static_cast<float>(mae),
                static_cast<float>(r2),   static_cast<float>(b.max_error), static_cast<float>(msle),
                static_cast<float>(rmsle), static_cast<float>(mape)};
    return r;
}

Result<LinearRegressionRuntime, ModelPerformanceError> LinearRegressionRuntime::make(std::span<const float> y_true,
                                                                                     std::span<const float> y_pred) {
    auto buckets = LinearRegressionErrorBuckets::from_dataset(y_true, y_pred);
    if (!buckets) return unexpected(buckets.error());
    return from_buckets(*buckets, static_cast<double>(static_cast<std::uint64_t>(y_true.size())));
}

MetricMap<LinearRegressionEvaluationMetric> LinearRegressionRuntime::to_map() const {
    MetricMap<LinearRegressionEvaluationMetric> map;
    map.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) map.emplace(static_cast<LinearRegressionEvaluationMetric>(i), values[i]);
    return map;
}

}  // namespace morvane
