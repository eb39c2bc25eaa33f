"""The engine's rule: it runs only where it honours every customisation point
the estimator offers (the module's globals and classes as loaded, overrides
in subclasses and instances, the estimator's own objects with their exact
types, hooks and settings, torch's global state). Each point, when used, takes
the generic path, which calls the user's code; engine_status() and the gate's
last decision say which path ran and why. Patches of torch's own functions
are declared not honoured: QALVO_ENGINE=0 runs them."""

import collections
import contextlib
import copy
import types
import warnings

import numpy as np
import pytest
pytest.importorskip("torch")  # the estimators need it; other Pythons here have none
import torch
from torch.optim.optimizer import register_optimizer_step_pre_hook
from torch.utils._python_dispatch import TorchDispatchMode

import qalvo.models.rampnet.rampnet as rampnet
from qalvo.models.rampnet import RampNetClassifier, RampNetRegressor, engine_status
from qalvo.models.rampnet import _engine_gate as gate

pytestmark = pytest.mark.skipif(engine_status().path != "engine",
                                reason="the native engine is not available here")

X = np.random.RandomState(0).randn(120, 3)
Y = X @ np.array([1.0, -2.0, 0.5])
MODULE_CLASSES = [rampnet.FastTensorDataLoader, rampnet.RampNetModule, rampnet.RampNet,
                  RampNetRegressor, RampNetClassifier]
# Every name the module binds at import (its methods look each up at call time).
MODULE_GLOBALS = sorted(name for name in vars(rampnet)
                        if not name.startswith("__") or name == "__test__")


def small(cls=RampNetRegressor, **params):
    return cls(**dict(dict(hidden_layer_sizes=(4,), max_epochs=2, batch_size=32), **params))


def fitted(**params):
    est = small(**params).fit(X, Y)
    assert gate.last_decision["fit"] == "engine"
    return est


def refit_epoch(est):
    """One more epoch of the fitted estimator's loop."""
    est._fit_bp(None, None, 1)
    return est


class Check:
    """A condition on the state after the change, in place of a recorded call."""

    def __init__(self, holds):
        self.holds = holds


def counting(function, calls):
    def counted(*args, **kwargs):
        calls.append(1)
        return function(*args, **kwargs)
    return counted


# ---- what the module bound and created --------------------------------------------------------

def stand_in(value):
    """Another object that behaves like `value`."""
    if isinstance(value, type):
        return type(value)(value.__name__, (value,), {})
    if isinstance(value, types.ModuleType):
        module = types.ModuleType(value.__name__)
        module.__dict__.update(vars(value))
        return module
    if callable(value):
        return counting(value, [])
    return copy.copy(value)


@pytest.mark.parametrize("name", MODULE_GLOBALS)
def test_every_global_of_the_module_rebound_means_the_generic_path(name, monkeypatch):
    est = fitted()
    monkeypatch.setattr(rampnet, name, stand_in(getattr(rampnet, name)))
    for what in ("fit", "validate", "predict"):
        assert gate._refusal(est, what) == f"the module global {name} is rebound"


@pytest.mark.parametrize("cls, name", [(cls, name) for cls in MODULE_CLASSES
                                       for name, value in vars(cls).items() if callable(value)],
                         ids=lambda v: getattr(v, "__name__", v))
def test_every_method_replaced_on_a_class_of_the_module_means_the_generic_path(
        cls, name, monkeypatch):
    est = fitted()
    monkeypatch.setattr(cls, name, counting(vars(cls)[name], []))
    assert gate._refusal(est, "fit") == f"{cls.__name__} is not as the module created it"


def test_a_method_added_to_a_class_of_the_module_is_honoured(monkeypatch):
    est = fitted()
    calls = []
    monkeypatch.setattr(rampnet.RampNetModule, "__call__",
                        counting(torch.nn.Module.__call__, calls), raising=False)
    refit_epoch(est)
    assert gate.last_decision["fit"] == "RampNetModule is not as the module created it"
    assert calls


def test_the_torch_global_rebound_is_called(monkeypatch):
    est = fitted()
    calls = []
    module = types.ModuleType("torch")
    module.__dict__.update(vars(torch))
    module.cat = counting(torch.cat, calls)
    monkeypatch.setattr(rampnet, "torch", module)
    refit_epoch(est)
    assert gate.last_decision["fit"] == "the module global torch is rebound" and calls


