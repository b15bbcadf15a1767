// Tail probabilities. The gamma and beta prefactors x^a e^-x / Gamma(a) and
// x^a (1-x)^b / B(a, b) are written through Loader's deviance bd0 and Stirling's error term, so
// that large arguments (a chi-square of many cells, a t test of many rows) keep their relative
// accuracy instead of losing it to the cancellation of large logarithms; the hypergeometric
// probability is Loader's ratio of binomial probabilities, and its tail the sum of the term
// ratios from the requested end inward (the smaller tail is summed, the other its complement).
#include "core/common/tails.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

namespace morvane::tails {

namespace {

constexpr double LN_2PI = 1.8378770664093454835606594728112;
constexpr double SQRT_2PI = 2.5066282746310005024157652848110;
constexpr double EPS = DBL_EPSILON;
constexpr double TINY = 1e-300;
constexpr int MAX_ITERATIONS = 1'000'000;
const double NaN = std::numeric_limits<double>::quiet_NaN();

// log(n!) - log(sqrt(2 pi n) (n / e)^n): Stirling's series above 15, long double below.
double stirlerr(double n) {
    if (n <= 15.0) {
        const long double m = n;
        return static_cast<double>(std::lgamma(m + 1.0L) - (m + 0.5L) * std::log(m) + m - 0.5L * static_cast<long double>(LN_2PI));
    }
    constexpr double S0 = 1.0 / 12, S1 = 1.0 / 360, S2 = 1.0 / 1260, S3 = 1.0 / 1680, S4 = 1.0 / 1188;
    const double nn = n * n;
    if (n > 500) return (S0 - S1 / nn) / n;
    if (n > 80) return (S0 - (S1 - S2 / nn) / nn) / n;
    if (n > 35) return (S0 - (S1 - (S2 - S3 / nn) / nn) / nn) / n;
    return (S0 - (S1 - (S2 - (S3 - S4 / nn) / nn) / nn) / nn) / n;
}

// x log(x / m) + m - x, without its cancellation when x is near m.
double bd0(double x, double m) {
    if (std::fabs(x - m) < 0.1 * (x + m)) {
        double v = (x - m) / (x + m);
        double s = (x - m) * v;
        double ej = 2.0 * x * v;
        v *= v;
        for (int j = 1; j < 1000; ++j) {
            ej *= v;
            const double next = s + ej / (2 * j + 1);
            if (next == s) return next;
            s = next;
        }
    }
    return x * std::log(x / m) + m - x;
}

// log(x^a e^-x / Gamma(a)).
double log_gamma_prefactor(double a, double x) {
    if (a < 15.0) return a * std::log(x) - x - std::lgamma(a);
    return -bd0(a, x) + 0.5 * std::log(a / (2.0 * M_PI)) - stirlerr(a);
}

// log B(a, b), the large argument's Gamma ratio through Stirling's error term.
double log_beta(double a, double b) {
    const double lo = std::min(a, b), hi = std::max(a, b);
    if (hi < 15.0) return std::lgamma(a) + std::lgamma(b) - std::lgamma(a + b);
    const double correction = stirlerr(hi) - stirlerr(hi + lo);
    if (lo < 15.0) return std::lgamma(lo) + correction - (hi - 0.5) * std::log1p(lo / hi) - lo * std::log(hi + lo) + lo;
    return 0.5 * LN_2PI + (a - 0.5) * std::log(a / (a + b)) + (b - 0.5) * std::log(b / (a + b)) - 0.5 * std::log(a + b)
           + stirlerr(a) + stirlerr(b) - stirlerr(a + b);
}

// The regularized incomplete gammas Q(a, x) (upper) and P(a, x) = 1 - Q: a series for P below
// a + 1, else a continued fraction (modified Lentz) for Q; the other one is the complement.
double gamma_tail(double a, double x, bool upper) {
    if (!(a > 0.0) || std::isnan(x)) return NaN;
    if (x <= 0.0) return upper ? 1.0 : 0.0;
    if (std::isinf(x)) return upper ? 0.0 : 1.0;
    const double prefactor = std::exp(log_gamma_prefactor(a, x));
    if (x < a + 1.0) {
        double term = 1.0 / a, sum = term;
        for (int n = 1; n < MAX_ITERATIONS; ++n) {
            term *= x / (a + n);
            sum += term;
            if (std::fabs(term) < std::fabs(sum) * EPS) break;
        }
        return upper ? std::max(0.0, 1.0 - sum * prefactor) : std::min(1.0, sum * prefactor);
    }
    double b = x + 1.0 - a, c = 1.0 / TINY, d = 1.0 / b, h = d;
    for (int i = 1; i < MAX_ITERATIONS; ++i) {
        const double an = -i * (i - a);
        b += 2.0;
        d = an * d + b;
        if (std::fabs(d) < TINY) d = TINY;
        c = b + an / c;
        if (std::fabs(c) < TINY) c = TINY;
        d = 1.0 / d;
        const double step = d * c;
        h *= step;
        if (std::fabs(step - 1.0) < EPS) break;
    }
    return upper ? prefactor * h : std::max(0.0, 1.0 - prefactor * h);
}

// The continued fraction of the incomplete beta function (modified Lentz).
double beta_fraction(double a, double b, double x) {
    const double qab = a + b, qap = a + 1.0, qam = a - 1.0;
    double c = 1.0, d = 1.0 - qab * x / qap;
    if (std::fabs(d) < TINY) d = TINY;
    d = 1.0 / d;
    double h = d;
    for (int m = 1; m < MAX_ITERATIONS; ++m) {
        const double m2 = 2.0 * m;
        double aa = m * (b - m) * x / ((qam + m2) * (a + m2));
        d = 1.0 + aa * d;
        if (std::fabs(d) < TINY) d = TINY;
        c = 1.0 + aa / c;
        if (std::fabs(c) < TINY) c = TINY;
        d = 1.0 / d;
        h *= d * c;
        aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2));
        d = 1.0 + aa * d;
        if (std::fabs(d) < TINY) d = TINY;
        c = 1.0 + aa / c;
        if (std::fabs(c) < TINY) c = TINY;
        d = 1.0 / d;
        const double step = d * c;
        h *= step;
        if (std::fabs(step - 1.0) < EPS) break;
    }
    return h;
}

