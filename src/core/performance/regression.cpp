#include "core/performance/regression.hpp"

#include <cmath>

#include "core/common/log_avx2.hpp"
#include "core/performance/float_arrays.hpp"
#include "core/performance/vector_kernels.hpp"

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

void LinearRegressionErrorBuckets::push_block(std::span<const float> y_true, std::span<const float> y_pred) {
    std::size_t i = 0;
    if (log_detail::use_block_logs()) i = push_pairs_vector(*this, y_true.data(), y_pred.data(), y_true.size());
    for (; i < y_true.size(); ++i) push(y_true[i], y_pred[i]);
}

void LinearRegressionErrorBuckets::push_views(const ArrayView& y_true, const ArrayView& y_pred) {
    std::size_t i = 0;
    if (log_detail::use_block_logs())
        i = with_float_data(y_true, y_pred, [&](auto* t, auto* p) { return push_pairs_vector(*this, t, p, y_true.length); });
    for_blocks<float>(drop_front(y_true, i), drop_front(y_pred, i), [&](auto t, auto p) { push_block(t, p); });
}

Result<LinearRegressionErrorBuckets, ModelPerformanceError> LinearRegressionErrorBuckets::from_dataset(
    std::span<const float> y_true, std::span<const float> y_pred) {
    if (y_true.size() != y_pred.size()) return unexpected(ModelPerformanceError::of(PerfKind::DataVectorLengthMismatch));
    if (y_true.empty()) return unexpected(ModelPerformanceError::of(PerfKind::EmptyDataVector));
    LinearRegressionErrorBuckets b;
    b.push_block(y_true, y_pred);
    return b;
}

double LinearRegressionErrorBuckets::r_squared() const {
    const double sst = y_true_squared_sum - (y_true_sum * y_true_sum) / count;
    // The expanded residual sum, not squared_error_sum: the two differ in the last bits.
    const double sse = y_pred_squared_sum + (y_true_squared_sum - (y_true_y_pred_sum + y_true_y_pred_sum));
    if (sst != 0.0) return 1.0 - sse / sst;  // NaN counts as non-zero
    return sse == 0.0 ? 1.0 : 0.0;
}

LinearRegressionRecord regression_metrics(const LinearRegressionErrorBuckets& b, double n, RootOf roots) {
    using enum LinearRegressionEvaluationMetric;
    LinearRegressionRecord r;
    const auto set = [&r](LinearRegressionEvaluationMetric m, float v) { r.values[static_cast<std::size_t>(m)] = v; };
    const double mse = b.squared_error_sum / n;
    const double msle = b.squared_log_error_sum / n;
    set(MeanSquaredError, static_cast<float>(mse));
    set(MeanAbsoluteError, static_cast<float>(b.absolute_error_sum / n));
    set(RSquared, static_cast<float>(b.r_squared()));
    set(MaxError, static_cast<float>(b.max_error));
    set(MeanSquaredLogError, static_cast<float>(msle));
    set(MeanAbsolutePercentageError, static_cast<float>(b.absolute_percent_error_sum / n));
    if (roots == RootOf::WideMean) {
        set(RootMeanSquaredError, static_cast<float>(std::sqrt(mse)));
        set(RootMeanSquaredLogError, static_cast<float>(std::sqrt(msle)));
    } else {
        set(RootMeanSquaredError, std::sqrt(static_cast<float>(mse)));
        set(RootMeanSquaredLogError, std::sqrt(static_cast<float>(msle)));
    }
    return r;
}

Result<LinearRegressionRecord, ModelPerformanceError> regression_metrics(std::span<const float> y_true,
                                                                         std::span<const float> y_pred) {
    auto buckets = LinearRegressionErrorBuckets::from_dataset(y_true, y_pred);
    if (!buckets) return unexpected(buckets.error());
    return regression_metrics(*buckets, static_cast<double>(static_cast<std::uint64_t>(y_true.size())));
}

}  // namespace morvane
