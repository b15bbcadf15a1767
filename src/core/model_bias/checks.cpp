#include "core/model_bias/checks.hpp"

namespace morvane {

Result<ModelBiasRecord, ModelPerformanceError> model_bias_metrics(const PostTraining& t, float generalized_entropy) {
    switch (model_bias::check_guards(t)) {
        case model_bias::GuardFailure::EmptyFacet: return unexpected(ModelPerformanceError::of(PerfKind::EmptyDataVector));
        case model_bias::GuardFailure::ZeroDenominator: return unexpected(ModelPerformanceError::of(PerfKind::InvalidData));
        case model_bias::GuardFailure::None: break;
    }
    return ModelBiasRecord{model_bias::bias_values(t, generalized_entropy)};
}

}  // namespace morvane
