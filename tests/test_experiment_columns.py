"""Each model is applied to the columns it was fitted on: by name where it
knows them, whatever the order of the experiment's columns; refused where the
names or the width do not match."""

import re

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402
from sklearn.linear_model import LinearRegression, LogisticRegression  # noqa: E402

from qalvo.experiment import Experiment  # noqa: E402

N = 400
COEF = {"a": 5.0, "b": 2.0, "c": 0.11}


def fitted_frame(seed=0):
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame(rng.uniform(-1, 1, (N, 3)), columns=["a", "b", "c"])
    y = sum(COEF[name] * frame[name] for name in COEF).to_numpy()
    return frame, y


@pytest.fixture(scope="module")
def reordered():
    """A linear model fitted on columns (a, b, c), explained on the same frame
    with its columns in the order (c, b, a)."""
    frame, y = fitted_frame()
    model = LinearRegression().fit(frame, y)
    experiment = Experiment(frame[["c", "b", "a"]], y, pfi_repeats=3, shap_background=50)
    experiment.add_model("m", model)
    return experiment, model


def test_importance_names_the_features_of_the_model(reordered):
    experiment, _ = reordered
    experiment.explain_single("m")
    assert experiment.per_vi_rank == ["c", "b", "a"]
    names, importances = experiment.permutation_vi("m")
    by_name = dict(zip(names, importances))
    # R² drops about in proportion to the squared coefficients: 25, 4, 0.012.
    assert by_name["a"] > 3 * by_name["b"] > 30 * by_name["c"] > 0


@pytest.mark.parametrize("feature", ["a", "b", "c"])
def test_pdp_and_ale_slopes_are_the_coefficients(reordered, feature):
    experiment, model = reordered
    coefficient = dict(zip(model.feature_names_in_, model.coef_))[feature]
    assert coefficient == pytest.approx(COEF[feature])
    result = experiment.pdp_explain("m", feature)
    grid, average = result["values"][0], result["average"][0]
    np.testing.assert_allclose(np.diff(average) / np.diff(grid), coefficient, rtol=1e-9)
    positions, effect = experiment.ale_explain("m", feature)
    np.testing.assert_allclose(np.diff(effect) / np.diff(positions), coefficient, rtol=1e-9)


def test_pdp_pair_uses_both_features_by_name(reordered):
    experiment, _ = reordered
    result = experiment.pdp_explain("m", "c", "a")
    (grid_c, grid_a), surface = result["values"], result["average"][0]
    # Rows run down the image (a from its highest), columns across (c).
    np.testing.assert_allclose(surface[0, -1] - surface[0, 0], COEF["c"] * np.ptp(grid_c), rtol=1e-9)
    np.testing.assert_allclose(surface[0, 0] - surface[-1, 0], COEF["a"] * np.ptp(grid_a), rtol=1e-9)


def test_shap_values_are_coefficient_times_distance_from_the_background(reordered, monkeypatch):
    experiment, _ = reordered
    monkeypatch.setattr(plt, "show", lambda *a, **k: None)
    explanation = experiment.local_explain(reg_model_name="m", method="SHAP", sample_index=7)
    assert list(explanation.feature_names) == ["c", "b", "a"]
    # Exact for a linear model: coefficient * (value - mean over the 50
    # background rows, drawn with the experiment's seed 0).
    x = experiment.data.x
    background = x[np.sort(np.random.default_rng(0).choice(N, 50, replace=False))]
    coefficients = np.array([COEF["c"], COEF["b"], COEF["a"]])
    np.testing.assert_allclose(explanation.values, coefficients * (x[7] - background.mean(axis=0)), atol=1e-9)


def test_classifier_fitted_on_names_gets_its_columns():
    frame, y = fitted_frame(1)
    labels = np.where(y > 0, "up", "down")
    model = LogisticRegression().fit(frame, labels)
    experiment = Experiment(frame[["b", "c", "a"]], labels, pfi_repeats=2)
    experiment.add_model("clf", model)
    experiment.explain_single("clf")
    assert experiment.per_vi_rank[-1] == "a"
    average = experiment.pdp_explain("clf", "a")["average"][0]
    assert average[-1] > average[0] + 0.5


