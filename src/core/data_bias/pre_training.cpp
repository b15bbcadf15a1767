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

template <class T>
std::array<T, 7> pre_training_formulas(const PreTrainingInputs<T>& in) {
    const T one = 1, half = T(0.5);
    const T ci = in.count_gap / in.total;

    const T q_a = in.a_positive / in.a_count;
    const T q_d = in.d_positive / in.d_count;
    const T dpl = q_a - q_d;

    // No epsilon on the logarithms: proportions of 0 or 1 give NaN or infinity.
    const T kl = q_a * std::log(q_a / q_d) + (one - q_a) * std::log((one - q_a) / (one - q_d));

    const T m = (q_a + q_d) * half;
    const T js_a = q_a * std::log(q_a / m) + (one - q_a) * std::log((one - q_a) / (one - m));
    const T js_d = q_d * std::log(q_d / m) + (one - q_d) * std::log((one - q_d) / (one - m));
    const T js = (js_a + js_d) * half;

    // The difference of the negative-label proportions, grouped exactly so.
    const T e = (one - q_a) + (q_d - one);
    const T lp = std::sqrt(dpl * dpl + e * e);
    const T tvd = (std::fabs(dpl) + std::fabs(e)) * half;
    const T ks = std::max(std::fabs(e), std::fabs(dpl));
    return {ci, dpl, kl, js, lp, tvd, ks};
}

template std::array<float, 7> pre_training_formulas(const PreTrainingInputs<float>&);
template std::array<double, 7> pre_training_formulas(const PreTrainingInputs<double>&);

std::array<float, 7> pre_training_values(const PreTraining& p) {
    const std::int64_t diff = static_cast<std::int64_t>(p.facet_a_count()) - static_cast<std::int64_t>(p.facet_d_count());
    const auto f = [](std::uint64_t v) { return static_cast<float>(v); };
    return pre_training_formulas<float>({f(p.facet_a_positive()), f(p.facet_a_count()), f(p.facet_d_positive()),
                                         f(p.facet_d_count()), static_cast<float>(std::llabs(diff)),
                                         f(p.facet_a_count() + p.facet_d_count())});
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
