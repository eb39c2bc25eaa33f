"""Partial dependence of one feature or of a pair, and the individual
(ICE) curves whose mean it is, on the grids the dashboard draws.

``predict`` is any function from a 2-D float array to one value per row. The
partial dependence at a value is the mean of the predictions over the given
rows with the feature set to that value (for a pair, both features set); a
row's ICE curve is its own prediction as the feature runs over the grid.

Grids span each feature's whole range in the data, as ALE does (its bin edges
run from the minimum to the maximum), so that the two curves of a feature
shown side by side cover the same values:

- one feature (a line plot, which places each point at its value): the
  feature's distinct values where there are at most ``size`` of them, else
  ``size`` evenly spaced values;
- a pair (an image, whose pixels are evenly spaced over the range): evenly
  spaced values only, so that each pixel holds the value at its own position;
  the fewest that take in every distinct value of a few-valued feature
  ({0, 1, 10} gives 0, 1, ..., 10), else ``size`` of them.
"""

import numpy as np

def line_grid(values, size):
    """Grid of a one-feature curve over ``values`` (see the module's notes)."""
    distinct = np.unique(values)
    if len(distinct) <= size:
        return distinct
    return np.linspace(distinct[0], distinct[-1], size)


def even_grid(values, size):
    """Evenly spaced grid of an image over ``values`` (see the module's notes)."""
    distinct = np.unique(values)
    low, high = distinct[0], distinct[-1]
    if len(distinct) == 1:
        return distinct
    if len(distinct) <= size:
        position = (distinct - low) / (high - low)
        for points in range(len(distinct), size + 1):
            steps = position * (points - 1)
            if np.allclose(steps, np.round(steps), rtol=0, atol=1e-9 * (points - 1)):
                return np.linspace(low, high, points)
    return np.linspace(low, high, size)


def _chunks(predict, rows, columns, settings, max_rows):
    """(start, predictions) for consecutive chunks of ``settings``: the
    predictions over ``rows`` with the ``columns`` set to each setting of the
    chunk, shaped (settings in the chunk, rows).

    Several settings go to ``predict`` in one call, which saves most of the
    time of models with a large cost per call, but never more than
    ``max_rows`` rows (or one setting's): the caller sets the size of call,
    and so the memory, that its model is known to take (the experiment: its
    data's number of rows, which ALE hands over at once)."""
    n = len(rows)
    per_call = max(1, max_rows // max(n, 1))
    for start in range(0, len(settings), per_call):
        chunk = settings[start : start + per_call]
        z = np.tile(rows, (len(chunk), 1))
        for k, column in enumerate(columns):
            z[:, column] = np.repeat(chunk[:, k], n)
        yield start, np.asarray(predict(z), dtype=np.float64).reshape(len(chunk), n)


def mean_at(predict, rows, columns, settings, max_rows):
    """Mean prediction over ``rows`` with the ``columns`` set to each row of
    ``settings`` (shape (m, len(columns))): one value per setting."""
    averages = np.empty(len(settings))
    for start, predictions in _chunks(predict, rows, columns, settings, max_rows):
        averages[start : start + len(predictions)] = predictions.mean(axis=1)
    return averages


def partial_dependence(predict, rows, columns, grids, max_rows):
    """Mean prediction over ``rows`` with the ``columns`` set to every
    combination of the values of ``grids`` (one grid per column): an array
    indexed ``[index in grids[0], index in grids[1], ...]``, computed
    ``max_rows`` rows at a time at most (see ``_chunks``)."""
    mesh = np.meshgrid(*grids, indexing="ij")
    settings = np.stack([m.ravel() for m in mesh], axis=1)
    return mean_at(predict, rows, columns, settings, max_rows).reshape(mesh[0].shape)


def individual_curves(predict, rows, column, grid, max_rows):
    """Prediction of each of ``rows`` with ``column`` set to each value of
    ``grid``: shape (rows, grid), one curve per row (ICE), computed
    ``max_rows`` rows at a time at most. The one-feature partial dependence is
    their mean over the rows, ``curves.mean(axis=0)``."""
    curves = np.empty((len(grid), len(rows)))
    settings = np.asarray(grid, dtype=np.float64).reshape(-1, 1)
    for start, predictions in _chunks(predict, rows, [column], settings, max_rows):
        curves[start : start + len(predictions)] = predictions
    return np.ascontiguousarray(curves.T)
