"""The back-propagation epoch loop: reproducibility, the gradient it steps on,
progress output, loss bookkeeping and early stopping."""

import copy
import re

import numpy as np
import pytest
torch = pytest.importorskip("torch")

from qalvo.models.rampnet.rampnet import RampNetClassifier, RampNetRegressor


def data(n=120, d=5, seed=0):
    rng = np.random.RandomState(seed)
    x = rng.randn(n, d)
    return x, x @ rng.randn(d) + 0.1 * rng.randn(n)


class Scripted(RampNetRegressor):
    """Validation losses come from `script`; every improvement check is logged."""

    script = ()

    def _validate(self):
        return self.script[len(self.valid_epoch_loss_)]

    def _check_improvement(self):
        super()._check_improvement()
        self.log.append((self.no_improved_count_, self.best_net_))


def scripted(script, **params):
    est = Scripted(hidden_layer_sizes=(3,), batch_size=40, **params)
    est.script, est.log = script, []
    return est


@pytest.mark.parametrize("cls, y_of", [
    (RampNetRegressor, lambda y: y),
    (RampNetClassifier, lambda y: (y > 0).astype(int)),
])
def test_same_random_state_gives_identical_fits(cls, y_of):
    x, y = data()
    y = y_of(y)
    params = dict(hidden_layer_sizes=(6, 4), max_epochs=4, batch_size=32, dropout_prob=0.1)
    first = cls(**params).fit(x, y)
    np.random.rand(5), torch.rand(7), torch.randperm(9)  # draws between the fits
    second = cls(**params).fit(x, y)
    assert [c.shape for c in first.coefs_] == [(5, 6), (6, 4), (4, 1)]
    assert [b.shape for b in first.intercepts_] == [(6,), (4,), (1,)]
    assert all(a.dtype == np.float64 for a in first.coefs_ + first.intercepts_)
    for a, b in zip(first.coefs_ + first.intercepts_, second.coefs_ + second.intercepts_):
        np.testing.assert_array_equal(a, b)
    assert first.train_epoch_loss_ == second.train_epoch_loss_
    assert first.valid_epoch_loss_ == second.valid_epoch_loss_
    third = cls(random_state=1, **params).fit(x, y)
    assert not np.array_equal(first.coefs_[0], third.coefs_[0])


def test_losses_are_host_float64_per_row_means_and_training_lowers_them():
    x, y = data(400)
    est = RampNetRegressor(hidden_layer_sizes=(16,), max_epochs=30, learning_rate=0.01).fit(x, y)
    assert len(est.train_epoch_loss_) == len(est.valid_epoch_loss_) == 30
    assert all(type(v) is np.float64 for v in est.train_epoch_loss_ + est.valid_epoch_loss_)
    assert est.valid_epoch_loss_[-1] < est.valid_epoch_loss_[0] / 5
    assert est.best_loss_ == min(est.valid_epoch_loss_)


def test_step_uses_the_gradient_of_data_loss_plus_l1_penalty_on_weights_only():
    """With iht_status_ set, the hook runs after both backward passes and
    before the step: its view of the gradients is checked against autograd."""
    checked = []

    class Checking(RampNetRegressor):
        def _hard_thresholding_gradient(self):
            data, labels = self.last_batch
            reference = copy.deepcopy(self.net_)
            reference.zero_grad(set_to_none=True)
            penalty = sum(p.abs().sum() for n, p in reference.named_parameters() if "weight" in n)
            loss = torch.nn.functional.mse_loss(reference(data).ravel(), labels.ravel())
            (loss + self.l1_reg * penalty).backward()
            for (_, got), (_, want) in zip(self.net_.named_parameters(),
                                           reference.named_parameters()):
                torch.testing.assert_close(got.grad, want.grad)
            checked.append(float(self.optimizer_.state_dict()["state"][0]["step"]))

    est = Checking(hidden_layer_sizes=(4,), max_epochs=1, batch_size=30, l1_reg=0.3)
    x, y = data()
    est.fit(x, y)
    loss_fn = est.loss_fn

    def recording_loss(prediction, labels):
        est.last_batch = (est.current_data, labels)
        return loss_fn(prediction, labels)

    est.net_.register_forward_pre_hook(lambda m, inputs: setattr(est, "current_data", inputs[0]))
    est.loss_fn = recording_loss
    est.iht_status_ = True
    est._fit_bp(None, None, 2)
    # Four batches of 96 training rows per epoch, four steps taken in fit;
    # each check ran before its own batch's step.
    assert checked == [float(k) for k in range(4, 12)]


def test_hook_is_not_called_while_thresholding_is_off():
    class Guarded(RampNetRegressor):
        def _hard_thresholding_gradient(self):
            raise AssertionError("must not be called")

    Guarded(hidden_layer_sizes=(3,), max_epochs=2).fit(*data())


def test_training_loss_excludes_the_penalty_and_the_penalty_changes_the_updates():
    x, y = data()
    fits = [RampNetRegressor(hidden_layer_sizes=(4,), max_epochs=1, batch_size=1000,
                             l1_reg=l1).fit(x, y) for l1 in (0.0, 5.0)]
    # one batch: the epoch's loss is measured before the only step
    assert fits[0].train_epoch_loss_ == fits[1].train_epoch_loss_
    assert not np.array_equal(fits[0].coefs_[0], fits[1].coefs_[0])