// The regularized incomplete beta I_x(a, b), given x, y = 1 - x and their logarithms (each
// computed by the caller without cancellation).
double beta_i(double a, double b, double x, double y, double log_x, double log_y) {
    if (x <= 0.0) return 0.0;
    if (y <= 0.0) return 1.0;
    const double log_prefactor = a * log_x + b * log_y - log_beta(a, b);
    if (x < (a + 1.0) / (a + b + 2.0)) return std::exp(log_prefactor) * beta_fraction(a, b, x) / a;
    return 1.0 - std::exp(log_prefactor) * beta_fraction(b, a, y) / b;
}

// Loader's binomial probability of x successes in n trials of probability p (q = 1 - p).
double binomial_pmf(double x, double n, double p, double q) {
    if (p == 0.0) return x == 0.0 ? 1.0 : 0.0;
    if (q == 0.0) return x == n ? 1.0 : 0.0;
    if (x == 0.0) return n == 0.0 ? 1.0 : std::exp(p < 0.1 ? -bd0(n, n * q) - n * p : n * std::log(q));
    if (x == n) return std::exp(q < 0.1 ? -bd0(n, n * p) - n * q : n * std::log(p));
    if (x < 0.0 || x > n) return 0.0;
    const double lc = stirlerr(n) - stirlerr(x) - stirlerr(n - x) - bd0(x, n * p) - bd0(n - x, n * q);
    const double lf = LN_2PI + std::log(x) + std::log1p(-x / n);
    return std::exp(lc - 0.5 * lf);
}

// P(X = x) of the hypergeometric with r successes, b failures and n draws.
double hypergeom_pmf(double x, double r, double b, double n) {
    if (n == 0.0) return x == 0.0 ? 1.0 : 0.0;
    const double p = n / (r + b), q = (r + b - n) / (r + b);
    return binomial_pmf(x, r, p, q) * binomial_pmf(n - x, b, p, q) / binomial_pmf(n, r + b, p, q);
}

}  // namespace

double normal_cdf(double z) {
    return 0.5 * std::erfc(-z / M_SQRT2);
}

