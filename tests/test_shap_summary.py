"""The global SHAP view: per-row values as local_values computes them, their
closed form for a linear model, mean |SHAP|, additivity and the seeded
default sample, whatever n_jobs."""

import re

import numpy as np
import pytest
from sklearn.ensemble import GradientBoostingClassifier, GradientBoostingRegressor
from sklearn.linear_model import LinearRegression

from qalvo.experiment import Experiment, ShapSummary

N = 150
NAMES = ["a", "b", "c", "d"]


def data(seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1, 1, (N, 4))
    return x, 3 * x[:, 0] - 2 * x[:, 1] + 0.5 * x[:, 2]


@pytest.fixture(scope="module")
def linear():
    x, y = data()
    model = LinearRegression().fit(x, y)
    exp = Experiment(x, y, NAMES, shap_background=30, shap_summary_samples=25, random_state=5)
    return exp.add_model("lin", model), model


def test_linear_model_values_are_coefficient_times_distance_from_the_background(linear):
    exp, model = linear
    summary = exp.shap_summary("lin")
    assert isinstance(summary, ShapSummary)
    rows = summary.sample_indices
    x = exp.data.x
    background = x[np.sort(np.random.default_rng(5).choice(N, 30, replace=False))]
    expected = model.coef_ * (x[rows] - background.mean(axis=0))
    np.testing.assert_allclose(summary.values, expected, rtol=0, atol=1e-12)
    np.testing.assert_allclose(summary.mean_abs, np.abs(expected).mean(axis=0), rtol=1e-12, atol=1e-12)
    np.testing.assert_array_equal(summary.data, x[rows])
    np.testing.assert_allclose(summary.base_values, model.predict(background).mean(), rtol=1e-12)
    assert summary.feature_names == NAMES
    assert summary["values"] is summary.values  # an attribute, as in shap's Explanation


def test_default_rows_are_a_seeded_sample_apart_from_the_background(linear):
    exp, _ = linear
    rows = exp.shap_summary("lin").sample_indices
    assert len(rows) == 25 == len(set(rows.tolist())) and np.all(np.diff(rows) > 0)
    np.testing.assert_array_equal(exp.shap_summary("lin").sample_indices, rows)
    background = np.sort(np.random.default_rng(5).choice(N, 30, replace=False))
    assert set(rows.tolist()) != set(background[:25].tolist())
    x, y = data()
    other = Experiment(x, y, NAMES, shap_background=30, shap_summary_samples=25, random_state=6)
    other.add_model("lin", exp.models["lin"])
    assert not np.array_equal(other.shap_summary("lin").sample_indices, rows)
    small = Experiment(x[:20], y[:20], NAMES, shap_summary_samples=25).add_model("lin", exp.models["lin"])
    np.testing.assert_array_equal(small.shap_summary("lin").sample_indices, np.arange(20))


@pytest.mark.parametrize("classify", [False, True])
def test_values_are_local_values_and_add_up_to_the_prediction(classify):
    # Twelve features: Kernel SHAP samples coalitions, so the seeding matters.
    rng = np.random.default_rng(2)
    x = rng.uniform(-1, 1, (120, 12))
    y = 3 * x[:, 0] + x[:, 1] ** 2
    if classify:
        labels = np.where(y > 0.3, "high", "low")
        model = GradientBoostingClassifier(n_estimators=10, random_state=0).fit(x, labels)
        y = labels
    else:
        model = GradientBoostingRegressor(n_estimators=10, random_state=0).fit(x, y)

    def summary(n_jobs):
        exp = Experiment(x, y, shap_background=15, n_jobs=n_jobs).add_model("m", model)
        return exp, exp.shap_summary("m", sample_indices=[7, 3, 7])

    exp, serial = summary(1)
    _, parallel = summary(2)
    np.testing.assert_array_equal(serial.values, parallel.values)
    values, base_values = exp.local_values("m", "SHAP", [7, 3, 7])
    np.testing.assert_array_equal(serial.values, values)
    np.testing.assert_array_equal(serial.base_values, base_values)
    explained = model.predict_proba(x[[7, 3, 7]])[:, 1] if classify else model.predict(x[[7, 3, 7]])
    np.testing.assert_allclose(serial.base_values + serial.values.sum(axis=1), explained, atol=1e-9)
    np.testing.assert_array_equal(serial.mean_abs, np.abs(values).mean(axis=0))
    assert np.argmax(serial.mean_abs) == 0


@pytest.mark.parametrize(
    "indices, message",
    [
        ([], "sample_indices is empty: shap_summary explains at least one sample"),
        ([0, N], "sample_index 150 is out of range: the data have 150 samples (0 to 149)"),
        ("0", "sample_indices must be a sequence of integers, got '0'"),
    ],
)
def test_bad_sample_indices(linear, indices, message):
    exp, _ = linear
    with pytest.raises(ValueError, match=re.escape(message)):
        exp.shap_summary("lin", sample_indices=indices)
