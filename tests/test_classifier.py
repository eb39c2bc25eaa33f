"""The classifier: label encoding, logits, probabilities and labels."""

import re

import numpy as np
import pytest
torch = pytest.importorskip("torch")

from qalvo.models.rampnet.rampnet import RampNetClassifier


def blobs(n=200, seed=0):
    rng = np.random.RandomState(seed)
    x = rng.randn(n, 3)
    return x, x[:, 0] + 0.5 * x[:, 1] > 0


class ConstantLogit(torch.nn.Module):
    def __init__(self, logits):
        super().__init__()
        self.logits = torch.as_tensor(logits, dtype=torch.double).reshape(-1, 1)

    def forward(self, batch):
        return self.logits[: batch.shape[0]]


def test_string_labels_round_trip():
    x, positive = blobs()
    y = np.where(positive, "yes", "no")
    est = RampNetClassifier(hidden_layer_sizes=(8,), max_epochs=40, learning_rate=0.01)
    est.fit(x, y)
    assert list(est.classes_) == ["no", "yes"]
    assert est.classes_ is est.label_binarizer_.classes_
    train_y = est.train_data_loader_.tensors[1]
    assert train_y.dtype == torch.float64 and set(train_y.tolist()) == {0.0, 1.0}
    np.testing.assert_array_equal(est._validate_input(x, y)[1], (y == "yes").astype(float))
    labels = est.predict(x)
    assert labels.dtype == y.dtype and set(labels) <= {"no", "yes"}
    assert est.score(x, y) > 0.9


def test_encoded_targets_are_flat_float64():
    x, positive = blobs(20)
    est = RampNetClassifier()
    _, y = est._validate_input(x, np.where(positive, 3, 7))
    assert y.dtype == np.float64 and y.shape == (20,)
    np.testing.assert_array_equal(y, np.where(positive, 0.0, 1.0))  # 3 -> 0.0, 7 -> 1.0


def test_column_labels_are_accepted_and_flattened():
    x, positive = blobs(20)
    with pytest.warns(Warning):  # scikit-learn's notice about a column-vector y
        x_checked, y = RampNetClassifier()._validate_input(x, positive.astype(int)[:, None])
    assert y.shape == (20,)


def test_more_than_two_classes_are_refused():
    x, _ = blobs(30)
    est = RampNetClassifier()
    with pytest.raises(ValueError, match=re.escape("multi-classification not supported")):
        est._validate_input(x, np.arange(30) % 3 + 1)
    assert list(est.classes_) == [1, 2, 3]  # the check runs on the new encoding


def test_a_single_class_fits_and_predicts_it():
    x, _ = blobs(30)
    est = RampNetClassifier(hidden_layer_sizes=(2,), max_epochs=2).fit(x, ["a"] * 30)
    assert list(est.predict(x[:3])) == ["a", "a", "a"]


def fitted_with_logits(logits):
    x, positive = blobs(40)
    est = RampNetClassifier(hidden_layer_sizes=(2,), max_epochs=1).fit(
        x, np.where(positive, "pos", "neg"))
    est.net_ = ConstantLogit(logits)
    return est, np.zeros((len(logits), 3))


def test_zero_logit_is_an_even_split_and_goes_to_the_first_class():
    est, x = fitted_with_logits([0.0])
    np.testing.assert_array_equal(est.decision_function(x), [0.0])
    np.testing.assert_array_equal(est.predict_proba(x), [[0.5, 0.5]])
    assert list(est.predict(x)) == [est.classes_[0]] == ["neg"]


def test_probabilities_are_the_logistic_function_of_the_logit():
    logits = np.array([-800.0, -3.0, -1e-9, 1e-9, 2.0, 40.0, 800.0])
    est, x = fitted_with_logits(logits)
    proba = est.predict_proba(x)
    assert proba.shape == (7, 2) and proba.dtype == np.float64
    np.testing.assert_allclose(proba[:, 1], 1 / (1 + np.exp(-np.clip(logits, -700, 700))),
                               rtol=1e-12, atol=1e-300)
    np.testing.assert_allclose(proba.sum(axis=1), 1.0, rtol=1e-15)
    assert proba[-1, 1] == 1.0 and proba[0, 0] == 1.0
    assert list(est.predict(x)) == ["neg"] * 3 + ["pos"] * 4
    np.testing.assert_array_equal(est.decision_function(x), logits)


def test_fitted_probabilities_rows_sum_to_one_and_match_the_labels():
    x, positive = blobs()
    est = RampNetClassifier(hidden_layer_sizes=(8,), max_epochs=20).fit(x, positive)
    proba = est.predict_proba(x)
    np.testing.assert_allclose(proba.sum(axis=1), 1.0, rtol=1e-15)
    np.testing.assert_array_equal(est.predict(x), proba[:, 1] > 0.5)
    logits = est.decision_function(x)
    assert logits.shape == (200,) and logits.dtype == np.float64
    np.testing.assert_allclose(proba[:, 1], 1 / (1 + np.exp(-logits)), rtol=1e-12)
    assert est.net_.training is False


def test_prediction_methods_take_exactly_one_input():
    est, x = fitted_with_logits([0.0])
    for method in (est.decision_function, est.predict_proba, est.predict):
        with pytest.raises(TypeError, match="takes exactly 2 positional arguments"):
            method(x, x)
