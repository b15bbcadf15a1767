// Streaming drift detectors: a runtime histogram kept open across calls, kept about
// recent data either by decaying it at each drift computation or by flushing it after
// a number of samples or a span of time.
#pragma once

#include <chrono>
#include <cstdint>
#include <algorithm>
#include <optional>
#include <ranges>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/drift/baseline.hpp"
#include "core/drift/scores.hpp"
#include "core/common/errors.hpp"

namespace morvane {

struct DecayModeMark {};
struct FlushModeMark {};

// A span of time: whole seconds plus nanoseconds.
struct FlushCadence {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;
};

using MonotonicClock = std::chrono::steady_clock;

inline constexpr std::uint64_t DEFAULT_HALF_LIFE = 86400;
inline constexpr double DEFAULT_DECAY_FACTOR = 0.9999919774953684;  // 2^(-1/86400)
inline constexpr double DEFAULT_FLUSH_RATE = 1000000.0;
inline constexpr FlushCadence DEFAULT_FLUSH_CADENCE{86400, 0};
// In flush mode the clock is read only when the window holds a multiple of this many samples.
inline constexpr std::uint64_t CLOCK_CHECK_STRIDE = 256;

// The decay factor of a half-life counted in drift computations; 0 means none given.
double decay_factor_for(std::uint64_t half_life);
// Truncation toward zero that saturates: NaN and negatives become 0. Inline: the flush
// test of every streamed sample takes it.
inline std::uint64_t saturate_u64(double x) {
    if (!(x > 0.0)) return 0;
    if (x >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(x);
}
// Whole seconds from `since` to `now`, never negative.
std::uint64_t whole_seconds_between(MonotonicClock::time_point since, MonotonicClock::time_point now);

// The runtime window shared by both detector kinds: accumulated counts, the mode's
// parameter and the flush clock.
template <class M>
class StreamWindow {
public:
    static constexpr bool FLUSH = std::is_same_v<M, FlushModeMark>;

    static StreamWindow decay(std::size_t n_bins, std::uint64_t half_life)
        requires(!FLUSH)
    {
        return StreamWindow(n_bins, decay_factor_for(half_life), {}, std::nullopt);
    }
    static StreamWindow flush(std::size_t n_bins, std::optional<std::uint64_t> rate, std::optional<FlushCadence> cadence)
        requires FLUSH
    {
        return StreamWindow(n_bins, rate ? static_cast<double>(*rate) : DEFAULT_FLUSH_RATE,
                            cadence.value_or(DEFAULT_FLUSH_CADENCE), MonotonicClock::now());
    }

    // Counts one sample in bin b; in flush mode a due flush happens first, so the
    // sample that crosses a threshold starts the new window.
    void add(std::size_t b) {
        if constexpr (FLUSH) {
            if (total_samples_ >= param_) {
                flush_now();
            } else if (saturate_u64(total_samples_) % CLOCK_CHECK_STRIDE == 0 && cadence_elapsed()) {
                flush_now();
            }
        }
        stream_bins_[b] += 1.0;
        total_samples_ += 1.0;
    }

    // Counts a range of bins, in order, exactly as add() one at a time would. The total
    // lives in a local meanwhile: as a member, every store to a bin could alias it, which
    // makes a store-to-load chain per sample.
    template <class Bins>
    void add_all(Bins&& bins) {
        double total = total_samples_;
        double* counts = stream_bins_.data();
        for (const std::size_t b : bins) {
            if constexpr (FLUSH) {
                if (total >= param_ || (saturate_u64(total) % CLOCK_CHECK_STRIDE == 0 && cadence_elapsed())) {
                    flush_now();
                    total = 0.0;
                }
            }
            counts[b] += 1.0;
            total += 1.0;
        }
        total_samples_ = total;
    }

    void flush_now()
        requires FLUSH
    {
        std::fill(stream_bins_.begin(), stream_bins_.end(), 0.0);
        total_samples_ = 0.0;
        last_flush_ = MonotonicClock::now();
    }

    // Scores every metric in order on the current window; an empty window is refused
    // with nothing changed. Decay mode decays once first, whatever the number of metrics.
    Result<std::vector<double>, DriftError> score(std::span<const double> baseline, HistogramKind kind,
                                                  std::span<const DriftType> types) {
        double sum = 0.0;
        for (double c : stream_bins_) sum += c;
        if (sum == 0.0) return unexpected(DriftError::EmptyRuntimeData);
        std::vector<double> out;
        out.reserve(types.size());
        if constexpr (!FLUSH) {
            for (double& c : stream_bins_) c *= param_;
            total_samples_ *= param_;
        }
        for (DriftType t : types) out.push_back(global_compute_drift(baseline, stream_bins_, total_samples_, kind, t));
        return out;
    }

    // Empties the window for a baseline of n_bins bins. Allocates before changing anything.
    void restart(std::size_t n_bins) {
        std::vector<double> bins(n_bins, 0.0);
        stream_bins_ = std::move(bins);
        total_samples_ = 0.0;
        if constexpr (FLUSH) last_flush_ = MonotonicClock::now();
    }

    const std::vector<double>& stream_bins() const { return stream_bins_; }
    double total_samples() const { return total_samples_; }
    double decay_factor() const
        requires(!FLUSH)
    {
        return param_;
    }
    double flush_rate() const
        requires FLUSH
    {
        return param_;
    }
    std::uint64_t seconds_since_flush() const
        requires FLUSH
    {
        return whole_seconds_between(*last_flush_, MonotonicClock::now());
    }

private:
    StreamWindow(std::size_t n_bins, double param, FlushCadence cadence,
                 std::optional<MonotonicClock::time_point> last_flush)
        : stream_bins_(n_bins, 0.0), param_(param), flush_cadence_(cadence), last_flush_(last_flush) {}

    // Compared in 128 bits: a cadence of up to 2^64 - 1 seconds does not fit in
    // the clock's nanosecond count.
    bool cadence_elapsed() const {
        const auto elapsed = MonotonicClock::now() - *last_flush_;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
        const unsigned __int128 have = ns > 0 ? static_cast<unsigned __int128>(ns) : 0;
        const unsigned __int128 need =
            static_cast<unsigned __int128>(flush_cadence_.secs) * 1000000000u + flush_cadence_.nanos;
        return have >= need;
    }

    std::vector<double> stream_bins_;
    double param_;  // decay factor, or flush rate in samples
    FlushCadence flush_cadence_;
    std::optional<MonotonicClock::time_point> last_flush_;  // flush mode only
    double total_samples_ = 0.0;
};

// The streaming detector over a baseline kind: a baseline, a window of runtime bins
// over it, updates, scoring, flushing, replacing the baseline and the window's export.
template <class Baseline, HistogramKind KIND, class M>
class StreamingDrift {
public:
    using Window = StreamWindow<M>;
    using Input = typename Baseline::Input;
    using Options = typename Baseline::Options;
    static constexpr bool CONTINUOUS = KIND == HistogramKind::Continuous;
    using Sample = std::conditional_t<CONTINUOUS, double, std::string_view>;

    static Result<StreamingDrift, DriftError> new_decay(Input baseline, Options options, std::uint64_t half_life)
        requires(!Window::FLUSH)
    {
        return build(Baseline::make(baseline, options), [&](std::size_t n) { return Window::decay(n, half_life); });
    }
    static Result<StreamingDrift, DriftError> new_flush(Input baseline, Options options,
                                                        std::optional<std::uint64_t> rate,
                                                        std::optional<FlushCadence> cadence)
        requires Window::FLUSH
    {
        return build(Baseline::make(baseline, options), [&](std::size_t n) { return Window::flush(n, rate, cadence); });
    }

    // A single value takes the streams' own rule (continuous NaN lands in the top bin),
    // a batch the batch rule.
    void update_stream(Sample v) {
        if constexpr (CONTINUOUS) window_.add(baseline_.bin_index_single(v));
        else window_.add(baseline_.bin_index(v));
    }
    Result<void, DriftError> update_stream_batch(Input values) {
        if (Baseline::count(values) == 0) return unexpected(DriftError::EmptyRuntimeData);
        if constexpr (CONTINUOUS) {
            baseline_.each_bin(values, [&](std::size_t b) { window_.add(b); });
        } else {
            const std::vector<std::size_t> bins = baseline_.bins_of(values.texts);
            window_.add_all(values.codes | std::views::transform([&](std::uint32_t c) { return bins[c]; }));
        }
        return {};
    }

    Result<double, DriftError> compute_drift(DriftType type) {
        auto r = window_.score(baseline_.baseline_bins(), KIND, std::span(&type, 1));
        if (!r) return unexpected(r.error());
        return r->front();
    }
    Result<std::vector<double>, DriftError> compute_drift_multiple_criteria(std::span<const DriftType> types) {
        return window_.score(baseline_.baseline_bins(), KIND, types);
    }

    void flush()
        requires Window::FLUSH
    {
        window_.flush_now();
    }

    // Swaps in a baseline built with the same options and clears the window; on failure
    // nothing changes.
    Result<void, DriftError> reset_baseline(Input baseline) {
        auto b = Baseline::make(baseline, baseline_.options());
        if (!b) return unexpected(b.error());
        Window w = window_;
        w.restart(b->n_bins());
        baseline_ = std::move(*b);
        window_ = std::move(w);
        return {};
    }

    // Continuous: "binEdges", "baselineBins" and "streamBins" (the stream as fractions of
    // its total), EmptyRuntimeData while the window is empty. Categorical: each label
    // with its stream count; the unseen-label bin is not exported.
    auto export_snapshot() const {
        if constexpr (CONTINUOUS) {
            using Entries = std::vector<std::pair<std::string_view, std::vector<double>>>;
            if (window_.total_samples() == 0.0) return Result<Entries, DriftError>(unexpected(DriftError::EmptyRuntimeData));
            std::vector<double> stream(window_.stream_bins());
            for (double& c : stream) c /= window_.total_samples();
            Entries out;
            out.emplace_back("binEdges", baseline_.bin_edges());
            out.emplace_back("baselineBins", baseline_.baseline_bins());
            out.emplace_back("streamBins", std::move(stream));
            return Result<Entries, DriftError>(std::move(out));
        } else {
            return baseline_.labelled(window_.stream_bins());
        }
    }

    std::size_t n_bins() const { return baseline_.n_bins(); }
    const Baseline& baseline() const { return baseline_; }
    const Window& window() const { return window_; }

private:
    StreamingDrift(Baseline b, Window w) : baseline_(std::move(b)), window_(std::move(w)) {}

    // A new detector from a freshly built baseline, or the baseline's error.
    template <class MakeWindow>
    static Result<StreamingDrift, DriftError> build(Result<Baseline, DriftError> b, MakeWindow&& make_window) {
        if (!b) return unexpected(b.error());
        Window w = make_window(b->n_bins());
        return StreamingDrift(std::move(*b), std::move(w));
    }

    Baseline baseline_;
    Window window_;
};

template <class M>
using StreamingContinuousDataDrift = StreamingDrift<BaselineContinuousBins, HistogramKind::Continuous, M>;
template <class M>
using StreamingCategoricalDataDrift = StreamingDrift<BaselineCategoricalBins, HistogramKind::Categorical, M>;

}  // namespace morvane
