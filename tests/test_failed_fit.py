"""A fit that raises never leaves a mixed state: either the estimator is as it
was before the call, or (after an interrupt past the first epoch) it is the
partially trained model, published like a completed fit.

Each refit below uses three columns where the previous fit used six, so that
a network of the new data beside weights of the old one shows at once."""

import io
import re
import sys

import numpy as np
import pytest
pytest.importorskip("torch")  # the estimators need it; other Pythons here have none
import torch

from qalvo.models.rampnet.rampnet import RampNetClassifier, RampNetRegressor

RNG = np.random.RandomState(0)
X_OLD = RNG.randn(80, 6)
X_NEW = RNG.randn(80, 3)

# one training and one validation batch per epoch
PARAMS = dict(hidden_layer_sizes=(5,), max_epochs=10, batch_size=100,
              n_epoch_no_change=100)


def target(cls, x):
    y = x.sum(axis=1)
    return y if cls is RampNetRegressor else np.where(y > 0, "up", "down")


def previously_fitted(cls, **params):
    return cls(**{**PARAMS, **params}).fit(X_OLD, target(cls, X_OLD))


def failing_after(est, calls, error):
    """Makes the loss function raise `error` at its call number `calls + 1`
    (two calls per epoch: a training and a validation batch)."""
    loss, made = est.loss_fn, []

    def loss_fn(prediction, labels):
        made.append(1)
        if len(made) > calls:
            raise error
        return loss(prediction, labels)

    est.loss_fn = loss_fn
    return loss


def state(est):
    return dict(vars(est))


def assert_as_before(est, before, predictions):
    after = state(est)
    assert after.keys() == before.keys()
    assert all(after[k] is before[k] for k in before)
    np.testing.assert_array_equal(est.predict(X_OLD), predictions)


def assert_consistent(est, x):
    """Everything published describes `net_`, which takes x's width."""
    assert est.is_fitted_ is True
    assert est.n_features_ == est.n_features_in_ == x.shape[1]
    weights = [w.detach().numpy().T for _, w in est.net_.weights]
    biases = [b.detach().numpy().T for _, b in est.net_.biases]
    assert len(est.coefs_) == len(weights) and len(est.intercepts_) == len(biases)
    for published, own in zip(est.coefs_ + est.intercepts_, weights + biases):
        np.testing.assert_array_equal(published, own)
    est.net_.eval()
    with torch.no_grad():
        raw = est.net_(torch.tensor(x)).numpy().ravel()
    if isinstance(est, RampNetRegressor):
        np.testing.assert_array_equal(est.predict(x), raw)
    else:
        np.testing.assert_array_equal(est.decision_function(x), raw)
        assert set(est.predict(x)) <= set(est.classes_)


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
def test_an_interrupt_in_the_first_epoch_keeps_the_previous_model(cls):
    est = previously_fitted(cls)
    before, predictions = state(est), est.predict(X_OLD)
    failing_after(est, 1, KeyboardInterrupt)  # during the first validation
    with pytest.raises(KeyboardInterrupt):
        est.fit(X_NEW, target(cls, X_NEW))
    est.loss_fn = before["loss_fn"]
    assert_as_before(est, before, predictions)


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
def test_an_interrupt_in_a_later_epoch_keeps_the_partially_trained_model(cls):
    est = previously_fitted(cls)
    failing_after(est, 2 * 3, KeyboardInterrupt)  # in the fourth epoch
    with pytest.raises(KeyboardInterrupt):
        est.fit(X_NEW, target(cls, X_NEW))
    assert len(est.train_epoch_loss_) == len(est.valid_epoch_loss_) == 3
    assert est.coefs_[0].shape == (3, 5)
    assert_consistent(est, X_NEW)


def test_an_interrupt_in_a_sparse_phase_keeps_the_thresholded_model():
    est = previously_fitted(RampNetRegressor, iht=True, phase_epochs=2, max_epochs=8,
                            threshold=0.2)
    # rounds of two dense and two sparse epochs: the seventh epoch is sparse
    failing_after(est, 2 * 6, KeyboardInterrupt)
    with pytest.raises(KeyboardInterrupt):
        est.fit(X_NEW, target(RampNetRegressor, X_NEW))
    assert est.iht_status_ is True and len(est.train_epoch_loss_) == 6
    assert_consistent(est, X_NEW)
    for coef, (name, _) in zip(est.coefs_, est.net_.weights):
        assert np.all(coef[(est.param_fac[name] == 0).numpy().T] == 0)


