"""When the native training engine may run.

The engine (a compiled module per torch release it was built for, such as
``_engine_2_13_0_cpu``; ``_engine_build.py`` lists them) runs the batch loops of
``RampNet._fit_bp``, ``_validate`` and ``get_raw_output`` in C++ on the very
tensors Python holds, with bit for bit the results of the generic path. It
runs only where it honours every customisation point the estimator offers:

- every name the estimator's methods look up in the ``rampnet`` module
  (``torch``, ``np``, ``FastTensorDataLoader``, ...) still bound to what the
  module bound when it was imported;
- the module's own classes with the methods they were created with, and no
  subclass or instance overriding a method that the loops call, nor attribute
  access itself;
- the estimator's objects as ``fit`` builds them: ``net_`` a ``RampNetModule``
  of exactly ``Linear``, ``ReLU`` and ``Dropout`` layers, ``loss_fn`` a
  default ``MSELoss`` or ``BCEWithLogitsLoss``, ``optimizer_`` a default
  ``torch.optim.Adam`` with one parameter group over ``net_``'s parameters,
  the loaders ``FastTensorDataLoader`` objects; exact types, no hooks of any
  kind (module, global, optimiser, parameter), no method overridden on an
  instance;
- torch in its default state: grad mode on while training, no inference,
  anomaly or deterministic mode, the default dtype float32 and device CPU, no
  autocast, no ``TorchFunctionMode`` or ``TorchDispatchMode``, no profiler,
  tracer or saved-tensor hooks, and no kernel registered from Python (through
  ``torch.library``) for an operator the engine calls.

Anything else takes the generic path, which calls what was changed. Patching
torch's own Python functions (``torch.relu = ...``) is not seen: such a patch
is outside what the estimator offers, and no list of torch internals stays
complete from one torch release to the next. Set ``QALVO_ENGINE=0`` to run
such patches. The decision is taken once per ``_fit_bp`` call (it covers the
validation passes too), and once per prediction.
"""

import collections
import importlib
import os
import warnings

import numpy as np
import torch
import torch.nn.modules.module as _module_hooks
import torch.optim.optimizer as _optimizer_hooks
from torch import nn

from qalvo import EngineUnavailableWarning

from . import rampnet as _rampnet
from ._verified_torch import VERIFIED, is_verified, public_version

EngineStatus = collections.namedtuple("EngineStatus", "path reason")

# What each kind of call decided last: "engine", or why the generic path ran;
# and how often the engine ran each kind.
last_decision = {"fit": None, "validate": None, "predict": None}
engine_runs = collections.Counter()

_engine = None
_load_reason = None  # why the engine cannot run here, once load() found out
_load_fix = None     # the command that fixes it
_warned = False

# What the module bound and created at import, handed over by the module
# itself (attach) before anyone could rebind it.
_loaded_globals = None
_created_classes = None

# The loops call these methods of the estimator (IHT's gradient mask) and
# read its attributes on every batch.
_LOOP_METHODS = ("_hard_thresholding_gradient", "__getattribute__", "__setattr__")
# What the interpreter itself caches on a class (copyreg, for copies and pickles).
_RUNTIME_CACHES = frozenset({"__slotnames__"})
_MODULE_OVERRIDES = {"forward", "_call_impl", "_wrapped_call_impl", "train", "eval",
                     "__call__", "_apply", "parameters", "named_parameters"}
_OPTIMIZER_OVERRIDES = {"step", "zero_grad", "_init_group", "__setstate__"}
_ADAM_GROUP = {"betas": (0.9, 0.999), "eps": 1e-08, "weight_decay": 0, "amsgrad": False,
               "maximize": False, "foreach": None, "capturable": False,
               "differentiable": False, "fused": None, "decoupled_weight_decay": False}
# ATen operators the engine's loops call (for the check of kernels that
# Python code registered through torch.library).
_ENGINE_OPERATORS = frozenset("""
    linear addmm mm matmul t transpose relu relu_ threshold_backward dropout bernoulli
    bernoulli_ empty_like div div_ mul mul_ mse_loss mse_loss_backward
    binary_cross_entropy_with_logits sigmoid sub sub_ rsub broadcast_tensors expand randperm
    index slice ravel reshape view _unsafe_view sum sum_to sgn sign ones_like zeros zeros_like
    lerp lerp_ addcmul addcmul_ addcdiv addcdiv_ sqrt add add_ copy_ new_empty detach
    _to_copy to clone squeeze unsqueeze vstack cat
""".split())


