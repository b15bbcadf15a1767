// One table per metric family. A row holds everything the code needs to know about a
// metric besides its formula: its printed name, its slot in the family's record (the
// row's position), whether higher is better, the rule a runtime check applies and the
// rule a monitor applies. Names, counts, all-metric lists, dict conversion, checks,
// filters and the default threshold are derived from here; adding a metric is a row
// here plus its formula.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace morvane {

// The threshold every check and monitor report uses when the caller gives none.
inline constexpr float DEFAULT_THRESHOLD = 0.1f;

// How a runtime check compares the latest value l with its baseline b at threshold t:
// when the metric fails, and the change it then reports. A comparison with NaN is
// false, so a NaN never fails.
enum class CheckRule : std::uint8_t {
    Rise,                  // l > (1 + t)·b; change l − b
    RiseMagnitude,         // l > (1 + t)·b; change |l − b|
    Fall,                  // l < (1 − t)·b; change b − l
    ScaledFall,            // (1 + t)·l < b; change b − l
    AbsRise,               // |l| > (1 + t)·|b|; change ||l| − |b||
    AbsRiseMagnitude,      // |l| > (1 + t)·|b|; change |l − b|
    AbsRiseOfAbsBound,     // |l| > |(1 + t)·|b||; change ||l| − |b||
};

// What a monitor's drift snapshot reports for a metric from the window value r and the
// baseline b, and which value its drift report holds against the threshold.
enum class SnapshotRule : std::uint8_t {
    Signed,          // b − r
    Absolute,        // |b − r|
    RelativeFloor,   // |r − b| / max(|b|, eps)
    Relative,        // |(r − b) / b|
};
enum class ReportRule : std::uint8_t {
    Snapshot,  // the snapshot value reaches the threshold
    Rise,      // r − b reaches the threshold: a lower-is-better metric that rose
};

template <class M>
struct MetricRow {
    M metric;
    std::string_view name;
    bool higher_is_better;
    CheckRule check;
    SnapshotRule snapshot;
    ReportRule report;
};

// The change a check reports for a failing metric, or nothing when it passes.
constexpr std::optional<float> check_change(CheckRule rule, float l, float b, float t) {
    const float k = 1.0f + t;
    switch (rule) {
        case CheckRule::Rise:
            if (l > k * b) return l - b;
            break;
        case CheckRule::RiseMagnitude:
            if (l > k * b) return std::fabs(l - b);
            break;
        case CheckRule::Fall:
            if (l < (1.0f - t) * b) return b - l;
            break;
        case CheckRule::ScaledFall:
            if (k * l < b) return b - l;
            break;
        case CheckRule::AbsRise:
            if (std::fabs(l) > k * std::fabs(b)) return std::fabs(std::fabs(l) - std::fabs(b));
            break;
        case CheckRule::AbsRiseMagnitude:
            if (std::fabs(l) > k * std::fabs(b)) return std::fabs(l - b);
            break;
        case CheckRule::AbsRiseOfAbsBound:
            if (std::fabs(l) > std::fabs(k * std::fabs(b))) return std::fabs(std::fabs(l) - std::fabs(b));
            break;
    }
    return std::nullopt;
}

// A snapshot value; eps floors the divisor of RelativeFloor.
constexpr float snapshot_value(SnapshotRule rule, float r, float b, float eps) {
    switch (rule) {
        case SnapshotRule::Signed: return b - r;
        case SnapshotRule::Absolute: return std::fabs(b - r);
        case SnapshotRule::RelativeFloor: return std::fabs(r - b) / std::fmax(std::fabs(b), eps);  // fmax ignores a NaN |b|
        case SnapshotRule::Relative: return std::fabs((r - b) / b);
    }
    return r;
}

// The value a monitor's drift report holds against its threshold.
constexpr float report_value(const auto& row, float r, float b, float eps) {
    return row.report == ReportRule::Rise ? r - b : snapshot_value(row.snapshot, r, b, eps);
}

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

