"""The network module and the builder that makes it from the estimator's parameters."""

import re
import traceback

import pytest
torch = pytest.importorskip("torch")

from qalvo.models.rampnet.rampnet import RampNetModule, RampNetRegressor


def built(n_features=5, **params):
    est = RampNetRegressor(**params)
    est.n_features_ = n_features
    est._set_seed()
    est._build_net()
    return est


def layer_kinds(net):
    return [(type(layer).__name__, getattr(layer, "in_features", getattr(layer, "p", None)),
             getattr(layer, "out_features", None)) for layer in net.net]


@pytest.mark.parametrize("dropout, expected, positions", [
    (0.0, [("Linear", 5, 40), ("ReLU", None, None), ("Linear", 40, 40), ("ReLU", None, None),
           ("Linear", 40, 1)], [0, 2, 4]),
    (0.2, [("Linear", 5, 40), ("ReLU", None, None), ("Dropout", 0.2, None), ("Linear", 40, 40),
           ("ReLU", None, None), ("Dropout", 0.2, None), ("Linear", 40, 1)], [0, 3, 6]),
    (-1.0, [("Linear", 5, 40), ("ReLU", None, None), ("Linear", 40, 40), ("ReLU", None, None),
            ("Linear", 40, 1)], [0, 2, 4]),
])
def test_layer_stack_and_parameter_names(dropout, expected, positions):
    est = built(hidden_layer_sizes=(40, 40), dropout_prob=dropout)
    net = est.net_
    assert layer_kinds(net) == expected
    assert [name for name, _ in net.weights] == [f"net.{p}.weight" for p in positions]
    assert [name for name, _ in net.biases] == [f"net.{p}.bias" for p in positions]
    assert net.layers == list(net.net)
    assert isinstance(net.activation_func, torch.nn.ReLU)
    assert dict(net.named_children()).keys() == {"net", "activation_func"}


def test_parameters_are_float64_on_device_and_owned_by_one_adam_group():
    est = built(hidden_layer_sizes=(4,), learning_rate=0.05)
    parameters = list(est.net_.parameters())
    assert all(p.dtype == torch.float64 and p.device.type == "cpu" for p in parameters)
    assert isinstance(est.optimizer_, torch.optim.Adam)
    (group,) = est.optimizer_.param_groups
    assert group["lr"] == 0.05
    assert [id(p) for p in group["params"]] == [id(p) for p in parameters]
    assert est.net_.training


def test_same_seed_gives_same_initial_network_and_list_equals_tuple():
    first = built(hidden_layer_sizes=(6, 3), random_state=11).net_.state_dict()
    again = built(hidden_layer_sizes=[6, 3], random_state=11).net_.state_dict()
    other = built(hidden_layer_sizes=(6, 3), random_state=12).net_.state_dict()
    assert all(torch.equal(first[k], again[k]) for k in first)
    assert not all(torch.equal(first[k], other[k]) for k in first)


def test_no_hidden_layers_gives_a_linear_model():
    net = built(n_features=3, hidden_layer_sizes=()).net_
    assert layer_kinds(net) == [("Linear", 3, 1)]


def test_forward_and_get_params_rebuilds_lists():
    net = RampNetModule([(3, 2), (2, 1)])
    out = net(torch.ones(7, 3, dtype=torch.float64))
    assert out.shape == (7, 1) and out.dtype == torch.float64
    net.get_params()
    first = [(n, id(p)) for n, p in net.weights]
    net.get_params()
    assert [(n, id(p)) for n, p in net.weights] == first
    assert len(net.weights) == 2 and len(net.biases) == 2


def test_non_iterable_hidden_sizes_fail_in_the_builder():
    with pytest.raises(TypeError, match=re.escape("'int' object is not iterable")) as info:
        built(hidden_layer_sizes=5)
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert (last.name, last.lineno) == ("qalvo.models.rampnet.rampnet.RampNet._build_net", 172)


def test_unknown_device_fails_with_torch_error():
    with pytest.raises(RuntimeError):
        built(hidden_layer_sizes=(2,), device="nowhere")
