"""Accumulated local effects against cases computed by hand."""

import numpy as np
import pytest

from qalvo.experiment import ale


def square0(z):
    return z[:, 0] ** 2


def product(z):
    return z[:, 0] * z[:, 1]


def test_one_feature_square_on_five_points():
    # Edges at the 0, 1/4, ..., 1 quantiles of 0..4 are 0..4; bin 1 holds 0 and 1.
    # Local effects 1, 3, 5, 7 accumulate to 0, 1, 4, 9, 16; every sample lies
    # on an edge, so the centre is the mean of those: 6.
    edges, effect = ale.ale_1d(square0, np.arange(5.0)[:, None], 0, 4)
    np.testing.assert_array_equal(edges, [0, 1, 2, 3, 4])
    np.testing.assert_allclose(effect, [-6, -5, -2, 3, 10])


def test_one_feature_averages_over_the_samples_of_each_bin_only():
    # f = x0 * x1: a step across a bin of width 1 changes f by x1 of that
    # sample, so the local effects are the bin means of x1: 10, -10 and 1.
    # Accumulated 0, 10, 0, 1; one sample at each edge: centre 11 / 4.
    x = np.array([[0, 10], [1, 10], [2, -10], [3, 1]], dtype=float)
    edges, effect = ale.ale_1d(product, x, 0, 3)
    np.testing.assert_array_equal(edges, [0, 1, 2, 3])
    np.testing.assert_allclose(effect, [-2.75, 7.25, -2.75, -1.75])


def test_repeated_values_merge_bins():
    # Four quantile edges of 0, 0, 0, 1 collapse to 0 and 1: one bin holding
    # every sample, local effect 5; three samples at 0, one at 5: centre 1.25.
    x = np.array([[0.0], [0.0], [0.0], [1.0]])
    edges, effect = ale.ale_1d(lambda z: 5 * z[:, 0], x, 0, 4)
    np.testing.assert_array_equal(edges, [0, 1])
    np.testing.assert_allclose(effect, [-1.25, 3.75])


def counts_of(values, counts):
    return np.repeat(np.asarray(values, dtype=float), counts)[:, None]


@pytest.mark.parametrize(
    "x, f, expected",
    [
        # Binary, P(1) = 0.89, f = 2x: the effect is 2x minus its mean 1.78.
        (counts_of([0, 1], [11, 89]), lambda z: 2 * z[:, 0], [-1.78, 0.22]),
        # {0, 1, 10} with weights 0.5, 0.3, 0.2, f = x**2: f minus its mean 20.3.
        (counts_of([0, 1, 10], [50, 30, 20]), square0, [-20.3, -19.3, 79.7]),
        # Skewed counts on few values: f(v) - mean f, whatever the bins.
        (counts_of([-2, 0, 0.5, 7], [1, 90, 5, 4]), lambda z: np.exp(z[:, 0] / 4), None),
    ],
)
def test_one_feature_effect_has_mean_zero_over_the_samples(x, f, expected):
    edges, effect = ale.ale_1d(f, x, 0, 40)
    np.testing.assert_array_equal(edges, np.unique(x))
    truth = f(edges[:, None]) - f(x).mean()
    np.testing.assert_allclose(effect, truth, rtol=0, atol=1e-12)
    if expected is not None:
        np.testing.assert_allclose(effect, expected, rtol=0, atol=1e-12)


@pytest.mark.parametrize(
    "values",
    [
        np.random.default_rng(0).lognormal(0, 1.5, 2000),  # skewed: bins crowd at the low end
        np.round(np.random.default_rng(1).normal(0, 1, 2000), 1),  # tied: rounded values
        np.random.default_rng(2).exponential(1, 300) ** 2,
    ],
)
def test_linear_effect_on_skewed_and_tied_data_is_value_minus_mean(values):
    # f = 3x: the accumulated effect is exact at the edges and linear between
    # them, so each sample reads 3 * (its value - the lowest); centred over the
    # samples, the effect at an edge e is 3 * (e - mean of the data).
    edges, effect = ale.ale_1d(lambda z: 3 * z[:, 0], values[:, None], 0, 40)
    np.testing.assert_allclose(effect, 3 * (edges - values.mean()), rtol=0, atol=1e-9 * np.ptp(values))


def test_constant_feature_has_no_effect():
    x = np.column_stack([np.full(6, 2.0), np.arange(6.0)])
    edges, effect = ale.ale_1d(product, x, 0, 4)
    np.testing.assert_array_equal(edges, [2.0])
    np.testing.assert_array_equal(effect, [0.0])
    _, _, effect2, _ = ale.ale_2d(product, x, 0, 1, 3)
    assert not effect2.any()


