"""Data preparation (split, tensors, loaders), the validation loss and the
improvement tracking of the estimators."""

import copy
import re
import types

import numpy as np
import pytest
torch = pytest.importorskip("torch")
from sklearn.model_selection import train_test_split

import qalvo.models.rampnet.rampnet as rampnet
from qalvo.models.rampnet.rampnet import FastTensorDataLoader, RampNetRegressor


def data(n, d=3, seed=0):
    rng = np.random.RandomState(seed)
    return rng.randn(n, d), rng.randn(n)


@pytest.mark.parametrize("n, batch_size, batch, train_batches, val_batches", [
    (100, 100, 80, 1, 1),
    (1000, 100, 100, 8, 2),
])
def test_split_and_loaders(n, batch_size, batch, train_batches, val_batches):
    x, y = data(n)
    est = RampNetRegressor(batch_size=batch_size, random_state=7)
    train_x, val_x, train_y, val_y = est._prepare_data(x, y)
    expected = train_test_split(x, y, test_size=0.2, random_state=7)
    for got, want in zip((train_x, val_x, train_y, val_y), expected):
        np.testing.assert_array_equal(got, want)
    assert est.n_features_ == 3
    train, val = est.train_data_loader_, est.val_data_loader_
    assert (train.batch_size, val.batch_size) == (batch, batch)
    assert (len(train), len(val)) == (train_batches, val_batches)
    assert train.shuffle is True and val.shuffle is False
    for tensor, array in zip(train.tensors + val.tensors, (train_x, train_y, val_x, val_y)):
        assert tensor.dtype == torch.float64 and tensor.device.type == "cpu"
        np.testing.assert_array_equal(tensor.numpy(), array)
        assert not np.shares_memory(tensor.numpy(), array)  # the data are copied


def test_split_uses_val_ratio_and_random_state():
    x, y = data(50)
    a = RampNetRegressor(val_ratio=0.5, random_state=1)._prepare_data(x, y)
    b = RampNetRegressor(val_ratio=0.5, random_state=2)._prepare_data(x, y)
    assert a[0].shape == (25, 3) and a[1].shape == (25, 3)
    assert not np.array_equal(a[0], b[0])


def validating_estimator(x, y, batch_size, loss_fn, net=None):
    est = RampNetRegressor()
    est.net_ = net if net is not None else torch.nn.Linear(x.shape[1], 1).double()
    est.loss_fn = loss_fn
    est.val_data_loader_ = FastTensorDataLoader(
        torch.tensor(x, dtype=torch.double), torch.tensor(y, dtype=torch.double),
        batch_size=batch_size)
    return est


def test_validate_weights_each_batch_by_its_rows():
    scripted = iter([0.3, 0.6])
    seen = []

    def loss_fn(prediction, labels):
        seen.append((prediction.shape, labels.shape, prediction.requires_grad))
        return torch.tensor(next(scripted), dtype=torch.double)

    est = validating_estimator(np.zeros((3, 2)), np.zeros(3), 2, loss_fn)
    result = est._validate()
    assert type(result) is np.float64
    assert result == pytest.approx(0.4)
    # flattened 1-D predictions first, targets second, without gradient tracking
    assert seen == [((2,), (2,), False), ((1,), (1,), False)]
    assert est.net_.training is False


def test_validate_is_the_mean_loss_over_all_validation_rows():
    x, y = data(1000, 4)
    est = RampNetRegressor(hidden_layer_sizes=(5,), max_epochs=2, batch_size=64).fit(x, y)
    val_x, val_y = est.val_data_loader_.tensors
    with torch.no_grad():
        expected = torch.mean((est.net_(val_x).ravel() - val_y) ** 2).item()
    assert est._validate() == pytest.approx(expected, rel=1e-12)


def test_validate_restores_the_gradient_mode_when_the_network_fails():
    def failing(_):
        assert not torch.is_grad_enabled()
        raise RuntimeError("forward failed")

    est = validating_estimator(np.zeros((3, 2)), np.zeros(3), 2, torch.nn.MSELoss(),
                               FailingNet(failing))
    with pytest.raises(RuntimeError, match="forward failed") as info:
        est._validate()
    assert torch.is_grad_enabled()
    names = [entry.name for entry in info.traceback]
    assert "qalvo.models.rampnet.rampnet.RampNet._validate" in names


