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

template <class Baseline, HistogramKind KIND>
Result<BatchDrift<Baseline, KIND>, DriftError> BatchDrift<Baseline, KIND>::make(Input baseline, Options options) {
    auto b = Baseline::make(baseline, options);
    if (!b) return unexpected(b.error());
    return BatchDrift(std::move(*b));
}

template <class Baseline, HistogramKind KIND>
Result<void, DriftError> BatchDrift<Baseline, KIND>::build_rt_hist(Input runtime) {
    if (Baseline::count(runtime) == 0) return unexpected(DriftError::EmptyRuntimeData);
    baseline_.accumulate(runtime, runtime_bins_);
    return {};
}

template <class Baseline, HistogramKind KIND>
double BatchDrift<Baseline, KIND>::score(DriftType type) const {
    return global_compute_drift(baseline_.baseline_bins(), runtime_bins_, bin_sum(runtime_bins_), KIND, type);
}

template <class Baseline, HistogramKind KIND>
Result<double, DriftError> BatchDrift<Baseline, KIND>::compute_drift(Input runtime, DriftType type) {
    ZeroOnExit clear{runtime_bins_};
    if (auto r = build_rt_hist(runtime); !r) return unexpected(r.error());
    return score(type);
}

template <class Baseline, HistogramKind KIND>
Result<std::vector<double>, DriftError> BatchDrift<Baseline, KIND>::compute_drift_multiple_criteria(
    Input runtime, std::span<const DriftType> types) {
    std::vector<double> out;
    out.reserve(types.size());  // allocated before binning, so nothing fails once the histogram is filled
    ZeroOnExit clear{runtime_bins_};
    if (auto r = build_rt_hist(runtime); !r) return unexpected(r.error());
    for (DriftType t : types) out.push_back(score(t));
    return out;
}

template <class Baseline, HistogramKind KIND>
Result<void, DriftError> BatchDrift<Baseline, KIND>::reset_baseline(Input baseline) {
    auto b = Baseline::make(baseline, baseline_.options());
    if (!b) return unexpected(b.error());
    std::vector<double> bins(b->n_bins(), 0.0);
    baseline_ = std::move(*b);
    runtime_bins_ = std::move(bins);
    return {};
}

template class BatchDrift<BaselineContinuousBins, HistogramKind::Continuous>;
template class BatchDrift<BaselineCategoricalBins, HistogramKind::Categorical>;

}  // namespace morvane
