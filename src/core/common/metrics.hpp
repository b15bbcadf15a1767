// The metric vocabulary: four enumerations, their printed names, single-name parsing,
// the five validated list parsers and metric maps.
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

namespace morvane {

enum class DataBiasMetric : std::uint8_t {
    ClassImbalance,
    DifferenceInProportionOfLabels,
    KlDivergence,
    JsDivergence,
    LpNorm,
    TotalVariationDistance,
    KolmogorovSmirnov,
};

enum class ModelBiasMetric : std::uint8_t {
    DifferenceInPositivePredictedLabels,
    DisparateImpact,
    AccuracyDifference,
    RecallDifference,
    DifferenceInConditionalAcceptance,
    DifferenceInAcceptanceRate,
    SpecialityDifference,
    DifferenceInConditionalRejection,
    DifferenceInRejectionRate,
    TreatmentEquity,
    ConditionalDemographicDesparityPredictedLabels,
    GeneralizedEntropy,
};

enum class ClassificationEvaluationMetric : std::uint8_t {
    BalancedAccuracy,
    PrecisionPositive,
    PrecisionNegative,
    RecallPositive,
    RecallNegative,
    Accuracy,
    F1Score,
    LogLoss,
};

enum class LinearRegressionEvaluationMetric : std::uint8_t {
    RootMeanSquaredError,
    MeanSquaredError,
    MeanAbsoluteError,
    RSquared,
    MaxError,
    MeanSquaredLogError,
    RootMeanSquaredLogError,
    MeanAbsolutePercentageError,
};

// Printed names of each enumeration, in member order.
template <class M>
struct MetricNames;

template <>
struct MetricNames<DataBiasMetric> {
    static constexpr std::array<std::string_view, 7> names{
        "ClassImbalance", "DifferenceInProportionOfLabels", "KlDivergence", "JsDivergence",
        "LpNorm", "TotalVariationDistance", "KolmogorovSmirnov",
    };
};

template <>
struct MetricNames<ModelBiasMetric> {
    static constexpr std::array<std::string_view, 12> names{
        "DifferenceInPositivePredictedLabels",
        "DisparateImpact",
        "AccuracyDifference",
        "RecallDifference",
        "DifferenceInConditionalAcceptance",
        "DifferenceInAcceptanceRate",
        "SpecialityDifference",
        "DifferenceInConditionalRejection",
        "DifferenceInRejectionRate",
        "TreatmentEquity",
        "ConditionalDemographicDesparityPredictedLabels",
        "GeneralizedEntropy",
    };
};

template <>
struct MetricNames<ClassificationEvaluationMetric> {
    static constexpr std::array<std::string_view, 8> names{
        "BalancedAccuracy", "PrecisionPositive", "PrecisionNegative", "RecallPositive",
        "RecallNegative", "Accuracy", "F1Score", "LogLoss",
    };
};

template <>
struct MetricNames<LinearRegressionEvaluationMetric> {
    static constexpr std::array<std::string_view, 8> names{
        "RootMeanSquaredError", "MeanSquaredError", "MeanAbsoluteError", "RSquared",
        "MaxError", "MeanSquaredLogError", "RootMeanSquaredLogError", "MeanAbsolutePercentageError",
    };
};

template <class M>
inline constexpr std::size_t METRIC_COUNT = MetricNames<M>::names.size();

template <class M>
constexpr std::string_view metric_name(M m) {
    return MetricNames<M>::names[static_cast<std::size_t>(m)];
}

// Exact, case-sensitive match of a printed name; nothing else parses.
template <class M>
constexpr std::optional<M> parse_metric(std::string_view text) {
    const auto& names = MetricNames<M>::names;
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == text) return static_cast<M>(i);
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
