#include "core/performance/records.hpp"

#include "core/common/configuration.hpp"
#include "core/common/log_avx2.hpp"
#include "core/performance/float_arrays.hpp"
#include "core/performance/vector_kernels.hpp"

namespace morvane {

namespace {

using CM = ClassificationEvaluationMetric;

}  // namespace

std::array<float, 7> ratio_metrics(float tp, float fp, float tn, float fn) {
    const float recall_positive = tp / (tp + fn);
    const float recall_negative = tn / (tn + fp);
    const float precision_positive = tp / (tp + fp);
    const float precision_negative = tn / (tn + fn);
    const float balanced_accuracy = (recall_positive + recall_negative) * 0.5f;
    const float accuracy = (tp + tn) / (tn + (fn + (tp + fp)));
    // Precision and recall both 0 (no true positive, but false ones on both sides) is
    // the worst F1, 0, not 0/0; a NaN precision or recall still gives NaN.
    const float f1 = recall_positive == 0.0f && precision_positive == 0.0f
                         ? 0.0f
                         : ((recall_positive + recall_positive) * precision_positive) / (recall_positive + precision_positive);
    return {balanced_accuracy, precision_positive, precision_negative, recall_positive,
            recall_negative,   accuracy,           f1};
}

namespace {

std::array<float, 7> ratios_of(const ConfusionMatrix& cm) {
    const auto [tp, fp, tn, fn] = cm.as_f32();
    return ratio_metrics(tp, fp, tn, fn);
}

}  // namespace

BinaryClassificationRecord classification_metrics(const ConfusionMatrix& cm) { return {ratios_of(cm)}; }

LogisticRegressionRecord logistic_metrics(const ConfusionMatrix& cm, float log_loss) {
    const auto ratios = ratios_of(cm);
    LogisticRegressionRecord r;
    for (std::size_t i = 0; i < ratios.size(); ++i) r.values[i] = ratios[i];
    r.values[static_cast<std::size_t>(CM::LogLoss)] = log_loss;
    return r;
}

std::optional<LogLossClamp> LogLossClamp::from_stability_eps() {
    const float eps = static_cast<float>(static_cast<double>(STABILITIY_EPS));
    const float upper = 1.0f - eps;
    if (!(eps <= upper)) return std::nullopt;
    return LogLossClamp{eps, upper};
}

Result<LogisticAccumulator, ModelPerformanceError> LogisticAccumulator::start(std::size_t n, double threshold) {
    LogisticAccumulator acc;
    acc.n = n;
    acc.threshold = threshold;
    if (n != 0) {
        const auto clamp = LogLossClamp::from_stability_eps();
        if (!clamp) return unexpected(ModelPerformanceError::of(PerfKind::InvalidData));
        acc.clamp = *clamp;
    }
    return acc;
}

void LogisticAccumulator::add(std::span<const float> y_true, std::span<const float> y_pred) {
    std::size_t i = 0;
    if (log_detail::use_block_logs()) i = add_logistic_avx2(*this, y_true.data(), y_pred.data(), y_true.size());
    y_true = y_true.subspan(i);
    y_pred = y_pred.subspan(i);
    // Both sides are thresholded, compared as 64-bit values; NaN is negative.
    const double th = threshold;
    counts.push_pairs(y_true, y_pred, [th](float v) { return static_cast<double>(v) >= th; });
    // Each term in 32 bits; the terms accumulate in 64 bits so long inputs do not
    // stagnate, and the sum is narrowed once.
    double sum = log_loss_sum;
    for (std::size_t k = 0; k < y_true.size(); ++k) sum += clamp.term(y_true[k], y_pred[k]);
    log_loss_sum = sum;
}

void LogisticAccumulator::add_views(const ArrayView& y_true, const ArrayView& y_pred) {
    std::size_t i = 0;
    if (log_detail::use_block_logs())
        i = with_float_data(y_true, y_pred, [&](auto* t, auto* p) { return add_logistic_avx2(*this, t, p, y_true.length); });
    for_blocks<float>(drop_front(y_true, i), drop_front(y_pred, i), [&](auto t, auto p) { add(t, p); });
}

Result<LogisticRegressionRecord, ModelPerformanceError> LogisticAccumulator::finish() const {
    const float log_loss = -static_cast<float>(log_loss_sum) / static_cast<float>(n);
    if (std::isnan(log_loss)) return unexpected(ModelPerformanceError::of(PerfKind::InvalidData));
    return logistic_metrics(counts, log_loss);
}

Result<LogisticRegressionRecord, ModelPerformanceError> logistic_metrics(std::span<const float> y_true,
                                                                         std::span<const float> y_pred, double threshold) {
    if (y_true.size() != y_pred.size()) return unexpected(ModelPerformanceError::of(PerfKind::DataVectorLengthMismatch));
    auto acc = LogisticAccumulator::start(y_true.size(), threshold);
    if (!acc) return unexpected(acc.error());
    acc->add(y_true, y_pred);
    return acc->finish();
}

}  // namespace morvane
