#include "core/model_bias/post_training.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace morvane {

namespace {

ConfusionMatrix& confusion_of(PostTraining& t, bool in_facet_a) { return in_facet_a ? t.confusion_a : t.confusion_d; }

// Index of a (facet, prediction, label) combination in an eight-bin histogram.
constexpr unsigned combination(bool in_facet_a, bool predicted_positive, bool label_positive) {
    return (unsigned{in_facet_a} << 2) | (unsigned{predicted_positive} << 1) | unsigned{label_positive};
}

float f32(std::uint64_t v) { return static_cast<float>(v); }

// One facet's counts as the 32-bit floats the formulas read. The label and prediction
// negatives (n - L, n - P) are exact integer differences, converted once: the same as
// the difference of the converted counts below 2^24, and never a spurious zero above.
model_bias::FacetCounts<float> facet_floats(const ConfusionMatrix& c, std::uint64_t n, std::uint64_t l, std::uint64_t p) {
    return {f32(c.true_positive), f32(c.false_positive), f32(c.true_negative), f32(c.false_negative),
            f32(n),               f32(l),                f32(p),              f32(n - l),
            f32(n - p)};
}

// Sums over the three flag vectors in one pass: how many elements are in facet a (f),
// predicted positive (p), label positive (l), and their overlaps; `lz` counts positive
// labels predicted exactly 0, the benefit-zero elements of the entropy.
struct FlagSums {
    std::uint64_t n = 0, f = 0, fp = 0, fl = 0, fpl = 0, p = 0, l = 0, pl = 0, lz = 0;
};

// The sums of three flag columns of n elements, word by word.
FlagSums sum_flags(const Flags& facet, const Flags& pred, const Flags& label, std::size_t n) {
    FlagSums s;
    s.n = n;
    const auto count = [](std::uint64_t w) { return static_cast<std::uint64_t>(std::popcount(w)); };
    for (std::size_t k = 0; k < word_count(n); ++k) {
        // Bits past the last element are 0 in every column, so whole words count.
        const std::uint64_t f = facet.words[k], p = pred.words[k], l = label.words[k];
        s.f += count(f);
        s.fp += count(f & p);
        s.fl += count(f & l);
        s.fpl += count(f & p & l);
        s.p += count(p);
        s.l += count(l);
        s.pl += count(p & l);
        s.lz += count(l & ~p);
    }
    return s;
}

}  // namespace

void PostTraining::accumulate_single(bool in_facet_a, bool predicted_positive, bool label_positive) {
    add_combination(in_facet_a, predicted_positive, label_positive, 1);
}

void PostTraining::add_combination(bool in_facet_a, bool predicted_positive, bool label_positive,
                                   std::uint64_t count) {
    if (count == 0) return;
    (in_facet_a ? facet_a_count : facet_d_count) += count;
    if (predicted_positive) (in_facet_a ? facet_a_pred_positive : facet_d_pred_positive) += count;
    if (label_positive) (in_facet_a ? facet_a_label_positive : facet_d_label_positive) += count;
    ConfusionMatrix& c = confusion_of(*this, in_facet_a);
    if (predicted_positive)
        (label_positive ? c.true_positive : c.false_positive) += count;
    else
        (label_positive ? c.false_negative : c.true_negative) += count;
}

Result<void, BiasError> PostTraining::accumulate_batch(std::span<const std::int8_t> feature,
                                                       std::span<const std::int8_t> prediction,
                                                       std::span<const std::int8_t> ground_truth) {
    if (feature.size() != prediction.size() || feature.size() != ground_truth.size() || feature.empty())
        return unexpected(BiasError::DataLengthError);
    std::array<std::uint64_t, 8> histogram{};
    for (std::size_t i = 0; i < feature.size(); ++i)
        ++histogram[combination(in_group(feature[i]), in_group(prediction[i]), in_group(ground_truth[i]))];
    for (unsigned code = 0; code < 8; ++code)
        add_combination((code & 4) != 0, (code & 2) != 0, (code & 1) != 0, histogram[code]);
    return {};
}