def test_dropout_is_active_in_every_training_epoch():
    modes = []
    est = RampNetRegressor(hidden_layer_sizes=(8,), max_epochs=1, dropout_prob=0.5,
                           batch_size=40)
    x, y = data()
    est.fit(x, y)
    est.net_.register_forward_pre_hook(lambda m, inputs: modes.append(m.training))
    est._fit_bp(None, None, 3)
    # per epoch: 3 training batches (train mode), then 1 validation batch (eval)
    assert modes == [True, True, True, False] * 3
    assert est.net_.training is False


def test_verbose_line_formats_epoch_and_losses(capsys):
    est = scripted([0.3, 0.3, 0.3, 2, 2], max_epochs=5, verbose=True)
    est.loss_fn = lambda prediction, labels: (prediction * 0).sum() + 1.23456
    est.fit(*data())
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "Training and Validation losses at epoch 0 are 1.2346 and 0.3000"
    assert lines[3] == "Training and Validation losses at epoch 3 are 1.2346 and 2.0000"
    assert len(lines) == 5


def test_early_stop_sequence(capsys):
    est = scripted([0.5, 0.4, 0.45, 0.41, 0.42, 0.1, 0.1], n_epoch_no_change=2, max_epochs=7,
                   verbose=True)
    est.fit(*data())
    counts = [count for count, _ in est.log]
    assert counts == [0, 0, 1, 2, 3]
    snapshot_after_epoch_1 = est.log[1][1]
    assert est.net_ is snapshot_after_epoch_1 and est.best_net_ is snapshot_after_epoch_1
    assert est.log[0][1] is not snapshot_after_epoch_1
    assert est.valid_epoch_loss_ == [0.5, 0.4, 0.45, 0.41, 0.42]
    assert len(est.train_epoch_loss_) == 5
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 6
    for epoch, (line, train, val) in enumerate(zip(lines, est.train_epoch_loss_,
                                                   est.valid_epoch_loss_)):
        assert line == (f"Training and Validation losses at epoch {epoch} are "
                        f"{train:0.4f} and {val:0.4f}")
    assert lines[5] == "Validation loss does not improve for 2 epochs. So training is stopped"
    np.testing.assert_array_equal(
        est.coefs_[0], snapshot_after_epoch_1.weights[0][1].detach().numpy().T)


def test_quiet_training_prints_nothing(capsys):
    scripted([0.5, 0.6, 0.7], n_epoch_no_change=0, max_epochs=3).fit(*data())
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("script, patience, epochs_run", [
    ([0.5, 0.5, 0.4], 0, 2),      # equal is no improvement; patience 0 stops at once
    ([0.5, 0.6, 0.7, 0.8], 5, 4),  # patience not exceeded: all epochs run
    ([0.5, 0.4, 0.3], 3, 3),
])
def test_patience(script, patience, epochs_run):
    est = scripted(script, n_epoch_no_change=patience, max_epochs=len(script))
    est.fit(*data())
    assert len(est.valid_epoch_loss_) == epochs_run


def test_when_epochs_run_out_the_last_network_stays():
    est = scripted([0.5, 0.6, 0.7], n_epoch_no_change=10, max_epochs=3)
    est.fit(*data())
    assert est.net_ is not est.best_net_
    assert est.best_net_ is est.log[0][1]


def test_zero_epochs_change_nothing():
    est = scripted([0.5], max_epochs=1)
    est.fit(*data())
    before = (list(est.train_epoch_loss_), list(est.valid_epoch_loss_), est.best_net_,
              est.no_improved_count_)
    est._fit_bp(None, None, 0)
    assert (est.train_epoch_loss_, est.valid_epoch_loss_, est.best_net_,
            est.no_improved_count_) == before


def test_consecutive_calls_restart_the_epoch_index_and_keep_the_lists(capsys):
    est = scripted([0.9, 0.8, 0.7, 0.6, 0.5, 0.4, 0.3], max_epochs=1)
    est.fit(*data())
    capsys.readouterr()
    est.verbose = True
    est._fit_bp(None, None, 3)
    est._fit_bp(None, None, 3)
    epochs = [int(re.search(r"epoch (\d+)", line).group(1))
              for line in capsys.readouterr().out.splitlines()]
    assert epochs == [0, 1, 2, 0, 1, 2]
    assert len(est.train_epoch_loss_) == len(est.valid_epoch_loss_) == 7


def test_float_epoch_count_is_refused_by_range():
    est = scripted([0.5], max_epochs=1)
    est.fit(*data())
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        est._fit_bp(None, None, 2.0)


def test_training_errors_propagate_with_the_loop_in_the_traceback():
    est = RampNetRegressor(hidden_layer_sizes=(3,), max_epochs=2)

    def broken(prediction, labels):
        raise RuntimeError("loss failed")

    est.loss_fn = broken
    with pytest.raises(RuntimeError, match="loss failed") as info:
        est.fit(*data())
    entries = [(e.name, e.lineno + 1) for e in info.traceback]
    assert ("qalvo.models.rampnet.rampnet.RampNet.fit", 424) in entries
    assert any(name == "qalvo.models.rampnet.rampnet.RampNet._fit_bp" and 277 <= line <= 335
               for name, line in entries)
