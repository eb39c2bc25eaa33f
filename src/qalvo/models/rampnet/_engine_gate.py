"""When the native training engine may run, and what it runs on.

The engine (the compiled module ``_engine``, built against one torch) runs the
batch loops of ``RampNet._fit_bp``, ``_validate`` and ``get_raw_output`` in
C++ on the very tensors Python holds. It gives bit for bit the results of the
generic path only for the standard configuration: the network, optimiser, loss
and loaders exactly as the estimator builds them, nothing overridden, patched
or hooked, and torch in its ordinary modes. Each function here answers None
wherever anything differs, and the estimator then takes its generic path.

The environment variable ``QALVO_ENGINE=0`` forces the generic path (for tests
and benchmarks; the estimator module reads it at every call).
"""

import collections
import os

import numpy as np
import torch
import torch.nn.functional as F
import torch.nn.modules.module as _module_globals
import torch.optim.optimizer as _optimizer_globals
from torch import nn

from . import rampnet as _rampnet

EngineStatus = collections.namedtuple("EngineStatus", "path reason")

# What each kind of call decided last: "engine", or why the generic path ran;
# and how often the engine ran each kind.
last_decision = {"fit": None, "validate": None, "predict": None}
engine_runs = collections.Counter()

# Everything the generic path calls on the way, as it was when the package was
# imported: a patched function means the generic path, which calls the patch.
_ORIGINAL_PLACES = [
    (torch, ("norm", "cat", "randperm", "no_grad", "from_numpy", "vstack")),
    (torch.Tensor, ("backward", "to", "ravel")),
    (torch.autograd, ("backward",)),
    (F, ("linear", "relu", "dropout", "mse_loss", "binary_cross_entropy_with_logits")),
    (nn.Module, ("__call__", "_call_impl", "_wrapped_call_impl", "train", "eval")),
    (nn.Sequential, ("forward", "__iter__")),
    (nn.Linear, ("forward",)),
    (nn.ReLU, ("forward",)),
    (nn.Dropout, ("forward",)),
    (nn.MSELoss, ("forward",)),
    (nn.BCEWithLogitsLoss, ("forward",)),
    (torch.optim.Optimizer, ("zero_grad",)),
    (torch.optim.Adam, ("step",)),
    (_rampnet.RampNetModule, ("forward", "__init__")),
    (_rampnet.FastTensorDataLoader, ("__iter__", "__next__")),
    (_rampnet.RampNet, ("_validate", "_check_improvement", "_hard_thresholding_gradient")),
]
_ORIGINALS = [(owner, name, getattr(owner, name))
              for owner, names in _ORIGINAL_PLACES for name in names]
_NETWORK_CLASS = _rampnet.RampNetModule
_LOADER_CLASS = _rampnet.FastTensorDataLoader
_OWN_METHODS = ("_validate", "_check_improvement", "_hard_thresholding_gradient")
_OWN_ORIGINALS = {name: getattr(_rampnet.RampNet, name) for name in _OWN_METHODS}
_LOSSES = {nn.MSELoss: 0, nn.BCEWithLogitsLoss: 1}
_ADAM_GROUP = {"betas": (0.9, 0.999), "eps": 1e-08, "weight_decay": 0, "amsgrad": False,
               "maximize": False, "foreach": None, "capturable": False,
               "differentiable": False, "fused": None, "decoupled_weight_decay": False}
_MODULE_HOOK_GLOBALS = ("_global_forward_hooks", "_global_forward_pre_hooks",
                        "_global_backward_hooks", "_global_backward_pre_hooks")
_INSTANCE_OVERRIDES = {"forward", "_call_impl", "_wrapped_call_impl", "train", "eval"}

_engine = None
_load_reason = None


def _forced_off():
    return os.environ.get("QALVO_ENGINE") == "0"