Result<DiscretePostTraining, BiasError> DiscretePostTraining::make(const Flags& facet_flags, const Flags& prediction_flags,
                                                                   const Flags& label_flags) {
    const std::size_t n = facet_flags.size;
    if (prediction_flags.size != n || label_flags.size != n || n == 0) return unexpected(BiasError::DataLengthError);

    const FlagSums s = sum_flags(facet_flags, prediction_flags, label_flags, n);
    DiscretePostTraining d;
    PostTraining& t = d.counts;
    t.facet_a_count = s.f;
    t.facet_a_pred_positive = s.fp;
    t.facet_a_label_positive = s.fl;
    t.confusion_a = {s.fpl, s.fp - s.fpl, s.f - s.fp - s.fl + s.fpl, s.fl - s.fpl};
    t.facet_d_count = s.n - s.f;
    t.facet_d_pred_positive = s.p - s.fp;
    t.facet_d_label_positive = s.l - s.fl;
    const std::uint64_t tp_d = s.pl - s.fpl;
    t.confusion_d = {tp_d, t.facet_d_pred_positive - tp_d,
                     t.facet_d_count - t.facet_d_pred_positive - t.facet_d_label_positive + tp_d,
                     t.facet_d_label_positive - tp_d};

    // Generalized entropy. The benefit sum is an exact count (the running 32-bit sum
    // of small integers gives the same value while it stays below 2^24, and stalls
    // past it); the entropy terms are then summed in 32 bits in index order.
    const std::uint64_t benefit_one = s.pl;
    const std::uint64_t benefit_two = s.n - s.lz - s.pl;
    const float benefit_sum = f32(benefit_one + 2 * benefit_two);
    const float mu = benefit_sum / f32(n);
    const float r = 1.0f / mu;
    std::array<float, 3> term{};
    for (int b = 0; b < 3; ++b) {
        const float bf = static_cast<float>(b);
        term[b] = (bf * r) * (bf * r) - 1.0f;
    }
    float entropy = -0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        // Benefit 0 or 1 (the prediction) for a positive label; every other element
        // has benefit 2. Selected without a branch: the flags are random enough that a
        // branch here mispredicts often.
        const unsigned shift = static_cast<unsigned>(i % 64);
        const unsigned p = static_cast<unsigned>(prediction_flags.words[i / 64] >> shift) & 1u;
        const unsigned l = static_cast<unsigned>(label_flags.words[i / 64] >> shift) & 1u;
        entropy += term[(p & l) | ((l ^ 1u) << 1)];
    }
    d.generalized_entropy = entropy;
    return d;
}

void BucketGeneralizedEntropy::add(bool label_positive, bool predicted_positive) {
    if (!label_positive)
        ++benefit_two;
    else if (predicted_positive)
        ++benefit_one;
    else
        ++benefit_zero;
}

void BucketGeneralizedEntropy::accumulate(std::span<const std::int8_t> ground_truth,
                                          std::span<const std::int8_t> prediction) {
    const std::size_t m = std::min(ground_truth.size(), prediction.size());
    if (m == 0) return;
    std::uint64_t label_count = 0, found = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const bool l = in_group(ground_truth[i]);
        label_count += l;
        found += l & in_group(prediction[i]);
    }
    benefit_zero += label_count - found;
    benefit_one += found;
    benefit_two += m - label_count;
}

float BucketGeneralizedEntropy::generalized_entropy() const {
    const float n = f32(total());
    const float s = f32(benefit_one + 2 * benefit_two);
    const float q = f32(benefit_one + 4 * benefit_two);
    return ((n * n) / (s * s)) * q - n;
}

