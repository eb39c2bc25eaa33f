"""random_state as scikit-learn reads it: an int seeds as it is, None from
fresh entropy, a NumPy RandomState or Generator by one integer drawn from it;
the data split takes the same integer, so a fit is reproducible from it."""

import os

import numpy as np
import pytest
pytest.importorskip("torch")  # the estimators need it; other Pythons here have none
import torch
from sklearn.model_selection import train_test_split

from qalvo.models.rampnet.rampnet import RampNetClassifier, RampNetRegressor

BOUND = 2**31 - 1
RNG = np.random.RandomState(0)
X = RNG.randn(50, 3)
Y = {RampNetRegressor: X @ [1.0, 2.0, -1.0], RampNetClassifier: (X[:, 0] > 0).astype(int)}
SMALL = dict(hidden_layer_sizes=(4,), max_epochs=3, batch_size=16)


def fitted(cls, random_state):
    return cls(random_state=random_state, **SMALL).fit(X, Y[cls])


def state_of(est):
    """Everything a fit leaves that depends on its seed."""
    return ([c.copy() for c in est.coefs_ + est.intercepts_], list(est.train_epoch_loss_),
            list(est.valid_epoch_loss_), est.train_data_loader_.tensors[0].clone())


def assert_same_fit(a, b):
    for got, want in zip(state_of(a), state_of(b)):
        if isinstance(got, list):
            assert len(got) == len(want)
            for g, w in zip(got, want):
                np.testing.assert_array_equal(g, w)
        else:
            assert torch.equal(got, want)


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
def test_none_seeds_each_fit_from_fresh_entropy(cls):
    first = fitted(cls, None)
    first_seed = os.environ["PYTHONHASHSEED"]
    second = fitted(cls, None)
    assert not np.array_equal(first.coefs_[0], second.coefs_[0])
    for text in (first_seed, os.environ["PYTHONHASHSEED"]):
        assert text.isdigit() and 0 <= int(text) < BOUND
    # The drawn integer reproduces the fit, data split included.
    assert_same_fit(second, fitted(cls, int(os.environ["PYTHONHASHSEED"])))
    assert first.random_state is None and second.get_params()["random_state"] is None


@pytest.mark.parametrize("make, draw", [
    (lambda: np.random.RandomState(3), lambda r: r.randint(BOUND)),
    (lambda: np.random.default_rng(3), lambda r: int(r.integers(BOUND))),
], ids=["RandomState", "Generator"])
@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
def test_a_generator_gives_the_seed_by_one_draw(cls, make, draw):
    generator = make()
    est = fitted(cls, generator)
    seed = draw(make())
    assert os.environ["PYTHONHASHSEED"] == str(seed)
    assert est.random_state is generator  # the parameter stays as given
    assert_same_fit(est, fitted(cls, make()))
    assert_same_fit(est, fitted(cls, seed))
    # Exactly one integer was drawn from the caller's generator.
    twin = make()
    draw(twin)
    assert draw(generator) == draw(twin)


def test_no_attribute_is_added_for_the_seed():
    with_int = fitted(RampNetRegressor, 5)
    with_generator = fitted(RampNetRegressor, np.random.RandomState(5))
    assert sorted(vars(with_int)) == sorted(vars(with_generator))


def test_set_seed_alone_seeds_with_the_drawn_integer():
    est = RampNetRegressor(random_state=np.random.RandomState(8))
    est._set_seed()
    drawn = (np.random.rand(), torch.rand(1).item())
    seed = np.random.RandomState(8).randint(BOUND)
    assert os.environ["PYTHONHASHSEED"] == str(seed)
    np.random.seed(seed)
    torch.manual_seed(seed)
    assert drawn == (np.random.rand(), torch.rand(1).item())


def test_a_split_outside_fit_reads_random_state_itself():
    est = RampNetRegressor(random_state=np.random.RandomState(2), **SMALL)
    est.fit(X, Y[RampNetRegressor])
    # The fit's seed is gone with the fit: a direct call splits with a copy
    # of the parameter's current state, as scikit-learn would.
    state = np.random.RandomState()
    state.set_state(est.random_state.get_state())
    expected = train_test_split(X, Y[RampNetRegressor], test_size=0.2, random_state=state)
    for got, want in zip(est._prepare_data(X, Y[RampNetRegressor]), expected):
        np.testing.assert_array_equal(got, want)