def test_prediction_builds_its_batches_with_a_rebound_loader_class(monkeypatch):
    est = fitted()
    calls = []

    class Loader(rampnet.FastTensorDataLoader):
        def __next__(self):
            calls.append(1)
            return super().__next__()

    monkeypatch.setattr(rampnet, "FastTensorDataLoader", Loader)
    expected = est.predict(X)
    assert gate.last_decision["predict"] == "the module global FastTensorDataLoader is rebound"
    assert calls
    monkeypatch.undo()
    np.testing.assert_array_equal(est.predict(X), expected)
    assert gate.last_decision["predict"] == "engine"


# ---- overrides in subclasses and instances ---------------------------------------------------

def with_masks(est):
    est.iht_status_ = True
    est._hard_thresholding_weight()


def masking_overridden_in_a_subclass(est, calls):
    class Masking(RampNetRegressor):
        def _hard_thresholding_gradient(self):
            calls.append(1)
            return super()._hard_thresholding_gradient()

    with_masks(est)
    est.__class__ = Masking
    return "_hard_thresholding_gradient is overridden"


def masking_overridden_on_the_instance(est, calls):
    with_masks(est)
    est._hard_thresholding_gradient = counting(est._hard_thresholding_gradient, calls)
    return "_hard_thresholding_gradient is overridden"


def attribute_reads_overridden(est, calls):
    class Reading(RampNetRegressor):
        def __getattribute__(self, name):
            calls.append(name)
            return super().__getattribute__(name)

    est.__class__ = Reading
    return "__getattribute__ is overridden"


# ---- the estimator's objects ------------------------------------------------------------------

def layer_forward_hook(est, calls):
    est.net_.net[0].register_forward_hook(lambda *args: calls.append(1))
    return "a layer has hooks"


def network_pre_hook(est, calls):
    est.net_.register_forward_pre_hook(lambda *args: calls.append(1))
    return "net_ is not the network that _build_net makes"


def layer_backward_hook(est, calls):
    est.net_.net[0].register_full_backward_hook(lambda *args: calls.append(1))
    return "a layer has hooks"


def layer_forward_on_the_instance(est, calls):
    layer = est.net_.net[0]
    layer.forward = counting(layer.forward, calls)
    return "a layer has hooks"


def layer_subclass(est, calls):
    class Linear(torch.nn.Linear):
        def forward(self, x):
            calls.append(1)
            return super().forward(x)

    est.net_.net[0].__class__ = Linear
    return "net_ holds a Linear the engine does not run"


def network_subclass(est, calls):
    class Network(rampnet.RampNetModule):
        def forward(self, x):
            calls.append(1)
            return super().forward(x)

    est.net_.__class__ = Network
    return "net_ is not a RampNetModule"


def global_module_hook(est, calls):
    handle = torch.nn.modules.module.register_module_forward_hook(
        lambda *args: calls.append(1))
    return "global module hooks are registered", handle


def parameter_hook(est, calls):
    est.net_.net[0].bias.register_hook(lambda grad: calls.append(1))
    return "net_'s parameters are not plain trainable parameters"


def parameter_post_accumulate_hook(est, calls):
    est.net_.net[0].weight.register_post_accumulate_grad_hook(lambda p: calls.append(1))
    return "net_'s parameters are not plain trainable parameters"


def optimizer_step_hook(est, calls):
    est.optimizer_.register_step_post_hook(lambda *args: calls.append(1))
    return "the optimiser has step hooks"


def global_optimizer_hook(est, calls):
    handle = register_optimizer_step_pre_hook(
        lambda *args: calls.append(1))
    return "the optimiser has step hooks", handle


def optimizer_step_on_the_instance(est, calls):
    est.optimizer_.step = counting(est.optimizer_.step, calls)
    return "the optimiser is modified"


def optimizer_subclass(est, calls):
    class Adam(torch.optim.Adam):
        def step(self, closure=None):
            calls.append(1)
            return super().step(closure)

    est.optimizer_.__class__ = Adam
    return "optimizer_ is not a torch.optim.Adam"


def amsgrad(est, calls):
    est.optimizer_ = torch.optim.Adam(est.net_.parameters(), lr=0.001, amsgrad=True)
    calls.append(Check(lambda: all("max_exp_avg_sq" in state
                                   for state in est.optimizer_.state.values())))
    return "the optimiser's settings are not the defaults"


def two_parameter_groups(est, calls):
    weights, biases = [p for n, p in est.net_.named_parameters() if "weight" in n], \
        [p for n, p in est.net_.named_parameters() if "bias" in n]
    est.optimizer_ = torch.optim.Adam([{"params": weights}, {"params": biases, "lr": 0.1}])
    calls.append(Check(lambda: est.optimizer_.state))
    return "the optimiser is not the one _build_net makes"


def loss_subclass(est, calls):
    class Loss(torch.nn.MSELoss):
        def forward(self, a, b):
            calls.append(1)
            return super().forward(a, b)

    est.loss_fn = Loss()
    return "loss_fn is not a default MSELoss or BCEWithLogitsLoss"


