"""The compiled module's namespace, classes and function objects."""

import inspect
import types

import pytest
import sklearn.base
torch = pytest.importorskip("torch")

from qalvo.models.rampnet import rampnet as mod
from qalvo.models.rampnet.rampnet import (
    FastTensorDataLoader,
    RampNet,
    RampNetClassifier,
    RampNetModule,
    RampNetRegressor,
)

FILE_NAME = "qalvo\\models\\rampnet\\rampnet"
MODULE_NAME = "qalvo.models.rampnet.rampnet"

CONCRETE_PARAMETERS = [
    ("hidden_layer_sizes", (40, 40)),
    ("dropout_prob", 0.0),
    ("max_epochs", 1000),
    ("learning_rate", 0.001),
    ("batch_size", 100),
    ("batch_size_inference", 10000),
    ("l1_reg", 0.0),
    ("val_ratio", 0.2),
    ("n_epoch_no_change", 20),
    ("iht", False),
    ("phase_epochs", 50),
    ("threshold", 0.1),
    ("device", "cpu"),
    ("verbose", False),
    ("random_state", 0),
]

_EMPTY = inspect.Parameter.empty
BASE_PARAMETERS = [("loss_fn", _EMPTY), ("hidden_layer_sizes", _EMPTY)] + [
    (name, {"phase_epochs": 0, "threshold": 0}.get(name, default))
    for name, default in CONCRETE_PARAMETERS[1:]
]

# (class, method, parameters after self, first line, doc start or None)
METHODS = [
    (FastTensorDataLoader, "__iter__", [], 46, None),
    (FastTensorDataLoader, "__next__", [], 53, None),
    (FastTensorDataLoader, "__len__", [], 61, None),
    (RampNetModule, "__init__", ["net_size", "dropout_prob"], 66,
     "Initializes a Neural Network with ReLU activation (self.net)."),
    (RampNetModule, "get_params", [], 87,
     "Retrieves the parameters i.e, weights and biases of the model."),
    (RampNetModule, "forward", ["inputs"], 107, "Performs forward pass through the Neural Network."),
    (RampNet, "__init__", [n for n, _ in BASE_PARAMETERS], 125, None),
    (RampNet, "_set_seed", [], 162, "Set seed value for reproducibility."),
    (RampNet, "_build_net", [], 168, "Internal function that builds the network architecture"),
    (RampNet, "_prepare_data", ["x", "y"], 184, "Internal function for data preparation."),
    (RampNet, "_validate", [], 227,
     "Returns torch tensor of predicted values and labels for validation data."),
    (RampNet, "_check_improvement", [], 247,
     "Checks whether there is an improvement in validation loss or not."),
    (RampNet, "_hard_thresholding_weight", [], 256,
     "Threshold weights that are less than a threshold."),
    (RampNet, "_hard_thresholding_gradient", [], 269,
     "Threshold the gradients, whose corresponding weights are zero."),
    (RampNet, "_fit_bp", ["x", "y", "max_epochs"], 277,
     "Internal function for updating network by gradients BP."),
    (RampNet, "_fit_iht", ["x", "y"], 336,
     "Trains the model with Iterative Hard Thresholding algorithm"),
    (RampNet, "fit", ["x", "y"], 395, "Fit RampNet model."),
    (RampNet, "get_raw_output", ["x"], 433,
     "Returns numpy array of raw predicted value before softmax."),
    (RampNetRegressor, "__init__", [n for n, _ in CONCRETE_PARAMETERS], 472, "RampNetRegressor."),
    (RampNetRegressor, "_validate_input", ["x", "y"], 554, "Internal validation"),
    (RampNetRegressor, "predict", ["x"], 579, "Predict funciton."),
    (RampNetClassifier, "__init__", [n for n, _ in CONCRETE_PARAMETERS], 598, "RampNetClassifier."),
    (RampNetClassifier, "_more_tags", [], 679, "Internal function for skipping"),
    (RampNetClassifier, "_validate_input", ["x", "y"], 685, "Internal validation"),
    (RampNetClassifier, "decision_function", ["x"], 720,
     "Returns numpy array of raw predicted value before softmax."),
    (RampNetClassifier, "predict_proba", ["x"], 739, "Predict probability funciton."),
    (RampNetClassifier, "predict", ["x"], 755, "Predict funciton."),
    (RampNetClassifier, "__sklearn_tags__", [], 772, "Estimator tags for scikit-learn 1.6"),
]


def test_namespace_binds_imports_and_classes_in_order():
    names = [n for n in vars(mod) if not n.startswith("__") or n == "__test__"]
    assert names == [
        "os", "copy", "torch", "nn", "np", "column_or_1d", "softmax", "LabelBinarizer",
        "train_test_split", "check_is_fitted", "RegressorMixin", "ClassifierMixin",
        "BaseEstimator", "FastTensorDataLoader", "RampNetModule", "RampNet",
        "RampNetRegressor", "RampNetClassifier", "__test__",
    ]
    assert mod.nn is torch.nn
    assert mod.__test__ == {}
    assert mod.__doc__ is None
    assert mod.__builtins__ is __builtins__ or mod.__builtins__.__name__ == "builtins"
    assert mod.BaseEstimator is sklearn.base.BaseEstimator


