#!/bin/sh
# The native training engine on a CUDA machine: fit and predict on device="cuda"
# with the engine and with the generic path (QALVO_ENGINE=0), bit-identical
# results, and timings. One prepared run for whenever a CUDA machine is at hand.
#
#   sh bench/gpu_check.sh            # uses .venv/bin/python, or $PYTHON
#
# It needs a CUDA build of torch in that environment; the package is rebuilt
# against it first (the engine is compiled for the torch present at build time).
set -eu
PYTHON=${PYTHON:-.venv/bin/python}
cd "$(dirname "$0")/.."
"$PYTHON" -c "import torch; assert torch.cuda.is_available(), 'no CUDA device'; print('torch', torch.__version__, torch.cuda.get_device_name())"
"$PYTHON" -m pip install --quiet --no-build-isolation --no-deps .
cd /tmp
"$PYTHON" - <<'PY'
import os, time
import numpy as np
import torch
from qalvo.models.rampnet import RampNetClassifier, RampNetRegressor, engine_status
from qalvo.models.rampnet import _engine_gate as gate

print(engine_status())
rng = np.random.RandomState(0)
x = rng.randn(50_000, 30)
y = np.sin(x @ rng.randn(30) / 5) + 0.1 * rng.randn(50_000)
x_big = rng.randn(1_000_000, 30)
CONFIGS = {
    "plain": {},
    "l1, dropout": dict(l1_reg=1e-4, dropout_prob=0.2),
    "iht": dict(iht=True, phase_epochs=2, max_epochs=8, threshold=0.01),
    "early stop": dict(n_epoch_no_change=0, max_epochs=30, learning_rate=0.05),
}


def bits(t):
    return (t.detach().cpu().numpy() if isinstance(t, torch.Tensor) else np.asarray(t)).tobytes()


def run(flag, cls, target, params):
    os.environ["QALVO_ENGINE"] = flag
    est = cls(hidden_layer_sizes=(128, 128), batch_size=512, max_epochs=10, device="cuda",
              **dict(dict(n_epoch_no_change=10**9), **params))
    torch.cuda.synchronize()
    start = time.perf_counter()
    est.fit(x, target)
    torch.cuda.synchronize()
    fit_s = time.perf_counter() - start
    start = time.perf_counter()
    out = est.predict(x_big)
    torch.cuda.synchronize()
    predict_s = time.perf_counter() - start
    state = [bits(v) for p in est.optimizer_.param_groups[0]["params"]
             for v in est.optimizer_.state[p].values()]
    result = ([bits(p) for p in est.net_.parameters()], [bits(v) for v in est.train_epoch_loss_],
              [bits(v) for v in est.valid_epoch_loss_], state, bits(torch.cuda.get_rng_state()),
              bits(out))
    return result, fit_s, predict_s, dict(gate.last_decision)


failures = 0
for cls, target in [(RampNetRegressor, y), (RampNetClassifier, (y > 0).astype(int))]:
    for name, params in CONFIGS.items():
        run("1", cls, target, params)  # warm-up: CUDA context, kernels, allocator
        generic, generic_fit, generic_predict, _ = run("0", cls, target, params)
        native, native_fit, native_predict, decided = run("1", cls, target, params)
        same = generic == native
        failures += not same
        print(f"{cls.__name__:18s} {name:12s} identical={same}  engine ran: {decided}\n"
              f"    fit {native_fit:7.3f} s engine, {generic_fit:7.3f} s generic "
              f"({native_fit / generic_fit:.2f}x); predict 1M rows {native_predict:.3f} s "
              f"engine, {generic_predict:.3f} s generic ({native_predict / generic_predict:.2f}x)")
print("ALL IDENTICAL" if failures == 0 else f"{failures} CONFIGURATIONS DIFFER")
raise SystemExit(1 if failures else 0)
PY