def summed_loss(est, calls):
    est.loss_fn = torch.nn.MSELoss(reduction="sum")
    mean = est.train_epoch_loss_[-1]
    # a sum over the batch's rows, weighted by the rows again: far above the mean
    calls.append(Check(lambda: est.train_epoch_loss_[-1] > 10 * mean))
    return "loss_fn is not a default MSELoss or BCEWithLogitsLoss"


def training_loader_subclass(est, calls):
    class Loader(rampnet.FastTensorDataLoader):
        def __next__(self):
            calls.append(1)
            return super().__next__()

    est.train_data_loader_.__class__ = Loader
    return "train_data_loader_ is not a FastTensorDataLoader"


def validation_loader_subclass(est, calls):
    training_loader_subclass(est, calls)
    est.train_data_loader_.__class__ = rampnet.FastTensorDataLoader
    est.val_data_loader_.__class__ = type(est.train_data_loader_).__mro__[0].__class__(
        "Loader", (rampnet.FastTensorDataLoader,),
        {"__next__": lambda self: calls.append(1) or rampnet.FastTensorDataLoader.__next__(self)})
    return "val_data_loader_ is not a FastTensorDataLoader"


# ---- torch's state ----------------------------------------------------------------------------

def anomaly_detection(est, calls):
    return "anomaly detection is on", torch.autograd.set_detect_anomaly(True)


def deterministic_algorithms(est, calls):
    torch.use_deterministic_algorithms(True)
    return "deterministic algorithms are on", contextlib.closing(
        types.SimpleNamespace(close=lambda: torch.use_deterministic_algorithms(False)))


def float64_by_default(est, calls):
    torch.set_default_dtype(torch.float64)
    return "the default dtype is not float32", contextlib.closing(
        types.SimpleNamespace(close=lambda: torch.set_default_dtype(torch.float32)))


def autocast(est, calls):
    return "autocast is on", torch.autocast("cpu", dtype=torch.bfloat16)


def function_mode(est, calls):
    class Counting(torch.overrides.TorchFunctionMode):
        def __torch_function__(self, func, types, args=(), kwargs=None):
            calls.append(func)
            return func(*args, **(kwargs or {}))

    return "a torch function mode is active", Counting()


def dispatch_mode(est, calls):
    class Counting(TorchDispatchMode):
        def __torch_dispatch__(self, func, types, args=(), kwargs=None):
            calls.append(func)
            return func(*args, **(kwargs or {}))

    return "a dispatch mode is active", Counting()


def saved_tensor_hooks(est, calls):
    return "saved-tensor hooks are active", torch.autograd.graph.saved_tensors_hooks(
        lambda t: calls.append(1) or t, lambda t: t)


def kernel_registered_from_python(est, calls):
    library = torch.library.Library("aten", "IMPL")
    relu = torch.ops.aten.relu.default

    def recording_relu(x):
        calls.append(1)
        with torch._C._AutoDispatchBelowAutograd():
            return torch.clamp_min(x, 0)

    with warnings.catch_warnings():  # torch may warn that a kernel is overridden
        warnings.simplefilter("ignore")
        library.impl("relu", recording_relu, "CPU")
    assert relu is torch.ops.aten.relu.default
    return "a kernel for aten::relu is registered from Python", contextlib.closing(
        types.SimpleNamespace(close=library._destroy))


# torch states that call no code of the user's: the decision and the count of
# engine runs show which path ran.
WITHOUT_USER_CODE = {anomaly_detection, deterministic_algorithms, float64_by_default, autocast}
HONOURED = [masking_overridden_in_a_subclass, masking_overridden_on_the_instance,
            attribute_reads_overridden, layer_forward_hook, network_pre_hook,
            layer_backward_hook, layer_forward_on_the_instance, layer_subclass,
            network_subclass, global_module_hook, parameter_hook,
            parameter_post_accumulate_hook, optimizer_step_hook, global_optimizer_hook,
            optimizer_step_on_the_instance, optimizer_subclass, amsgrad, two_parameter_groups,
            loss_subclass, summed_loss, training_loader_subclass, validation_loader_subclass,
            anomaly_detection, deterministic_algorithms, float64_by_default, autocast,
            function_mode, dispatch_mode, saved_tensor_hooks, kernel_registered_from_python]


def applied(change, est, calls):
    """The change made to est: its refusal reason and the scope it holds (a
    context manager, a hook handle, or nothing)."""
    result = change(est, calls)
    reason, scope = (result, None) if isinstance(result, str) else result
    if scope is None:
        return reason, contextlib.nullcontext()
    if hasattr(scope, "remove"):  # a hook handle
        return reason, contextlib.closing(types.SimpleNamespace(close=scope.remove))
    return reason, scope


