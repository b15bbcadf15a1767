// Parsing metric names (one name, or the five validated lists) and metric maps; the
// enumerations and their names are the metric tables (metric_tables.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/common/errors.hpp"
#include "core/common/metric_tables.hpp"

namespace morvane {

// Exact, case-sensitive match of a printed name; nothing else parses.
template <class M>
constexpr std::optional<M> parse_metric(std::string_view text) {
    for (const auto& row : MetricTable<M>::rows)
        if (row.name == text) return row.metric;
    return std::nullopt;
}

// The classification parse carries a message on failure.
inline constexpr std::string_view INVALID_METRIC_TYPE = "Invalid metric type";
Result<ClassificationEvaluationMetric, std::string> parse_classification_metric(std::string_view text);

// A metric map: each metric at most once, no defined order.
template <class M>
struct MetricHash {
    std::size_t operator()(M m) const noexcept { return static_cast<std::size_t>(m); }
};
template <class M>
using MetricMap = std::unordered_map<M, float, MetricHash<M>>;

// Validated lists: input order kept, duplicates allowed.
using DataBiasMetricVec = std::vector<DataBiasMetric>;
using ModelBiasMetricVec = std::vector<ModelBiasMetric>;
using ClassificationMetricVec = std::vector<ClassificationEvaluationMetric>;
using LogisticRegressionMetricVec = std::vector<ClassificationEvaluationMetric>;
using LinearRegressionMetricVec = std::vector<LinearRegressionEvaluationMetric>;

using Names = std::span<const std::string>;
Result<DataBiasMetricVec, InvalidMetricError> parse_data_bias_metrics(Names names);
Result<ModelBiasMetricVec, InvalidMetricError> parse_model_bias_metrics(Names names);
Result<ClassificationMetricVec, InvalidMetricError> parse_classification_metrics(Names names);
Result<LogisticRegressionMetricVec, InvalidMetricError> parse_logistic_regression_metrics(Names names);
Result<LinearRegressionMetricVec, InvalidMetricError> parse_linear_regression_metrics(Names names);

}  // namespace morvane