double normal_quantile(double p) {
    if (std::isnan(p) || p < 0.0 || p > 1.0) return NaN;
    if (p == 0.0) return -std::numeric_limits<double>::infinity();
    if (p == 1.0) return std::numeric_limits<double>::infinity();
    if (p > 0.5) return -normal_quantile(1.0 - p);  // exact: 1 - p has no rounding for p >= 1/2
    // Acklam's rational approximation (relative error below 1.2e-9), then two Halley steps.
    static constexpr double A[] = {-3.969683028665376e+01, 2.209460984245205e+02, -2.759285104469687e+02,
                                   1.383577518672690e+02, -3.066479806614716e+01, 2.506628277459239e+00};
    static constexpr double B[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                                   6.680131188771972e+01, -1.328068155288572e+01};
    static constexpr double C[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                                   -2.549732539343734e+00, 4.374664141464968e+00, 2.938163982698783e+00};
    static constexpr double D[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                                   3.754408661907416e+00};
    double x;
    if (p < 0.02425) {
        const double q = std::sqrt(-2.0 * std::log(p));
        x = (((((C[0] * q + C[1]) * q + C[2]) * q + C[3]) * q + C[4]) * q + C[5]) /
            ((((D[0] * q + D[1]) * q + D[2]) * q + D[3]) * q + 1.0);
    } else {
        const double q = p - 0.5, r = q * q;
        x = (((((A[0] * r + A[1]) * r + A[2]) * r + A[3]) * r + A[4]) * r + A[5]) * q /
            (((((B[0] * r + B[1]) * r + B[2]) * r + B[3]) * r + B[4]) * r + 1.0);
    }
    for (int step = 0; step < 2; ++step) {
        const double u = (normal_cdf(x) - p) * SQRT_2PI * std::exp(0.5 * x * x);
        x -= u / (1.0 + 0.5 * x * u);
    }
    return x;
}

double chi2_sf(double x, double dof) {
    if (!(dof > 0.0)) return NaN;
    return gamma_tail(0.5 * dof, 0.5 * x, true);
}

double chi2_cdf(double x, double dof) {
    if (!(dof > 0.0)) return NaN;
    return gamma_tail(0.5 * dof, 0.5 * x, false);
}

double binomial_sf(std::int64_t k, std::int64_t n, double p) {
    if (n < 0 || std::isnan(p) || p < 0.0 || p > 1.0) return NaN;
    if (k < 0) return 1.0;
    if (k >= n) return 0.0;
    // P(X > k) = I_p(k + 1, n - k).
    const double a = static_cast<double>(k) + 1.0, b = static_cast<double>(n - k);
    return beta_i(a, b, p, 1.0 - p, std::log(p), std::log1p(-p));
}

double t_cdf(double t, double dof) {
    if (!(dof > 0.0) || std::isnan(t)) return NaN;
    if (std::isinf(t)) return t < 0 ? 0.0 : 1.0;
    // The two-sided tail P(|T| >= |t|) = I_x(dof / 2, 1 / 2) with x = dof / (dof + t^2).
    const double at = std::fabs(t);
    double x, y, log_x, log_y;
    if (at > 1e100) {
        log_x = std::log(dof) - 2.0 * std::log(at);
        x = std::exp(log_x);
        y = 1.0 - x;
        log_y = std::log1p(-x);
    } else {
        const double t2 = at * at;
        x = dof / (dof + t2);
        y = t2 / (dof + t2);
        log_x = -std::log1p(t2 / dof);
        log_y = std::log(y);
    }
    const double tail = 0.5 * beta_i(0.5 * dof, 0.5, x, y, log_x, log_y);
    return t < 0 ? tail : 1.0 - tail;
}

double hypergeom_cdf(std::int64_t k, std::int64_t total, std::int64_t successes, std::int64_t draws) {
    if (total < 0 || successes < 0 || draws < 0 || successes > total || draws > total) return NaN;
    double r = static_cast<double>(successes), b = static_cast<double>(total - successes);
    const double n = static_cast<double>(draws);
    double x = static_cast<double>(k);
    bool lower = true;
    // Sum the tail on the side of the mean that x is on no further than: above the mean the
    // upper tail of the failures' count is summed and the lower tail is its complement.
    if (x * (r + b) > n * r) {
        std::swap(r, b);
        x = n - x - 1.0;
        lower = false;
    }
    double tail;
    if (x < std::max(0.0, n - b)) {
        tail = 0.0;
    } else if (x >= std::min(n, r)) {
        tail = 1.0;
    } else {
        double sum = 0.0, term = 1.0;
        for (double i = x; i > 0.0 && term >= EPS * sum;) {
            term *= i * (b - n + i) / (n + 1.0 - i) / (r + 1.0 - i);
            sum += term;
            i -= 1.0;
        }
        tail = std::min(1.0, hypergeom_pmf(x, r, b, n) * (1.0 + sum));
    }
    return lower ? tail : std::max(0.0, 1.0 - tail);
}

}  // namespace morvane::tails
