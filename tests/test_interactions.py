"""Friedman's H²: zero for an additive model, its closed form for a product of
two features, the hidden interaction ranked first, among the most important
features by default."""

import itertools
import re

import numpy as np
import pytest
from sklearn.ensemble import GradientBoostingRegressor
from sklearn.linear_model import LinearRegression
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import PolynomialFeatures

from qalvo.experiment import Experiment

NAMES = ["x0", "x1", "x2", "x3", "x4", "x5"]


def data(n, seed=0):
    return np.random.default_rng(seed).uniform(-1, 1, (n, 6))


def exact(x, y):
    """A model that reproduces y = polynomial of degree 2 exactly."""
    return make_pipeline(PolynomialFeatures(2), LinearRegression()).fit(x, y)


def test_additive_model_gives_zero_for_every_pair():
    x = data(300)
    y = 2 * x[:, 0] + x[:, 1] ** 2 - x[:, 2] + 0.5 * x[:, 3]
    exp = Experiment(x, y, NAMES, interaction_samples=80).add_model("m", exact(x, y))
    pairs = exp.interaction_strength("m", NAMES[:4])
    assert len(pairs) == 6
    for _, _, h2 in pairs:
        assert 0 <= h2 < 1e-20


def test_product_of_two_features_matches_the_closed_form():
    # f = x0 * x1: on the sample, PD_01 = x0 x1 - mean(x0 x1), PD_0 = (x0 - m0) m1,
    # PD_1 = (x1 - m1) m0, so H² = sum[(x0 - m0)(x1 - m1) - cov]² / sum[x0 x1 - mean(x0 x1)]².
    x = data(2000, seed=1)
    y = x[:, 0] * x[:, 1]
    exp = Experiment(x, y, NAMES, interaction_samples=400, random_state=3).add_model("m", exact(x, y))
    ((first, second, h2),) = exp.interaction_strength("m", ["x0", "x1"])
    assert (first, second) == ("x0", "x1")
    sample = x[np.sort(np.random.default_rng([3, 2]).choice(2000, 400, replace=False))]
    a, b = sample[:, 0], sample[:, 1]
    m0, m1 = a.mean(), b.mean()
    covariance = np.mean(a * b) - m0 * m1
    expected = np.sum(((a - m0) * (b - m1) - covariance) ** 2) / np.sum((a * b - np.mean(a * b)) ** 2)
    assert h2 == pytest.approx(expected, rel=1e-10)
    assert h2 == pytest.approx(1, abs=0.05)


@pytest.fixture(scope="module")
def hidden():
    """Additive terms in x0 .. x3 and one interaction, x4 * x5, fitted by boosting."""
    x = data(3000, seed=2)
    y = 2 * x[:, 0] + 2 * x[:, 1] - 2 * x[:, 2] + x[:, 3] + 3 * x[:, 4] * x[:, 5]
    model = GradientBoostingRegressor(n_estimators=200, max_depth=4, random_state=0).fit(x, y)
    exp = Experiment(x, y, NAMES, pfi_repeats=2, interaction_features=5)
    return exp.add_model("m", model)


def test_hidden_interaction_is_ranked_first_among_the_most_important_features(hidden):
    pairs = hidden.interaction_strength("m")
    names, importances = hidden.permutation_vi("m")
    top = names[::-1][:5]
    assert "x3" not in top  # the weakest term is left out
    assert len(pairs) == 10
    assert {frozenset(p[:2]) for p in pairs} == {frozenset(p) for p in itertools.combinations(top, 2)}
    for first, second, _ in pairs:  # the more important feature first
        assert top.index(first) < top.index(second)
    assert set(pairs[0][:2]) == {"x4", "x5"}
    assert pairs[0][2] > 0.5 > 5 * pairs[1][2]
    assert [p[2] for p in pairs] == sorted((p[2] for p in pairs), reverse=True)


def test_seeded_and_kept(hidden):
    first = hidden.interaction_strength("m", ["x5", "x4", "x0"])
    assert first == hidden.interaction_strength("m", ["x5", "x4", "x0"])
    first.clear()
    assert len(hidden.interaction_strength("m", ["x5", "x4", "x0"])) == 3
    x, y = hidden.data.x, hidden.data.y
    again = Experiment(x, y, NAMES).add_model("m", hidden.models["m"])
    assert again.interaction_strength("m", ["x5", "x4", "x0"]) == hidden.interaction_strength("m", ["x5", "x4", "x0"])


def test_pair_without_effect_is_no_interaction():
    # The fitted weights of x1 and x2 are rounding errors (about 1e-16).
    x = data(100)
    y = x[:, 0]
    exp = Experiment(x, y, NAMES, interaction_samples=30).add_model("m", LinearRegression().fit(x, y))
    assert exp.interaction_strength("m", ["x1", "x2"]) == [("x1", "x2", 0.0)]


@pytest.mark.parametrize(
    "features, error, message",
    [
        (["x0"], ValueError, "interaction_strength needs at least two features, got 1"),
        (["x0", "x1", "x0"], ValueError, "features must be distinct, got ['x0', 'x1', 'x0']"),
        ("x0", ValueError, "features must be a sequence of feature names, got 'x0'"),
        (["x0", "nope"], KeyError, "unknown feature 'nope'"),
    ],
)
def test_bad_feature_lists(features, error, message):
    x = data(50)
    exp = Experiment(x, x[:, 0], NAMES).add_model("m", LinearRegression().fit(x, x[:, 0]))
    with pytest.raises(error, match=re.escape(message)):
        exp.interaction_strength("m", features)


@pytest.mark.parametrize(
    "settings, message",
    [
        ({"interaction_samples": 1}, "interaction_samples and interaction_features must be at least 2"),
        ({"interaction_features": 1}, "interaction_samples and interaction_features must be at least 2"),
        ({"interaction_features": 2.5}, "interaction_features must be a positive integer, got 2.5"),
        ({"shap_summary_samples": 0}, "shap_summary_samples must be a positive integer, got 0"),
    ],
)
def test_bad_sample_settings(settings, message):
    x = data(10)
    with pytest.raises(ValueError, match=re.escape(message)):
        Experiment(x, x[:, 0], NAMES, **settings)