def test_classes_bases_and_documentation():
    assert FastTensorDataLoader.__bases__ == (object,)
    assert "DataLoader-like" in FastTensorDataLoader.__doc__
    assert RampNetModule.__bases__ == (torch.nn.Module,)
    assert RampNet.__bases__ == (sklearn.base.BaseEstimator,)
    # The mixin first, as scikit-learn requires of third-party estimators: its
    # type and tags then take precedence over those of BaseEstimator.
    assert RampNetRegressor.__bases__ == (sklearn.base.RegressorMixin, RampNet)
    assert RampNetClassifier.__bases__ == (sklearn.base.ClassifierMixin, RampNet)
    for cls in (RampNetModule, RampNet, RampNetRegressor, RampNetClassifier):
        assert cls.__doc__ is None
        assert cls.__module__ == MODULE_NAME
    for cls, mixin in ((RampNetRegressor, sklearn.base.RegressorMixin),
                       (RampNetClassifier, sklearn.base.ClassifierMixin)):
        mro = cls.__mro__
        assert mro[:3] == (cls, mixin, RampNet)
        assert mro.index(RampNet) < mro.index(sklearn.base.BaseEstimator)


@pytest.mark.parametrize("cls, name, params, first_line, doc", METHODS,
                         ids=[f"{c.__name__}.{m}" for c, m, *_ in METHODS])
def test_method_function_objects(cls, name, params, first_line, doc):
    function = vars(cls)[name]
    assert function.__name__ == name
    assert function.__qualname__ == f"{cls.__name__}.{name}"
    assert function.__module__ == MODULE_NAME
    assert function.__globals__ is vars(mod)
    code = function.__code__
    assert isinstance(code, types.CodeType)
    assert code.co_filename == FILE_NAME
    assert code.co_name == name
    assert code.co_firstlineno == first_line
    assert code.co_varnames[: code.co_argcount] == ("self", *params)
    assert list(inspect.signature(function).parameters) == ["self", *params]
    if doc is None:
        assert function.__doc__ is None
    else:
        assert function.__doc__.startswith(doc)


def test_loader_init_signature_has_varargs_and_keyword_only_defaults():
    init = FastTensorDataLoader.__init__
    assert init.__defaults__ is None
    assert init.__kwdefaults__ == {"batch_size": 32, "shuffle": False}
    assert init.__code__.co_firstlineno == 24
    assert str(inspect.signature(init)) == "(self, *tensors, batch_size=32, shuffle=False)"


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
def test_concrete_constructor_signature_and_defaults(cls):
    signature = inspect.signature(cls)
    assert [(p.name, p.default) for p in signature.parameters.values()] == CONCRETE_PARAMETERS
    assert cls().get_params() == dict(CONCRETE_PARAMETERS)


def test_base_constructor_signature_and_defaults():
    signature = inspect.signature(RampNet)
    assert [(p.name, p.default) for p in signature.parameters.values()] == BASE_PARAMETERS
    assert len(RampNet.__init__.__defaults__) == 14
    assert RampNet.__init__.__kwdefaults__ is None
    # the two required parameters may be passed positionally
    est = RampNet(torch.nn.MSELoss(), (3,))
    assert est.hidden_layer_sizes == (3,)


def test_default_hidden_sizes_is_one_shared_object():
    regressor_default = RampNetRegressor.__init__.__defaults__[0]
    classifier_default = RampNetClassifier.__init__.__defaults__[0]
    assert regressor_default == (40, 40)
    assert regressor_default is classifier_default
    assert RampNetRegressor().hidden_layer_sizes is regressor_default


def test_methods_bind_to_instances_and_pickle_by_reference():
    import pickle

    est = RampNetRegressor()
    bound = est._set_seed
    assert bound.__self__ is est and bound.__func__ is RampNet._set_seed
    assert RampNet.fit.__get__(None, RampNet) is RampNet.fit
    assert pickle.loads(pickle.dumps(RampNet.fit)) is RampNet.fit
    assert repr(RampNet.fit).startswith("<function RampNet.fit at 0x")


def test_function_attributes_are_writable_like_interpreter_functions():
    function = RampNetModule.forward
    function.custom_marker = 42
    assert function.__dict__["custom_marker"] == 42
    del function.custom_marker
    with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
        function.__defaults__ = [1]
    with pytest.raises(TypeError, match="__name__ must be set to a string object"):
        function.__name__ = 3
    assert function.__annotations__ == {}
    assert function.__closure__ is None