namespace tables {

using enum CheckRule;
using enum SnapshotRule;

// Regression: errors are better lower; the monitor reports the absolute change.
using LM = LinearRegressionEvaluationMetric;
inline constexpr std::array<MetricRow<LM>, 8> REGRESSION{{
    {LM::RootMeanSquaredError, "RootMeanSquaredError", false, Rise, Absolute, ReportRule::Snapshot},
    {LM::MeanSquaredError, "MeanSquaredError", false, Rise, Absolute, ReportRule::Snapshot},
    {LM::MeanAbsoluteError, "MeanAbsoluteError", false, Rise, Absolute, ReportRule::Snapshot},
    {LM::RSquared, "RSquared", true, Fall, Absolute, ReportRule::Snapshot},
    {LM::MaxError, "MaxError", false, Rise, Absolute, ReportRule::Snapshot},
    {LM::MeanSquaredLogError, "MeanSquaredLogError", false, Rise, Absolute, ReportRule::Snapshot},
    {LM::RootMeanSquaredLogError, "RootMeanSquaredLogError", false, Rise, Absolute, ReportRule::Snapshot},
    {LM::MeanAbsolutePercentageError, "MeanAbsolutePercentageError", false, Rise, Absolute, ReportRule::Snapshot},
}};

// Logistic regression: the seven ratios are better higher, the log loss lower; the
// monitor's snapshot is the signed fall b − r, and its report fails a rising log loss.
using CM = ClassificationEvaluationMetric;
inline constexpr std::array<MetricRow<CM>, 8> LOGISTIC{{
    {CM::BalancedAccuracy, "BalancedAccuracy", true, Fall, Signed, ReportRule::Snapshot},
    {CM::PrecisionPositive, "PrecisionPositive", true, Fall, Signed, ReportRule::Snapshot},
    {CM::PrecisionNegative, "PrecisionNegative", true, Fall, Signed, ReportRule::Snapshot},
    {CM::RecallPositive, "RecallPositive", true, Fall, Signed, ReportRule::Snapshot},
    {CM::RecallNegative, "RecallNegative", true, Fall, Signed, ReportRule::Snapshot},
    {CM::Accuracy, "Accuracy", true, Fall, Signed, ReportRule::Snapshot},
    {CM::F1Score, "F1Score", true, Fall, Signed, ReportRule::Snapshot},
    {CM::LogLoss, "LogLoss", false, Rise, Signed, ReportRule::Rise},
}};

// Binary classification: the seven ratios of the logistic table, checked by the
// scaled fall (1 + t)·l < b.
inline constexpr std::array<MetricRow<CM>, 7> CLASSIFICATION = [] {
    std::array<MetricRow<CM>, 7> rows{};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i] = LOGISTIC[i];
        rows[i].check = ScaledFall;
    }
    return rows;
}();

// Data bias: checks fail growth (the signed metrics by magnitude); the monitor reports
// the relative change with the stability epsilon as the floor of the divisor.
using DM = DataBiasMetric;
inline constexpr std::array<MetricRow<DM>, 7> DATA_BIAS{{
    {DM::ClassImbalance, "ClassImbalance", false, AbsRiseOfAbsBound, RelativeFloor, ReportRule::Snapshot},
    {DM::DifferenceInProportionOfLabels, "DifferenceInProportionOfLabels", false, AbsRiseMagnitude, RelativeFloor,
     ReportRule::Snapshot},
    {DM::KlDivergence, "KlDivergence", false, Rise, RelativeFloor, ReportRule::Snapshot},
    {DM::JsDivergence, "JsDivergence", false, Rise, RelativeFloor, ReportRule::Snapshot},
    {DM::LpNorm, "LpNorm", false, Rise, RelativeFloor, ReportRule::Snapshot},
    {DM::TotalVariationDistance, "TotalVariationDistance", false, Rise, RelativeFloor, ReportRule::Snapshot},
    {DM::KolmogorovSmirnov, "KolmogorovSmirnov", false, Rise, RelativeFloor, ReportRule::Snapshot},
}};

