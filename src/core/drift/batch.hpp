// Batch drift detectors: a fixed baseline, and a runtime histogram built from scratch
// on every call, scored, and cleared again.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/drift/baseline.hpp"
#include "core/drift/scores.hpp"
#include "core/common/errors.hpp"

namespace morvane {

class ContinuousDataDrift {
public:
    // Absent heuristic: FreedmanDiaconis.
    static Result<ContinuousDataDrift, DriftError> new_from_baseline(std::optional<QuantileType> q,
                                                                     std::span<const double> baseline);

    Result<double, DriftError> compute_drift(std::span<const double> runtime, DriftType type);
    // One binning for all metrics; scores in the order asked, repeats included.
    Result<std::vector<double>, DriftError> compute_drift_multiple_criteria(std::span<const double> runtime,
                                                                            std::span<const DriftType> types);
    // Rebuilds the baseline with its heuristic; on failure nothing changes.
    Result<void, DriftError> reset_baseline(std::span<const double> baseline);

    const BaselineContinuousBins& baseline() const { return baseline_; }
    std::size_t num_bins() const { return baseline_.n_bins(); }

private:
    ContinuousDataDrift(BaselineContinuousBins b) : baseline_(std::move(b)), runtime_bins_(baseline_.n_bins(), 0.0) {}
    Result<void, DriftError> build_rt_hist(std::span<const double> runtime);
    double score(DriftType type) const;

    BaselineContinuousBins baseline_;
    std::vector<double> runtime_bins_;  // scratch: all zero between calls
};

class CategoricalDataDrift {
public:
    static Result<CategoricalDataDrift, DriftError> make(std::span<const std::string> baseline);

    Result<double, DriftError> compute_drift(std::span<const std::string> runtime, DriftType type);
    Result<std::vector<double>, DriftError> compute_drift_multiple_criteria(std::span<const std::string> runtime,
                                                                            std::span<const DriftType> types);
    Result<void, DriftError> reset_baseline(std::span<const std::string> baseline);

    const BaselineCategoricalBins& baseline() const { return baseline_; }
    std::size_t num_bins() const { return baseline_.n_bins(); }

private:
    CategoricalDataDrift(BaselineCategoricalBins b) : baseline_(std::move(b)), runtime_bins_(baseline_.n_bins(), 0.0) {}
    Result<void, DriftError> build_rt_hist(std::span<const std::string> runtime);
    double score(DriftType type) const;

    BaselineCategoricalBins baseline_;
    std::vector<double> runtime_bins_;
};

// A throw-away detector for one comparison: one score per metric, in order.
Result<std::vector<double>, DriftError> compute_drift_continuous_distribution(std::span<const double> baseline,
                                                                              std::span<const double> runtime,
                                                                              std::span<const DriftType> types,
                                                                              std::optional<QuantileType> q);
Result<std::vector<double>, DriftError> compute_drift_categorical_distribution(std::span<const std::string> baseline,
                                                                               std::span<const std::string> runtime,
                                                                               std::span<const DriftType> types);

}  // namespace morvane