def load():
    """The engine module, loaded on first use; None where it cannot run here."""
    global _engine, _load_reason
    if _engine is not None or _load_reason is not None:
        return _engine
    try:
        from . import _engine_build as build
    except ImportError:
        _load_reason = ("the native engine is not built (torch was not importable when the "
                        "package was built)")
        return None
    runtime_abi = bool(torch._C._GLIBCXX_USE_CXX11_ABI)
    if build.TORCH_VERSION != torch.__version__:
        _load_reason = (f"the native engine was built for torch {build.TORCH_VERSION}, "
                        f"but torch {torch.__version__} is running")
    elif bool(build.CXX11_ABI) != runtime_abi:
        _load_reason = (f"the native engine was built with CXX11_ABI={build.CXX11_ABI}, "
                        f"torch uses {int(runtime_abi)}")
    else:
        try:
            from . import _engine as engine
        except Exception as error:  # a broken or foreign build: the generic path is sound
            _load_reason = f"the native engine failed to load: {error!r}"
        else:
            _engine = engine
    return _engine


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


def _unhooked(function):
    """An optimiser's step without the profiling wrapper that torch installs on
    the class when the first instance is made."""
    return function.__wrapped__ if getattr(function, "hooked", False) else function


def _patched():
    for owner, name, original in _ORIGINALS:
        current = getattr(owner, name, None)
        if current is not original and _unhooked(current) is not _unhooked(original):
            return f"{getattr(owner, '__name__', owner)}.{name} is not the original"
    if _rampnet.__dict__.get("torch") is not torch:
        return "the module global torch is rebound"
    return None


def _mode_refusal():
    """Why torch's current modes would make the generic path do otherwise."""
    if torch.is_inference_mode_enabled():
        return "inference mode is on"
    if torch.is_anomaly_enabled():
        return "anomaly detection is on"
    if torch._C._is_torch_function_mode_enabled():
        return "a torch function mode is active"
    if torch._C._len_torch_dispatch_stack():
        return "a dispatch mode is active"
    if torch.autograd.profiler._is_profiler_enabled or torch._C._get_tracing_state():
        return "the profiler or the tracer is on"
    if torch._C._autograd._top_saved_tensors_default_hooks(True) is not None:
        return "saved-tensor hooks are active"
    return None


def _hooked(module):
    return bool(module._forward_hooks or module._forward_pre_hooks or module._backward_hooks
                or module._backward_pre_hooks
                or getattr(module, "_compiled_call_impl", None) is not None
                or not _INSTANCE_OVERRIDES.isdisjoint(vars(module)))


def _layers(net):
    """net_ as the engine's layer list, or a str saying why it cannot be one."""
    if type(net) is not _NETWORK_CLASS:
        return "net_ is not a RampNetModule"
    if any(getattr(_module_globals, name) for name in _MODULE_HOOK_GLOBALS):
        return "global module hooks are registered"
    sequential = net._modules.get("net")
    if type(sequential) is not nn.Sequential or _hooked(net) or _hooked(sequential):
        return "net_ is not the network that _build_net makes"
    layers = []
    for layer in sequential._modules.values():
        kind = type(layer)
        if _hooked(layer):
            return "a layer has hooks"
        if kind is nn.Linear and layer.bias is not None:
            layers.append((0, layer.weight, layer.bias))
        elif kind is nn.ReLU and not layer.inplace:
            layers.append((1,))
        elif (kind is nn.Dropout and not layer.inplace and type(layer.p) in (float, int)
              and 0 <= layer.p <= 1):
            layers.append((2, float(layer.p)))
        else:
            return f"net_ holds a {kind.__name__} the engine does not run"
    return layers


def _device_is(spec, device):
    """Whether tensor.to(device=spec) leaves a tensor on `device` where it is."""
    try:
        wanted = torch.device(spec)
    except (TypeError, RuntimeError, ValueError):
        return False
    if wanted.type != device.type:
        return False
    if wanted.index is None and device.type != "cpu":
        return device.index == getattr(torch, device.type).current_device()
    return wanted.index == device.index


def _loss_kind(loss_fn):
    kind = _LOSSES.get(type(loss_fn))
    if kind is None or _hooked(loss_fn) or loss_fn.reduction != "mean":
        return None
    if kind == 1 and (loss_fn.weight is not None or loss_fn.pos_weight is not None):
        return None
    return kind