def attach(loaded_globals, created_classes):
    """Takes the module's globals as bound at import and its classes' namespaces
    as created (called once by the module when it first needs the engine)."""
    global _loaded_globals, _created_classes
    _loaded_globals = dict(loaded_globals)
    _created_classes = {cls: dict(namespace) for cls, namespace in created_classes.items()}


def _forced_off():
    return os.environ.get("QALVO_ENGINE") == "0"


_REINSTALL = ("reinstall qalvo in this environment, so that its engine is built for the torch "
              "installed here: pip install --force-reinstall --no-deps --no-binary qalvo qalvo "
              "(from a clone: pip install --force-reinstall --no-deps .)")
_VERIFIED_TORCH = ("install a torch release the engine is verified on: "
                   + " or ".join(f"pip install torch=={v}" for v in VERIFIED))


def _unavailable(reason, fix):
    global _load_reason, _load_fix
    _load_reason, _load_fix = reason, fix


def _not_built_fix(reasons):
    if any("QALVO_ENGINE=OFF" in reason for reason in reasons):
        return "reinstall qalvo without QALVO_ENGINE=OFF"
    if any("C++ compiler" in reason for reason in reasons):
        return "install a C++20 compiler that builds against torch (g++ 10 or newer), then " \
            + _REINSTALL
    if any("is not a release the engine is verified on" in reason for reason in reasons):
        return _VERIFIED_TORCH + ", then " + _REINSTALL
    return "install torch first, then " + _REINSTALL


def load():
    """The engine module for the running torch, loaded on first use; None
    where it cannot run here (engine_status() says why)."""
    global _engine
    if _engine is not None or _load_reason is not None:
        return _engine
    try:
        from . import _engine_build as build
    except ImportError:
        _unavailable("the native engine is not built (qalvo was not installed by its own "
                     "build)", _REINSTALL)
        return None
    running = torch.__version__
    # The engine of this release: built for this very torch, or for another
    # build of the same release (+cpu, +cu130: the same sources and C++ API;
    # an engine that does not load there is reported, never run).
    entry = build.ENGINES.get(running) or next(
        (engine for version, engine in build.ENGINES.items()
         if public_version(version) == public_version(running)), None)
    runtime_abi = int(torch._C._GLIBCXX_USE_CXX11_ABI)
    if not is_verified(running):
        _unavailable(f"torch {running} is not a release the native engine is verified on "
                     f"({', '.join(VERIFIED)})", _VERIFIED_TORCH)
    elif entry is None and build.ENGINES:
        _unavailable(f"the native engine was built for torch {', '.join(build.ENGINES)}, but "
                     f"torch {running} is running", _REINSTALL)
    elif entry is None:
        _unavailable("the native engine was not built: " + "; ".join(build.NOT_BUILT),
                     _not_built_fix(build.NOT_BUILT))
    elif entry[1] != runtime_abi:
        _unavailable(f"the native engine was built with CXX11_ABI={entry[1]}, torch uses "
                     f"{runtime_abi}", _REINSTALL)
    else:
        try:
            _engine = importlib.import_module(f".{entry[0]}", __package__)
        except Exception as error:  # a broken or foreign build: the generic path is sound
            _unavailable(f"the native engine failed to load: {error!r}", _REINSTALL)
    return _engine


def warn_unavailable():
    """At the first fit of the process: one EngineUnavailableWarning where the
    engine cannot run (not where QALVO_ENGINE=0 turned it off on purpose)."""
    global _warned
    if _warned or _forced_off() or load() is not None:
        return
    _warned = True
    warnings.warn(f"qalvo's native training engine is unavailable, so fits take the slower "
                  f"generic path: {_load_reason}. To fix it, {_load_fix}.",
                  EngineUnavailableWarning, stacklevel=2)


def engine_status():
    """Which path the estimators' batch loops take in this process, and why.

    Returns
    -------
    EngineStatus
        ``path`` is "engine" (the native training engine runs the batch loops
        of the standard configuration) or "generic" (torch's Python API, as
        always); ``reason`` says why.
    """
    if _forced_off():
        return EngineStatus("generic", "forced off by the environment variable QALVO_ENGINE=0")
    if load() is None:
        return EngineStatus("generic", _load_reason)
    return EngineStatus("engine", f"native engine built for torch {_engine.TORCH_VERSION}")


# ---- the rule -------------------------------------------------------------------------------

def _module_refusal():
    """A module global rebound or a class of the module changed since import."""
    if _loaded_globals is None:
        return "the module's globals at import are unknown"
    namespace = vars(_rampnet)
    for name, value in _loaded_globals.items():
        if namespace.get(name, _loaded_globals) is not value:
            return f"the module global {name} is rebound"
    for cls, created in _created_classes.items():
        current = vars(cls)
        added = current.keys() - created.keys() - _RUNTIME_CACHES
        if added or any(current.get(name, created) is not value
                        for name, value in created.items()):
            return f"{cls.__name__} is not as the module created it"
    return None