@pytest.mark.parametrize(
    "columns, message",
    [
        (["a", "b", "d"], "missing from the experiment: 'c'; not known to the model: 'd'"),
        (["x", "a", "b"], "missing from the experiment: 'c'; not known to the model: 'x'"),
        (["a", "b", "c", "d"], "missing from the experiment: none; not known to the model: 'd'"),
        (["b", "a"], "missing from the experiment: 'c'; not known to the model: none"),
    ],
)
def test_model_fitted_on_other_names_is_refused(columns, message):
    frame, y = fitted_frame()
    model = LinearRegression().fit(frame, y)
    data = pd.DataFrame(np.zeros((N, len(columns))), columns=columns)
    experiment = Experiment(data, y)
    expected = "model 'm' was fitted on other features than the experiment's: " + message
    with pytest.raises(ValueError, match=re.escape(expected)):
        experiment.add_model("m", model)
    assert experiment.models == {}


def test_names_given_to_an_array_count_as_the_experiment_s_names():
    frame, y = fitted_frame()
    model = LinearRegression().fit(frame, y)
    experiment = Experiment(frame[["c", "a", "b"]].to_numpy(), y, ["c", "a", "b"], pfi_repeats=2)
    experiment.add_model("m", model)
    experiment.explain_single("m")
    assert experiment.per_vi_rank[-1] == "a"
    with pytest.raises(ValueError, match=re.escape("missing from the experiment: 'a', 'b', 'c'")):
        Experiment(frame.to_numpy(), y).add_model("m", model)


class _NoWidth:
    """A fitted model that knows neither its names nor its width."""

    def __init__(self, width):
        self.width = width
        self.fitted_ = True

    def fit(self, x, y):
        return self

    def predict(self, x):
        x = np.asarray(x)
        if x.shape[1] != self.width:
            raise ValueError("expects %d columns" % self.width)
        return x.sum(axis=1)


def test_model_without_names_must_match_the_width():
    x, y = np.random.default_rng(0).uniform(size=(50, 3)), np.arange(50.0)
    experiment = Experiment(x, y)
    with pytest.raises(ValueError, match=re.escape("model 'm' was fitted on 4 features, the experiment's data have 3")):
        experiment.add_model("m", LinearRegression().fit(np.zeros((5, 4)), np.arange(5.0)))
    # Without n_features_in_ the width shows when the model is tried.
    with pytest.raises(ValueError, match=re.escape("model 'w' cannot predict the experiment's data (3 features)")):
        experiment.add_model("w", _NoWidth(2))
    experiment.add_model("w", _NoWidth(3))
    # A model fitted on an array applies by position, names or not.
    experiment.add_model("m", LinearRegression().fit(x, y))
    assert set(experiment.models) == {"w", "m"}


class _DuckClassifier(_NoWidth):
    """A duck-typed binary classifier, outside scikit-learn's class tree."""

    _estimator_type = "classifier"
    classes_ = np.array([0.0, 1.0])

    def predict_proba(self, x):
        p = 1 / (1 + np.exp(-np.asarray(x).sum(axis=1)))
        return np.column_stack([1 - p, p])


def test_models_outside_scikit_learns_class_tree_are_taken_for_what_they_say():
    # scikit-learn 1.9 raises for an object without tags; the experiment must not.
    x = np.random.default_rng(1).uniform(-1, 1, size=(40, 3))
    experiment = Experiment(x, (x.sum(axis=1) > 0).astype(float))
    experiment.add_model("duck", _DuckClassifier(3))
    assert experiment._response("duck").classifier
    regression = Experiment(x, x.sum(axis=1)).add_model("plain", _NoWidth(3))
    assert not regression._response("plain").classifier
