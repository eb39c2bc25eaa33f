"""Thresholding zeroes the optimiser's moment estimates with the weights, so
that the weights masked in a sparse phase stay exactly zero through it."""

import numpy as np
import pytest
pytest.importorskip("torch")  # the estimators need it; other Pythons here have none
import torch

from qalvo.models.rampnet.rampnet import RampNetClassifier, RampNetRegressor


def built(threshold=0.05, sizes=(64, 64), features=5):
    est = RampNetRegressor(hidden_layer_sizes=sizes, threshold=threshold)
    est.n_features_ = features
    est._set_seed()
    est._build_net()
    return est


def adam_steps(est, steps=3):
    """Gives every parameter Adam state, as a dense phase does."""
    generator = torch.Generator().manual_seed(1)
    for _ in range(steps):
        for parameter in est.net_.parameters():
            parameter.grad = torch.randn(parameter.shape, generator=generator,
                                         dtype=torch.float64)
        est.optimizer_.step()


def test_thresholding_zeroes_the_moments_of_zeroed_weights_and_nothing_else():
    est = built()
    adam_steps(est)
    state = est.optimizer_.state
    before = {id(p): {k: v.clone() for k, v in state[p].items()} for p in est.net_.parameters()}
    est._hard_thresholding_weight()

    for name, weight in est.net_.weights:
        zeroed = est.param_fac[name] == 0
        assert 0 < zeroed.sum() < zeroed.numel()
        moments = state[weight]
        for key in ("exp_avg", "exp_avg_sq"):
            assert torch.all(moments[key][zeroed] == 0)
            assert torch.equal(moments[key][~zeroed], before[id(weight)][key][~zeroed])
        assert torch.equal(moments["step"], before[id(weight)]["step"])
    for _, bias in est.net_.biases:  # biases are never thresholded, nor their state
        for key, value in state[bias].items():
            assert torch.equal(value, before[id(bias)][key])


@pytest.mark.parametrize("setup", ["no optimiser", "no state yet", "optimiser without state"])
def test_without_optimiser_state_weights_are_thresholded_as_before(setup):
    est = built(threshold=0.1)
    if setup == "no optimiser":
        del est.optimizer_
    elif setup == "optimiser without state":
        est.optimizer_ = object()
    expected = [w.detach() * (w.detach().abs() > 0.1) for _, w in est.net_.weights]
    est._hard_thresholding_weight()
    for (_, weight), want in zip(est.net_.weights, expected):
        assert torch.equal(weight.detach(), want)
    if setup == "no state yet":
        assert len(est.optimizer_.state) == 0  # looking for state does not create it


def sparse_problem(n=400, d=5):
    rng = np.random.default_rng(0)
    x = rng.normal(size=(n, d))
    return x, x[:, 0] - 2 * x[:, 1] + 0.1 * rng.normal(size=n)


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
def test_masked_weights_stay_exactly_zero_through_each_sparse_phase(cls):
    class Watched(cls):
        def _fit_bp(self, x, y, max_epochs):
            super()._fit_bp(x, y, max_epochs)
            if self.iht_status_:
                zeros = [int((self.param_fac[n] == 0).sum()) for n, _ in self.net_.weights]
                still = [int((w.detach()[self.param_fac[n] == 0] == 0).sum())
                         for n, w in self.net_.weights]
                self.sparse_phases.append((zeros, still))

    x, y = sparse_problem()
    if cls is RampNetClassifier:
        y = (y > 0).astype(int)
    est = Watched(hidden_layer_sizes=(64, 64), iht=True, max_epochs=8, phase_epochs=2,
                  threshold=0.05, n_epoch_no_change=100, batch_size=50)
    est.sparse_phases = []
    est.fit(x, y)
    assert len(est.sparse_phases) == 2
    for zeros, still in est.sparse_phases:
        assert min(zeros) > 0
        assert still == zeros
    # the fit ends in a sparse phase: the published weights keep those zeros
    for coef, (name, _) in zip(est.coefs_, est.net_.weights):
        zeroed = (est.param_fac[name] == 0).numpy().T
        assert np.all(coef[zeroed] == 0)
