"""Where the configuration is not the standard one, the estimators take their
generic path, which calls what was changed; engine_status() says which path
runs and why."""

import sys
import types

import numpy as np
import pytest
pytest.importorskip("torch")  # the estimators need it; other Pythons here have none
import torch

import qalvo.models.rampnet as package
import qalvo.models.rampnet.rampnet as rampnet
from qalvo.models.rampnet import RampNetClassifier, RampNetRegressor, engine_status
from qalvo.models.rampnet import _engine_gate as gate

pytestmark = pytest.mark.skipif(engine_status().path != "engine",
                                reason="the native engine is not available here")

X = np.random.RandomState(0).randn(120, 3)
Y = X @ np.array([1.0, -2.0, 0.5])


def small(**params):
    return RampNetRegressor(**dict(dict(hidden_layer_sizes=(4,), max_epochs=2, batch_size=32),
                                   **params))


def fitted(**params):
    return small(**params).fit(X, Y)


def refit_epoch(est):
    """One more epoch of the fitted estimator's loop."""
    est._fit_bp(None, None, 1)
    return est


def test_engine_status_names_the_path_and_the_environment_variable_forces_the_generic_one(
        monkeypatch):
    assert engine_status() == ("engine", f"native engine built for torch {torch.__version__}")
    monkeypatch.setenv("QALVO_ENGINE", "0")
    assert engine_status().path == "generic"
    assert "QALVO_ENGINE=0" in engine_status().reason
    runs = dict(gate.engine_runs)
    fitted().predict(X)
    assert dict(gate.engine_runs) == runs


def calls_counted(owner, name, monkeypatch):
    """Rebinds owner.name to a wrapper that counts its calls."""
    original = getattr(owner, name)
    calls = []

    def counting(*args, **kwargs):
        calls.append(1)
        return original(*args, **kwargs)

    monkeypatch.setattr(owner, name, counting)
    return calls


def hook_on_the_network(est, monkeypatch):
    calls = []
    est.net_.net[0].register_forward_hook(lambda *args: calls.append(1))
    return calls, "a layer has hooks"


def hook_on_the_optimizer(est, monkeypatch):
    calls = []
    est.optimizer_.register_step_pre_hook(lambda *args: calls.append(1))
    return calls, "the optimiser has step hooks"


def hook_on_a_parameter(est, monkeypatch):
    calls = []
    est.net_.net[0].bias.register_hook(lambda grad: calls.append(1))
    return calls, "net_'s parameters are not plain trainable parameters"


def patched_norm(est, monkeypatch):
    return calls_counted(torch, "norm", monkeypatch), "torch.norm is not the original"


def patched_linear(est, monkeypatch):
    return (calls_counted(torch.nn.functional, "linear", monkeypatch),
            "torch.nn.functional.linear is not the original")


def rebound_torch_global(est, monkeypatch):
    module = types.ModuleType("torch")
    module.__dict__.update(vars(torch))
    calls = []
    module.cat = lambda *args: calls.append(1) or torch.cat(*args)
    monkeypatch.setattr(rampnet, "torch", module)
    return calls, "the module global torch is rebound"


def overridden_validate(est, monkeypatch):
    calls = []

    class Subclass(RampNetRegressor):
        def _check_improvement(self):
            calls.append(1)
            return super()._check_improvement()

    est.__class__ = Subclass
    return calls, "_check_improvement is overridden"


def overridden_gradient_masking(est, monkeypatch):
    calls = []
    original = est._hard_thresholding_gradient
    est.iht_status_ = True
    est._hard_thresholding_weight()
    est._hard_thresholding_gradient = lambda: calls.append(1) or original()
    return calls, "_hard_thresholding_gradient is overridden"


def amsgrad(est, monkeypatch):
    est.optimizer_ = torch.optim.Adam(est.net_.parameters(), lr=0.001, amsgrad=True)
    # the generic step keeps AMSGrad's running maximum
    return (lambda: all("max_exp_avg_sq" in state for state in est.optimizer_.state.values()),
            "the optimiser's settings are not the defaults")


def summed_loss(est, monkeypatch):
    est.loss_fn = torch.nn.MSELoss(reduction="sum")
    mean = est.train_epoch_loss_[-1]
    # a sum over the batch's rows, weighted by the rows again: far above the mean
    return (lambda: est.train_epoch_loss_[-1] > 10 * mean,
            "loss_fn is not a default MSELoss or BCEWithLogitsLoss")


def loader_subclass(est, monkeypatch):
    calls = []

    class Loader(rampnet.FastTensorDataLoader):
        def __next__(self):
            calls.append(1)
            return super().__next__()

    est.train_data_loader_.__class__ = Loader
    return calls, "train_data_loader_ is not a FastTensorDataLoader"


def anomaly_detection(est, monkeypatch):
    monkeypatch.setattr(torch, "is_anomaly_enabled", lambda: True)
    return None, "anomaly detection is on"


def function_mode(est, monkeypatch):
    calls = []

    class Counting(torch.overrides.TorchFunctionMode):
        def __torch_function__(self, func, types, args=(), kwargs=None):
            calls.append(func)
            return func(*args, **(kwargs or {}))

    mode = Counting()
    mode.__enter__()  # left by the test body
    return calls, "a torch function mode is active", mode