FULL_GRID = np.array([[a, b] for a in range(3) for b in range(3)], dtype=float)


def test_pair_product_on_a_full_grid():
    # Edges 0, 1, 2 for both features; every local second difference of
    # x0*x1 is 1. With the features independent and both means 1, the
    # interaction is (x0 - 1) * (x1 - 1) at the edges.
    edges0, edges1, effect, spread = ale.ale_2d(product, FULL_GRID, 0, 1, 2)
    np.testing.assert_array_equal(edges0, [0, 1, 2])
    np.testing.assert_array_equal(edges1, [0, 1, 2])
    np.testing.assert_allclose(effect, np.outer([-1, 0, 1], [-1, 0, 1]), atol=1e-12)
    assert spread == 4.0


def product_grid(values0, values1):
    """Every pair of the two lists: independent features, whatever their distributions."""
    a, b = np.meshgrid(values0, values1, indexing="ij")
    return np.column_stack([a.ravel(), b.ravel()])


@pytest.mark.parametrize(
    "values0, values1, bins",
    [
        ([0.0, 1.0, 10.0], np.random.default_rng(0).lognormal(0, 1, 40), 6),  # three-valued, skewed
        (np.round(np.random.default_rng(1).normal(0, 1, 30), 1), [0.0, 0.0, 0.0, 1.0], 5),  # tied, binary
        (np.random.default_rng(2).exponential(1, 25), np.random.default_rng(3).uniform(-1, 1, 20), 4),
    ],
)
def test_pair_product_of_independent_features_is_the_product_of_centred_values(values0, values1, bins):
    # f = x0 * x1 on independent features: the interaction left after the
    # first-order parts, each read at the samples' own values, is
    # (x0 - mean x0) * (x1 - mean x1), also where samples lie inside cells.
    x = product_grid(values0, values1)
    edges0, edges1, effect, _ = ale.ale_2d(product, x, 0, 1, bins)
    expected = np.outer(edges0 - x[:, 0].mean(), edges1 - x[:, 1].mean())
    np.testing.assert_allclose(effect, expected, rtol=0, atol=1e-9 * np.abs(expected).max())


def test_pair_with_empty_cells():
    # Data on the diagonal only: cells (1, 2) and (2, 1) are empty and take
    # the local effect of a neighbour (1, as everywhere for x0*x1), so the
    # accumulated effect is x0*x1 at the edges. The first-order part along
    # x0: across bin 1 the samples (0, 0) and (1, 1) see changes 0 and 1,
    # across bin 2 the sample (2, 2) sees 2: accumulated 0, 0.5, 2.5, and the
    # same along x1. At the samples x0*x1 minus both is 0, 0, -1: centre -1/3.
    x = np.array([[0, 0], [1, 1], [2, 2]], dtype=float)
    _, _, effect, _ = ale.ale_2d(product, x, 0, 1, 2)
    first_order = np.array([0, 0.5, 2.5])
    expected = np.outer([0, 1, 2], [0, 1, 2]) - first_order[:, None] - first_order[None, :] + 1 / 3
    np.testing.assert_allclose(effect, expected, atol=1e-12)


def ale_2d_by_definition(f, x, bins):
    """Second-order ALE written out sample by sample: the accumulated cell
    means of the second differences, minus each feature's first-order part
    (per bin, the mean over its samples of the change across the bin read at
    the sample's own value of the other feature), centred so that the mean
    over the samples of the effect at their own values is zero."""
    e0, e1 = ale.quantile_edges(x[:, 0], bins), ale.quantile_edges(x[:, 1], bins)
    k0, k1 = ale.bin_of(x[:, 0], e0), ale.bin_of(x[:, 1], e1)
    g = np.zeros((len(e0), len(e1)))
    for a in range(1, len(e0)):
        for b in range(1, len(e1)):
            inside = [i for i in range(len(x)) if k0[i] == a and k1[i] == b]
            changes = []
            for i in inside:
                corners = {}
                for u in (a - 1, a):
                    for v in (b - 1, b):
                        z = x[i : i + 1].copy()
                        z[0] = e0[u], e1[v]
                        corners[u, v] = f(z)[0]
                changes.append(corners[a, b] - corners[a - 1, b] - corners[a, b - 1] + corners[a - 1, b - 1])
            g[a, b] = g[a - 1, b] + g[a, b - 1] - g[a - 1, b - 1] + np.mean(changes)
    along0 = [0.0]
    for a in range(1, len(e0)):
        steps = [np.interp(x[i, 1], e1, g[a] - g[a - 1]) for i in range(len(x)) if k0[i] == a]
        along0.append(along0[-1] + np.mean(steps))
    along1 = [0.0]
    for b in range(1, len(e1)):
        steps = [np.interp(x[i, 0], e0, g[:, b] - g[:, b - 1]) for i in range(len(x)) if k1[i] == b]
        along1.append(along1[-1] + np.mean(steps))
    h = g - np.array(along0)[:, None] - np.array(along1)[None, :]

    def at(point):
        row = [np.interp(point[1], e1, h[a]) for a in range(len(e0))]
        return np.interp(point[0], e0, row)

    return h - np.mean([at(point) for point in x])


