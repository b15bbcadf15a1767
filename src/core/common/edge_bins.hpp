// The binning kernel of the drift detectors and the profile: the slot of a value
// against ascending edges e[0] < ... < e[E-1] is the number of edges at or below it,
// except that NaN takes `nan_slot` and a value above the last edge `above_slot`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace morvane {

class EdgeBins {
public:
    EdgeBins() = default;
    // At least one edge, ascending, none NaN.
    EdgeBins(std::span<const double> edges, std::uint32_t nan_slot, std::uint32_t above_slot);

    // The slot of one value.
    std::uint32_t slot(double v) const { return method_ == Method::Grid ? grid_slot(v) : search_slot(v); }
    // out[j] = slot(x[j]) for j < n.
    void slots(const double* x, std::size_t n, std::uint32_t* out) const { tagged_slots(x, n, out, 0); }
    // Adds one to counts[slot(x[j])] for j < n; counts has slot_count() entries.
    void count(const double* x, std::size_t n, std::uint64_t* counts) const;

    std::size_t slot_count() const { return slot_count_; }

private:
    // How a block is binned: on the equal-width grid the edges lie on, by comparing
    // with every edge (a few edges), or by binary search (the rest).
    enum class Method : std::uint8_t { Grid, Compare, Search };

    // The rule itself, by binary search over the edges.
    std::uint32_t search_slot(double v) const;
    std::uint32_t grid_slot(double v) const;
    // slots() with slot j of the block moved into tally lane j % 4 of `lane` slots each.
    void tagged_slots(const double* x, std::size_t n, std::uint32_t* out, std::uint32_t lane) const;
    void slots_portable(const double* x, std::size_t n, std::uint32_t* out) const;
    // The same for values [first, n), lanes counted from the block's start.
    void slots_portable(const double* x, std::size_t n, std::uint32_t* out, std::uint32_t lane, std::size_t first) const;
    void slots_avx2(const double* x, std::size_t n, std::uint32_t* out, std::uint32_t lane) const;

    std::vector<double> edges_;
    std::uint32_t nan_slot_ = 0;
    std::uint32_t above_slot_ = 0;
    std::size_t slot_count_ = 0;
    Method method_ = Method::Search;
    // The grid: G(v) = float((v - e[0]) * inv_) rounds monotonically in v, and G(e[k])
    // lies within a slack s of k for every edge (top_ = G(e[E-1])). So G(v) < 0 means
    // v < e[0], G(v) > top_ means v > e[E-1], and a G(v) in [0, top_] whose fraction f
    // has |f - 0.5| < half_ <= 0.5 - s is above exactly floor(G(v)) + 1 edges (the test
    // fails for G(v) in [E-1, top_]). Values near a grid line take the search. A float
    // is precise enough for 2^16 bins and takes eight values to a vector.
    float grid(double v) const { return static_cast<float>((v - e0_) * inv_); }
    double e0_ = 0.0;
    double inv_ = 0.0;
    float half_ = 0.0f;
    float top_ = 0.0f;
};

}  // namespace morvane
