// The record of the twelve model-bias metrics that runtime checks compare: built from
// post-training counts or from a stored dict, compared by the growth rule.
#pragma once

#include <array>
#include <span>
#include <string>
#include <unordered_map>

#include "core/common/errors.hpp"
#include "core/common/metrics.hpp"
#include "core/model_bias/post_training.hpp"

namespace morvane {

struct ModelBiasRuntime {
    std::array<float, 12> values{};

    float get(ModelBiasMetric m) const { return values[static_cast<std::size_t>(m)]; }

    // The guards of the metric formulas, reported as performance errors: a facet
    // without elements is EmptyDataVector, every other refusal InvalidData.
    static Result<ModelBiasRuntime, ModelPerformanceError> new_from_post_training(const PostTraining& t,
                                                                                  float generalized_entropy);
    // The twelve names looked up in metric order; the first missing one is the error.
    static Result<ModelBiasRuntime, ModelBiasRuntimeError> from_map(const std::unordered_map<std::string, float>& map);

    MetricMap<ModelBiasMetric> to_map() const;

    // The metrics (of those asked for) that grew beyond 1 + threshold times their
    // baseline, with the size of the growth.
    MetricMap<ModelBiasMetric> runtime_check(const ModelBiasRuntime& baseline, std::span<const ModelBiasMetric> metrics,
                                             float threshold) const;
    // |(r - b) / b| for every metric, without an epsilon.
    MetricMap<ModelBiasMetric> runtime_drift_report(const ModelBiasRuntime& baseline) const;
};

// The runtime error that reports a missing metric.
ModelBiasRuntimeError missing_metric_error(ModelBiasMetric m);

}  // namespace morvane
