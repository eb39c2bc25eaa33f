"""The fit driver: its order of steps, the bookkeeping it initialises and the
weights it publishes. Training hooks are replaced by recording ones."""

import numpy as np
import pytest
torch = pytest.importorskip("torch")

from qalvo.models.rampnet.rampnet import RampNetClassifier, RampNetRegressor


def recording(cls):
    class Recording(cls):
        calls = []

        def _prepare_data(self, x, y):
            self.calls.append(("_prepare_data", x, y))
            self.n_features_ = np.asarray(x).shape[1]

        def _build_net(self):
            self.calls.append(("_build_net",))
            super()._build_net()

        def _fit_bp(self, x, y, max_epochs):
            self.calls.append(("_fit_bp", x, y, max_epochs))
            assert self.best_net_ is self.net_ and self.iht_status_ is False
            assert (self.best_loss_, self.no_improved_count_) == (np.inf, 0)
            assert self.train_epoch_loss_ == [] and self.valid_epoch_loss_ == []

        def _fit_iht(self, x, y):
            self.calls.append(("_fit_iht", x, y))

    Recording.__name__ = cls.__name__
    return Recording


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
@pytest.mark.parametrize("iht, expected", [(False, "_fit_bp"), (0, "_fit_bp"), (None, "_fit_bp"),
                                           (True, "_fit_iht"), (1, "_fit_iht")])
def test_fit_runs_its_steps_in_order(cls, iht, expected):
    est = recording(cls)(hidden_layer_sizes=(4, 3), max_epochs=7, iht=iht)
    est.calls = []
    x, y = np.zeros((6, 5)), np.zeros(6)
    assert est.fit(x, y) is est
    names = [call[0] for call in est.calls]
    assert names == ["_prepare_data", "_build_net", expected]
    assert est.calls[0][1] is x and est.calls[0][2] is y
    if expected == "_fit_bp":
        assert est.calls[2][3] == 7
    assert est.is_fitted_ is True


def test_published_weights_are_transposed_float64_views_of_the_network():
    est = recording(RampNetRegressor)(hidden_layer_sizes=(40, 40))
    est.fit(np.zeros((6, 5)), np.zeros(6))
    assert [c.shape for c in est.coefs_] == [(5, 40), (40, 40), (40, 1)]
    assert [b.shape for b in est.intercepts_] == [(40,), (40,), (1,)]
    assert all(a.dtype == np.float64 for a in est.coefs_ + est.intercepts_)
    first = est.net_.weights[0][1]
    np.testing.assert_array_equal(est.coefs_[0], first.detach().numpy().T)
    with torch.no_grad():
        first[0, 0] = 123.0
    assert est.coefs_[0][0, 0] == 123.0  # shares storage on the host


def test_linear_model_when_there_are_no_hidden_layers():
    est = recording(RampNetRegressor)(hidden_layer_sizes=())
    est.fit(np.zeros((6, 3)), np.zeros(6))
    assert [c.shape for c in est.coefs_] == [(3, 1)]


def test_refit_failing_in_seeding_keeps_the_previous_fit():
    est = recording(RampNetRegressor)(hidden_layer_sizes=(2,))
    est.fit(np.zeros((6, 3)), np.zeros(6))
    coefs, intercepts = est.coefs_, est.intercepts_
    est.set_params(random_state="bad")
    with pytest.raises(TypeError):
        est.fit(np.zeros((6, 3)), np.zeros(6))
    assert est.is_fitted_ is True
    assert est.coefs_ is coefs and est.intercepts_ is intercepts
