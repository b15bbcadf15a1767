"""The tail probabilities the checks use, against SciPy as the oracle over grids that reach far into
the tails; and the package imports without SciPy."""

import subprocess
import sys

import numpy as np
import pytest
from scipy import special, stats

from morvane import _native

# (function, oracle, argument grid, relative tolerance): values below 1e-290 are left out (both
# sides then meet the smallest doubles).
Z = np.r_[np.linspace(-38.0, 8.5, 187), -1e-12, 0.0, 1e-12]
P = np.r_[np.logspace(-300, -1, 150), np.linspace(0.02, 0.98, 49), 1.0 - np.logspace(-15, -2, 14)]
DOFS = [1, 2, 3, 7, 30, 31, 120, 1_000, 10_000, 100_000, 1_000_000]
CHI2 = [(x, d) for d in DOFS for x in np.r_[np.linspace(0.0, 3.0 * d + 200.0, 40),
                                            d + np.linspace(-6.0, 6.0, 13) * np.sqrt(2.0 * d)] if x >= 0]
T = [(t, d) for d in DOFS for t in np.r_[-np.logspace(-4, 4, 40), 0.0, np.logspace(-4, 4, 40)]]


def close(ours, oracle, rel):
    ours, oracle = np.asarray(ours), np.asarray(oracle)
    keep = oracle > 1e-290
    assert keep.any() and (ours[~keep] <= 1e-280).all()
    np.testing.assert_allclose(ours[keep], oracle[keep], rtol=rel)


def test_normal_tails_and_quantiles():
    close([_native.normal_cdf(z) for z in Z], special.ndtr(Z), 1e-12)
    close([-_native.normal_quantile(p) for p in P], -special.ndtri(P), 1e-13)  # negated: all positive there
    assert _native.normal_quantile(0.0) == -np.inf and _native.normal_quantile(1.0) == np.inf
    assert np.isnan(_native.normal_quantile(1.5))


@pytest.mark.parametrize("dof", DOFS)
def test_chi_square_and_t_tails(dof):
    # Near the mean of many degrees of freedom both sides round: 1e-8 at a million.
    rel = 1e-11 if dof <= 1_000 else 1e-9 if dof <= 100_000 else 2e-8
    chi = [(x, d) for x, d in CHI2 if d == dof]
    close([_native.chi2_sf(x, d) for x, d in chi], [special.chdtrc(d, x) for x, d in chi], rel)
    ts = [(t, d) for t, d in T if d == dof]
    close([_native.t_cdf(t, d) for t, d in ts], [special.stdtr(d, t) for t, d in ts], rel)
    close([_native.chi2_cdf(x, d) for x, d in chi], [special.chdtr(d, x) for x, d in chi], rel)
    assert _native.chi2_sf(0.0, dof) == 1.0 and _native.t_cdf(-np.inf, dof) == 0.0


@pytest.mark.parametrize("n, p", [(1, 0.5), (30, 0.01), (100, 0.3), (5_000, 0.001), (1_000_000, 0.5), (200, 0.0),
                                  (200, 1.0)])
def test_binomial_upper_tail(n, p):
    ks = sorted({int(n * p + z * np.sqrt(n * p * (1 - p) + 1)) for z in np.linspace(-4.0, 40.0, 45)} | {-1, 0, n - 1, n})
    rel = 1e-11 if n < 100_000 else 1e-7  # a million trials: the prefactor's logarithms cancel to 1e-8
    close([_native.binomial_sf(k, n, p) for k in ks], stats.binom.sf(ks, n, p), rel)


@pytest.mark.parametrize("total, successes, draws", [
    (60, 30, 30), (10_050, 5_000, 50), (20_000, 3_000, 10_000), (1_000_000, 500_000, 10_000),
    (2_000_000, 100, 1_000_000), (101, 1, 100), (50, 0, 20), (50, 50, 20)])
def test_hypergeometric_lower_tail_from_the_far_tail_to_one(total, successes, draws):
    mean = draws * successes / total
    sd = np.sqrt(max(mean * (1 - successes / total) * (total - draws) / max(total - 1, 1), 1e-9))
    ks = sorted({int(mean + z * sd) for z in np.linspace(-40.0, 4.0, 45)} | {-1, 0, draws, draws + 1})
    rel = 1e-12 if total < 100_000 else 1e-9
    close([_native.hypergeom_cdf(k, total, successes, draws) for k in ks],
          stats.hypergeom.cdf(ks, total, successes, draws), rel)


@pytest.mark.parametrize("args", [
    ["-c", "import sys, morvane; print(sorted(m for m in sys.modules if m.split('.')[0] == 'scipy'))"],
    ["-c", "import sys, runpy; sys.argv = ['morvane', '--help']\ntry:\n    runpy.run_module('morvane', "
           "run_name='__main__')\nexcept SystemExit:\n    pass\n"
           "print(sorted(m for m in sys.modules if m.split('.')[0] == 'scipy'))"]])
def test_the_package_and_its_help_import_no_scipy(args):
    out = subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip().splitlines()[-1] == "[]"
