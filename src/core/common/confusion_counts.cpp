#include "core/common/confusion_counts.hpp"

namespace morvane {

Result<void, ModelPerformanceError> ConfusionMatrix::push_dataset(std::span<const float> y_true,
                                                                  std::span<const float> y_pred, float label) {
    if (y_true.size() != y_pred.size()) return unexpected(ModelPerformanceError::of(PerfKind::DataVectorLengthMismatch));
    push_pairs(y_true, y_pred, [label](float v) { return v == label; });
    return {};
}

Result<void, ModelPerformanceError> ConfusionMatrix::push_dataset(std::span<const std::int32_t> y_true,
                                                                  std::span<const std::int32_t> y_pred,
                                                                  std::int32_t label) {
    if (y_true.size() != y_pred.size()) return unexpected(ModelPerformanceError::of(PerfKind::DataVectorLengthMismatch));
    push_pairs(y_true, y_pred, [label](std::int32_t v) { return v == label; });
    return {};
}

}  // namespace morvane
