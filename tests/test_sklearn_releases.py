"""What differs between scikit-learn releases, served on each: the input check
(the function validate_data from 1.6 on, the estimator method before), the
tags (__sklearn_tags__ from 1.6 on, _more_tags before), and the estimator
type that scikit-learn's tools read: classification or regression, stratified
folds, partial dependence, and the experiment's choice of what to explain."""

import warnings

import numpy as np
import pytest
pytest.importorskip("torch")  # the estimators need it; other Pythons here have none
import sklearn.base
import sklearn.utils.validation
from sklearn.base import is_classifier, is_regressor
from sklearn.inspection import partial_dependence
from sklearn.model_selection import KFold, StratifiedKFold, cross_val_score

from qalvo.experiment import Experiment
from qalvo.models.rampnet.rampnet import RampNetClassifier, RampNetRegressor

HAS_VALIDATE_DATA = hasattr(sklearn.utils.validation, "validate_data")
SMALL = dict(hidden_layer_sizes=(5,), max_epochs=3, batch_size=32)

RNG = np.random.RandomState(5)
X = RNG.randn(60, 3)
Y_REG = X @ [1.0, -2.0, 0.5]
# Sorted labels: unshuffled plain folds would each hold mostly one class.
Y_CLS = (np.arange(60) >= 30).astype(int)


def target_of(cls):
    return Y_REG if cls is RampNetRegressor else Y_CLS


@pytest.fixture
def input_checks(monkeypatch):
    """Records every call of scikit-learn's joint input check, wherever this
    release keeps it, as (estimator, positional arguments, keywords)."""
    calls = []
    if HAS_VALIDATE_DATA:
        real = sklearn.utils.validation.validate_data

        def recording(estimator, *args, **kwargs):
            calls.append((estimator, args, kwargs))
            return real(estimator, *args, **kwargs)

        monkeypatch.setattr(sklearn.utils.validation, "validate_data", recording)

        # The method that 1.6 still has (deprecated) must not be used.
        def refused(self, *args, **kwargs):
            raise AssertionError("BaseEstimator._validate_data called")

        monkeypatch.setattr(sklearn.base.BaseEstimator, "_validate_data", refused, raising=False)
    else:
        real = sklearn.base.BaseEstimator._validate_data

        def recording(self, *args, **kwargs):
            calls.append((self, args, kwargs))
            return real(self, *args, **kwargs)

        monkeypatch.setattr(sklearn.base.BaseEstimator, "_validate_data", recording)
    return calls


@pytest.mark.parametrize("cls, fit_keywords", [(RampNetRegressor, {"y_numeric": True}),
                                               (RampNetClassifier, {})])
def test_fit_and_prediction_check_their_input_through_this_release(input_checks, cls,
                                                                   fit_keywords):
    y = target_of(cls)
    est = cls(**SMALL).fit(X, y)
    assert len(input_checks) == 1
    estimator, args, kwargs = input_checks[0]
    assert estimator is est and args[0] is X and args[1] is y and kwargs == fit_keywords
    predicting = est.predict if cls is RampNetRegressor else est.decision_function
    predicting(X[:4])
    assert len(input_checks) == 2
    estimator, args, kwargs = input_checks[1]
    # prediction compares with what fit recorded and records nothing itself
    assert estimator is est and len(args) == 1 and args[0].shape == (4, 3)
    assert kwargs == {"reset": False}


@pytest.mark.skipif(not HAS_VALIDATE_DATA, reason="scikit-learn before 1.6 has no validate_data")
def test_validate_data_is_looked_up_at_each_call(monkeypatch):
    est = RampNetRegressor(**SMALL).fit(X, Y_REG)

    def replaced(estimator, x, **kwargs):
        raise RuntimeError("patched validate_data")

    monkeypatch.setattr(sklearn.utils.validation, "validate_data", replaced)
    with pytest.raises(RuntimeError, match="patched validate_data"):
        est.predict(X)
    monkeypatch.undo()
    assert est.predict(X).shape == (60,)


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
def test_estimator_type(cls):
    est = cls()
    assert is_regressor(est) is (cls is RampNetRegressor)
    assert is_classifier(est) is (cls is RampNetClassifier)