def _estimator_refusal(est):
    """A subclass or the instance overriding what the loops call."""
    base = _rampnet.RampNet
    for name in _LOOP_METHODS:
        if name in vars(est) or getattr(type(est), name) is not getattr(base, name):
            return f"{name} is overridden"
    return None


def _torch_refusal(training, device):
    """Why torch's global state would make the generic path do otherwise."""
    if training and not torch.is_grad_enabled():
        return "grad mode is off"
    if torch.is_inference_mode_enabled():
        return "inference mode is on"
    if torch.is_anomaly_enabled():
        return "anomaly detection is on"
    if torch.are_deterministic_algorithms_enabled():
        return "deterministic algorithms are on"
    if torch.get_default_dtype() is not torch.float32:
        return "the default dtype is not float32"
    if torch._C._is_torch_function_mode_enabled():
        return "a torch function mode is active"
    if torch._C._len_torch_dispatch_stack():
        return "a dispatch mode is active"
    if torch.get_default_device().type != "cpu":
        return "the default device is not the CPU"
    if any(torch.is_autocast_enabled(kind) for kind in {"cpu", device.type}):
        return "autocast is on"
    if torch.autograd.profiler._is_profiler_enabled or torch._C._get_tracing_state():
        return "the profiler or the tracer is on"
    if torch._C._autograd._top_saved_tensors_default_hooks(True) is not None:
        return "saved-tensor hooks are active"
    for key in torch.library._impls:
        namespace, operator, dispatch_key = key.split("/")
        if (namespace == "aten" and dispatch_key != "Meta"
                and operator.split(".")[0] in _ENGINE_OPERATORS):
            return f"a kernel for aten::{operator} is registered from Python"
    return None


def _hooked(module):
    return bool(module._forward_hooks or module._forward_pre_hooks or module._backward_hooks
                or module._backward_pre_hooks or module._state_dict_hooks
                or getattr(module, "_compiled_call_impl", None) is not None
                or not _MODULE_OVERRIDES.isdisjoint(vars(module)))


def _network_refusal(net):
    if type(net) is not _created_network_class():
        return "net_ is not a RampNetModule"
    if any(getattr(_module_hooks, name) for name in (
            "_global_forward_hooks", "_global_forward_pre_hooks", "_global_backward_hooks",
            "_global_backward_pre_hooks")):
        return "global module hooks are registered"
    sequential = net._modules.get("net")
    if type(sequential) is not nn.Sequential or _hooked(net) or _hooked(sequential):
        return "net_ is not the network that _build_net makes"
    for layer in sequential._modules.values():
        kind = type(layer)
        if _hooked(layer):
            return "a layer has hooks"
        if not (kind is nn.Linear and layer.bias is not None
                or kind in (nn.ReLU, nn.Dropout) and not layer.inplace):
            return f"net_ holds a {kind.__name__} the engine does not run"
    return None


def _created_network_class():
    return _loaded_globals["RampNetModule"]


def _loss_refusal(loss_fn):
    kind = type(loss_fn)
    if kind not in (nn.MSELoss, nn.BCEWithLogitsLoss) or _hooked(loss_fn) \
            or loss_fn.reduction != "mean" or (kind is nn.BCEWithLogitsLoss and (
                loss_fn.weight is not None or loss_fn.pos_weight is not None)):
        return "loss_fn is not a default MSELoss or BCEWithLogitsLoss"
    return None


def _optimizer_refusal(optimizer, net):
    if type(optimizer) is not torch.optim.Adam:
        return "optimizer_ is not a torch.optim.Adam"
    if (optimizer._optimizer_step_pre_hooks or optimizer._optimizer_step_post_hooks
            or optimizer._optimizer_state_dict_pre_hooks
            or _optimizer_hooks._global_optimizer_pre_hooks
            or _optimizer_hooks._global_optimizer_post_hooks):
        return "the optimiser has step hooks"
    if not _OPTIMIZER_OVERRIDES.isdisjoint(vars(optimizer)) \
            or getattr(optimizer, "grad_scale", None) is not None \
            or getattr(optimizer, "found_inf", None) is not None:
        return "the optimiser is modified"
    if optimizer.defaults.get("differentiable") is not False or len(optimizer.param_groups) != 1:
        return "the optimiser is not the one _build_net makes"
    group = optimizer.param_groups[0]
    if set(group) != set(_ADAM_GROUP) | {"params", "lr"} or any(
            type(group[k]) is not type(v) or group[k] != v for k, v in _ADAM_GROUP.items()) \
            or any(type(beta) is not float for beta in group["betas"]):
        return "the optimiser's settings are not the defaults"
    params = list(net.parameters())
    if len(group["params"]) != len(params) or any(
            a is not b for a, b in zip(group["params"], params)):
        return "the optimiser does not train net_'s parameters"
    if any(type(p) is not nn.Parameter or not p.requires_grad or p._backward_hooks
           or p._post_accumulate_grad_hooks for p in params):
        return "net_'s parameters are not plain trainable parameters"
    return None


