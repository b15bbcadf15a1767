#include "core/drift/streaming.hpp"

#include <cmath>

namespace morvane {

double decay_factor_for(std::uint64_t half_life) {
    if (half_life == 0) return DEFAULT_DECAY_FACTOR;
    return std::exp2(-1.0 / static_cast<double>(half_life));
}

std::uint64_t whole_seconds_between(MonotonicClock::time_point since, MonotonicClock::time_point now) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - since).count();
    return ns > 0 ? static_cast<std::uint64_t>(ns) / 1000000000u : 0;
}

template class StreamWindow<DecayModeMark>;
template class StreamWindow<FlushModeMark>;
template class StreamingDrift<BaselineContinuousBins, HistogramKind::Continuous, DecayModeMark>;
template class StreamingDrift<BaselineContinuousBins, HistogramKind::Continuous, FlushModeMark>;
template class StreamingDrift<BaselineCategoricalBins, HistogramKind::Categorical, DecayModeMark>;
template class StreamingDrift<BaselineCategoricalBins, HistogramKind::Categorical, FlushModeMark>;

}  // namespace morvane
