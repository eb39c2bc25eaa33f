"""Bad input raises a clear exception and never damages a fitted estimator."""

import re

import numpy as np
import pytest
from sklearn.exceptions import NotFittedError

from qalvo.models.rampnet.rampnet import RampNetClassifier, RampNetRegressor

RNG = np.random.RandomState(0)
X = RNG.randn(60, 3)
Y_REG = X.sum(axis=1)
Y_CLS = np.where(X[:, 0] > 0, "up", "down")


def with_nan(a):
    a = a.astype(float).copy()
    a[3] = np.nan
    return a


def with_inf(a):
    a = a.copy()
    a[5, 1] = np.inf
    return a


# (name, x, y or None for the estimator's own labels, error, message fragment)
FIT_CASES = [
    ("nan", with_nan(X), None, ValueError, "Input X contains NaN"),
    ("inf", with_inf(X), None, ValueError, "Input X contains infinity"),
    ("strings", np.array([["a", "b", "c"]] * 60), None, ValueError, "string"),
    ("empty", np.zeros((0, 3)), np.zeros(0), ValueError, "Found array with 0 sample(s)"),
    ("3-D", np.zeros((60, 3, 2)), None, ValueError, "Found array with dim 3"),
    ("lengths", X[:59], None, ValueError,
     "Found input variables with inconsistent numbers of samples: [59, 60]"),
    ("one sample", X[:1], "first", ValueError, "n_samples=1"),
]


@pytest.fixture(params=[RampNetRegressor, RampNetClassifier], ids=["regressor", "classifier"])
def fitted(request):
    cls = request.param
    y = Y_REG if cls is RampNetRegressor else Y_CLS
    est = cls(hidden_layer_sizes=(4,), max_epochs=3).fit(X, y)
    return est, y


def snapshot(est):
    keys = ["is_fitted_", "coefs_", "intercepts_", "n_features_", "net_", "classes_",
            "label_binarizer_", "train_data_loader_", "n_features_in_"]
    return {k: getattr(est, k) for k in keys if hasattr(est, k)}


def assert_unchanged(est, before, predictions):
    after = snapshot(est)
    assert after.keys() == before.keys()
    assert all(after[k] is before[k] for k in before if k != "n_features_in_")
    assert after["n_features_in_"] == before["n_features_in_"]
    np.testing.assert_array_equal(est.predict(X), predictions)


@pytest.mark.parametrize("name, x, y, error, message", FIT_CASES, ids=[c[0] for c in FIT_CASES])
def test_bad_fit_data_is_refused_and_the_previous_fit_kept(fitted, name, x, y, error, message):
    est, good_y = fitted
    before, predictions = snapshot(est), est.predict(X)
    if y is None:
        y = good_y[: len(X)]
    elif isinstance(y, str):
        y = good_y[:1]
    with pytest.raises(error, match=re.escape(message)):
        est.fit(x, y)
    assert_unchanged(est, before, predictions)


@pytest.mark.parametrize("params, error, message", [
    ({"batch_size": 0}, ZeroDivisionError, None),
    ({"batch_size": -4}, ValueError, "batch_size must be a positive integer, got -4"),
    ({"device": "bogus"}, RuntimeError, "bogus"),
    ({"val_ratio": 1.5}, ValueError, "Got 1.5 instead"),
])
def test_bad_parameters_fail_in_data_preparation_and_keep_the_previous_fit(
        fitted, params, error, message):
    est, y = fitted
    before, predictions = snapshot(est), est.predict(X)
    original = {k: v for k, v in est.get_params().items() if k in params}
    est.set_params(**params)
    # New data of another width (and other labels): nothing of it may stick.
    new_y = Y_REG if isinstance(est, RampNetRegressor) else np.where(X[:, 1] > 0, 1, 0)
    with pytest.raises(error, match=None if message is None else re.escape(message)) as info:
        est.fit(X[:, :2], new_y)
    names = [e.name for e in info.traceback]
    assert "qalvo.models.rampnet.rampnet.RampNet._prepare_data" in names
    est.set_params(**original)
    assert_unchanged(est, before, predictions)


def test_a_refused_label_set_keeps_the_previous_encoding():
    est = RampNetClassifier(hidden_layer_sizes=(4,), max_epochs=2).fit(X, Y_CLS)
    before, predictions = snapshot(est), est.predict(X)
    with pytest.raises(ValueError, match=re.escape("multi-classification not supported")):
        est.fit(X, np.arange(60) % 3)
    assert_unchanged(est, before, predictions)
    assert list(est.predict(X[:2])) == list(predictions[:2])


def test_a_failed_first_fit_leaves_the_estimator_unfitted():
    est = RampNetClassifier()
    with pytest.raises(ValueError, match="multi-classification not supported"):
        est.fit(X, np.arange(60) % 3)
    assert not [k for k in vars(est) if k.endswith("_")]
    with pytest.raises(NotFittedError):
        est.predict(X)


@pytest.mark.parametrize("cls, method", [
    (RampNetRegressor, "predict"), (RampNetClassifier, "predict"),
    (RampNetClassifier, "decision_function"), (RampNetClassifier, "predict_proba"),
])
def test_prediction_before_fit(cls, method):
    with pytest.raises(NotFittedError, match="is not fitted yet"):
        getattr(cls(), method)(X)


@pytest.mark.parametrize("x, error, message", [
    (X[:, :2], ValueError, "The number of features in predict is\n"
                           "                 different from the number of features in fit"),
    (np.hstack([X, X]), ValueError, "The number of features in predict is\n"),
    (with_nan(X), ValueError, "Input X contains NaN"),
    (np.zeros((0, 3)), ValueError, "Found array with 0 sample(s)"),
    (np.zeros((4, 3, 1)), ValueError, "Found array with dim 3"),
    (X[0], ValueError, "Expected 2D array, got 1D array instead"),
])
def test_bad_prediction_input_is_refused_without_harm(fitted, x, error, message):
    est, _ = fitted
    before, predictions = snapshot(est), est.predict(X)
    with pytest.raises(error, match=re.escape(message)):
        est.predict(x)
    assert all(getattr(est, k) is v for k, v in before.items() if k != "n_features_in_")
    np.testing.assert_array_equal(est.predict(X), predictions)


@pytest.mark.parametrize("y, error, message", [
    (np.array(["a"] * 60), TypeError, "can't convert np.ndarray of type numpy.str_"),
    (np.array(["a"] * 60, dtype=object), ValueError, "could not convert string to float: 'a'"),
    (with_nan(Y_REG), ValueError, "Input y contains NaN"),
])
def test_regressor_refuses_non_numeric_or_missing_targets(y, error, message):
    est = RampNetRegressor(hidden_layer_sizes=(4,), max_epochs=2).fit(X, Y_REG)
    before, predictions = snapshot(est), est.predict(X)
    with pytest.raises(error, match=re.escape(message)):
        est.fit(X, y)
    assert_unchanged(est, before, predictions)
