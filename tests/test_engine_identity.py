"""The native training engine gives bit for bit what the generic path gives:
weights, epoch losses, Adam state, the torch generator after the fit, early
stopping, IHT masks and predictions, over a matrix of configurations."""

import copy

import numpy as np
import pytest
pytest.importorskip("torch")  # the estimators need it; other Pythons here have none
import torch

from qalvo.models.rampnet import RampNetClassifier, RampNetRegressor, engine_status
from qalvo.models.rampnet import _engine_gate as gate
from qalvo.models.rampnet import rampnet

pytestmark = pytest.mark.skipif(engine_status().path != "engine",
                                reason="the native engine is not available here")

CONFIGS = {
    "plain": {},
    "l1": dict(l1_reg=0.01),
    "dropout": dict(dropout_prob=0.25),
    "iht": dict(iht=True, phase_epochs=2, max_epochs=8, threshold=0.05),
    "iht, l1 and dropout": dict(iht=True, phase_epochs=1, max_epochs=6, threshold=0.1,
                                l1_reg=0.002, dropout_prob=0.1),
    "early stop": dict(n_epoch_no_change=0, max_epochs=30, learning_rate=0.05),
    "uneven batches, val_ratio": dict(batch_size=47, val_ratio=0.3),
    "one batch, verbose": dict(batch_size=1000, verbose=True),
    # 192 training rows: the last batch holds one row
    "last batch of one row": dict(batch_size=191, dropout_prob=0.5),
    "dropout of everything": dict(dropout_prob=1.0),
    # a layer fed by one unit: the engine leaves the backward pass to autograd
    "one-unit layers": dict(hidden_layer_sizes=(1, 6, 1), l1_reg=0.01),
}


def data(classifier):
    rng = np.random.RandomState(3)
    x = rng.randn(241, 4)
    y = np.sin(x @ rng.randn(4)) + 0.1 * rng.randn(241)
    return x, (np.where(y > 0, "yes", "no") if classifier else y)


def as_bytes(value):
    """Exact bits (NaN included) of a tensor, array or number."""
    if isinstance(value, torch.Tensor):
        return value.detach().cpu().numpy().tobytes()
    return np.asarray(value).tobytes()


def outcome(est, x):
    """Everything a fit leaves that the two paths must agree on."""
    optimizer = est.optimizer_
    state = [(name, as_bytes(value))
             for p in optimizer.param_groups[0]["params"]
             for name, value in optimizer.state[p].items()]
    result = {
        "weights": [as_bytes(p) for p in est.net_.parameters()],
        "grads": [as_bytes(p.grad) for p in est.net_.parameters()],
        "grad layouts": [p.grad if p.grad is None else (p.grad.stride(), p.grad._is_view())
                         for p in est.net_.parameters()],
        "coefs": [as_bytes(c) for c in est.coefs_ + est.intercepts_],
        "train losses": [(type(v), as_bytes(v)) for v in est.train_epoch_loss_],
        "valid losses": [(type(v), as_bytes(v)) for v in est.valid_epoch_loss_],
        "adam": state,
        "generator": as_bytes(torch.get_rng_state()),
        "best": (as_bytes(est.best_loss_), est.no_improved_count_, est.net_ is est.best_net_,
                 [as_bytes(p) for p in est.best_net_.parameters()]),
        "masks": {name: as_bytes(m) for name, m in getattr(est, "param_fac", {}).items()},
        "predictions": as_bytes(est.predict(x)),
        "training mode": est.net_.training,
        # in-place updates seen by autograd's version counters
        "versions": [p._version for p in est.net_.parameters()]
                    + [value._version for p in optimizer.param_groups[0]["params"]
                       for value in optimizer.state[p].values()],
    }
    if hasattr(est, "predict_proba"):
        result["probabilities"] = as_bytes(est.predict_proba(x))
    return result


def fit_both(cls, params, monkeypatch, capsys):
    x, y = data(cls is RampNetClassifier)
    params = dict(dict(hidden_layer_sizes=(6, 5), max_epochs=5, batch_size=32), **params)
    monkeypatch.setenv("QALVO_ENGINE", "0")
    generic = outcome(cls(**params).fit(x, y), x)
    generic_printed = capsys.readouterr().out
    monkeypatch.delenv("QALVO_ENGINE")
    runs = dict(gate.engine_runs)
    native = outcome(cls(**params).fit(x, y), x)
    assert gate.engine_runs["fit"] > runs.get("fit", 0)
    assert gate.engine_runs["validate"] > runs.get("validate", 0)
    assert gate.engine_runs["predict"] > runs.get("predict", 0)
    return generic, native, generic_printed, capsys.readouterr().out