// Model bias: ratios fail by growing, differences by growing in magnitude; the monitor
// reports the relative change without a floor.
using BM = ModelBiasMetric;
inline constexpr std::array<MetricRow<BM>, 12> MODEL_BIAS{{
    {BM::DifferenceInPositivePredictedLabels, "DifferenceInPositivePredictedLabels", false, AbsRise, Relative,
     ReportRule::Snapshot},
    {BM::DisparateImpact, "DisparateImpact", false, RiseMagnitude, Relative, ReportRule::Snapshot},
    {BM::AccuracyDifference, "AccuracyDifference", false, AbsRise, Relative, ReportRule::Snapshot},
    {BM::RecallDifference, "RecallDifference", false, AbsRise, Relative, ReportRule::Snapshot},
    {BM::DifferenceInConditionalAcceptance, "DifferenceInConditionalAcceptance", false, AbsRise, Relative,
     ReportRule::Snapshot},
    {BM::DifferenceInAcceptanceRate, "DifferenceInAcceptanceRate", false, AbsRise, Relative, ReportRule::Snapshot},
    {BM::SpecialityDifference, "SpecialityDifference", false, AbsRise, Relative, ReportRule::Snapshot},
    {BM::DifferenceInConditionalRejection, "DifferenceInConditionalRejection", false, AbsRise, Relative,
     ReportRule::Snapshot},
    {BM::DifferenceInRejectionRate, "DifferenceInRejectionRate", false, AbsRise, Relative, ReportRule::Snapshot},
    {BM::TreatmentEquity, "TreatmentEquity", false, AbsRise, Relative, ReportRule::Snapshot},
    {BM::ConditionalDemographicDesparityPredictedLabels, "ConditionalDemographicDesparityPredictedLabels", false,
     AbsRise, Relative, ReportRule::Snapshot},
    {BM::GeneralizedEntropy, "GeneralizedEntropy", false, RiseMagnitude, Relative, ReportRule::Snapshot},
}};

// A row's slot is its position: the table must list the metrics in enumeration order.
template <class M, std::size_t N>
constexpr bool in_slot_order(const std::array<MetricRow<M>, N>& rows) {
    for (std::size_t i = 0; i < N; ++i)
        if (static_cast<std::size_t>(rows[i].metric) != i) return false;
    return true;
}
static_assert(in_slot_order(REGRESSION) && in_slot_order(LOGISTIC) && in_slot_order(CLASSIFICATION) &&
              in_slot_order(DATA_BIAS) && in_slot_order(MODEL_BIAS));

}  // namespace tables

// The widest table of each metric enumeration: its printed names and its count.
template <class M>
struct MetricTable;
template <>
struct MetricTable<LinearRegressionEvaluationMetric> {
    static constexpr const auto& rows = tables::REGRESSION;
};
template <>
struct MetricTable<ClassificationEvaluationMetric> {
    static constexpr const auto& rows = tables::LOGISTIC;
};
template <>
struct MetricTable<DataBiasMetric> {
    static constexpr const auto& rows = tables::DATA_BIAS;
};
template <>
struct MetricTable<ModelBiasMetric> {
    static constexpr const auto& rows = tables::MODEL_BIAS;
};

template <class M>
inline constexpr std::size_t METRIC_COUNT = MetricTable<M>::rows.size();

template <class M>
constexpr std::string_view metric_name(M m) {
    return MetricTable<M>::rows[static_cast<std::size_t>(m)].name;
}

// Every metric of a table, in slot order: what the full checks compare.
template <const auto& ROWS>
inline constexpr auto ALL_METRICS_OF = [] {
    using M = decltype(ROWS[0].metric);
    std::array<M, ROWS.size()> out{};
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = ROWS[i].metric;
    return out;
}();

}  // namespace morvane
