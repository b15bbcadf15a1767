#include "core/common/metrics.hpp"

namespace morvane {

namespace {

// Parses every name, collecting the rejected ones so the error lists them all.
template <class M>
Result<std::vector<M>, InvalidMetricError> parse_list(Names names, InvalidMetricError::Kind kind) {
    std::vector<M> out;
    if (names.empty()) return out;
    out.reserve(names.size());
    std::vector<std::string> rejected;
    for (const auto& n : names) {
        if (auto m = parse_metric<M>(n))
            out.push_back(*m);
        else
            rejected.push_back(n);
    }
    if (!rejected.empty()) return unexpected(InvalidMetricError{kind, std::move(rejected)});
    return out;
}

}  // namespace

Result<ClassificationEvaluationMetric, std::string> parse_classification_metric(std::string_view text) {
    if (auto m = parse_metric<ClassificationEvaluationMetric>(text)) return *m;
    return unexpected(std::string(INVALID_METRIC_TYPE));
}

Result<DataBiasMetricVec, InvalidMetricError> parse_data_bias_metrics(Names names) {
    return parse_list<DataBiasMetric>(names, InvalidMetricError::Kind::DataBiasMetricError);
}

Result<ModelBiasMetricVec, InvalidMetricError> parse_model_bias_metrics(Names names) {
    return parse_list<ModelBiasMetric>(names, InvalidMetricError::Kind::ModelBiasMetricError);
}

Result<LogisticRegressionMetricVec, InvalidMetricError> parse_logistic_regression_metrics(Names names) {
    return parse_list<ClassificationEvaluationMetric>(names, InvalidMetricError::Kind::RegressionMetricError);
}

Result<LinearRegressionMetricVec, InvalidMetricError> parse_linear_regression_metrics(Names names) {
    return parse_list<LinearRegressionEvaluationMetric>(names, InvalidMetricError::Kind::RegressionMetricError);
}

// Binary classification has no log loss: the first LogLoss ends the parse and is the
// only name reported, whatever was rejected before it.
Result<ClassificationMetricVec, InvalidMetricError> parse_classification_metrics(Names names) {
    using M = ClassificationEvaluationMetric;
    constexpr auto kind = InvalidMetricError::Kind::ClassificationMetricError;
    ClassificationMetricVec out;
    if (names.empty()) return out;
    out.reserve(names.size());
    std::vector<std::string> rejected;
    for (const auto& n : names) {
        auto m = parse_metric<M>(n);
        if (m == M::LogLoss) return unexpected(InvalidMetricError{kind, {std::string("LogLoss")}});
        if (m)
            out.push_back(*m);
        else
            rejected.push_back(n);
    }
    if (!rejected.empty()) return unexpected(InvalidMetricError{kind, std::move(rejected)});
    return out;
}

}  // namespace morvane