def test_an_interrupt_leaving_non_finite_weights_keeps_the_previous_model():
    est = previously_fitted(RampNetRegressor)
    before, predictions = state(est), est.predict(X_OLD)
    loss, made = est.loss_fn, []

    def poisoning(prediction, labels):
        made.append(1)
        if len(made) > 4:
            with torch.no_grad():
                est.net_.weights[0][1].fill_(float("nan"))
            raise KeyboardInterrupt
        return loss(prediction, labels)

    est.loss_fn = poisoning
    with pytest.raises(KeyboardInterrupt):
        est.fit(X_NEW, target(RampNetRegressor, X_NEW))
    est.loss_fn = loss
    assert_as_before(est, before, predictions)


class Broken(Exception):
    pass


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
@pytest.mark.parametrize("previous", [True, False], ids=["refit", "first fit"])
def test_a_raising_loss_function_after_some_epochs_leaves_the_estimator_as_it_was(cls,
                                                                                 previous):
    est = previously_fitted(cls) if previous else cls(**PARAMS)
    before = state(est)
    predictions = est.predict(X_OLD) if previous else None
    failing_after(est, 2 * 3, Broken("loss failed"))
    with pytest.raises(Broken, match="loss failed"):
        est.fit(X_NEW, target(cls, X_NEW))
    est.loss_fn = before["loss_fn"]
    if previous:
        assert_as_before(est, before, predictions)
    else:
        assert state(est) == before  # nothing fitted: only the parameters


class ClosingAfter(io.StringIO):
    """An output stream that is closed once it has received `lines` lines, as
    a terminal that goes away in the middle of a fit."""

    def __init__(self, lines):
        super().__init__()
        self.lines = lines

    def write(self, text):
        result = super().write(text)
        self.lines -= text.count("\n")
        if self.lines <= 0:
            self.close()
        return result


@pytest.mark.parametrize("lines", [0, 3], ids=["closed from the start", "closed in epoch 3"])
def test_progress_to_a_closed_stream_leaves_the_estimator_as_it_was(monkeypatch, lines):
    est = previously_fitted(RampNetRegressor)
    before, predictions = state(est), est.predict(X_OLD)
    est.verbose = True
    before["verbose"] = True
    stream = ClosingAfter(lines)
    if not lines:
        stream.close()
    monkeypatch.setattr(sys, "stdout", stream)
    with pytest.raises(ValueError, match="closed file"):
        est.fit(X_NEW, target(RampNetRegressor, X_NEW))
    monkeypatch.undo()
    assert_as_before(est, before, predictions)


def test_the_interrupt_propagates_with_the_training_traceback():
    est = RampNetRegressor(**PARAMS)
    failing_after(est, 2 * 2, KeyboardInterrupt)
    with pytest.raises(KeyboardInterrupt) as info:
        est.fit(X_NEW, target(RampNetRegressor, X_NEW))
    entries = [(e.name, e.lineno + 1) for e in info.traceback]
    assert ("qalvo.models.rampnet.rampnet.RampNet.fit", 424) in entries
    assert "qalvo.models.rampnet.rampnet.RampNet._fit_bp" in [name for name, _ in entries]
    assert_consistent(est, X_NEW)


def test_an_interrupt_while_publishing_keeps_the_fully_trained_model():
    class InterruptedOnce(list):
        raised = False

        def __iter__(self):
            if not self.raised:
                self.raised = True
                raise KeyboardInterrupt
            return super().__iter__()

    class Interrupted(RampNetRegressor):
        def _fit_bp(self, x, y, max_epochs):
            super()._fit_bp(x, y, max_epochs)
            if self.interrupt:
                self.net_.weights = InterruptedOnce(self.net_.weights)

    est = Interrupted(**PARAMS)
    est.interrupt = False
    est.fit(X_OLD, target(RampNetRegressor, X_OLD))
    est.interrupt = True
    with pytest.raises(KeyboardInterrupt):
        est.fit(X_NEW, target(RampNetRegressor, X_NEW))
    assert len(est.train_epoch_loss_) == PARAMS["max_epochs"]
    assert_consistent(est, X_NEW)


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
@pytest.mark.parametrize("params", [dict(max_epochs=0), dict(max_epochs=-3)],
                         ids=["no epoch", "negative"])
def test_a_fit_that_trains_no_epoch_fails_and_keeps_the_previous_model(cls, params):
    est = previously_fitted(cls)
    predictions = est.predict(X_OLD)
    est.set_params(**params)
    before = state(est)
    with pytest.raises(ValueError, match=re.escape(
            f"No training epoch ran (max_epochs={params['max_epochs']}): fit needs at least "
            "one epoch to give a model")):
        est.fit(X_NEW, target(cls, X_NEW))
    assert_as_before(est, before, predictions)
    fresh = cls(**{**PARAMS, **params})
    with pytest.raises(ValueError, match="No training epoch ran"):
        fresh.fit(X_NEW, target(cls, X_NEW))
    assert not hasattr(fresh, "is_fitted_") and not hasattr(fresh, "net_")
