"""A pickled or copied fitted estimator holds no training data: the batch
loaders travel with empty tensors, and the model predicts the same."""

import copy
import copyreg
import io
import pickle
import re

import joblib
import numpy as np
import pytest
pytest.importorskip("torch")  # the estimators need it; other Pythons here have none
import torch
from sklearn.model_selection import GridSearchCV, cross_validate

from qalvo.models.rampnet.rampnet import (FastTensorDataLoader, RampNet, RampNetClassifier,
                                          RampNetRegressor)

RNG = np.random.RandomState(0)
X = RNG.randn(3000, 7)
Y = X @ RNG.randn(7)
SMALL = dict(hidden_layer_sizes=(8,), max_epochs=2, batch_size=64)


def joblib_round_trip(est):
    buffer = io.BytesIO()
    joblib.dump(est, buffer)
    buffer.seek(0)
    return joblib.load(buffer)


ROUND_TRIPS = {
    "pickle": lambda o: pickle.loads(pickle.dumps(o)),
    "joblib": joblib_round_trip,
    "deepcopy": copy.deepcopy,
}


def assert_rowless(loader, like):
    """`loader` has `like`'s dtypes, widths and settings, and no rows."""
    assert isinstance(loader, FastTensorDataLoader)
    assert [t.dtype for t in loader.tensors] == [t.dtype for t in like.tensors]
    assert [tuple(t.shape) for t in loader.tensors] == [(0, *t.shape[1:]) for t in like.tensors]
    assert (loader.batch_size, loader.shuffle) == (like.batch_size, like.shuffle)
    assert loader.dataset_len == len(loader) == 0
    assert list(loader) == []


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
@pytest.mark.parametrize("how", list(ROUND_TRIPS))
def test_a_round_trip_leaves_the_data_out_and_predicts_the_same(cls, how):
    y = Y if cls is RampNetRegressor else np.where(Y > 0, "p", "n")
    est = cls(**SMALL).fit(X, y)
    rows = [t.detach().clone() for t in est.train_data_loader_.tensors]
    loaded = ROUND_TRIPS[how](est)
    assert_rowless(loaded.train_data_loader_, est.train_data_loader_)
    assert_rowless(loaded.val_data_loader_, est.val_data_loader_)
    if cls is RampNetRegressor:
        np.testing.assert_array_equal(loaded.predict(X), est.predict(X))
    else:
        np.testing.assert_array_equal(loaded.predict_proba(X), est.predict_proba(X))
        np.testing.assert_array_equal(loaded.predict(X), est.predict(X))
    # the original keeps its loaders and their rows
    assert all(torch.equal(a, b) for a, b in zip(est.train_data_loader_.tensors, rows))
    assert est.train_data_loader_.dataset_len == 2400


def test_the_pickled_model_is_much_smaller_than_its_data():
    est = RampNetRegressor(**SMALL).fit(X, Y)
    assert len(pickle.dumps(est)) < (X.nbytes + Y.nbytes) / 10


@pytest.mark.parametrize("how", list(ROUND_TRIPS) + ["copy"])
@pytest.mark.parametrize("passes", [0, 1], ids=["as built", "after a shuffled pass"])
def test_a_users_own_loader_keeps_its_rows(how, passes):
    features = torch.randn(10, 3, dtype=torch.float64)
    labels = torch.arange(10)
    loader = FastTensorDataLoader(features, labels, batch_size=4, shuffle=True)
    for _ in range(passes):
        list(loader)
    copied = copy.copy(loader) if how == "copy" else ROUND_TRIPS[how](loader)
    assert copied.dataset_len == len(copied.tensors[0]) == 10 and len(copied) == 3
    for a, b in zip(copied.tensors, loader.tensors):
        assert torch.equal(a, b)
    torch.manual_seed(0)
    mine = [b[1].tolist() for b in copied]
    assert sorted(sum(mine, [])) == list(range(10))


@pytest.mark.parametrize("how", list(ROUND_TRIPS))
def test_a_loader_that_a_fit_built_goes_without_its_rows_while_its_estimator_holds_it(how):
    est = RampNetRegressor(**SMALL).fit(X, Y)
    loader = est.val_data_loader_
    assert_rowless(ROUND_TRIPS[how](loader), loader)
    est.fit(X[:100], Y[:100])  # the estimator holds new loaders: the old one is the caller's
    assert ROUND_TRIPS[how](loader).dataset_len == loader.dataset_len == 600


def test_training_a_copy_of_a_fitted_estimator_says_to_fit_it():
    est = copy.deepcopy(RampNetRegressor(**SMALL).fit(X, Y))
    with pytest.raises(RuntimeError, match=re.escape(
            "train_data_loader_ holds no rows: a copied or unpickled estimator leaves its "
            "training data behind. Call fit(x, y) to train it again.")):
        est._fit_bp(None, None, 1)


def test_refitting_a_loaded_estimator_trains_on_the_new_data():
    est = pickle.loads(pickle.dumps(RampNetRegressor(**SMALL).fit(X, Y)))
    est.fit(X[:500], Y[:500])
    assert est.train_data_loader_.dataset_len == 400
    fresh = RampNetRegressor(**SMALL).fit(X[:500], Y[:500])
    np.testing.assert_array_equal(est.predict(X), fresh.predict(X))


def test_fitting_never_copies_a_loader(monkeypatch):
    """Fit deep-copies networks for its snapshots, never the loaders."""
    reducer = copyreg.dispatch_table[FastTensorDataLoader]
    calls = []
    monkeypatch.setitem(copyreg.dispatch_table, FastTensorDataLoader,
                        lambda loader: (calls.append(loader), reducer(loader))[1])
    est = RampNetRegressor(**{**SMALL, "max_epochs": 8}, iht=True, phase_epochs=2).fit(X, Y)
    assert calls == []
    copy.deepcopy(est)
    assert calls == [est.train_data_loader_, est.val_data_loader_]


def test_the_classes_keep_exactly_their_methods():
    assert sorted(k for k in vars(FastTensorDataLoader) if not k.startswith("__")) == []
    assert sorted(k for k in vars(FastTensorDataLoader) if k.startswith("__")) == [
        "__dict__", "__doc__", "__init__", "__iter__", "__len__", "__module__", "__next__",
        "__weakref__"]
    for cls in (RampNet, RampNetRegressor, RampNetClassifier):
        assert not {"__getstate__", "__setstate__", "__reduce__", "__reduce_ex__",
                    "__deepcopy__", "__copy__"} & set(vars(cls))


def test_worker_processes_receive_and_return_fitted_estimators():
    """joblib's process backend pickles estimators both ways."""
    est = RampNetRegressor(**SMALL)
    search = GridSearchCV(est, {"learning_rate": [0.001, 0.01]}, cv=2, n_jobs=2).fit(X, Y)
    assert search.best_estimator_.train_data_loader_.dataset_len == 2400
    results = cross_validate(est.fit(X, Y), X, Y, cv=2, n_jobs=2, return_estimator=True)
    for fitted in results["estimator"]:
        assert fitted.train_data_loader_.dataset_len == 0  # came back without its rows
        assert np.isfinite(fitted.predict(X)).all()
