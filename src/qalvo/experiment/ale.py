"""Accumulated local effects (Apley and Zhu, 2020) of one feature or of a pair.

``predict`` is any function from a 2-D float array to one value per row. The
estimators follow the definition, with these conventions:

- Bins are bounded by empirical quantiles of the data (``quantile_edges``), so
  that each holds about the same number of samples; repeated values merge
  edges, so a feature with few values gets one edge per value. Bin k holds
  the samples with e[k-1] < v <= e[k]; the first also holds the minimum.
- The local effect of a bin is the mean change of the prediction when the
  feature moves from the bin's lower to its upper edge, over the samples that
  lie in that bin only (unlike partial dependence, which would also evaluate
  the model at unlikely combinations of features). For a pair, the change is
  the second difference across the cell's four corners, averaged over the
  samples in the cell; a cell without samples takes the local effect of the
  nearest cell that has some.
- The accumulated effect is known at the edges and linear between them
  (bilinear inside a cell for a pair): that is how the effect at any value,
  a sample's own value in particular, is read.
- Centring, as the definition asks: the mean of the effect over the data's
  samples, each read at its own value, is zero. For a pair, first the part
  that varies with one feature alone is taken away, by the same definition:
  for each bin of one feature, the mean over its samples of the accumulated
  effect's change across the bin, read at each sample's own value of the
  other feature, is that feature's local first-order effect; these are
  accumulated and subtracted, then the pair's effect is centred over the
  samples at their own values. For f = x0 * x1 on independent features this
  gives (x0 - mean x0) * (x1 - mean x1); an additive f gives zero.
"""

import numpy as np


def quantile_edges(values, bins):
    """Edges of at most ``bins`` quantile bins: the data values at the
    probabilities k/bins (inverse of the empirical distribution), repeated
    values merged. Every bin (e[k-1], e[k]] therefore holds at least the
    sample equal to e[k]; the first bin also holds its lower edge, the minimum.
    """
    probabilities = np.linspace(0.0, 1.0, bins + 1)
    return np.unique(np.quantile(values, probabilities, method="inverted_cdf"))


def bin_of(values, edges):
    """1-based bin of each value: k with e[k-1] < v <= e[k]; the minimum is in bin 1."""
    return np.maximum(np.searchsorted(edges, values, side="left"), 1)


def _predict_with(predict, x, columns, settings):
    z = x.copy()
    for column, setting in zip(columns, settings):
        z[:, column] = setting
    return np.asarray(predict(z), dtype=np.float64).reshape(-1)


def ale_1d(predict, x, feature, bins):
    """First-order ALE of column ``feature`` of ``x``.

    Returns (edges, effect): the bin edges, ascending, and the centred
    accumulated effect at each edge. A constant feature gives one edge and a
    zero effect.
    """
    edges = quantile_edges(x[:, feature], bins)
    n_bins = len(edges) - 1
    if n_bins == 0:
        return edges, np.zeros(1)
    k = bin_of(x[:, feature], edges)
    delta = _predict_with(predict, x, [feature], [edges[k]]) - _predict_with(
        predict, x, [feature], [edges[k - 1]]
    )
    counts = np.bincount(k, minlength=n_bins + 1)[1:]
    local = np.bincount(k, weights=delta, minlength=n_bins + 1)[1:] / counts
    accumulated = np.concatenate([[0.0], np.cumsum(local)])
    centre = np.mean(np.interp(x[:, feature], edges, accumulated))
    return edges, accumulated - centre


def _position_in_bin(values, edges, k):
    """Where each value lies in its bin k: 0 at the lower edge, 1 at the upper."""
    low, high = edges[k - 1], edges[k]
    return (values - low) / (high - low)


def _fill_empty_cells(local, counts, edges0, edges1):
    """Give each cell without samples the local effect of the nearest cell that
    has some (distance between cell centres, each axis scaled by its range), so
    that the accumulation runs over the whole grid."""
    empty = counts == 0
    if not empty.any():
        return local

    def centres(edges):
        span = edges[-1] - edges[0]
        return (edges[:-1] + edges[1:]) / 2 / span

    c0, c1 = np.meshgrid(centres(edges0), centres(edges1), indexing="ij")
    points = np.stack([c0.ravel(), c1.ravel()], axis=1)
    empty_flat = empty.ravel()
    have = np.flatnonzero(~empty_flat)
    need = np.flatnonzero(empty_flat)
    distance = ((points[need, None, :] - points[None, have, :]) ** 2).sum(axis=2)
    filled = local.ravel().copy()
    filled[need] = filled[have[np.argmin(distance, axis=1)]]
    return filled.reshape(local.shape)


