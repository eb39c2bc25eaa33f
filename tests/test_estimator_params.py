"""Estimator parameters: construction, scikit-learn's parameter protocol, tags."""

import pytest
torch = pytest.importorskip("torch")
from sklearn.base import clone

from qalvo.models.rampnet.rampnet import RampNet, RampNetClassifier, RampNetRegressor

ESTIMATORS = [(RampNetRegressor, torch.nn.MSELoss), (RampNetClassifier, torch.nn.BCEWithLogitsLoss)]
PARAMETERS = ["hidden_layer_sizes", "dropout_prob", "max_epochs", "learning_rate", "batch_size",
              "batch_size_inference", "l1_reg", "val_ratio", "n_epoch_no_change", "iht",
              "phase_epochs", "threshold", "device", "verbose", "random_state"]


@pytest.mark.parametrize("cls, loss_type", ESTIMATORS)
def test_constructor_stores_parameters_unchanged_and_nothing_else(cls, loss_type):
    values = {name: object() for name in PARAMETERS}
    est = cls(**values)
    assert set(vars(est)) == {"loss_fn", *PARAMETERS}
    for name, value in values.items():
        assert getattr(est, name) is value
    assert type(est.loss_fn) is loss_type
    assert cls().loss_fn is not cls().loss_fn


def test_base_constructor_validates_nothing():
    est = RampNet("not a loss", "not sizes", dropout_prob="x", device=None)
    assert (est.loss_fn, est.hidden_layer_sizes, est.dropout_prob, est.device) == (
        "not a loss", "not sizes", "x", None)


@pytest.mark.parametrize("cls, _", ESTIMATORS)
def test_set_params_clone_and_repr(cls, _):
    sizes = (7, 3)
    est = cls(hidden_layer_sizes=sizes, max_epochs=5, device="cpu", random_state=3)
    assert est.set_params(l1_reg=0.01, iht=True) is est
    twin = clone(est)  # clone itself checks that the constructor stores what it is given
    assert twin is not est
    assert twin.get_params() == est.get_params()
    assert twin.loss_fn is not est.loss_fn
    assert " ".join(repr(est).split()) == (f"{cls.__name__}(hidden_layer_sizes=(7, 3), iht=True, "
                                          "l1_reg=0.01, max_epochs=5, random_state=3)")
    with pytest.raises(ValueError, match="Invalid parameter 'bogus'"):
        est.set_params(bogus=1)


def test_classifier_tags():
    est = RampNetClassifier()
    tags = est._more_tags()
    assert tags == {"binary_only": True}
    assert est._more_tags() is not tags
    # How each scikit-learn release reads the tags: tests/test_sklearn_releases.py
