"""The estimators inside scikit-learn's tools: pipelines, searches, cross
validation, cloning, pickling and copying."""

import copy
import io
import pickle

import joblib
import numpy as np
import pytest
torch = pytest.importorskip("torch")
from sklearn.base import clone
from sklearn.model_selection import GridSearchCV, KFold, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from qalvo.models.rampnet.rampnet import RampNetClassifier, RampNetRegressor

RNG = np.random.RandomState(3)
X = RNG.randn(90, 4) * [1.0, 10.0, 100.0, 0.1] + [0.0, 5.0, -50.0, 1.0]
Y_REG = X @ [1.0, 0.1, 0.01, 10.0]
Y_CLS = np.where(Y_REG > np.median(Y_REG), "high", "low")
SMALL = dict(hidden_layer_sizes=(6,), max_epochs=4, batch_size=32)


def target_of(cls):
    return Y_REG if cls is RampNetRegressor else Y_CLS


def outputs(est, x):
    """Everything an estimator predicts for x."""
    if isinstance(est, RampNetClassifier):
        return [est.predict(x), est.decision_function(x), est.predict_proba(x)]
    return [est.predict(x)]


def assert_same_outputs(a, b, x=X):
    for got, want in zip(outputs(a, x), outputs(b, x)):
        np.testing.assert_array_equal(got, want)


@pytest.fixture(params=[RampNetRegressor, RampNetClassifier], ids=["regressor", "classifier"])
def fitted(request):
    return request.param(**SMALL).fit(X, target_of(request.param))


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
def test_pipeline_with_a_scaler_equals_scaling_by_hand(cls):
    y = target_of(cls)
    pipeline = make_pipeline(StandardScaler(), cls(**SMALL)).fit(X, y)
    scaler = StandardScaler().fit(X)
    by_hand = cls(**SMALL).fit(scaler.transform(X), y)
    np.testing.assert_array_equal(pipeline.predict(X), by_hand.predict(scaler.transform(X)))
    assert pipeline.score(X, y) == by_hand.score(scaler.transform(X), y)


@pytest.mark.parametrize("cls, scoring", [(RampNetRegressor, "r2"),
                                          (RampNetClassifier, "accuracy")])
def test_grid_search_over_two_parameters(cls, scoring):
    y = target_of(cls)
    grid = {"hidden_layer_sizes": [(3,), (8, 4)], "learning_rate": [0.001, 0.05]}
    search = GridSearchCV(cls(max_epochs=3, batch_size=32), grid, cv=2, scoring=scoring)
    search.fit(X, y)
    assert len(search.cv_results_["params"]) == 4
    assert np.isfinite(search.cv_results_["mean_test_score"]).all()
    best = search.best_estimator_
    assert {k: best.get_params()[k] for k in grid} == search.best_params_
    # the refit best estimator is the same fit as a fresh one with those parameters
    fresh = cls(max_epochs=3, batch_size=32, **search.best_params_).fit(X, y)
    assert_same_outputs(best, fresh)


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
def test_cross_val_score_equals_fold_by_fold_fits(cls):
    y = target_of(cls)
    folds = KFold(n_splits=3, shuffle=True, random_state=0)
    scores = cross_val_score(cls(**SMALL), X, y, cv=folds)
    expected = [cls(**SMALL).fit(X[train], y[train]).score(X[test], y[test])
                for train, test in folds.split(X)]
    np.testing.assert_array_equal(scores, expected)


def test_clone_of_a_fitted_estimator_is_unfitted_with_the_same_parameters(fitted):
    twin = clone(fitted)
    assert type(twin) is type(fitted)
    assert twin.get_params() == fitted.get_params()
    assert not [k for k in vars(twin) if k.endswith("_")]
    assert isinstance(twin.loss_fn, type(fitted.loss_fn)) and twin.loss_fn is not fitted.loss_fn
    assert_same_outputs(twin.fit(X, target_of(type(fitted))), fitted)


def joblib_round_trip(est):
    buffer = io.BytesIO()
    joblib.dump(est, buffer)
    buffer.seek(0)
    return joblib.load(buffer)


@pytest.mark.parametrize("round_trip", [lambda e: pickle.loads(pickle.dumps(e)),
                                        joblib_round_trip, copy.deepcopy],
                         ids=["pickle", "joblib", "deepcopy"])
def test_round_trips_predict_the_same_and_stay_independent(fitted, round_trip):
    loaded = round_trip(fitted)
    assert loaded is not fitted and loaded.net_ is not fitted.net_
    assert_same_outputs(loaded, fitted)
    assert loaded.get_params() == fitted.get_params()
    for a, b in zip(loaded.coefs_ + loaded.intercepts_, fitted.coefs_ + fitted.intercepts_):
        np.testing.assert_array_equal(a, b)
    # the copy trains on its own: the original's weights and outputs stay as they were
    expected = outputs(fitted, X)
    with torch.no_grad():
        for parameter in loaded.net_.parameters():
            parameter.add_(1.0)
    loaded.fit(X[::-1], target_of(type(fitted))[::-1])
    for got, want in zip(outputs(fitted, X), expected):
        np.testing.assert_array_equal(got, want)


def test_a_loaded_classifier_keeps_its_label_encoding():
    est = RampNetClassifier(**SMALL).fit(X, Y_CLS)
    loaded = pickle.loads(pickle.dumps(est))
    assert list(loaded.classes_) == ["high", "low"]
    assert set(loaded.predict(X)) <= {"high", "low"}
    np.testing.assert_array_equal(loaded.label_binarizer_.transform(["low", "high"]).ravel(),
                                  [1, 0])
