#include "core/drift/scores.hpp"

#include <algorithm>
#include <cmath>

#include "core/common/configuration.hpp"

namespace morvane {

namespace {

constexpr double LN_2 = 0.6931471805599453;

// max(x, eps) that yields eps for a NaN x (and x for a NaN eps), as fmax does.
inline double floor_eps(double x, double eps) { return std::fmax(x, eps); }

double jensen_shannon(std::span<const double> b, std::span<const double> r, double total, double eps) {
    double sum = 0.0;
    for (std::size_t i = 0; i < b.size(); ++i) {
        const double p = floor_eps(b[i] + eps, eps);
        const double q = floor_eps(r[i] / total + eps, eps);
        const double m = (p + q) * 0.5;
        sum += (0.5 * p) * std::log(p / m) + (0.5 * q) * std::log(q / m);
    }
    return sum / LN_2;
}

double population_stability(std::span<const double> b, std::span<const double> r, double total, double eps) {
    double sum = 0.0;
    for (std::size_t i = 0; i < b.size(); ++i) {
        const double p = floor_eps(b[i] + eps, eps);
        const double q = floor_eps((r[i] + eps) / total, eps);
        sum += (p - q) * std::log(p / q);
    }
    return sum;
}

double kullback_leibler(std::span<const double> b, std::span<const double> r, double total, double eps) {
    double sum = 0.0;
    for (std::size_t i = 0; i < b.size(); ++i) {
        const double p = floor_eps(b[i] + eps, eps);
        const double q = (r[i] + eps) / total;
        sum += p * std::log(floor_eps(p / q, eps));
    }
    return sum;
}

double wasserstein(std::span<const double> b, std::span<const double> r, double total, double eps, HistogramKind kind) {
    auto diff = [&](std::size_t i) {
        const double p = floor_eps(b[i] + eps, eps);
        const double q = floor_eps(r[i] / total + eps, eps);
        return std::fabs(p - q);
    };
    double sum = 0.0;
    if (kind == HistogramKind::Categorical) {
        for (std::size_t i = 0; i < b.size(); ++i) sum += diff(i);
        return 0.5 * sum;
    }
    // Only the inner bins: the two outer bins are unbounded.
    const std::size_t n = b.size();
    for (std::size_t i = 1; i + 1 < n; ++i) sum += diff(i);
    const std::size_t inner = n >= 2 ? n - 2 : 0;
    return sum / static_cast<double>(std::max<std::size_t>(inner, 1));
}

}  // namespace

Result<DriftType, DriftError> parse_drift_type(std::string_view text) {
    if (text == "JensenShannon") return DriftType::JensenShannon;
    if (text == "PopulationStabilityIndex") return DriftType::PopulationStabilityIndex;
    if (text == "WassersteinDistance") return DriftType::WassersteinDistance;
    if (text == "KullbackLeibler") return DriftType::KullbackLeibler;
    return unexpected(DriftError::UnsupportedDriftType);
}

Result<std::vector<DriftType>, DriftError> parse_drift_types(std::span<const std::string> names) {
    std::vector<DriftType> out;
    out.reserve(names.size());
    for (const std::string& name : names) {
        auto t = parse_drift_type(name);
        if (!t) return unexpected(t.error());
        out.push_back(*t);
    }
    return out;
}

double global_compute_drift(std::span<const double> b, std::span<const double> r, double total, HistogramKind kind,
                            DriftType type) {
    const double eps = STABILITIY_EPS;
    switch (type) {
        case DriftType::JensenShannon: return jensen_shannon(b, r, total, eps);
        case DriftType::PopulationStabilityIndex: return population_stability(b, r, total, eps);
        case DriftType::WassersteinDistance: return wasserstein(b, r, total, eps, kind);
        case DriftType::KullbackLeibler: return kullback_leibler(b, r, total, eps);
    }
    return 0.0;
}

}  // namespace morvane
