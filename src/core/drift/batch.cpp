#include "core/drift/batch.hpp"

#include <algorithm>

namespace morvane {

namespace {

// Clears the scratch histogram on every exit from a scoring call.
struct ZeroOnExit {
    std::vector<double>& bins;
    ~ZeroOnExit() { std::fill(bins.begin(), bins.end(), 0.0); }
};

// The runtime normalizer: the counts added in bin order.
double bin_sum(std::span<const double> bins) {
    double total = 0.0;
    for (double c : bins) total += c;
    return total;
}

}  // namespace

Result<ContinuousDataDrift, DriftError> ContinuousDataDrift::new_from_baseline(std::optional<QuantileType> q,
                                                                               std::span<const double> baseline) {
    auto b = BaselineContinuousBins::make(baseline, q.value_or(QuantileType::FreedmanDiaconis));
    if (!b) return unexpected(b.error());
    return ContinuousDataDrift(std::move(*b));
}

Result<void, DriftError> ContinuousDataDrift::build_rt_hist(std::span<const double> runtime) {
    if (runtime.empty()) return unexpected(DriftError::EmptyRuntimeData);
    baseline_.accumulate(runtime, runtime_bins_);
    return {};
}

double ContinuousDataDrift::score(DriftType type) const {
    return global_compute_drift(baseline_.baseline_bins(), runtime_bins_, bin_sum(runtime_bins_),
                                HistogramKind::Continuous, type);
}

Result<double, DriftError> ContinuousDataDrift::compute_drift(std::span<const double> runtime, DriftType type) {
    ZeroOnExit clear{runtime_bins_};
    if (auto r = build_rt_hist(runtime); !r) return unexpected(r.error());
    return score(type);
}

Result<std::vector<double>, DriftError> ContinuousDataDrift::compute_drift_multiple_criteria(
    std::span<const double> runtime, std::span<const DriftType> types) {
    std::vector<double> out;
    out.reserve(types.size());  // allocated before binning, so nothing fails once the histogram is filled
    ZeroOnExit clear{runtime_bins_};
    if (auto r = build_rt_hist(runtime); !r) return unexpected(r.error());
    for (DriftType t : types) out.push_back(score(t));
    return out;
}

Result<void, DriftError> ContinuousDataDrift::reset_baseline(std::span<const double> baseline) {
    auto b = BaselineContinuousBins::make(baseline, baseline_.quantile_type());
    if (!b) return unexpected(b.error());
    std::vector<double> bins(b->n_bins(), 0.0);
    baseline_ = std::move(*b);
    runtime_bins_ = std::move(bins);
    return {};
}

Result<CategoricalDataDrift, DriftError> CategoricalDataDrift::make(std::span<const std::string> baseline) {
    auto b = BaselineCategoricalBins::make(baseline);
    if (!b) return unexpected(b.error());
    return CategoricalDataDrift(std::move(*b));
}

Result<void, DriftError> CategoricalDataDrift::build_rt_hist(std::span<const std::string> runtime) {
    if (runtime.empty()) return unexpected(DriftError::EmptyRuntimeData);
    for (const std::string& label : runtime) runtime_bins_[baseline_.index_of(label)] += 1.0;
    return {};
}

double CategoricalDataDrift::score(DriftType type) const {
    return global_compute_drift(baseline_.baseline_bins(), runtime_bins_, bin_sum(runtime_bins_),
                                HistogramKind::Categorical, type);
}

Result<double, DriftError> CategoricalDataDrift::compute_drift(std::span<const std::string> runtime, DriftType type) {
    ZeroOnExit clear{runtime_bins_};
    if (auto r = build_rt_hist(runtime); !r) return unexpected(r.error());
    return score(type);
}

Result<std::vector<double>, DriftError> CategoricalDataDrift::compute_drift_multiple_criteria(
    std::span<const std::string> runtime, std::span<const DriftType> types) {
    std::vector<double> out;
    out.reserve(types.size());
    ZeroOnExit clear{runtime_bins_};
    if (auto r = build_rt_hist(runtime); !r) return unexpected(r.error());
    for (DriftType t : types) out.push_back(score(t));
    return out;
}

Result<void, DriftError> CategoricalDataDrift::reset_baseline(std::span<const std::string> baseline) {
    auto b = BaselineCategoricalBins::make(baseline);
    if (!b) return unexpected(b.error());
    std::vector<double> bins(b->n_bins(), 0.0);
    baseline_ = std::move(*b);
    runtime_bins_ = std::move(bins);
    return {};
}

Result<std::vector<double>, DriftError> compute_drift_continuous_distribution(std::span<const double> baseline,
                                                                              std::span<const double> runtime,
                                                                              std::span<const DriftType> types,
                                                                              std::optional<QuantileType> q) {
    auto d = ContinuousDataDrift::new_from_baseline(q, baseline);
    if (!d) return unexpected(d.error());
    return d->compute_drift_multiple_criteria(runtime, types);
}

Result<std::vector<double>, DriftError> compute_drift_categorical_distribution(std::span<const std::string> baseline,
                                                                               std::span<const std::string> runtime,
                                                                               std::span<const DriftType> types) {
    auto d = CategoricalDataDrift::make(baseline);
    if (!d) return unexpected(d.error());
    return d->compute_drift_multiple_criteria(runtime, types);
}

}  // namespace morvane
