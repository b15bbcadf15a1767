"""Every metric formula the package evaluates in Python is the core's: on random confusion tables
(zeros included) the batched kernels, the estimates' measured metrics and the bias checks' values equal
the core's own per-table results bit for bit, in its 32-bit rounding."""

import numpy as np
import pytest

from morvane import _native
from morvane.comparing import estimated, metrics


def tables(seed: int, n: int, cells: int) -> np.ndarray:
    """n random tables of counts, each cell zero a third of the time, a few past 2^24."""
    rng = np.random.default_rng(seed)
    counts = rng.integers(0, 30, size=(n, cells))
    counts[rng.random((n, cells)) < 1 / 3] = 0
    counts[rng.random((n, cells)) < 0.01] = 2**24 + 3
    return counts


def same(a, b) -> bool:
    a, b = np.asarray(a, np.float32), np.asarray(b, np.float32)
    return a.shape == b.shape and bool(np.all((a == b) | (np.isnan(a) & np.isnan(b))))


def test_binary_metrics_of_many_tables_and_of_measured_histograms_are_the_core_s():
    t = tables(1, 2000, 4)  # tn, fp, fn, tp
    core = np.array([_native.binary_metrics(int(tp), int(fp), int(tn), int(fn)) for tn, fp, fn, tp in t])
    many = metrics.ratios_many(*t.T)
    assert all(same(many[name], core[:, i]) for i, name in enumerate(metrics.RATIOS))
    # The estimates' measured metrics, from (tables, 2 decisions, bins) labeled histograms.
    bins = 5
    neg, pos = np.zeros((len(t), 2, bins)), np.zeros((len(t), 2, bins))
    neg[:, 0, 1], neg[:, 1, 3], pos[:, 0, 0], pos[:, 1, 4] = t.T
    measured = estimated._measured_binary(neg, pos)
    assert all(same(measured[name], core[:, i]) for i, name in enumerate(metrics.RATIOS))


def test_bias_metrics_of_many_groups_are_the_core_s_where_it_gives_them():
    t = tables(2, 2000, 8)  # group a then the rest: tn, fp, fn, tp each
    values = metrics.bias_many(t[:, :4].reshape(-1, 2, 2), t[:, 4:].reshape(-1, 2, 2))
    compared = {"pre": 0, "post": 0}
    for i, (a, d) in enumerate(zip(t[:, :4], t[:, 4:])):
        pre = _native.pre_training(int(a[2] + a[3]), int(a.sum()), int(d[2] + d[3]), int(d.sum()))
        post = _native.post_training([int(x) for x in a], [int(x) for x in d])
        for kind, names, core in (("pre", metrics.PRE_TRAINING, pre), ("post", metrics.POST_TRAINING[:11], post)):
            if core is not None:
                compared[kind] += 1
                assert same([values[name][i] for name in names], core[:len(names)]), (kind, a, d)
        if post is not None:
            benefits = (a[2] + d[2], a[3] + d[3], a[0] + a[1] + d[0] + d[1])
            assert metrics.generalized_entropy(benefits) == np.float32(post[11]) / np.float32(2 * t[i].sum())
    assert compared["pre"] > 1000 and compared["post"] > 100


def test_wide_bias_formulas_agree_with_the_32_bit_ones():
    # The 64-bit instantiation (for the delta method's derivatives) is the same formula, up to the 32-bit
    # rounding of terms that nearly cancel (the divergences of two close proportions).
    t = np.minimum(tables(3, 500, 8), 40) / 7.0  # shares of moderate tables
    narrow = metrics.bias_many(t[:, :4].reshape(-1, 2, 2), t[:, 4:].reshape(-1, 2, 2))
    wide = metrics.bias_many(t[:, :4].reshape(-1, 2, 2), t[:, 4:].reshape(-1, 2, 2), wide=True)
    for name in narrow:
        finite = np.isfinite(wide[name]) & (np.abs(wide[name]) < 1e6)
        assert np.array_equal(np.isnan(narrow[name]), np.isnan(wide[name])), name
        assert np.allclose(narrow[name][finite], wide[name][finite], rtol=1e-3, atol=1e-4), name


@pytest.mark.parametrize("width, kernel", [(3, _native.binary_metrics_many), (4, lambda c: _native.post_training_many(c, False))])
def test_kernels_refuse_tables_of_the_wrong_width(width, kernel):
    with pytest.raises(ValueError, match="wrong width"):
        kernel(np.zeros((2, width)))
