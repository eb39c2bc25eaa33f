"""Both estimators, fitted on fixed data with a fixed seed, predict what the
stored reference says, on every scikit-learn and NumPy release supported."""

import importlib.util
import pathlib

import numpy as np
import pytest

pytest.importorskip("torch")  # the estimators need it; other Pythons here have none

DATA = pathlib.Path(__file__).parent / "data"


def load_maker():
    spec = importlib.util.spec_from_file_location(
        "make_reference_predictions", DATA / "make_reference_predictions.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


MAKER = load_maker()
REFERENCE = dict(np.load(DATA / "reference_predictions.npz"))
PREDICTED = ["regressor_predict", "classifier_decision_function", "classifier_predict_proba",
             "classifier_predict"]


@pytest.fixture(scope="module")
def predicted():
    x, y, labels = MAKER.make_data()
    # The stored data are the data that the maker makes here.
    for name, value in [("x", x), ("y", y), ("labels", labels)]:
        np.testing.assert_array_equal(value, REFERENCE[name])
    return MAKER.predictions(x, y, labels)


@pytest.mark.parametrize("name", PREDICTED)
def test_predictions_equal_the_reference(predicted, name):
    assert predicted[name].shape == REFERENCE[name].shape
    assert predicted[name].dtype == REFERENCE[name].dtype
    np.testing.assert_allclose(predicted[name], REFERENCE[name], rtol=1e-12, atol=1e-12)


def test_the_reference_is_a_trained_model():
    # Not a constant output: the fits learned the structure of the data.
    regression = REFERENCE["regressor_predict"]
    assert np.corrcoef(regression, REFERENCE["y"])[0, 1] > 0.9
    assert np.mean(REFERENCE["classifier_predict"] == REFERENCE["labels"]) > 0.9
