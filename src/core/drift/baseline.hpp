// Baseline histograms of the drift detectors: the binning heuristics, the continuous
// baseline with its bin-assignment rule, and the categorical baseline with its
// trailing bin for labels it never saw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/common/array_view.hpp"
#include "core/common/edge_bins.hpp"
#include "core/common/errors.hpp"
#include "core/drift/label_codes.hpp"

namespace morvane {

enum class QuantileType : std::uint8_t {
    FreedmanDiaconis,
    Scott,
    Sturges,
};

// Exact, case-sensitive variant names; anything else is "Unsupported drift type".
Result<QuantileType, DriftError> parse_quantile_type(std::string_view text);
// Absent text means no heuristic (the detector then uses FreedmanDiaconis).
Result<std::optional<QuantileType>, DriftError> coerce_quantile_type(const std::optional<std::string>& text);

// Upper bound on the bin count: an extreme outlier would otherwise ask for a histogram
// that cannot be allocated.
inline constexpr std::size_t MAX_BINS = 65536;
// The bin count of a baseline whose values are all equal (or that has no spread).
inline constexpr std::size_t MIN_BINS = 3;

// Bin count for at least two values sorted ascending: the heuristic's count,
// saturated into the unsigned range, then clamped to [MIN_BINS, MAX_BINS].
std::size_t compute_num_bins(QuantileType q, std::span<const double> sorted);

// Equal-width bins over the baseline's range plus two outer bins. With edges
// e[0] < ... < e[E-1] and B = E + 2 bins: bin 0 is below e[0], bin i is
// [e[i-1], e[i]) for 1 <= i < E, bin E holds only e[E-1], bin B-1 is above e[E-1].
class BaselineContinuousBins {
public:
    // float64 values, contiguous or strided.
    using Input = ArrayView;
    // The binning heuristic; absent means FreedmanDiaconis.
    using Options = std::optional<QuantileType>;

    static Result<BaselineContinuousBins, DriftError> make(const Input& values, Options q);

    // The batch rule: below the first edge -> 0, above the last -> B-1, otherwise the
    // number of edges <= v. NaN passes neither outer test and lands in bin 0.
    std::size_t bin_index(double v) const { return bins_.slot(v); }
    // The single-sample rule of the streams: the same bins for every value but NaN,
    // which fails the "at or below the last edge" test and lands in bin B-1.
    std::size_t bin_index_single(double v) const;

    // Adds 1.0 to counts[bin_index(v)] for every value, through the binning kernel. The
    // counts must hold whole numbers (they are added as integers).
    void accumulate(const Input& values, std::span<double> counts) const;
    // Calls f(bin_index(v)) for every value, in order.
    template <class F>
    void each_bin(const Input& values, F&& f) const {
        with_elements<double>(values, [&](const auto& x) {
            for (std::size_t i = 0; i < x.size; ++i) f(bin_index(x[i]));
        });
    }
    static std::size_t count(const Input& values) { return values.length; }

    const std::vector<double>& bin_edges() const { return bin_edges_; }
    const std::vector<double>& baseline_bins() const { return baseline_bins_; }
    std::size_t n_bins() const { return n_bins_; }
    QuantileType quantile_type() const { return quantile_type_; }
    Options options() const { return quantile_type_; }

private:
    std::vector<double> bin_edges_;
    EdgeBins bins_;  // the batch rule over bin_edges_
    std::vector<double> baseline_bins_;
    std::size_t n_bins_ = MIN_BINS;
    QuantileType quantile_type_ = QuantileType::FreedmanDiaconis;
};

// Hashing that looks labels up by string_view without building a string.
struct LabelHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
using LabelIndex = std::unordered_map<std::string, std::size_t, LabelHash, std::equal_to<>>;

// One bin per distinct label in byte-wise order, then the unseen-label bin (always 0).
class BaselineCategoricalBins {
public:
    using Input = LabelCodes;
    // Labels are binned by themselves alone.
    struct Options {};

    static Result<BaselineCategoricalBins, DriftError> make(Input labels, Options = {});

    // The label's bin, or k (the unseen-label bin) for a label the baseline never held.
    std::size_t bin_index(std::string_view label) const {
        const auto it = label_index_.find(label);
        return it == label_index_.end() ? label_index_.size() : it->second;
    }
    static std::size_t count(Input labels) { return labels.codes.size(); }
    // Adds 1.0 to counts[bin_index(l)] for every label. The counts must hold whole
    // numbers (each distinct label's rows are added at once, as an integer).
    void accumulate(Input labels, std::span<double> counts) const;
    // The bin of each distinct text: one hash lookup per distinct label.
    std::vector<std::size_t> bins_of(std::span<const std::string> texts) const;
    // Each label with its entry of `bins` (baseline or stream bins), in the index's order;
    // the unseen-label bin is left out.
    std::vector<std::pair<std::string_view, double>> labelled(std::span<const double> bins) const {
        std::vector<std::pair<std::string_view, double>> out;
        out.reserve(label_index_.size());
        for (const auto& [label, i] : label_index_) out.emplace_back(label, bins[i]);
        return out;
    }

    const std::vector<double>& baseline_bins() const { return baseline_bins_; }
    const LabelIndex& label_index() const { return label_index_; }
    // k + 1: the distinct labels and the unseen-label bin.
    std::size_t n_bins() const { return baseline_bins_.size(); }
    Options options() const { return {}; }

private:
    std::vector<double> baseline_bins_;
    LabelIndex label_index_;
};

}  // namespace morvane
