"""Argument binding of compiled methods: the interpreter's wording for bad calls."""

import ctypes
import re
import traceback

import pytest
torch = pytest.importorskip("torch")

from qalvo.models.rampnet.rampnet import FastTensorDataLoader, RampNet, RampNetModule, RampNetRegressor


def vectorcall(function, args, kwnames):
    """Calls through the C API, which lets keyword names be any object."""
    api = ctypes.pythonapi.PyObject_Vectorcall
    api.restype = ctypes.py_object
    api.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                    ctypes.py_object]
    array = (ctypes.py_object * len(args))(*args)
    return api(function, array, len(args) - len(kwnames), kwnames)


BAD_CALLS = [
    (lambda: RampNet(1), "__init__() takes at least 3 positional arguments (2 given)"),
    (lambda: RampNet(), "__init__() takes at least 3 positional arguments (1 given)"),
    (lambda: RampNet(loss_fn=1), "__init__() takes at least 3 positional arguments (2 given)"),
    (lambda: RampNet(hidden_layer_sizes=(1,)),
     "__init__() takes at least 3 positional arguments (1 given)"),
    (lambda: RampNetRegressor(*range(16)),
     "__init__() takes at most 16 positional arguments (17 given)"),
    (lambda: RampNetModule.forward(1), "forward() takes exactly 2 positional arguments (1 given)"),
    (lambda: RampNetRegressor()._set_seed(1),
     "_set_seed() takes exactly 1 positional argument (2 given)"),
    (lambda: RampNetRegressor(foo=1), "__init__() got an unexpected keyword argument 'foo'"),
    (lambda: RampNetRegressor((3,), hidden_layer_sizes=(4,)),
     "__init__() got multiple values for keyword argument 'hidden_layer_sizes'"),
    (lambda: FastTensorDataLoader(batch_size=1, bogus=2),
     "__init__() got an unexpected keyword argument 'bogus'"),
    (lambda: vectorcall(RampNetRegressor.__init__, [RampNetRegressor(), 1], (7,)),
     "__init__() keywords must be strings"),
    (lambda: vectorcall(RampNetModule.forward, [1, 2, 3], ("inputs", "inputs")),
     "forward() got multiple values for keyword argument 'inputs'"),
]


@pytest.mark.parametrize("bad_call, message", BAD_CALLS, ids=[m for _, m in BAD_CALLS])
def test_bad_call_raises_type_error_in_interpreter_wording(bad_call, message):
    with pytest.raises(TypeError, match=re.escape(message) + "$"):
        bad_call()


def test_argument_error_adds_entry_at_first_line():
    with pytest.raises(TypeError) as info:
        RampNet(1)
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert (last.name, last.filename, last.lineno) == (
        "qalvo.models.rampnet.rampnet.RampNet.__init__",
        "qalvo\\models\\rampnet\\rampnet",
        125,
    )


def test_keywords_bind_in_any_order_and_defaults_fill_the_rest():
    loss = torch.nn.MSELoss()
    est = RampNet(random_state=7, hidden_layer_sizes=[5], loss_fn=loss)
    assert (est.loss_fn, est.hidden_layer_sizes, est.random_state) == (loss, [5], 7)
    assert est.max_epochs == 1000 and est.device == "cpu"


def test_rebinding_defaults_takes_effect_at_the_next_call():
    init = RampNetModule.__init__
    saved = init.__defaults__
    try:
        init.__defaults__ = (0.5,)
        net = RampNetModule([(2, 3), (3, 1)])
        assert any(isinstance(layer, torch.nn.Dropout) for layer in net.net)
        init.__defaults__ = None
        with pytest.raises(TypeError, match=re.escape(
                "__init__() takes exactly 3 positional arguments (2 given)")):
            RampNetModule([(2, 1)])
    finally:
        init.__defaults__ = saved