FALLBACKS = [hook_on_the_network, hook_on_the_optimizer, hook_on_a_parameter, patched_norm,
             patched_linear, rebound_torch_global, overridden_validate,
             overridden_gradient_masking, amsgrad, summed_loss, loader_subclass,
             anomaly_detection, function_mode]


@pytest.mark.parametrize("change", FALLBACKS, ids=[f.__name__ for f in FALLBACKS])
def test_a_changed_configuration_takes_the_generic_path_which_calls_the_change(
        change, monkeypatch):
    est = fitted()
    assert gate.last_decision["fit"] == "engine"
    calls, reason, *mode = change(est, monkeypatch)
    try:
        refit_epoch(est)
    finally:
        if mode:
            mode[0].__exit__(None, None, None)
    assert gate.last_decision["fit"] == reason
    if calls is not None:  # the generic path ran what was changed
        assert calls() if callable(calls) else calls


def test_the_generic_path_of_a_changed_configuration_still_agrees_with_the_plain_one(
        monkeypatch):
    # An optimiser hook that does nothing: the generic path, same numbers.
    native = fitted()
    native.optimizer_.register_step_pre_hook(lambda *args: None)
    torch.manual_seed(1)
    refit_epoch(native)
    assert gate.last_decision["fit"] == "the optimiser has step hooks"
    plain = fitted()
    torch.manual_seed(1)
    refit_epoch(plain)
    assert gate.last_decision["fit"] == "engine"
    for a, b in zip(native.net_.parameters(), plain.net_.parameters()):
        assert torch.equal(a, b)


def test_grad_mode_off_fails_alike_on_both_paths(monkeypatch):
    with torch.no_grad(), pytest.raises(RuntimeError) as native:
        small().fit(X, Y)
    assert gate.last_decision["fit"] == "grad mode is off"
    monkeypatch.setenv("QALVO_ENGINE", "0")
    with torch.no_grad(), pytest.raises(RuntimeError) as generic:
        small().fit(X, Y)
    assert str(native.value) == str(generic.value)


def test_a_missing_mask_fails_as_on_the_generic_path():
    est = fitted()
    est.iht_status_ = True
    est.param_fac = {}
    with pytest.raises(KeyError):
        refit_epoch(est)
    assert gate.last_decision["fit"] == "param_fac lacks a mask"


def test_a_check_that_fails_leaves_the_error_to_the_generic_path():
    with pytest.raises(AttributeError, match="net_") as error:
        small()._fit_bp(None, None, 1)
    assert gate.last_decision["fit"].startswith("the configuration could not be checked")
    assert [entry.name for entry in error.traceback][-1] == "qalvo.models.rampnet.rampnet.RampNet._fit_bp"


def test_validation_and_prediction_fall_back_on_their_own(monkeypatch):
    est = fitted()
    calls = []
    est.net_.net[0].register_forward_hook(lambda *args: calls.append(1))
    est._validate()
    assert gate.last_decision["validate"] == "a layer has hooks" and calls
    est.predict(X)
    assert gate.last_decision["predict"] == "a layer has hooks"
    est = fitted(batch_size_inference=0)
    with pytest.raises(ZeroDivisionError):  # the generic loader's division
        est.predict(X)
    assert gate.last_decision["predict"] == "the input does not fit the network"


@pytest.mark.parametrize("build, reason", [
    (None, "the native engine is not built"),
    (dict(TORCH_VERSION="0.0.1", CXX11_ABI=int(torch._C._GLIBCXX_USE_CXX11_ABI)),
     "the native engine was built for torch 0.0.1"),
    (dict(TORCH_VERSION=torch.__version__, CXX11_ABI=1 - torch._C._GLIBCXX_USE_CXX11_ABI),
     "the native engine was built with CXX11_ABI"),
])
def test_a_missing_or_foreign_engine_means_the_generic_path(build, reason, monkeypatch):
    name = "qalvo.models.rampnet._engine_build"
    monkeypatch.delattr(package, "_engine_build", raising=False)
    if build is None:
        monkeypatch.setitem(sys.modules, name, None)  # the import fails
    else:
        monkeypatch.setitem(sys.modules, name, types.SimpleNamespace(**build))
    monkeypatch.setattr(gate, "_engine", None)
    monkeypatch.setattr(gate, "_load_reason", None)
    assert gate.load() is None
    status = engine_status()
    assert status.path == "generic" and reason in status.reason
    assert gate.fit_plan(fitted()) is None
    assert reason in gate.last_decision["fit"]


def test_an_engine_failing_to_load_means_the_generic_path(monkeypatch):
    monkeypatch.delattr(package, "_engine", raising=False)
    monkeypatch.setitem(sys.modules, "qalvo.models.rampnet._engine", None)  # import fails
    monkeypatch.setattr(gate, "_engine", None)
    monkeypatch.setattr(gate, "_load_reason", None)
    assert gate.load() is None
    assert engine_status().reason.startswith("the native engine failed to load: ")
