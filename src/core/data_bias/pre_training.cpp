#include "core/data_bias/pre_training.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "core/common/cpu_dispatch.hpp"

namespace morvane {

Result<PreTraining, BiasError> PreTraining::new_from_labels(std::span<const std::int8_t> feature,
                                                            std::span<const std::int8_t> ground_truth) {
    if (feature.size() != ground_truth.size() || feature.empty()) return unexpected(BiasError::DataLengthError);
    PreTraining p;
    p.accumulate(feature, ground_truth);
    if (!p.has_both_facets()) return unexpected(BiasError::NoFacetDeviation);
    return p;
}

void PreTraining::accumulate(std::span<const std::int8_t> feature, std::span<const std::int8_t> ground_truth) {
    const std::size_t n = std::min(feature.size(), ground_truth.size());
    // With AVX2 where the processor has it (the streaming monitor's push_batch benchmark).
    with_best_isa([&] {
        pairs += tally_pairs(
            n, [&](std::size_t i) { return in_group(feature[i]); }, [&](std::size_t i) { return in_group(ground_truth[i]); });
    });
}

namespace data_bias::core {

std::array<float, 7> pre_training_values(const PreTraining& p) {
    const std::int64_t diff = static_cast<std::int64_t>(p.facet_a_count()) - static_cast<std::int64_t>(p.facet_d_count());
    const float ci = static_cast<float>(std::llabs(diff)) / static_cast<float>(p.facet_a_count() + p.facet_d_count());

    const float q_a = static_cast<float>(p.facet_a_positive()) / static_cast<float>(p.facet_a_count());
    const float q_d = static_cast<float>(p.facet_d_positive()) / static_cast<float>(p.facet_d_count());
    const float dpl = q_a - q_d;

    // No epsilon on the logarithms: proportions of 0 or 1 give NaN or infinity.
    const float kl = q_a * std::log(q_a / q_d) + (1.0f - q_a) * std::log((1.0f - q_a) / (1.0f - q_d));

    const float m = (q_a + q_d) * 0.5f;
    const float js_a = q_a * std::log(q_a / m) + (1.0f - q_a) * std::log((1.0f - q_a) / (1.0f - m));
    const float js_d = q_d * std::log(q_d / m) + (1.0f - q_d) * std::log((1.0f - q_d) / (1.0f - m));
    const float js = (js_a + js_d) * 0.5f;

    // The difference of the negative-label proportions, grouped exactly so.
    const float e = (1.0f - q_a) + (q_d - 1.0f);
    const float lp = std::sqrt(dpl * dpl + e * e);
    const float tvd = (std::fabs(dpl) + std::fabs(e)) * 0.5f;
    const float ks = std::max(std::fabs(e), std::fabs(dpl));
    return {ci, dpl, kl, js, lp, tvd, ks};
}

Result<MetricMap<DataBiasMetric>, ModelPerformanceError> pre_training_bias(const PreTraining& p) {
    if (!p.has_both_facets()) return unexpected(ModelPerformanceError::of(PerfKind::EmptyDataVector));
    const auto values = pre_training_values(p);
    MetricMap<DataBiasMetric> map;
    map.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) map.emplace(static_cast<DataBiasMetric>(i), values[i]);
    return map;
}

}  // namespace data_bias::core

Result<MetricMap<DataBiasMetric>, BiasError> data_bias_analysis_counts(const PreTraining& counts) {
    if (!counts.has_both_facets()) return unexpected(BiasError::NoFacetDeviation);
    auto map = data_bias::core::pre_training_bias(counts);
    if (!map) return unexpected(to_bias_error(map.error()));
    return std::move(*map);
}

Result<MetricMap<DataBiasMetric>, BiasError> data_bias_analysis_core(const Flags& facet_flags, const Flags& label_flags) {
    // Columns of different lengths cannot be paired element by element.
    if (facet_flags.size != label_flags.size) return unexpected(BiasError::DataLengthError);
    return data_bias_analysis_counts(PreTraining::from_flag_counts(count_flag_pairs(facet_flags, label_flags), facet_flags.size));
}

}  // namespace morvane
