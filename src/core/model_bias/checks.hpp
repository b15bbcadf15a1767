// The model-bias record: the twelve metrics of the post-training counts, one slot per
// row of the model-bias table, compared by the runtime checks and the monitor.
#pragma once

#include "core/common/errors.hpp"
#include "core/common/metric_record.hpp"
#include "core/model_bias/post_training.hpp"

namespace morvane {

using ModelBiasRecord = MetricRecord<tables::MODEL_BIAS>;

// The guards of the metric formulas, reported as performance errors: a facet without
// elements is EmptyDataVector, every other refusal InvalidData.
Result<ModelBiasRecord, ModelPerformanceError> model_bias_metrics(const PostTraining& t, float generalized_entropy);

}  // namespace morvane
