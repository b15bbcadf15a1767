// Tail probabilities of the distributions the package's tests refer to: the normal, the
// chi-square, Student's t and the hypergeometric. Each keeps its relative accuracy far in the
// tail (down to the smallest doubles), where a correction for many checks puts the threshold.
#pragma once

#include <cstdint>

namespace morvane::tails {

// P(Z <= z) for a standard normal Z.
double normal_cdf(double z);
// The z with P(Z <= z) = p, for 0 < p < 1 (-inf at 0, +inf at 1, NaN outside).
double normal_quantile(double p);
// P(X >= x) and P(X <= x) for X chi-square with `dof` > 0 degrees of freedom.
double chi2_sf(double x, double dof);
double chi2_cdf(double x, double dof);
// P(T <= t) for T Student's t with `dof` > 0 degrees of freedom.
double t_cdf(double t, double dof);
// P(X > k) for X binomial with n trials of probability p.
double binomial_sf(std::int64_t k, std::int64_t n, double p);
// P(X <= k) for X the successes among `draws` rows drawn without replacement from `total`
// rows of which `successes` are successes (0 <= successes, draws <= total).
double hypergeom_cdf(std::int64_t k, std::int64_t total, std::int64_t successes, std::int64_t draws);

}  // namespace morvane::tails