def _common(est, what):
    """(layers, loss kind) for an engine run of `what`, or a str saying why not."""
    refusal = _patched() or _mode_refusal()
    if refusal:
        return refusal
    for name in _OWN_METHODS:
        if name in vars(est) or getattr(type(est), name, None) is not _OWN_ORIGINALS[name]:
            return f"{name} is overridden"
    layers = _layers(est.net_)
    if isinstance(layers, str):
        return layers
    if not _device_is(est.device, layers[0][1].device):
        return "device differs from the network's"
    if what == "predict":
        return layers, None
    kind = _loss_kind(est.loss_fn)
    if kind is None:
        return "loss_fn is not a default MSELoss or BCEWithLogitsLoss"
    return layers, kind




def _decide(what, check, *args):
    """check(*args) says why the generic path must run (a str), or hands back
    the engine's run and what its refusal would mean. A check that fails leaves
    the failure to the generic path, which raises it where it always did; the
    run's own errors are the call's errors."""
    try:
        outcome = check(*args)
    except Exception as error:
        outcome = f"the configuration could not be checked: {error!r}"
    if not isinstance(outcome, str):
        run, refusal = outcome
        result = run()
        outcome = refusal if result is None else None
    if outcome is not None:
        last_decision[what] = outcome
        return None
    last_decision[what] = "engine"
    engine_runs[what] += 1
    return result


def _plain_number(value):
    """value as a float where Python arithmetic on it is float64 arithmetic."""
    if type(value) is float:
        return value
    if type(value) is int and abs(value) <= 2**53:
        return float(value)
    return None


def _optimizer_refusal(optimizer, params):
    if type(optimizer) is not torch.optim.Adam:
        return "optimizer_ is not a torch.optim.Adam"
    if (optimizer._optimizer_step_pre_hooks or optimizer._optimizer_step_post_hooks
            or _optimizer_globals._global_optimizer_pre_hooks
            or _optimizer_globals._global_optimizer_post_hooks):
        return "the optimiser has step hooks"
    if {"step", "zero_grad"} & set(vars(optimizer)) or getattr(optimizer, "grad_scale", None) \
            is not None or getattr(optimizer, "found_inf", None) is not None:
        return "the optimiser is modified"
    if optimizer.defaults.get("differentiable") is not False or len(optimizer.param_groups) != 1:
        return "the optimiser is not the one _build_net makes"
    group = optimizer.param_groups[0]
    if set(group) != set(_ADAM_GROUP) | {"params", "lr"} or any(
            type(group[k]) is not type(v) or group[k] != v for k, v in _ADAM_GROUP.items()):
        return "the optimiser's settings are not the defaults"
    if type(group["betas"][0]) is not float or type(group["betas"][1]) is not float:
        return "the optimiser's settings are not the defaults"
    if len(group["params"]) != len(params) or any(a is not b for a, b in
                                                  zip(group["params"], params)):
        return "the optimiser does not train net_'s parameters"
    return None


def _adam_states(optimizer, params):
    """[(step, exp_avg, exp_avg_sq)] per parameter, creating what the first
    step would create, and the callable that stores the new ones; None where a
    state is not Adam's usual one."""
    states, created = [], []
    for p in params:
        state = optimizer.state.get(p)
        if not state:
            if state is not None and type(state) is not dict:
                return None
            new = {"step": torch.tensor(0.0, dtype=_optimizer_globals._get_scalar_dtype(),
                                        device="cpu"),
                   "exp_avg": torch.zeros_like(p, memory_format=torch.preserve_format),
                   "exp_avg_sq": torch.zeros_like(p, memory_format=torch.preserve_format)}
            created.append((p, new))
            state = new
        elif type(state) is not dict or set(state) != {"step", "exp_avg", "exp_avg_sq"}:
            return None
        states.append((state["step"], state["exp_avg"], state["exp_avg_sq"]))

    def store_created():
        # as the first step does: optimizer.state[p] filled in parameter order
        for p, new in created:
            optimizer.state[p].update(new)

    return states, (store_created if created else None)


def _host_sum(values):
    """The generic loop's sum of the batches' (loss * rows).numpy(): which NaN
    results where two meet depends on the code that adds them."""
    total = 0
    for value in values:
        total += np.array(value)
    return total