def test_tags_say_the_classifier_is_binary_only():
    classifier, regressor = RampNetClassifier(), RampNetRegressor()
    assert classifier._more_tags() == {"binary_only": True}
    if hasattr(sklearn.utils, "get_tags"):
        tags = sklearn.utils.get_tags(classifier)
        assert tags.estimator_type == "classifier"
        assert tags.classifier_tags.multi_class is False
        assert tags.target_tags.required is True
        reg_tags = sklearn.utils.get_tags(regressor)
        assert reg_tags.estimator_type == "regressor"
        assert reg_tags.classifier_tags is None and reg_tags.regressor_tags is not None
        assert reg_tags.target_tags.required is True
        # Each call builds new tags: changing one set leaves the next alone.
        tags.classifier_tags.multi_class = True
        assert classifier.__sklearn_tags__().classifier_tags.multi_class is False
    else:
        assert classifier._get_tags()["binary_only"] is True
        assert classifier._get_tags()["requires_y"] is True
        assert regressor._get_tags()["binary_only"] is False
        assert regressor._get_tags()["requires_y"] is True


def test_cross_validation_stratifies_the_classifier_folds():
    plain, stratified = KFold(3), StratifiedKFold(3)
    # The data make the two kinds of folds differ, so the scores tell them apart.
    assert [list(t) for _, t in plain.split(X, Y_CLS)] != [
        list(t) for _, t in stratified.split(X, Y_CLS)]
    scores = cross_val_score(RampNetClassifier(**SMALL), X, Y_CLS, cv=3)
    expected = [RampNetClassifier(**SMALL).fit(X[train], Y_CLS[train]).score(X[test], Y_CLS[test])
                for train, test in stratified.split(X, Y_CLS)]
    np.testing.assert_array_equal(scores, expected)
    reg_scores = cross_val_score(RampNetRegressor(**SMALL), X, Y_REG, cv=3)
    reg_expected = [RampNetRegressor(**SMALL).fit(X[tr], Y_REG[tr]).score(X[te], Y_REG[te])
                    for tr, te in plain.split(X, Y_REG)]
    np.testing.assert_array_equal(reg_scores, reg_expected)


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
def test_partial_dependence_averages_the_prediction_over_the_rows(cls):
    est = cls(**SMALL).fit(X, target_of(cls))
    result = partial_dependence(est, X, [1], grid_resolution=5, kind="average")
    grid, average = result["grid_values"][0], result["average"][0]
    assert grid.shape == average.shape == (5,)
    expected = []
    for value in grid:
        changed = X.copy()
        changed[:, 1] = value
        # The classifier's dependence is that of the probability of classes_[1].
        response = est.predict(changed) if cls is RampNetRegressor else est.predict_proba(
            changed)[:, 1]
        expected.append(response.mean())
    np.testing.assert_allclose(average, expected, rtol=1e-12, atol=1e-12)


def test_experiment_explains_the_classifier_probability():
    # Numeric 0/1 labels: taken for a regressor, the classifier's labels would
    # be explained without complaint.
    est = RampNetClassifier(**SMALL).fit(X, Y_CLS)
    experiment = Experiment(X, Y_CLS, ["a", "b", "c"], pdp_grid=4, pdp_max_samples=60)
    experiment.add_model("net", est)
    result = experiment.pdp_explain("net", "a")
    grid, average = result["values"][0], result["average"][0]
    expected = []
    for value in grid:
        changed = X.copy()
        changed[:, 0] = value
        expected.append(est.predict_proba(changed)[:, 1].mean())
    np.testing.assert_allclose(average, expected, rtol=1e-12, atol=1e-12)
    assert not np.allclose(average, np.round(average))


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
def test_no_deprecation_warning_from_scikit_learn(cls):
    # Neither the input check nor the tags go through what a release
    # deprecates (the _validate_data method in 1.6, _more_tags alone).
    with warnings.catch_warnings():
        warnings.simplefilter("error", FutureWarning)
        warnings.simplefilter("error", DeprecationWarning)
        est = cls(**SMALL).fit(X, target_of(cls))
        est.predict(X)
        est.score(X, target_of(cls))
        if hasattr(sklearn.utils, "get_tags"):
            sklearn.utils.get_tags(est)
        else:
            est._get_tags()