class FailingNet:
    def __init__(self, forward):
        self.forward = forward

    def eval(self):
        pass

    def __call__(self, data):
        return self.forward(data)


class RecordingNoGrad:
    """Stands in for torch.no_grad: records the protocol calls; may suppress."""

    log = []

    def __init__(self, suppress=False):
        self.suppress = suppress

    def __enter__(self):
        self.log.append("enter")

    def __exit__(self, kind, value, tb):
        self.log.append(("exit", kind, str(value) if value else None))
        return self.suppress


def test_validate_runs_the_forward_pass_inside_the_no_grad_context(monkeypatch):
    fake_torch = types.SimpleNamespace(no_grad=RecordingNoGrad)
    RecordingNoGrad.log = []
    est = validating_estimator(np.zeros((3, 2)), np.zeros(3), 2, torch.nn.MSELoss())
    monkeypatch.setattr(rampnet, "torch", fake_torch)
    est._validate()
    assert RecordingNoGrad.log == ["enter", ("exit", None, None)] * 2


def test_exit_receives_the_error_and_may_suppress_it(monkeypatch):
    calls = []

    def flaky(data):
        calls.append(data.shape[0])
        if len(calls) == 2:
            raise RuntimeError("second batch")
        return torch.zeros(data.shape[0], 1, dtype=torch.double)

    shapes = []

    def loss_fn(prediction, labels):
        shapes.append((prediction.shape[0], labels.shape[0]))
        return torch.tensor(1.0, dtype=torch.double)

    fake_torch = types.SimpleNamespace(no_grad=lambda: RecordingNoGrad(suppress=True))
    RecordingNoGrad.log = []
    est = validating_estimator(np.zeros((3, 2)), np.ones(3), 2, loss_fn, FailingNet(flaky))
    monkeypatch.setattr(rampnet, "torch", fake_torch)
    est._validate()
    assert RecordingNoGrad.log[2:] == ["enter", ("exit", RuntimeError, "second batch")]
    # Once suppressed, the second batch goes on with the first batch's prediction.
    assert shapes == [(2, 2), (2, 1)]


def test_suppressed_error_in_the_first_batch_leaves_prediction_unbound(monkeypatch):
    def failing(_):
        raise RuntimeError("first batch")

    fake_torch = types.SimpleNamespace(no_grad=lambda: RecordingNoGrad(suppress=True))
    est = validating_estimator(np.zeros((3, 2)), np.ones(3), 2, torch.nn.MSELoss(),
                               FailingNet(failing))
    monkeypatch.setattr(rampnet, "torch", fake_torch)
    with pytest.raises(UnboundLocalError, match="'prediction'"):
        est._validate()


def tracking_estimator(best_loss, losses, net=None):
    est = RampNetRegressor()
    est.net_ = net if net is not None else torch.nn.Linear(2, 1).double()
    est.best_loss_ = best_loss
    est.best_net_ = est.net_
    est.no_improved_count_ = 4
    est.valid_epoch_loss_ = list(losses)
    return est


def test_a_strict_improvement_takes_an_independent_snapshot():
    est = tracking_estimator(np.inf, [0.7, 0.5])
    assert est._check_improvement() is None
    assert est.best_loss_ == 0.5 and est.no_improved_count_ == 0
    assert est.best_net_ is not est.net_
    before = copy.deepcopy(est.best_net_.state_dict())
    with torch.no_grad():
        est.net_.weight.add_(1.0)
    assert all(torch.equal(before[k], v) for k, v in est.best_net_.state_dict().items())


@pytest.mark.parametrize("last", [0.5, 0.6, float("nan")])
def test_no_strict_improvement_counts_up(last):
    est = tracking_estimator(0.5, [last])
    net = est.best_net_
    est._check_improvement()
    assert est.best_loss_ == 0.5 and est.best_net_ is net and est.no_improved_count_ == 5


def test_check_improvement_needs_a_recorded_loss():
    est = tracking_estimator(0.5, [])
    with pytest.raises(IndexError, match=re.escape("list index out of range")):
        est._check_improvement()