def test_pair_effect_follows_the_definition_on_dependent_data():
    # Correlated features, one of them skewed and rounded (ties), every cell
    # filled, a model with interaction and first-order parts of both.
    rng = np.random.default_rng(4)
    a = np.round(rng.lognormal(0, 0.6, 400), 1)
    b = 0.5 * a + rng.normal(0, 0.5, 400)
    x = np.column_stack([a, b])

    def f(z):
        return z[:, 0] * z[:, 1] ** 2 + np.sin(z[:, 0]) + z[:, 1] ** 3

    e0, e1, effect, _ = ale.ale_2d(f, x, 0, 1, 3)
    k0, k1 = ale.bin_of(x[:, 0], e0), ale.bin_of(x[:, 1], e1)
    assert len(set(zip(k0, k1))) == (len(e0) - 1) * (len(e1) - 1)
    np.testing.assert_allclose(effect, ale_2d_by_definition(f, x, 3), rtol=0, atol=1e-9)


def test_additive_model_has_no_second_order_effect():
    _, _, effect, spread = ale.ale_2d(lambda z: 3 * z[:, 0] + z[:, 1] ** 2, FULL_GRID, 0, 1, 2)
    np.testing.assert_allclose(effect, 0, atol=1e-12)
    assert spread > 0
    # Also on dependent, skewed, continuous data, with samples inside cells.
    rng = np.random.default_rng(5)
    a = rng.lognormal(0, 1, 500)
    x = np.column_stack([a, a + rng.normal(0, 1, 500)])
    _, _, effect, spread = ale.ale_2d(lambda z: np.log(z[:, 0]) + z[:, 1] ** 2, x, 0, 1, 8)
    np.testing.assert_allclose(effect, 0, atol=1e-9 * spread)


@pytest.mark.parametrize("first_has_fewer_bins", [True, False])
def test_pair_effect_does_not_depend_on_feature_order(first_has_fewer_bins):
    # One feature with three values, one continuous: the two features have
    # different numbers of bins, where a mixed-up bin count would show.
    rng = np.random.default_rng(0)
    x = np.column_stack([rng.integers(0, 3, 400).astype(float), rng.uniform(-1, 1, 400)])
    if not first_has_fewer_bins:
        x = x[:, ::-1].copy()

    def f(z):
        return z[:, 0] * z[:, 1] ** 2 + z[:, 1] * z[:, 0] ** 2

    e0, e1, forward, _ = ale.ale_2d(f, x, 0, 1, 5)
    f0, f1, backward, _ = ale.ale_2d(f, x, 1, 0, 5)
    np.testing.assert_array_equal(e0, f1)
    np.testing.assert_array_equal(e1, f0)
    np.testing.assert_allclose(forward, backward.T, atol=1e-12)
    assert forward.shape == (len(e0), len(e1))
    assert np.isfinite(forward).all()


def test_pair_effect_read_at_evenly_spaced_values():
    # Edges 0, 1, 4 of feature0 are uneven: with two points per bin it is read
    # at 0, 1, 2, 3, 4, linearly between edges (3 at 1 and 6 at 4 give 4 and 5
    # at 2 and 3). Feature1 has one bin, evenly spaced already: kept.
    effect = np.array([[0.0, 0.0], [0.0, 3.0], [0.0, 6.0]])
    grid0, grid1, surface = ale.on_even_grid(np.array([0.0, 1.0, 4.0]), np.array([0.0, 1.0]), effect, 2)
    np.testing.assert_array_equal(grid0, [0, 1, 2, 3, 4])
    np.testing.assert_array_equal(grid1, [0, 1])
    np.testing.assert_allclose(surface, [[0, 0], [0, 3], [0, 4], [0, 5], [0, 6]])


def test_pair_effect_on_even_edges_is_kept():
    effect = np.arange(9.0).reshape(3, 3)
    edges = np.array([0.0, 2.0, 4.0])
    grid0, grid1, surface = ale.on_even_grid(edges, edges, effect)
    np.testing.assert_array_equal(grid0, edges)
    np.testing.assert_array_equal(grid1, edges)
    np.testing.assert_array_equal(surface, effect)
