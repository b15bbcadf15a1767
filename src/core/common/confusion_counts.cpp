#include "core/common/confusion_counts.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "core/common/cpu_dispatch.hpp"

namespace morvane {

namespace {

// The doubles that round to `label` when narrowed: the interval between the midpoints
// to its float neighbours (exact in doubles), whose ends round to the label when its
// significand is even (ties to even). None for labels at or past the float range's end.
struct NarrowsTo {
    double lo, hi;
    bool contains(double x) const { return (x >= lo) & (x <= hi); }
};

std::optional<NarrowsTo> narrows_to(float label) {
    constexpr float INF = std::numeric_limits<float>::infinity();
    if (!std::isfinite(label) || std::fabs(label) == std::numeric_limits<float>::max()) return std::nullopt;
    const double l = label;
    const double below = (l + static_cast<double>(std::nextafter(label, -INF))) / 2;
    const double above = (l + static_cast<double>(std::nextafter(label, INF))) / 2;
    std::uint32_t bits;
    std::memcpy(&bits, &label, sizeof bits);
    if (bits & 1) return NarrowsTo{std::nextafter(below, static_cast<double>(INF)), std::nextafter(above, -static_cast<double>(INF))};
    return NarrowsTo{below, above};
}

}  // namespace

void ConfusionMatrix::push_views(const ArrayView& y_true, const ArrayView& y_pred, float label) {
    const auto range = narrows_to(label);
    // Two contiguous arrays of one element type are tallied in place (vectorised, with
    // AVX2 where the processor has it); any other pair through converted blocks.
    if (range && y_true.dtype == y_pred.dtype && y_true.length == y_pred.length) {
        const bool done = visit_dtype(y_true, [&](auto t) {
            using T = typename decltype(t)::value_type;
            if (y_true.stride != static_cast<std::ptrdiff_t>(sizeof(T)) || y_pred.stride != y_true.stride) return false;
            const Elements<T, true> a{y_true.data, y_true.stride, y_true.length}, b{y_pred.data, y_pred.stride, y_pred.length};
            const NarrowsTo r = *range;
            with_best_isa([&] {
                add(tally_pairs(
                    a.size, [&](std::size_t i) { return r.contains(static_cast<double>(a[i])); },
                    [&](std::size_t i) { return r.contains(static_cast<double>(b[i])); }));
            });
            return true;
        });
        if (done) return;
    }
    for_blocks<float>(y_true, y_pred, [&](auto t, auto p) { push_pairs(t, p, [label](float v) { return v == label; }); });
}

Result<void, ModelPerformanceError> ConfusionMatrix::push_dataset(std::span<const float> y_true,
                                                                  std::span<const float> y_pred, float label) {
    if (y_true.size() != y_pred.size()) return unexpected(ModelPerformanceError::of(PerfKind::DataVectorLengthMismatch));
    push_pairs(y_true, y_pred, [label](float v) { return v == label; });
    return {};
}

Result<void, ModelPerformanceError> ConfusionMatrix::push_dataset(std::span<const std::int32_t> y_true,
                                                                  std::span<const std::int32_t> y_pred,
                                                                  std::int32_t label) {
    if (y_true.size() != y_pred.size()) return unexpected(ModelPerformanceError::of(PerfKind::DataVectorLengthMismatch));
    push_pairs(y_true, y_pred, [label](std::int32_t v) { return v == label; });
    return {};
}

}  // namespace morvane
