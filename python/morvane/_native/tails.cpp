// Tail probabilities: one row per distribution, each a call of the core's formula.
#include "tails.hpp"

#include "core/common/tails.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace morvane::native {

void bind_tails(nb::module_& m) {
    m.def("normal_cdf", &tails::normal_cdf, "z"_a);
    m.def("normal_quantile", &tails::normal_quantile, "p"_a);
    m.def("chi2_sf", &tails::chi2_sf, "x"_a, "dof"_a);
    m.def("chi2_cdf", &tails::chi2_cdf, "x"_a, "dof"_a);
    m.def("binomial_sf", &tails::binomial_sf, "k"_a, "n"_a, "p"_a);
    m.def("t_cdf", &tails::t_cdf, "t"_a, "dof"_a);
    m.def("hypergeom_cdf", &tails::hypergeom_cdf, "k"_a, "total"_a, "successes"_a, "draws"_a);
}

}  // namespace morvane::native
