"""SHAP and LIME values of several samples as arrays, and the experiment's
n_jobs: the same values whatever the number of workers."""

import re

import matplotlib

matplotlib.use("Agg")
import numpy as np  # noqa: E402
import pytest  # noqa: E402
pytest.importorskip("torch")  # the estimators need it; other Pythons here have none
from sklearn.ensemble import GradientBoostingClassifier, GradientBoostingRegressor  # noqa: E402

from qalvo.experiment import Experiment  # noqa: E402
from qalvo.models.rampnet import RampNetRegressor  # noqa: E402

N = 200
# Twelve features: Kernel SHAP samples its coalitions, so the seeding matters.
N_FEATURES = 12


def data(seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1, 1, (N, N_FEATURES))
    y = 3 * x[:, 0] + x[:, 1] ** 2 + 0.05 * rng.normal(size=N)
    return x, y


def experiment(n_jobs=1, classify=False):
    x, y = data()
    if classify:
        labels = np.where(y > 0.3, "high", "low")
        model = GradientBoostingClassifier(n_estimators=15, random_state=0).fit(x, labels)
        exp = Experiment(x, labels, shap_background=20, lime_samples=200, n_jobs=n_jobs)
    else:
        model = GradientBoostingRegressor(n_estimators=20, random_state=0).fit(x, y)
        exp = Experiment(x, y, shap_background=20, lime_samples=200, pfi_repeats=2, n_jobs=n_jobs)
    return exp.add_model("m", model)


@pytest.fixture(scope="module")
def serial():
    return experiment()


@pytest.mark.parametrize("classify", [False, True])
def test_shap_values_are_those_local_explain_draws_and_add_up(shown, classify):
    exp = experiment(classify=classify)
    values, base_values = exp.local_values("m", "SHAP", [5, 9])
    assert values.shape == (2, N_FEATURES) and base_values.shape == (2,)
    assert not shown  # nothing drawn
    model = exp.models["m"]
    rows = exp.data.x[[5, 9]]
    explained = model.predict_proba(rows)[:, 1] if classify else model.predict(rows)
    np.testing.assert_allclose(base_values + values.sum(axis=1), explained, atol=1e-9)
    for k, index in enumerate([5, 9]):
        drawn = exp.local_explain(reg_model_name="m", method="SHAP", sample_index=index)
        np.testing.assert_array_equal(values[k], drawn.values)
        assert base_values[k] == drawn.base_values
    assert len(shown) == 2


@pytest.mark.parametrize("classify", [False, True])
def test_lime_values_are_the_weights_of_the_drawn_explanation(shown, classify):
    exp = experiment(classify=classify)
    values, intercepts = exp.local_values("m", "LIME", [4])
    drawn = exp.local_explain(reg_model_name="m", method="LIME", sample_index=4)
    expected = np.zeros(N_FEATURES)
    for feature, weight in drawn.as_map()[1]:
        expected[feature] = weight
    np.testing.assert_array_equal(values[0], expected)
    assert intercepts[0] == drawn.intercept[1]
    assert np.argmax(abs(values[0])) == 0  # x0 carries the prediction


@pytest.mark.parametrize("method", ["SHAP", "LIME"])
def test_a_sample_gets_the_same_values_wherever_it_stands_in_the_request(serial, method):
    together, base_together = serial.local_values("m", method, np.array([8, 2, 8]))
    alone, base_alone = serial.local_values("m", method, [2])
    np.testing.assert_array_equal(together[1], alone[0])
    np.testing.assert_array_equal(together[0], together[2])
    assert base_together[1] == base_alone[0]


@pytest.mark.parametrize("method", ["SHAP", "LIME"])
def test_two_joblib_processes_give_the_serial_values(serial, method):
    indices = [0, 3, 11, 150]
    expected = serial.local_values("m", method, indices)
    got = experiment(n_jobs=2).local_values("m", method, indices)
    np.testing.assert_array_equal(got[0], expected[0])
    np.testing.assert_array_equal(got[1], expected[1])


def test_kernel_shap_leaves_numpys_global_generator_as_it_was(serial):
    np.random.seed(123)
    expected = np.random.random_sample(3)
    np.random.seed(123)
    serial.local_values("m", "SHAP", [1])
    np.testing.assert_array_equal(np.random.random_sample(3), expected)


def test_threads_sharing_numpys_generator_still_get_the_serial_values(serial):
    from joblib import parallel_backend

    indices = list(range(6))
    expected, _ = serial.local_values("m", "SHAP", indices)
    threaded = experiment(n_jobs=3)
    with parallel_backend("threading"):
        got, _ = threaded.local_values("m", "SHAP", indices)
    np.testing.assert_array_equal(got, expected)


def test_permutation_importance_in_two_processes_equals_the_serial_one():
    # A RampNet model travels to the worker processes and predicts the same there.
    x, y = data()
    model = RampNetRegressor(hidden_layer_sizes=(8,), max_epochs=5, random_state=0).fit(x, y)
    results = []
    for n_jobs in (1, 2):
        exp = Experiment(x, y, pfi_repeats=2, n_jobs=n_jobs).add_model("net", model)
        exp.explain_single("net")
        results.append((exp.per_vi_rank, exp.permutation_vi("net")[1]))
    assert results[0][0] == results[1][0]
    np.testing.assert_array_equal(results[0][1], results[1][1])


def test_no_samples_give_empty_arrays(serial):
    values, base_values = serial.local_values("m", "SHAP", [])
    assert values.shape == (0, N_FEATURES) and base_values.shape == (0,)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda e: e.local_values("nope", "SHAP", [0]), KeyError, "unknown model 'nope'; models held: 'm'"),
        (lambda e: e.local_values("m", "shap", [0]), ValueError, "method must be 'SHAP' or 'LIME', not 'shap'"),
        (lambda e: e.local_values("m", "SHAP", 3), ValueError, "sample_indices must be a sequence of integers, got 3"),
        (lambda e: e.local_values("m", "SHAP", "12"), ValueError, "sample_indices must be a sequence of integers"),
        (lambda e: e.local_values("m", "SHAP", [0, N]), ValueError, "sample_index %d is out of range" % N),
        (lambda e: e.local_values("m", "SHAP", [1.0]), ValueError, "sample_index must be an integer, got 1.0"),
    ],
)
def test_bad_requests_are_refused(serial, call, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call(serial)


@pytest.mark.parametrize("n_jobs", [0, 1.5, True, "2"])
def test_n_jobs_must_be_a_non_zero_integer_or_none(n_jobs):
    x, y = data()
    with pytest.raises(ValueError, match=re.escape("n_jobs must be a non-zero integer or None, got %r" % (n_jobs,))):
        Experiment(x, y, n_jobs=n_jobs)


@pytest.mark.parametrize("n_jobs, kept", [(None, None), (-1, -1), (np.int64(2), 2)])
def test_n_jobs_is_kept_as_joblib_takes_it(n_jobs, kept):
    x, y = data()
    assert Experiment(x, y, n_jobs=n_jobs).n_jobs == kept