@pytest.mark.parametrize("params", CONFIGS.values(), ids=CONFIGS.keys())
@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
def test_engine_and_generic_path_agree_bit_for_bit(cls, params, monkeypatch, capsys):
    generic, native, generic_printed, native_printed = fit_both(cls, params, monkeypatch, capsys)
    for key in generic:
        assert native[key] == generic[key], key
    assert native_printed == generic_printed


def test_the_matrix_covers_early_stops_and_sparse_masks(monkeypatch, capsys):
    generic, native, _, _ = fit_both(RampNetRegressor, CONFIGS["early stop"], monkeypatch, capsys)
    assert len(native["valid losses"]) < 30  # it stopped early
    generic, native, _, _ = fit_both(RampNetRegressor, CONFIGS["iht"], monkeypatch, capsys)
    assert native["masks"] and any(b"\x00" * 8 in m for m in native["masks"].values())


def loader_like(loader):
    """A loader over copies of ``loader``'s rows, with its settings."""
    return rampnet.FastTensorDataLoader(
        *[t.clone() for t in loader.tensors], batch_size=loader.batch_size, shuffle=loader.shuffle)


def one_epoch_on_both_paths(est, monkeypatch, edit=lambda twin: None):
    """Gradients, weights and loss of one more epoch of copies of `est`, after
    `edit(copy)`, on the generic path ("0") and on the engine ("1")."""
    copies = {}
    for flag in ("0", "1"):
        monkeypatch.setenv("QALVO_ENGINE", flag)
        twin = copy.deepcopy(est)  # a copy leaves the loaders' rows behind: give it its own
        edit(twin)
        twin.train_data_loader_ = loader_like(est.train_data_loader_)
        twin.val_data_loader_ = loader_like(est.val_data_loader_)
        twin.optimizer_ = torch.optim.Adam(twin.net_.parameters(), lr=0.001)
        torch.manual_seed(7)
        twin._fit_bp(None, None, 1)
        copies[flag] = [as_bytes(p.grad) for p in twin.net_.parameters()] + \
                       [as_bytes(p) for p in twin.net_.parameters()] + \
                       [as_bytes(v) for v in twin.train_epoch_loss_]
    assert gate.last_decision["fit"] == "engine"
    return copies


@pytest.mark.parametrize("special", [0.0, -0.0, np.inf, -np.inf, np.nan])
@pytest.mark.parametrize("l1_reg", [0.0, 0.5, 2])
def test_the_l1_gradient_matches_autograd_also_at_special_weights(special, l1_reg, monkeypatch):
    x, y = data(False)
    est = RampNetRegressor(hidden_layer_sizes=(3,), max_epochs=1, l1_reg=l1_reg).fit(x, y)
    with torch.no_grad():
        est.net_.weights[0][1][0, :2] = special
        est.net_.weights[1][1][0, 0] = -special
    copies = one_epoch_on_both_paths(est, monkeypatch)
    assert copies["1"] == copies["0"]


def test_weights_stored_transposed_train_as_on_the_generic_path(monkeypatch):
    # Autograd orders its matrix products by the weights' strides; the layers
    # are wide enough for the two orders to round differently.
    x, y = data(False)
    est = RampNetRegressor(hidden_layer_sizes=(16, 12), max_epochs=1, l1_reg=0.01).fit(x, y)

    def transpose_storage(twin):
        layer = twin.net_.net[2]
        layer.weight = torch.nn.Parameter(layer.weight.detach().t().contiguous().t())
        assert not layer.weight.is_contiguous()
        twin.net_.weights[1] = (twin.net_.weights[1][0], layer.weight)

    copies = one_epoch_on_both_paths(est, monkeypatch, transpose_storage)
    assert copies["1"] == copies["0"]


def test_predicting_many_rows_in_batches_agrees(monkeypatch):
    x, y = data(False)
    est = RampNetRegressor(hidden_layer_sizes=(5,), max_epochs=2, batch_size_inference=7).fit(x, y)
    rows = np.random.RandomState(1).randn(100, 4)
    inputs = [rows, np.asfortranarray(rows), rows.astype(np.float32), rows[::2], rows.tolist()]
    native = [est.predict(r) for r in inputs]
    monkeypatch.setenv("QALVO_ENGINE", "0")
    generic = [est.predict(r) for r in inputs]
    for a, b in zip(native, generic):
        assert as_bytes(a) == as_bytes(b)