def fit_plan(est):
    """The engine's plan for one _fit_bp call, or None for the generic path."""
    engine = load()
    if engine is None:
        return _decide("fit", str, _load_reason)
    return _decide("fit", _fit_plan, engine, est)


def _fit_plan(engine, est):
    if not torch.is_grad_enabled():
        return "grad mode is off"
    common = _common(est, "fit")
    if isinstance(common, str):
        return common
    layers, kind = common
    if type(est.train_data_loader_) is not _LOADER_CLASS:
        return "train_data_loader_ is not a FastTensorDataLoader"
    net = est.net_
    params = list(net.parameters())
    linear_weights = [layer[1] for layer in layers if layer[0] == 0]
    if len(params) != 2 * len(linear_weights) or any(
            type(p) is not nn.Parameter or not p.requires_grad or p._backward_hooks is not None
            or p._post_accumulate_grad_hooks is not None for p in params):
        return "net_'s parameters are not plain trainable parameters"
    pairs = net.weights
    if (type(pairs) is not list or len(pairs) != len(linear_weights)
            or any(type(pair) is not tuple or len(pair) != 2 for pair in pairs)
            or any(pair[1] is not w for pair, w in zip(pairs, linear_weights))):
        return "net_.weights is not the list of the layers' weights"
    l1 = _plain_number(est.l1_reg)
    if l1 is None:
        return "l1_reg is not a plain number"
    masks = None
    if est.iht_status_:
        masks = []
        factors = getattr(est, "param_fac", None)
        if type(factors) is not dict:
            return "param_fac is not a dict of masks"
        for name, _ in pairs:
            if type(name) is not str or name not in factors:
                return "param_fac lacks a mask"
            masks.append(factors[name])
    optimizer = est.optimizer_
    refusal = _optimizer_refusal(optimizer, params)
    if refusal:
        return refusal
    lr = _plain_number(optimizer.param_groups[0]["lr"])
    if lr is None:
        return "the learning rate is not a plain number"
    if params[0].device.type == "cpu":
        adam = _adam_states(optimizer, params)
        if adam is None:
            return "the optimiser's state is not Adam's"
        states, store_created = adam
        step = None
    else:
        # torch takes another Adam implementation there: the step stays its own
        states, store_created, step = None, None, optimizer.step
    return (lambda: engine.fit_plan(layers, kind, params, states, linear_weights, masks, l1, lr,
                                    step, store_created, np.float64, _host_sum),
            "the tensors are not float64 on one device")


def validate(est):
    """The validation loss sum by the engine, or None for the generic path."""
    engine = load()
    if engine is None:
        return _decide("validate", str, _load_reason)
    return _decide("validate", _validate, engine, est)


def _validate(engine, est):
    common = _common(est, "validate")
    if not isinstance(common, str) and type(est.val_data_loader_) is not _LOADER_CLASS:
        common = "val_data_loader_ is not a FastTensorDataLoader"
    if isinstance(common, str):
        return common
    layers, kind = common
    loader = est.val_data_loader_
    return (lambda: engine.validate(layers, kind, loader, np.float64, _host_sum),
            "the loader's tensors do not fit")


def raw_output(est, rows):
    """The network's outputs for `rows` (the reshaped input) by the engine, or
    None for the generic path. A float64 C-contiguous input is used in place,
    not copied."""
    engine = load()
    if engine is None:
        return _decide("predict", str, _load_reason)
    return _decide("predict", _raw_output, engine, est, rows)


def _raw_output(engine, est, rows):
    common = _common(est, "predict")
    if isinstance(common, str):
        return common
    if type(rows) is not np.ndarray or rows.dtype.kind not in "biuf" or rows.ndim != 2:
        return "the input is not a numeric array"
    layers, _ = common
    if (rows.dtype == np.float64 and rows.flags.c_contiguous and rows.flags.writeable
            and rows.flags.aligned and rows.dtype.isnative):
        x = torch.from_numpy(rows)
    else:
        x = torch.from_numpy(rows.astype(np.double))
    x = x.to(est.device)
    batch_size = int(np.minimum(est.batch_size_inference, x.shape[0]))
    return (lambda: engine.raw_output(layers, x, batch_size),
            "the input does not fit the network")
