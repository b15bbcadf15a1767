// Batch drift detectors: a fixed baseline, and a runtime histogram built from scratch
// on every call, scored, and cleared again. The continuous and categorical detectors
// are one class over their baseline kind.
#pragma once

#include <span>
#include <vector>

#include "core/drift/baseline.hpp"
#include "core/drift/scores.hpp"
#include "core/common/errors.hpp"

namespace morvane {

template <class Baseline, HistogramKind KIND>
class BatchDrift {
public:
    using Input = typename Baseline::Input;
    using Options = typename Baseline::Options;

    static Result<BatchDrift, DriftError> make(Input baseline, Options options = {});

    Result<double, DriftError> compute_drift(Input runtime, DriftType type);
    // One binning for all metrics; scores in the order asked, repeats included.
    Result<std::vector<double>, DriftError> compute_drift_multiple_criteria(Input runtime,
                                                                            std::span<const DriftType> types);
    // Rebuilds the baseline with its options; on failure nothing changes.
    Result<void, DriftError> reset_baseline(Input baseline);

    const Baseline& baseline() const { return baseline_; }
    std::size_t num_bins() const { return baseline_.n_bins(); }

private:
    BatchDrift(Baseline b) : baseline_(std::move(b)), runtime_bins_(baseline_.n_bins(), 0.0) {}
    Result<void, DriftError> build_rt_hist(Input runtime);
    double score(DriftType type) const;

    Baseline baseline_;
    std::vector<double> runtime_bins_;  // scratch: all zero between calls
};

using ContinuousDataDrift = BatchDrift<BaselineContinuousBins, HistogramKind::Continuous>;
using CategoricalDataDrift = BatchDrift<BaselineCategoricalBins, HistogramKind::Categorical>;
extern template class BatchDrift<BaselineContinuousBins, HistogramKind::Continuous>;
extern template class BatchDrift<BaselineCategoricalBins, HistogramKind::Categorical>;

// A throw-away detector for one comparison: one score per metric, in order.
template <class Drift>
Result<std::vector<double>, DriftError> compute_drift_distribution(typename Drift::Input baseline,
                                                                   typename Drift::Input runtime,
                                                                   std::span<const DriftType> types,
                                                                   typename Drift::Options options = {}) {
    auto d = Drift::make(baseline, options);
    if (!d) return unexpected(d.error());
    return d->compute_drift_multiple_criteria(runtime, types);
}

}  // namespace morvane
