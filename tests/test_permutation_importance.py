"""Permutation importance with its spread over the repeats: scikit-learn's
numbers on the same model, data and seed, whatever n_jobs, and the same means
as the ranking the panel draws."""

import numpy as np
import pytest
from sklearn.ensemble import GradientBoostingClassifier, GradientBoostingRegressor
from sklearn.inspection import permutation_importance
from sklearn.metrics import make_scorer, roc_auc_score

from qalvo.experiment import Experiment

N = 300
NAMES = ["a", "b", "c", "d"]


def data():
    rng = np.random.default_rng(4)
    x = rng.uniform(-1, 1, (N, 4))
    y = 3 * x[:, 0] + x[:, 1] ** 2 + 0.5 * x[:, 2] + 0.1 * rng.normal(size=N)
    return x, y


@pytest.fixture(scope="module")
def models():
    x, y = data()
    labels = np.where(y > 0.3, "high", "low")
    return (
        GradientBoostingRegressor(n_estimators=30, random_state=0).fit(x, y),
        GradientBoostingClassifier(n_estimators=20, random_state=0).fit(x, labels),
    )


def experiment(models, classify, n_jobs=1, **settings):
    x, y = data()
    response = np.where(y > 0.3, "high", "low") if classify else y
    exp = Experiment(x, response, NAMES, n_jobs=n_jobs, **settings)
    return exp.add_model("m", models[1] if classify else models[0])


@pytest.mark.parametrize("classify", [False, True])
@pytest.mark.parametrize("settings", [{"pfi_repeats": 4}, {"pfi_repeats": 3, "pfi_max_samples": 120, "random_state": 7}])
def test_equals_scikit_learn_on_the_same_seed(models, classify, settings):
    exp = experiment(models, classify, **settings)
    result = exp.permutation_importance("m")
    x, y = exp.data.x, exp.data.y
    model = models[1] if classify else models[0]
    # ROC AUC of the probability of classes_[1] ("low"), as the experiment explains it.
    scoring = make_scorer(roc_auc_score, response_method="predict_proba") if classify else "r2"
    expected = permutation_importance(
        model,
        x,
        y,
        scoring=scoring,
        n_repeats=settings["pfi_repeats"],
        max_samples=settings.get("pfi_max_samples", 1.0),
        random_state=settings.get("random_state", 0),
    )
    if classify:
        assert model.classes_[1] == "low"
    np.testing.assert_array_equal(result.importances, expected.importances)
    np.testing.assert_array_equal(result.importances_mean, expected.importances_mean)
    np.testing.assert_array_equal(result.importances_std, expected.importances_std)
    assert result.importances.shape == (4, settings["pfi_repeats"])
    assert result.feature_names == NAMES
    assert result.score == ("ROC AUC" if classify else "R²")


def test_the_ranking_is_the_means_in_increasing_order(models):
    exp = experiment(models, False, pfi_repeats=3)
    result = exp.permutation_importance("m")
    names, importances = exp.permutation_vi("m")
    order = np.argsort(result.importances_mean, kind="stable")
    assert names == [NAMES[i] for i in order] and names[-1] == "a"
    np.testing.assert_array_equal(importances, result.importances_mean[order])
    assert importances.score == "R²"
    np.testing.assert_array_equal(result.importances_std, result.importances.std(axis=1))


def test_independent_of_n_jobs_and_returned_as_copies(models):
    serial = experiment(models, False, pfi_repeats=3).permutation_importance("m")
    exp = experiment(models, False, n_jobs=2, pfi_repeats=3)
    parallel = exp.permutation_importance("m")
    np.testing.assert_array_equal(serial.importances, parallel.importances)
    parallel.importances[:] = 0
    parallel.feature_names.clear()
    again = exp.permutation_importance("m")
    np.testing.assert_array_equal(again.importances, serial.importances)
    assert again.feature_names == NAMES
