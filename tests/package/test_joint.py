"""Joint moments (`profile(..., joint=True)`) and the drift family's Reconstruction and Covariance
checks: exact integer sums against an oracle on the same fixed point, the closed-form mean
reconstruction error against the per-row one, exact merges, bytes, and the flipped correlation."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvane as mv
from morvane.comparing.joint import reconstruction_error

SCALE = 2.0 ** 12


def correlated(n, rho, rng, extra=2):
    a = rng.standard_normal(n)
    b = rho * a + np.sqrt(1 - rho * rho) * rng.standard_normal(n)
    out = {"a": a * 3.0 + 10.0, "b": b}
    for i in range(extra):
        out[f"x{i}"] = rng.standard_normal(n)
    return out


def fixed_point(table, jl):
    """The standardised values as the profile keeps them, as Python ints (the oracle's own path)."""
    cols = []
    for name, c, s in zip(jl.columns, jl.centres, jl.scales):
        z = (np.asarray(table[name], np.float64) - c) / s
        z = np.clip(np.where(np.isnan(z), 0.0, z), -256.0, 256.0)
        cols.append(np.rint(z * SCALE).astype(np.int64))
    return np.array(cols).T


@pytest.fixture
def rng():
    return np.random.default_rng(31)


def test_sums_equal_integer_oracle_and_closed_form_equals_per_row_error(rng):
    table = correlated(3_000, 0.7, rng)
    table["b"][::17] = np.nan  # imputed by the reference's mean
    table["x0"][5] = np.inf     # held at the limit
    ref = mv.profile(table, joint=True)
    jl, s = ref.layout.extra("joint"), ref.extra("joint")
    q = fixed_point(table, jl)
    qo = q.astype(object)
    assert s.n == len(q)
    assert list(s.first) == [int(x) for x in qo.sum(axis=0)]
    iu = np.triu_indices(q.shape[1])
    assert list(s.second) == [int(x) for x in (qo.T @ qo)[iu]]
    # The per-row squared reconstruction error, averaged, is the closed form of the second moments.
    window = correlated(500, -0.2, rng)
    cur = mv.profile(window, like=ref)
    z_ref, z = fixed_point(table, jl) / SCALE, fixed_point(window, jl) / SCALE
    basis = jl.basis()
    d = z - z_ref.mean(axis=0)
    per_row = ((d - d @ basis @ basis.T) ** 2).sum(axis=1).mean()
    assert reconstruction_error(jl, s, cur.extra("joint")) == pytest.approx(per_row, rel=1e-12)
    # The kept components are the fewest whose variance reaches 65% of the reference's.
    values = np.array(jl.eigenvalues)
    r = jl.kept
    assert values[:r].sum() >= 0.65 * values.sum() > values[:r - 1].sum()


@settings(max_examples=40, deadline=None)
@given(st.integers(0, 2**32 - 1), st.lists(st.integers(0, 400), max_size=3), st.sampled_from([1, 2]))
def test_any_split_order_and_thread_count_gives_the_same_bytes(seed, cuts, threads):
    rng = np.random.default_rng(seed)
    table = correlated(400, 0.5, rng)
    table["a"][rng.random(400) < 0.1] = np.nan
    ref = mv.profile(table, joint=True)
    whole = mv.profile(table, like=ref, threads=threads)
    bounds = [0, *sorted(cuts), 400]
    shards = [mv.profile({k: v[a:b] for k, v in table.items()}, like=ref) for a, b in zip(bounds, bounds[1:])]
    merged = mv.merge(shards[::-1])
    assert merged == whole and merged.to_bytes() == whole.to_bytes()
    assert mv.Profile.from_bytes(whole.to_bytes()) == whole
    assert whole.extra("joint") == ref.extra("joint")


def test_flipped_correlation_fails_joint_checks_and_passes_marginals(rng):
    ref = mv.profile(correlated(20_000, 0.8, rng), joint=True)
    same = mv.compare(ref, mv.profile(correlated(2_000, 0.8, rng), like=ref))
    flipped = mv.compare(ref, mv.profile(correlated(2_000, -0.8, rng), like=ref))
    joint = {c.metric: c for c in flipped.checks if c.column is None and c.family == "drift"}
    assert joint["Reconstruction"].failed and joint["Covariance"].failed
    assert not any(c.failed for c in flipped.checks if c.metric == "Distribution")
    assert same.passed
    assert {c.metric for c in same.checks if c.column is None} >= {"Reconstruction", "Covariance"}


def test_without_joint_no_joint_checks_and_like_keeps_the_layout(rng):
    plain = mv.profile(correlated(500, 0.5, rng))
    assert plain.extra("joint") is None
    assert not [c for c in mv.compare(plain, plain).checks if c.metric in ("Reconstruction", "Covariance")]
    ref = mv.profile(correlated(500, 0.5, rng), joint=True)
    with pytest.raises(ValueError):
        mv.profile(correlated(50, 0.5, rng), like=ref, joint=True)


def test_hostile_joint_bytes_are_refused(rng):
    ref = mv.profile(correlated(300, 0.5, rng), joint=True)
    data = bytearray(ref.to_bytes())
    for cut in (len(data) - 9, len(data) // 2):
        with pytest.raises(mv.FormatError):
            mv.Profile.from_bytes(bytes(data[:cut]))


def test_scales_are_the_exact_moments_and_box_m_agrees_with_numpy(rng):
    table = correlated(2_000, 0.6, rng)
    table["a"][::9] = np.nan
    ref = mv.profile(table, joint=True)
    jl = ref.layout.extra("joint")
    for name, c, s in zip(jl.columns, jl.centres, jl.scales):
        x = table[name][~np.isnan(table[name])]
        assert c == pytest.approx(x.mean(), rel=1e-15, abs=1e-15) and s == pytest.approx(x.std(ddof=1), rel=1e-13)
    window = correlated(800, 0.1, rng)
    cur = mv.profile(window, like=ref)
    from morvane.comparing.joint import covariance

    p, details = covariance(jl, ref.extra("joint"), cur.extra("joint"))
    z_r, z_c = fixed_point(table, jl) / SCALE, fixed_point(window, jl) / SCALE
    n_r, n_c, k = len(z_r), len(z_c), z_r.shape[1]
    s_r, s_c = np.cov(z_r.T), np.cov(z_c.T)
    pooled = ((n_r - 1) * s_r + (n_c - 1) * s_c) / (n_r + n_c - 2)
    m = (n_r + n_c - 2) * np.linalg.slogdet(pooled)[1] - (n_r - 1) * np.linalg.slogdet(s_r)[1] \
        - (n_c - 1) * np.linalg.slogdet(s_c)[1]
    c = (2 * k * k + 3 * k - 1) / (6 * (k + 1)) * (1 / (n_r - 1) + 1 / (n_c - 1) - 1 / (n_r + n_c - 2))
    assert details["statistic"] * details["scale"] == pytest.approx(m * (1 - c), rel=1e-8)
    assert p < 1e-6 and details["dof"] == k * (k + 1) // 2
