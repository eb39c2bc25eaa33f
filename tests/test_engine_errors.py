"""What the engine does around a batch run (storing the Adam state that the
first step creates, leaving the loader as a pass leaves it) can fail too: the
first error reaches the caller as it was raised, never a SystemError, and the
failed fit leaves the previous model in place."""

import collections
import signal

import numpy as np
import pytest
pytest.importorskip("torch")  # the estimators need it; other Pythons here have none
import torch

import qalvo.models.rampnet.rampnet as rampnet
from qalvo.models.rampnet import RampNetRegressor, engine_status
from qalvo.models.rampnet import _engine_gate as gate

pytestmark = pytest.mark.skipif(engine_status().path != "engine",
                                reason="the native engine is not available here")

RNG = np.random.RandomState(0)
X_OLD, X_NEW = RNG.randn(60, 5), RNG.randn(20000, 3)


class Refused(Exception):
    pass


class RefusingState(collections.defaultdict):
    """An optimiser state that refuses new entries, as the first step makes them."""

    def __missing__(self, key):
        raise Refused("state refused")


class StateRefusing(RampNetRegressor):
    def _build_net(self):
        super()._build_net()
        self.optimizer_.state = RefusingState(dict)


class Interrupting(RampNetRegressor):
    """Runs `during` from a signal handler about 0.2 s into training: inside
    the first epoch's batch run, where the engine polls for signals."""

    during = None

    def _build_net(self):
        super()._build_net()

        def handler(signum, frame):
            type(self).during(self)

        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.2)


@pytest.fixture
def loader_refusing_publication(monkeypatch):
    """Installs, when called, a `tensors` and an `i` on the loader class that
    refuse to be set."""

    def refuse(value):
        raise Refused("loader refused")

    def install(est=None):
        for name in ("tensors", "i"):
            monkeypatch.setattr(rampnet.FastTensorDataLoader, name,
                                property(lambda self: None, lambda self, value: refuse(value)),
                                raising=False)

    install.undo = monkeypatch.undo
    yield install
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, signal.SIG_DFL)


def previous_model(cls):
    """A fitted estimator, whose next fit runs as `cls` (a subclass) does."""
    est = RampNetRegressor(hidden_layer_sizes=(4,), max_epochs=2, batch_size=1)
    est.fit(X_OLD, X_OLD.sum(axis=1))
    est.__class__ = cls
    est.max_epochs = 100  # a long fit: the signal arrives during training
    return est, dict(vars(est)), est.predict(X_OLD)


def assert_previous_model(est, before, predictions):
    assert vars(est).keys() == before.keys()
    assert all(vars(est)[k] is before[k] for k in before)
    np.testing.assert_array_equal(est.predict(X_OLD), predictions)


def test_a_refused_adam_state_reaches_the_caller_and_keeps_the_previous_model():
    est, before, predictions = previous_model(StateRefusing)
    with pytest.raises(Refused, match="state refused"):
        est.fit(X_NEW[:300], X_NEW[:300].sum(axis=1))
    assert gate.last_decision["fit"] == "engine"
    assert_previous_model(est, before, predictions)


def test_a_loader_refusing_its_new_state_reaches_the_caller(loader_refusing_publication):
    est, before, predictions = previous_model(Interrupting)
    Interrupting.during = loader_refusing_publication
    with pytest.raises(Refused, match="loader refused"):
        est.fit(X_NEW, X_NEW.sum(axis=1))
    assert gate.last_decision["fit"] == "engine"
    loader_refusing_publication.undo()
    assert_previous_model(est, before, predictions)


def test_a_failing_batch_run_wins_over_a_failing_publication(loader_refusing_publication):
    est, before, predictions = previous_model(Interrupting)

    def break_both(est):
        loader_refusing_publication()
        with torch.no_grad():  # the engine's next batch fails in the first layer
            est.net_.net[0].weight.data = torch.zeros(4, 2, dtype=torch.float64)

    Interrupting.during = break_both
    with pytest.raises(RuntimeError, match="shapes cannot be multiplied"):
        est.fit(X_NEW, X_NEW.sum(axis=1))
    assert gate.last_decision["fit"] == "engine"
    loader_refusing_publication.undo()
    assert_previous_model(est, before, predictions)