namespace model_bias {

GuardFailure check_guards(const PostTraining& t) {
    if (t.facet_a_count == 0 || t.facet_d_count == 0) return GuardFailure::EmptyFacet;
    const PostTrainingInputs<float> in = post_training_inputs(t);
    const FacetCounts<float>& a = in.a;
    const FacetCounts<float>& d = in.d;
    // Compared with 0 exactly; a NaN does not trip a guard.
    const bool refused = d.p / d.n == 0.0f || t.facet_a_label_positive == 0 || t.facet_d_label_positive == 0 ||
                         d.pred_negative == 0.0f || a.pred_negative == 0.0f || d.tn + d.fn == 0.0f || a.tn + a.fn == 0.0f ||
                         d.fp == 0.0f || a.fp == 0.0f;
    return refused ? GuardFailure::ZeroDenominator : GuardFailure::None;
}

PostTrainingInputs<float> post_training_inputs(const PostTraining& t) {
    const std::uint64_t total = t.facet_a_count + t.facet_d_count;
    return {facet_floats(t.confusion_a, t.facet_a_count, t.facet_a_label_positive, t.facet_a_pred_positive),
            facet_floats(t.confusion_d, t.facet_d_count, t.facet_d_label_positive, t.facet_d_pred_positive), f32(total),
            f32(total - (t.facet_a_pred_positive + t.facet_d_pred_positive))};
}

template <class T>
T cond_dem_desp_in_pred_labels(const PostTrainingInputs<T>& in) {
    // A facet's share of all predicted negatives less its share of positives, both
    // relative to the predicted-negative count.
    auto disparity = [&](const FacetCounts<T>& f) { return f.pred_negative / in.pred_negative - f.p / in.pred_negative; };
    return (disparity(in.a) * in.a.n + disparity(in.d) * in.d.n) / in.total;
}

float cond_dem_desp_in_pred_labels(const PostTraining& t) { return cond_dem_desp_in_pred_labels(post_training_inputs(t)); }

template <class T>
std::array<T, 11> post_training_formulas(const PostTrainingInputs<T>& in) {
    const FacetCounts<T>& a = in.a;
    const FacetCounts<T>& d = in.d;
    const T p_a = a.p / a.n;
    const T p_d = d.p / d.n;
    // Differences are facet a minus facet d, except the three rejection-side metrics
    // (conditional rejection, rejection rate, treatment equity), which are d minus a.
    return {
        p_a - p_d,
        p_a / p_d,
        (a.tp + a.tn) / (a.tn + ((a.tp + a.fp) + a.fn)) - (d.tp + d.tn) / (d.tn + ((d.tp + d.fp) + d.fn)),
        a.tp / (a.tp + a.fn) - d.tp / (d.tp + d.fn),
        a.p / a.l - d.p / d.l,
        a.tp / (a.tp + a.fp) - d.tp / (d.tp + d.fp),
        a.tn / (a.tn + a.fp) - d.tn / (d.tn + d.fp),
        d.label_negative / d.pred_negative - a.label_negative / a.pred_negative,
        d.tn / (d.tn + d.fn) - a.tn / (a.tn + a.fn),
        d.fn / d.fp - a.fn / a.fp,
        cond_dem_desp_in_pred_labels(in),
    };
}

template std::array<float, 11> post_training_formulas(const PostTrainingInputs<float>&);
template std::array<double, 11> post_training_formulas(const PostTrainingInputs<double>&);

std::array<float, 12> bias_values(const PostTraining& t, float generalized_entropy) {
    const auto v = post_training_formulas(post_training_inputs(t));
    std::array<float, 12> out{};
    std::copy(v.begin(), v.end(), out.begin());
    out[11] = generalized_entropy;
    return out;
}

Result<MetricMap<ModelBiasMetric>, BiasError> post_training_bias(const DiscretePostTraining& d) {
    switch (check_guards(d.counts)) {
        case GuardFailure::EmptyFacet: return unexpected(BiasError::DataLengthError);
        case GuardFailure::ZeroDenominator: return unexpected(BiasError::NoFacetDeviation);
        case GuardFailure::None: break;
    }
    const std::array<float, 12> values = bias_values(d.counts, d.generalized_entropy);
    MetricMap<ModelBiasMetric> map;
    map.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) map.emplace(static_cast<ModelBiasMetric>(i), values[i]);
    return map;
}

}  // namespace model_bias
}  // namespace morvane
