"""Batched raw output and the regressor's predict."""

import re

import numpy as np
import pytest
torch = pytest.importorskip("torch")

from qalvo.models.rampnet.rampnet import RampNetRegressor

WIDTH_MESSAGE = ("The number of features in predict is\n"
                 "                 different from the number of features in fit")


@pytest.fixture(scope="module")
def fitted():
    rng = np.random.RandomState(0)
    x = rng.randn(200, 4)
    return RampNetRegressor(hidden_layer_sizes=(8,), max_epochs=3).fit(x, x.sum(axis=1))


class FirstColumn(torch.nn.Module):
    """Outputs column 0 of each row (times a trainable 1.0), recording calls."""

    def __init__(self):
        super().__init__()
        self.scale = torch.nn.Parameter(torch.ones((), dtype=torch.double))
        self.batches = []

    def forward(self, batch):
        self.batches.append((batch.shape[0], batch.dtype))
        return batch[:, :1] * self.scale


def with_counting_net(est):
    est.net_ = FirstColumn()
    return est.net_


def test_large_input_runs_in_bounded_passes_and_keeps_row_order(fitted):
    net = with_counting_net(fitted)
    x = np.random.RandomState(1).randn(25_000, 4)
    raw = fitted.get_raw_output(x)
    assert [n for n, _ in net.batches] == [10_000, 10_000, 5_000]
    assert raw.shape == (25_000, 1) and raw.dtype == torch.float64
    assert raw.requires_grad is False
    np.testing.assert_array_equal(raw.numpy()[:, 0], x[:, 0])
    assert net.training is False


@pytest.mark.parametrize("n, bound, passes", [(7, 10_000, [7]), (10, 4, [4, 4, 2]), (1, 3, [1])])
def test_batch_bound(fitted, n, bound, passes):
    net = with_counting_net(fitted)
    fitted.batch_size_inference = bound
    try:
        out = fitted.predict(np.arange(n * 4.0).reshape(n, 4))
    finally:
        fitted.batch_size_inference = 10_000
    assert [k for k, _ in net.batches] == passes
    assert out.shape == (n,) and out.dtype == np.float64
    np.testing.assert_array_equal(out, np.arange(n) * 4.0)


def test_integer_input_reaches_the_network_as_float64(fitted):
    net = with_counting_net(fitted)
    fitted.get_raw_output(np.arange(8).reshape(2, 4))
    assert net.batches == [(2, torch.float64)]


def test_any_two_dimensional_array_like_with_a_shape_is_accepted(fitted):
    class Table:
        shape = (2, 4)

        def __array__(self, dtype=None, copy=None):
            return np.arange(8.0).reshape(2, 4)

    with_counting_net(fitted)
    np.testing.assert_array_equal(fitted.get_raw_output(Table()).numpy()[:, 0], [0.0, 4.0])


@pytest.mark.parametrize("width", [3, 5])
@pytest.mark.parametrize("rows", [1, 30])
def test_width_check(fitted, width, rows):
    fitted.net_.train()
    with pytest.raises(ValueError, match=re.escape(WIDTH_MESSAGE)) as info:
        fitted.predict(np.zeros((rows, width)))
    assert str(info.value) == WIDTH_MESSAGE
    assert fitted.net_.training is True  # refused before the network is touched
    # checked first, before scikit-learn's input check could say it otherwise
    entries = {e.name: e.lineno + 1 for e in info.traceback}
    assert 579 <= entries["qalvo.models.rampnet.rampnet.RampNetRegressor.predict"] <= 596
    assert fitted.n_features_in_ == 4


@pytest.mark.parametrize("width", [3, 5])
def test_get_raw_output_checks_the_width_itself(fitted, width):
    with pytest.raises(ValueError, match=re.escape(WIDTH_MESSAGE)) as info:
        fitted.get_raw_output(np.zeros((2, width)))
    entries = {e.name: e.lineno + 1 for e in info.traceback}
    assert 433 <= entries["qalvo.models.rampnet.rampnet.RampNet.get_raw_output"] <= 470


@pytest.mark.parametrize("x, error", [
    ([[1.0, 2.0, 3.0, 4.0]], AttributeError),  # no shape
    (np.zeros(4), IndexError),                 # one dimension
    (np.zeros((0, 4)), ZeroDivisionError),     # no rows: zero batch size
])
def test_raw_output_of_unsuitable_input(fitted, x, error):
    with pytest.raises(error):
        fitted.get_raw_output(x)


def test_negative_inference_batch_size_is_refused(fitted):
    fitted.batch_size_inference = -5
    try:
        with pytest.raises(ValueError, match="batch_size must be a positive integer, got -5"):
            fitted.predict(np.zeros((3, 4)))
    finally:
        fitted.batch_size_inference = 10_000


def test_predict_is_the_network_output_in_evaluation_mode():
    rng = np.random.RandomState(2)
    x = rng.randn(300, 4)
    est = RampNetRegressor(hidden_layer_sizes=(8, 8), max_epochs=2, dropout_prob=0.5).fit(
        x, x[:, 0])
    est.net_.train()
    out = est.predict(x)
    assert est.net_.training is False
    with torch.no_grad():
        expected = est.net_(torch.tensor(x)).numpy().ravel()
    np.testing.assert_allclose(out, expected, rtol=1e-12)
    np.testing.assert_array_equal(est.predict(x[:1]), out[:1])
    assert est.score(x, x[:, 0]) == pytest.approx(
        1 - ((x[:, 0] - out) ** 2).sum() / ((x[:, 0] - x[:, 0].mean()) ** 2).sum())


def test_column_response_is_accepted_and_flattened():
    x = np.random.RandomState(3).randn(50, 2)
    with pytest.warns(Warning):  # scikit-learn's notice about a column-vector y
        est = RampNetRegressor(hidden_layer_sizes=(3,), max_epochs=1).fit(x, x[:, :1])
    assert est.train_data_loader_.tensors[1].shape == (40,)
    assert est.predict(x).shape == (50,)


def test_two_samples_are_enough_to_fit():
    est = RampNetRegressor(hidden_layer_sizes=(2,), max_epochs=2).fit([[0.0], [1.0]], [0.0, 1.0])
    assert est.predict([[0.5]]).shape == (1,)


class Outputs(torch.nn.Module):
    """Returns `make(batch)` for each batch: outputs of other shapes or dtypes."""

    def __init__(self, make):
        super().__init__()
        self.make = make

    def forward(self, batch):
        return self.make(batch)


@pytest.mark.parametrize("make, expected", [
    # two columns: stacked row-wise as they come
    (lambda b: b[:, :2] * 2, lambda x: x[:, :2] * 2),
    # 1-D outputs are stacked as rows of a 2-D result, batch by batch
    (lambda b: b[:, 0], lambda x: x[:, 0].reshape(2, 4)),
    # a batch of another dtype is promoted by the stacking, as the others are
    (lambda b: b[:, :1].float() if b[0, 0] > 10 else b[:, :1], lambda x: x[:, :1]),
])
def test_outputs_are_stacked_in_batch_order_whatever_their_shape(fitted, make, expected):
    fitted.net_ = Outputs(make)
    fitted.batch_size_inference = 4
    x = np.arange(32.0).reshape(8, 4)
    try:
        raw = fitted.get_raw_output(x)
    finally:
        fitted.batch_size_inference = 10_000
    np.testing.assert_array_equal(raw.numpy(), expected(x))
    assert raw.dtype == torch.float64 and raw.requires_grad is False