def ale_2d(predict, x, feature0, feature1, bins):
    """Second-order ALE of the pair of columns (``feature0``, ``feature1``): the
    interaction alone, with both first-order effects removed.

    Returns (edges0, edges1, effect, spread): the edges of each feature,
    ascending; the centred effect at every pair of edges, indexed
    ``effect[edge of feature0, edge of feature1]``; and the spread (maximum
    minus minimum) of the predictions made, the scale against which an effect
    can be judged negligible. A constant feature gives a zero effect.
    """
    edges0 = quantile_edges(x[:, feature0], bins)
    edges1 = quantile_edges(x[:, feature1], bins)
    n0, n1 = len(edges0) - 1, len(edges1) - 1
    if n0 == 0 or n1 == 0:
        return edges0, edges1, np.zeros((n0 + 1, n1 + 1)), 0.0
    k0 = bin_of(x[:, feature0], edges0)
    k1 = bin_of(x[:, feature1], edges1)
    pair = [feature0, feature1]
    low0, high0 = edges0[k0 - 1], edges0[k0]
    low1, high1 = edges1[k1 - 1], edges1[k1]
    f_hh = _predict_with(predict, x, pair, [high0, high1])
    f_lh = _predict_with(predict, x, pair, [low0, high1])
    f_hl = _predict_with(predict, x, pair, [high0, low1])
    f_ll = _predict_with(predict, x, pair, [low0, low1])
    delta = (f_hh - f_lh) - (f_hl - f_ll)
    spread = float(
        max(f.max() for f in (f_hh, f_lh, f_hl, f_ll))
        - min(f.min() for f in (f_hh, f_lh, f_hl, f_ll))
    )

    cell = (k0 - 1) * n1 + (k1 - 1)
    counts = np.bincount(cell, minlength=n0 * n1).reshape(n0, n1)
    sums = np.bincount(cell, weights=delta, minlength=n0 * n1).reshape(n0, n1)
    with np.errstate(invalid="ignore", divide="ignore"):
        local = np.where(counts > 0, sums / np.maximum(counts, 1), np.nan)
    local = _fill_empty_cells(local, counts, edges0, edges1)

    effect = np.zeros((n0 + 1, n1 + 1))
    effect[1:, 1:] = np.cumsum(np.cumsum(local, axis=0), axis=1)

    # The accumulated second differences still hold a part that varies with one
    # feature alone. Its local effect in a bin of feature0 is the mean, over
    # the bin's samples, of the accumulated effect's change across the bin,
    # read at each sample's own value of feature1 (linear between edges); and
    # the other way round. Accumulated, both parts are taken away.
    t0 = _position_in_bin(x[:, feature0], edges0, k0)
    t1 = _position_in_bin(x[:, feature1], edges1, k1)
    step0 = effect[1:, :] - effect[:-1, :]  # across each bin of feature0, at each edge of feature1
    along0 = (1 - t1) * step0[k0 - 1, k1 - 1] + t1 * step0[k0 - 1, k1]
    main0 = np.bincount(k0 - 1, weights=along0, minlength=n0) / np.bincount(k0 - 1, minlength=n0)
    step1 = effect[:, 1:] - effect[:, :-1]
    along1 = (1 - t0) * step1[k0 - 1, k1 - 1] + t0 * step1[k0, k1 - 1]
    main1 = np.bincount(k1 - 1, weights=along1, minlength=n1) / np.bincount(k1 - 1, minlength=n1)
    effect -= np.concatenate([[0.0], np.cumsum(main0)])[:, None]
    effect -= np.concatenate([[0.0], np.cumsum(main1)])[None, :]

    at_samples = (
        (1 - t0) * (1 - t1) * effect[k0 - 1, k1 - 1]
        + t0 * (1 - t1) * effect[k0, k1 - 1]
        + (1 - t0) * t1 * effect[k0 - 1, k1]
        + t0 * t1 * effect[k0, k1]
    )
    effect -= np.mean(at_samples)
    return edges0, edges1, effect, spread


def on_even_grid(edges0, edges1, effect, points_per_bin=4):
    """The two-feature effect of ``ale_2d`` read at evenly spaced values of each
    feature, from its first to its last edge, for a picture that spaces its
    pixels evenly (an image drawn over the features' ranges): quantile edges
    are dense where the data are, so the effect at the edges themselves, drawn
    one pixel each, would put every value but the ends in the wrong place.

    Between edges the effect is linear in each feature (bilinear in a cell),
    as ALE defines it inside a bin. A feature whose edges are already evenly
    spaced (one bin, a few evenly spaced values) keeps them. Returns (grid0,
    grid1, effect) with ``effect[value of feature0, value of feature1]``.
    """

    def even(edges):
        if len(edges) < 3 or np.allclose(
            edges, np.linspace(edges[0], edges[-1], len(edges)), rtol=0, atol=1e-9 * (edges[-1] - edges[0])
        ):
            return edges
        return np.linspace(edges[0], edges[-1], points_per_bin * (len(edges) - 1) + 1)

    grid0, grid1 = even(edges0), even(edges1)
    along0 = np.stack([np.interp(grid0, edges0, column) for column in effect.T], axis=1)
    surface = np.stack([np.interp(grid1, edges1, row) for row in along0])
    return grid0, grid1, surface