def _loader_refusal(est, names):
    loader_class = _loaded_globals["FastTensorDataLoader"]
    for name in names:
        if type(getattr(est, name)) is not loader_class:
            return f"{name} is not a FastTensorDataLoader"
    return None


def _refusal(est, what):
    """Why the generic path must run `what` ("fit", "validate", "predict") for
    est, or None where the engine honours everything that could differ."""
    refusal = _module_refusal() or _estimator_refusal(est)
    if refusal:
        return refusal
    net = est.net_
    refusal = _network_refusal(net)
    if refusal:
        return refusal
    device = next(net.parameters()).device
    refusal = _torch_refusal(what == "fit", device)
    if refusal or what == "predict":
        return refusal
    refusal = _loss_refusal(est.loss_fn)
    if refusal:
        return refusal
    if what == "validate":
        return _loader_refusal(est, ("val_data_loader_",))
    return (_optimizer_refusal(est.optimizer_, net)
            or _loader_refusal(est, ("train_data_loader_", "val_data_loader_")))


def _decide(what, est, make_plan):
    """The engine's plan for `what`, or None for the generic path; a check
    that fails leaves the failure to the generic path, which raises it where
    it always did."""
    engine = None if _forced_off() else load()
    if engine is None:
        last_decision[what] = ("forced off by the environment variable QALVO_ENGINE=0"
                               if _forced_off() else _load_reason)
        return None
    try:
        refusal = _refusal(est, what)
        plan = None if refusal else make_plan(engine)
        if plan is None and not refusal:
            refusal = "the tensors are not float64 on one device"
    except Exception as error:
        refusal = f"the configuration could not be checked: {error!r}"
    last_decision[what] = refusal or "engine"
    return None if refusal else plan


def _ran(what, result):
    """The engine's result, counted; None where it answered why it could not
    run (the generic path then runs, and last_decision says why)."""
    if isinstance(result, str):
        last_decision[what] = result
        return None
    if result is not None:
        engine_runs[what] += 1
    return result


# ---- entry points of the estimator module ------------------------------------------------------

def fit_plan(est):
    """The engine's plan for one _fit_bp call: its training epochs and its
    validation passes; None for the generic path."""
    return _decide("fit", est, lambda engine: engine.plan(est, "fit"))


def train_epoch(plan, est):
    """One epoch's training batches by the plan: the summed loss as the
    generic loop leaves it; None where est no longer holds what the plan was
    made for."""
    return _ran("fit", _engine.train_epoch(plan, est))


def validate(plan, est):
    """The validation pass of _validate: the summed loss; None where the plan
    does not fit est's network or loader any more. `plan` None: a validation
    outside a fit, decided on its own."""
    if plan is None:
        plan = _decide("validate", est, lambda engine: engine.plan(est, "validate"))
        if plan is None:
            return None
    return _ran("validate", _engine.validate(plan, est))


def raw_output(est, rows):
    """The network's outputs for `rows` (the reshaped input) by the engine, or
    None for the generic path. A float64 C-contiguous input is used in place,
    not copied."""
    if type(rows) is not np.ndarray or rows.dtype.kind not in "biuf" or rows.ndim != 2:
        last_decision["predict"] = "the input is not a numeric array"
        return None
    plan = _decide("predict", est, lambda engine: engine.plan(est, "predict"))
    if plan is None:
        return None
    if (rows.dtype == np.float64 and rows.flags.c_contiguous and rows.flags.writeable
            and rows.flags.aligned and rows.dtype.isnative):
        x = torch.from_numpy(rows)
    else:
        x = torch.from_numpy(rows.astype(np.double))
    x = x.to(est.device)
    batch_size = int(np.minimum(est.batch_size_inference, x.shape[0]))
    result = _engine.raw_output(plan, x, batch_size)
    if result is None:
        last_decision["predict"] = "the input does not fit the network"
    return _ran("predict", result)