@pytest.mark.parametrize("change", HONOURED, ids=[f.__name__ for f in HONOURED])
def test_a_customisation_takes_the_generic_path_which_calls_it(change):
    est = fitted()
    calls = []
    reason, scope = applied(change, est, calls)
    runs = gate.engine_runs["fit"]
    with scope:
        refit_epoch(est)
    assert gate.last_decision["fit"] == reason and gate.engine_runs["fit"] == runs
    assert all(c.holds() for c in calls if isinstance(c, Check))
    assert calls or change in WITHOUT_USER_CODE  # the generic path ran the user's code


@pytest.mark.parametrize("change", [saved_tensor_hooks, function_mode, layer_forward_hook,
                                    network_subclass], ids=lambda f: f.__name__)
def test_prediction_honours_the_same_points(change):
    est = fitted()
    calls = []
    reason, scope = applied(change, est, calls)
    with scope:
        est.predict(X)
    assert gate.last_decision["predict"] == reason and calls


def test_inference_mode_predicts_on_the_generic_path():
    est = fitted()
    expected = est.predict(X)
    with torch.inference_mode():
        np.testing.assert_array_equal(est.predict(X), expected)
    assert gate.last_decision["predict"] == "inference mode is on"


def test_patching_torchs_own_functions_is_not_seen_unless_the_engine_is_off(monkeypatch):
    est = fitted()
    calls = []
    monkeypatch.setattr(torch.nn.functional, "linear",
                        counting(torch.nn.functional.linear, calls))
    refit_epoch(est)
    assert gate.last_decision["fit"] == "engine" and not calls
    monkeypatch.setenv("QALVO_ENGINE", "0")
    refit_epoch(est)
    assert calls


# ---- changes during a fit ---------------------------------------------------------------------

class Decaying(RampNetRegressor):
    """Halves the learning rate after every epoch, as a scheduler would."""

    def _check_improvement(self):
        super()._check_improvement()
        self.optimizer_.param_groups[0]["lr"] /= 2


class Reinitialising(RampNetRegressor):
    """Replaces the first layer's weight by a new parameter after the first epoch."""

    def _check_improvement(self):
        super()._check_improvement()
        if len(self.valid_epoch_loss_) == 1:
            layer = self.net_.net[0]
            layer.weight = torch.nn.Parameter(torch.zeros_like(layer.weight))
            self.optimizer_ = torch.optim.Adam(self.net_.parameters(), lr=self.learning_rate)
            self.net_.get_params()


class ResettingAdam(RampNetRegressor):
    """Forgets Adam's moments after the second epoch, as a warm restart would."""

    def _check_improvement(self):
        super()._check_improvement()
        if len(self.valid_epoch_loss_) == 2:
            self.optimizer_.state = collections.defaultdict(dict)


@pytest.mark.parametrize("cls, reason", [(Decaying, "engine"),
                                         (Reinitialising, "net_ changed during the fit"),
                                         (ResettingAdam, "optimizer_ changed during the fit")])
def test_changes_made_between_epochs_are_seen(cls, reason, monkeypatch):
    class Recording(cls):
        """Keeps the decision that each epoch's training ran under."""

        def _check_improvement(self):
            self.decisions.append(gate.last_decision["fit"])
            super()._check_improvement()

    params = dict(hidden_layer_sizes=(4,), max_epochs=4, batch_size=32)
    native = Recording(**params)
    native.decisions = []
    native.fit(X, Y)
    monkeypatch.setenv("QALVO_ENGINE", "0")
    generic = cls(**params).fit(X, Y)
    # the same numbers as the generic path, which reads every change at once
    assert native.valid_epoch_loss_ == generic.valid_epoch_loss_
    for a, b in zip(native.net_.parameters(), generic.net_.parameters()):
        assert torch.equal(a, b)
    assert native.decisions[0] == "engine" and reason in native.decisions
    if reason != "engine":  # after the epoch that noticed, the engine runs again
        assert native.decisions[-1] == "engine"


def test_the_generic_path_of_a_changed_configuration_still_agrees_with_the_plain_one():
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


def test_the_environment_variable_forces_the_generic_path(monkeypatch):
    assert engine_status() == ("engine", f"native engine built for torch {torch.__version__}")
    monkeypatch.setenv("QALVO_ENGINE", "0")
    assert engine_status().path == "generic"
    assert "QALVO_ENGINE=0" in engine_status().reason
    runs = dict(gate.engine_runs)
    small().fit(X, Y).predict(X)
    assert dict(gate.engine_runs) == runs
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
