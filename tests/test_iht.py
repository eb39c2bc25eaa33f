"""Iterative hard thresholding: rounds, budget, stopping, weight and gradient masks.

Training phases are scripted by overriding the epoch loop, so each round's
validation loss is chosen by the test."""

import re

import numpy as np
import pytest
torch = pytest.importorskip("torch")

from qalvo.models.rampnet.rampnet import RampNetClassifier, RampNetRegressor

MESSAGE_BUDGET = "Please enter phase_epochs as\n" + " " * 24 + "a multiple of max_epochs"


def scripted(cls=RampNetRegressor, round_losses=(), **params):
    """An estimator whose phases record themselves and report scripted losses."""

    class Scripted(cls):
        def _prepare_data(self, x, y):
            self.n_features_ = np.asarray(x).shape[1]

        def _fit_bp(self, x, y, max_epochs):
            self.phases.append((self.iht_status_, max_epochs))
            rounds_done = len(self.phases) // 2  # the current round's number once it is sparse
            if round_losses:
                loss = round_losses[min(rounds_done, len(round_losses)) - 1]
            else:
                loss = 1.0 / (1 + len(self.phases))  # always improving
            self.valid_epoch_loss_.append(loss)

    est = Scripted(iht=True, **params)
    est.phases = []
    return est


X, Y = np.zeros((8, 3)), np.zeros(8)


@pytest.mark.parametrize("max_epochs, phase_epochs, phases", [
    (1000, 50, [(False, 50), (True, 50)] * 10),
    (1000, 300, [(False, 300), (True, 300)]),
    (1000, 500, [(False, 500), (True, 500)]),
    (1000, 499, [(False, 499), (True, 499)]),
])
def test_rounds_fill_a_budget_of_whole_rounds(max_epochs, phase_epochs, phases):
    est = scripted(max_epochs=max_epochs, phase_epochs=phase_epochs)
    est.fit(X, Y)
    assert est.phases == phases
    assert est.iht_status_ is True


@pytest.mark.parametrize("phase_epochs", [501, 600])
def test_budget_without_a_whole_round_is_refused_before_training(phase_epochs):
    est = scripted(max_epochs=1000, phase_epochs=phase_epochs)
    with pytest.raises(KeyError) as info:
        est.fit(X, Y)
    assert info.value.args == (MESSAGE_BUDGET,)
    assert est.phases == []
    assert not hasattr(est, "param_fac") and not hasattr(est, "is_fitted_")


def test_zero_phase_epochs_fails_with_division_error():
    with pytest.raises(ZeroDivisionError):
        scripted(max_epochs=1000, phase_epochs=0).fit(X, Y)


def test_stop_after_six_rounds_without_improvement(capsys):
    losses = [0.5, 0.6, 0.6, 0.7, 0.55, 0.8, 0.9, 0.1, 0.1, 0.1]
    est = scripted(round_losses=losses, max_epochs=1000, phase_epochs=50, verbose=True)
    snapshots = []
    original = est._hard_thresholding_weight
    est._hard_thresholding_weight = lambda: (snapshots.append(est.best_net_), original())
    est.fit(X, Y)
    assert len(est.phases) == 14  # seven rounds though the budget holds ten
    assert capsys.readouterr().out == (
        "Validation loss does not\n" + " " * 30 + "improve for 6 IHT round.\n"
        + " " * 30 + "So training is stopped\n")
    # the snapshot taken after round 1 (the best) is installed, the very object
    assert est.net_ is est.best_net_
    assert est.best_net_ is snapshots[1]
    assert est.best_net_ is not snapshots[0]


@pytest.mark.parametrize("losses, rounds", [
    ([0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5], 7),          # equal is no improvement
    ([0.5, 0.6, 0.6, 0.6, 0.6, 0.4, 0.6, 0.6, 0.6, 0.6], 10),  # round 6 resets the count
    ([float("nan")] * 7, 6),                  # NaN never improves, not even on infinity
])
def test_round_counting(losses, rounds):
    est = scripted(round_losses=losses, max_epochs=1000, phase_epochs=50)
    if all(np.isnan(losses)):
        # No round ever reached a finite loss: the fit is refused at the end.
        with pytest.raises(ValueError, match="Training produced non-finite losses"):
            est.fit(X, Y)
    else:
        est.fit(X, Y)
    assert len(est.phases) == 2 * rounds


def test_quiet_stop_prints_nothing(capsys):
    scripted(round_losses=[0.5] * 7, max_epochs=1000, phase_epochs=50).fit(X, Y)
    assert capsys.readouterr().out == ""


def built(threshold):
    est = RampNetRegressor(hidden_layer_sizes=(5,), threshold=threshold)
    est.n_features_ = 1
    est._set_seed()
    est._build_net()
    return est


@pytest.mark.parametrize("threshold, values, kept", [
    (0.1, [-0.1, 0.05, 0.1, 0.11, -0.2], [0, 0, 0, 1, 1]),
    (0, [0.0, -0.0, 1e-12, -3.0, 0.5], [0, 0, 1, 1, 1]),
])
def test_weights_at_or_below_threshold_are_zeroed_in_place(threshold, values, kept):
    est = built(threshold)
    first = est.net_.weights[0][1]
    with torch.no_grad():
        first.copy_(torch.tensor(values, dtype=torch.float64).reshape(5, 1))
    parameters = [id(p) for p in est.net_.parameters()]
    biases = [b.detach().clone() for _, b in est.net_.biases]
    est._hard_thresholding_weight()

    assert list(est.param_fac) == [name for name, _ in est.net_.weights]
    mask = est.param_fac["net.0.weight"]
    assert mask.dtype == torch.float64 and mask.device.type == "cpu"
    assert mask.reshape(-1).tolist() == [float(k) for k in kept]
    expected = [v if k else 0.0 for v, k in zip(values, kept)]
    assert first.detach().reshape(-1).tolist() == expected
    assert [id(p) for p in est.net_.parameters()] == parameters  # same parameter objects
    assert all(torch.equal(b, a) for (_, a), b in zip(est.net_.biases, biases))
    for name, weight in est.net_.weights:
        np.testing.assert_array_equal((weight.detach().abs() > threshold).double(),
                                      est.param_fac[name])


def test_gradient_masking_zeroes_exactly_the_masked_entries():
    est = built(0.3)
    est._hard_thresholding_weight()
    for _, weight in est.net_.weights:
        weight.grad = torch.full_like(weight, 2.0)
    est.net_.weights[-1][1].grad = None  # parameters without a gradient are skipped
    est._hard_thresholding_gradient()
    first_name, first = est.net_.weights[0]
    assert torch.equal(first.grad, 2.0 * est.param_fac[first_name])
    assert est.net_.weights[-1][1].grad is None


def test_gradient_masking_before_thresholding_names_the_missing_weight():
    est = built(0.3)
    est.param_fac = {}
    est.net_.weights[0][1].grad = torch.ones_like(est.net_.weights[0][1])
    with pytest.raises(KeyError, match=re.escape("net.0.weight")):
        est._hard_thresholding_gradient()


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
def test_iht_fit_leaves_masks_for_every_weight(cls):
    est = scripted(cls, round_losses=[0.3], hidden_layer_sizes=(4, 4), max_epochs=200,
                   phase_epochs=50)
    est.fit(X, Y)
    assert est.iht_status_ is True
    assert list(est.param_fac) == [n for n, _ in est.net_.weights] == [
        "net.0.weight", "net.2.weight", "net.4.weight"]
