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
    # Local effects 1, 3, 5, 7 accumulate to 0, 1, 4, 9, 16; the centre is
    # (2*0.5 + 2.5 + 6.5 + 12.5) / 5 = 4.5.
    edges, effect = ale.ale_1d(square0, np.arange(5.0)[:, None], 0, 4)
    np.testing.assert_array_equal(edges, [0, 1, 2, 3, 4])
    np.testing.assert_allclose(effect, [-4.5, -3.5, -0.5, 4.5, 11.5])


def test_one_feature_averages_over_the_samples_of_each_bin_only():
    # f = x0 * x1: a step across a bin of width 1 changes f by x1 of that
    # sample, so the local effects are the bin means of x1: 10, -10 and 1.
    # Accumulated 0, 10, 0, 1; centre (2*5 + 5 + 0.5) / 4 = 3.875.
    x = np.array([[0, 10], [1, 10], [2, -10], [3, 1]], dtype=float)
    edges, effect = ale.ale_1d(product, x, 0, 3)
    np.testing.assert_array_equal(edges, [0, 1, 2, 3])
    np.testing.assert_allclose(effect, [-3.875, 6.125, -3.875, -2.875])


def test_repeated_values_merge_bins():
    # Four quantile edges of 0, 0, 0, 1 collapse to 0 and 1: one bin holding
    # every sample, local effect 5, centre 2.5.
    x = np.array([[0.0], [0.0], [0.0], [1.0]])
    edges, effect = ale.ale_1d(lambda z: 5 * z[:, 0], x, 0, 4)
    np.testing.assert_array_equal(edges, [0, 1])
    np.testing.assert_allclose(effect, [-2.5, 2.5])


def test_constant_feature_has_no_effect():
    x = np.column_stack([np.full(6, 2.0), np.arange(6.0)])
    edges, effect = ale.ale_1d(product, x, 0, 4)
    np.testing.assert_array_equal(edges, [2.0])
    np.testing.assert_array_equal(effect, [0.0])
    _, _, effect2, _ = ale.ale_2d(product, x, 0, 1, 3)
    assert not effect2.any()


FULL_GRID = np.array([[a, b] for a in range(3) for b in range(3)], dtype=float)


def test_pair_product_on_a_full_grid():
    # Edges 0, 1, 2 for both features; cell counts [[4, 2], [2, 1]]; every local
    # second difference of x0*x1 is 1. After removing the main effects
    # (0, 5/6, 10/6 along each feature) and centring (+25/36) the effect is
    # (x0 - 5/6) * (x1 - 5/6) at the edges.
    edges0, edges1, effect, spread = ale.ale_2d(product, FULL_GRID, 0, 1, 2)
    np.testing.assert_array_equal(edges0, [0, 1, 2])
    np.testing.assert_array_equal(edges1, [0, 1, 2])
    expected = np.array([[25, -5, -35], [-5, 1, 7], [-35, 7, 49]]) / 36
    np.testing.assert_allclose(effect, expected, atol=1e-12)
    assert spread == 4.0


def test_pair_with_empty_cells():
    # Data on the diagonal only: cells (1, 2) and (2, 1) are empty and take
    # the local effect of a neighbour (1, as everywhere for x0*x1). Counts
    # [[2, 0], [0, 1]] give main effects 0, 0.5, 2 and a centre of -0.25.
    x = np.array([[0, 0], [1, 1], [2, 2]], dtype=float)
    _, _, effect, _ = ale.ale_2d(product, x, 0, 1, 2)
    expected = [[0.25, -0.25, -1.75], [-0.25, 0.25, -0.25], [-1.75, -0.25, 0.25]]
    np.testing.assert_allclose(effect, expected, atol=1e-12)


def test_additive_model_has_no_second_order_effect():
    _, _, effect, spread = ale.ale_2d(lambda z: 3 * z[:, 0] + z[:, 1] ** 2, FULL_GRID, 0, 1, 2)
    np.testing.assert_allclose(effect, 0, atol=1e-12)
    assert spread > 0


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
