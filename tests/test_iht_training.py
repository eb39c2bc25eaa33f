"""Iterative hard thresholding with real training: masking at every step,
reproducibility, and training that goes on after an early stop."""

import numpy as np
import pytest
torch = pytest.importorskip("torch")

from qalvo.models.rampnet.rampnet import RampNetClassifier, RampNetRegressor


def data(n=200, d=5, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, d))
    y = x[:, 0] - 2 * x[:, 1] + 0.1 * rng.normal(size=n)
    return x, y


PARAMS = dict(hidden_layer_sizes=(8,), max_epochs=40, phase_epochs=5, threshold=0.2,
              learning_rate=0.01, batch_size=32, iht=True)


def test_zeroed_weights_get_exactly_zero_gradients_at_every_sparse_step():
    class Watched(RampNetRegressor):
        def _hard_thresholding_gradient(self):
            super()._hard_thresholding_gradient()
            self.masked_steps += 1
            for name, weight in self.net_.weights:
                zeroed = self.param_fac[name] == 0
                assert zeroed.any()
                assert torch.all(weight.grad[zeroed] == 0)

    est = Watched(**PARAMS, n_epoch_no_change=100)
    est.masked_steps = 0
    est.fit(*data())
    batches_per_epoch = len(est.train_data_loader_)
    # four sparse phases of five epochs each
    assert est.masked_steps == 4 * 5 * batches_per_epoch
    assert est.iht_status_ is True
    assert list(est.param_fac) == [name for name, _ in est.net_.weights]


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
def test_iht_fits_are_reproducible(cls):
    x, y = data()
    if cls is RampNetClassifier:
        y = (y > 0).astype(int)
    first = cls(**PARAMS, random_state=3).fit(x, y)
    np.random.rand(7)
    torch.rand(5)
    second = cls(**PARAMS, random_state=3).fit(x, y)
    for a, b in zip(first.coefs_ + first.intercepts_, second.coefs_ + second.intercepts_):
        np.testing.assert_array_equal(a, b)
    assert first.train_epoch_loss_ == second.train_epoch_loss_
    assert first.valid_epoch_loss_ == second.valid_epoch_loss_


def test_training_continues_on_the_snapshot_installed_by_an_early_stop():
    class Phases(RampNetRegressor):
        def _fit_bp(self, x, y, max_epochs):
            net = self.net_
            optimised = {id(p) for group in self.optimizer_.param_groups for p in group["params"]}
            before = [p.detach().clone() for p in net.parameters()]
            super()._fit_bp(x, y, max_epochs)
            changed = any(not torch.equal(a, p.detach()) for a, p in zip(before, net.parameters()))
            self.phases.append((net, optimised == {id(p) for p in net.parameters()}, changed))

    est = Phases(**PARAMS, n_epoch_no_change=0, random_state=1)
    est.phases = []
    est.fit(*data())
    nets = [net for net, _, _ in est.phases]
    # phases that start on a network installed by the previous phase's early stop
    resumed = [phase for previous, phase in zip(est.phases, est.phases[1:])
               if phase[0] is not previous[0]]
    assert resumed, "no early stop installed a snapshot; the scenario did not happen"
    for net, optimiser_holds_net, changed in resumed:
        assert optimiser_holds_net
        assert changed
    assert len(set(map(id, nets))) > 1
    final = {id(p) for group in est.optimizer_.param_groups for p in group["params"]}
    assert final == {id(p) for p in est.net_.parameters()}


def test_float_phase_epochs_fail_in_the_first_phase():
    est = RampNetRegressor(**{**PARAMS, "phase_epochs": 5.0})
    message = "'float' object cannot be interpreted as an integer"
    with pytest.raises(TypeError, match=message) as info:
        est.fit(*data())
    names = [e.name for e in info.traceback]
    assert names.index("qalvo.models.rampnet.rampnet.RampNet._fit_iht") < names.index(
        "qalvo.models.rampnet.rampnet.RampNet._fit_bp")
    # No epoch ran: the estimator is left as it was before the fit, unfitted.
    assert not [k for k in vars(est) if k.endswith("_")]
