"""Friedman's H² statistic of the interaction of two features (Friedman and
Popescu, 2008, eq. 44).

``predict`` is any function from a 2-D float array to one value per row. On
a sample of rows x_1 .. x_n, every partial dependence is estimated over that
same sample and read at each sample's own values:

    PD_S(x_i) = 1/n * sum_r f(x_r with the features S set to those of x_i),

then centred so that its mean over the sample is zero. For a pair (j, k):

    H²_jk = sum_i [PD_jk(x_i) - PD_j(x_i) - PD_k(x_i)]² / sum_i PD_jk(x_i)²

the share of the variance of the pair's joint partial dependence that the sum
of the two one-feature dependences does not explain: 0 when the pair's effect
is additive, 1 when it is all interaction (f = x_j * x_k with centred,
independent features). H² can exceed 1 where the one-feature dependences
cancel part of the joint one (correlated features).

A pair without effect has nothing to share: its H² is 0 where the joint
dependence's range is at most 1e-9 of the range of the model's predictions
on the sample (as for ALE's no-interaction test). The ratio of two rounding
errors would otherwise read as any value, such as 0.05 for two features that
a linear model weights with 1e-16.

Each partial dependence read at n points over n rows costs n² predictions,
so the cost is quadratic in the sample's size: the caller samples.
"""

import itertools

import numpy as np

from . import pdp


def own_value_dependence(predict, sample, columns, max_rows):
    """Centred partial dependence on ``columns`` over ``sample``, read at each
    sample's own values of those columns: one value per row of ``sample``."""
    dependence = pdp.mean_at(predict, sample, columns, sample[:, columns], max_rows)
    return dependence - dependence.mean()


def h_squared(joint, first, second, spread):
    """H² from the centred dependences of a pair (``joint``) and of each of
    its features, read at the same points; 0 where the joint dependence's
    range is negligible against ``spread``, the range of the predictions."""
    if np.ptp(joint) <= 1e-9 * spread:
        return 0.0
    return float(np.sum((joint - first - second) ** 2) / np.sum(joint**2))


def pair_strengths(predict, sample, columns, max_rows):
    """H² of every pair of ``columns``: a list of (column, column, H²), the
    pairs in the order of ``itertools.combinations``. One-feature dependences
    are computed once for all pairs: ``len(columns)`` plus one per pair, each
    ``len(sample)`` squared predictions."""
    spread = float(np.ptp(np.asarray(predict(sample), dtype=np.float64)))
    single = {c: own_value_dependence(predict, sample, [c], max_rows) for c in columns}
    return [
        (a, b, h_squared(own_value_dependence(predict, sample, [a, b], max_rows), single[a], single[b], spread))
        for a, b in itertools.combinations(columns, 2)
    ]
