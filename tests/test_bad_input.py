"""Bad input raises a clear exception and never damages a fitted estimator."""

import re

import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp
from sklearn.exceptions import NotFittedError

pytest.importorskip("torch")

from qalvo.models.rampnet.rampnet import RampNetClassifier, RampNetRegressor

RNG = np.random.RandomState(0)
X = RNG.randn(60, 3)
Y_REG = X.sum(axis=1)
Y_CLS = np.where(X[:, 0] > 0, "up", "down")


def with_nan(a):
    a = a.astype(float).copy()
    a[3] = np.nan
    return a


def with_inf(a):
    a = a.copy()
    a[5, 1] = np.inf
    return a


NON_FINITE = ("Training produced non-finite losses or weights: the data may hold values too "
              "large for float64 and need scaling")

# (name, x, y or None for the estimator's own labels, error, message fragment)
FIT_CASES = [
    ("nan", with_nan(X), None, ValueError, "Input X contains NaN"),
    ("inf", with_inf(X), None, ValueError, "Input X contains infinity"),
    ("strings", np.array([["a", "b", "c"]] * 60), None, ValueError, "string"),
    ("empty", np.zeros((0, 3)), np.zeros(0), ValueError, "Found array with 0 sample(s)"),
    ("3-D", np.zeros((60, 3, 2)), None, ValueError, "Found array with dim 3"),
    ("lengths", X[:59], None, ValueError,
     "Found input variables with inconsistent numbers of samples: [59, 60]"),
    ("one sample", X[:1], "first", ValueError, "n_samples=1"),
    ("1-D", X[:, 0], None, ValueError, "Expected 2D array, got 1D array instead"),
    ("csr", sp.csr_matrix(X), None, TypeError,
     "Sparse data was passed for X, but dense data is required"),
    ("csc", sp.csc_matrix(X), None, TypeError,
     "Sparse data was passed for X, but dense data is required"),
    ("objects", np.array([[object()] * 3] * 60), None, TypeError,
     "float() argument must be a string or a real number, not 'object'"),
    ("complex", X + 1j, None, ValueError, "Complex data not supported"),
]


@pytest.fixture(params=[RampNetRegressor, RampNetClassifier], ids=["regressor", "classifier"])
def fitted(request):
    cls = request.param
    y = Y_REG if cls is RampNetRegressor else Y_CLS
    est = cls(hidden_layer_sizes=(4,), max_epochs=3).fit(X, y)
    return est, y


def snapshot(est):
    keys = ["is_fitted_", "coefs_", "intercepts_", "n_features_", "net_", "classes_",
            "label_binarizer_", "train_data_loader_", "n_features_in_"]
    return {k: getattr(est, k) for k in keys if hasattr(est, k)}


def assert_unchanged(est, before, predictions):
    after = snapshot(est)
    assert after.keys() == before.keys()
    assert all(after[k] is before[k] for k in before if k != "n_features_in_")
    assert after["n_features_in_"] == before["n_features_in_"]
    np.testing.assert_array_equal(est.predict(X), predictions)


@pytest.mark.parametrize("name, x, y, error, message", FIT_CASES, ids=[c[0] for c in FIT_CASES])
def test_bad_fit_data_is_refused_and_the_previous_fit_kept(fitted, name, x, y, error, message):
    est, good_y = fitted
    before, predictions = snapshot(est), est.predict(X)
    if y is None:
        y = good_y[: len(X)]
    elif isinstance(y, str):
        y = good_y[:1]
    with pytest.raises(error, match=re.escape(message)):
        est.fit(x, y)
    assert_unchanged(est, before, predictions)


@pytest.mark.parametrize("params, error, message", [
    ({"batch_size": 0}, ZeroDivisionError, None),
    ({"batch_size": -4}, ValueError, "batch_size must be a positive integer, got -4"),
    ({"device": "bogus"}, RuntimeError, "bogus"),
    ({"val_ratio": 1.5}, ValueError, "Got 1.5 instead"),
])
def test_bad_parameters_fail_in_data_preparation_and_keep_the_previous_fit(
        fitted, params, error, message):
    est, y = fitted
    before, predictions = snapshot(est), est.predict(X)
    original = {k: v for k, v in est.get_params().items() if k in params}
    est.set_params(**params)
    # New data of another width (and other labels): nothing of it may stick.
    new_y = Y_REG if isinstance(est, RampNetRegressor) else np.where(X[:, 1] > 0, 1, 0)
    with pytest.raises(error, match=None if message is None else re.escape(message)) as info:
        est.fit(X[:, :2], new_y)
    names = [e.name for e in info.traceback]
    assert "qalvo.models.rampnet.rampnet.RampNet._prepare_data" in names
    est.set_params(**original)
    assert_unchanged(est, before, predictions)


def test_a_refused_label_set_keeps_the_previous_encoding():
    est = RampNetClassifier(hidden_layer_sizes=(4,), max_epochs=2).fit(X, Y_CLS)
    before, predictions = snapshot(est), est.predict(X)
    with pytest.raises(ValueError, match=re.escape("multi-classification not supported")):
        est.fit(X, np.arange(60) % 3)
    assert_unchanged(est, before, predictions)
    assert list(est.predict(X[:2])) == list(predictions[:2])


def test_a_failed_first_fit_leaves_the_estimator_unfitted():
    est = RampNetClassifier()
    with pytest.raises(ValueError, match="multi-classification not supported"):
        est.fit(X, np.arange(60) % 3)
    assert not [k for k in vars(est) if k.endswith("_")]
    with pytest.raises(NotFittedError):
        est.predict(X)


@pytest.mark.parametrize("cls, method", [
    (RampNetRegressor, "predict"), (RampNetClassifier, "predict"),
    (RampNetClassifier, "decision_function"), (RampNetClassifier, "predict_proba"),
])
def test_prediction_before_fit(cls, method):
    with pytest.raises(NotFittedError, match="is not fitted yet"):
        getattr(cls(), method)(X)


@pytest.mark.parametrize("x, error, message", [
    (X[:, :2], ValueError, "The number of features in predict is\n"
                           "                 different from the number of features in fit"),
    (np.hstack([X, X]), ValueError, "The number of features in predict is\n"),
    (with_nan(X), ValueError, "Input X contains NaN"),
    (np.zeros((0, 3)), ValueError, "Found array with 0 sample(s)"),
    (np.zeros((4, 3, 1)), ValueError, "Found array with dim 3"),
    (X[0], ValueError, "Expected 2D array, got 1D array instead"),
    (sp.csr_matrix(X), TypeError, "Sparse data was passed for X, but dense data is required"),
    (np.array([["a", "b", "c"]] * 4), ValueError,
     "dtype='numeric' is not compatible with arrays of bytes/strings"),
    (X + 1j, ValueError, "Complex data not supported"),
    (with_inf(X), ValueError, "Input X contains infinity"),
])
def test_bad_prediction_input_is_refused_without_harm(fitted, x, error, message):
    est, _ = fitted
    before, predictions = snapshot(est), est.predict(X)
    with pytest.raises(error, match=re.escape(message)):
        est.predict(x)
    assert all(getattr(est, k) is v for k, v in before.items() if k != "n_features_in_")
    np.testing.assert_array_equal(est.predict(X), predictions)


@pytest.mark.parametrize("y, error, message", [
    (np.array(["a"] * 60), TypeError, "can't convert np.ndarray of type numpy.str_"),
    (np.array(["a"] * 60, dtype=object), ValueError, "could not convert string to float: 'a'"),
    (with_nan(Y_REG), ValueError, "Input y contains NaN"),
])
def test_regressor_refuses_non_numeric_or_missing_targets(y, error, message):
    est = RampNetRegressor(hidden_layer_sizes=(4,), max_epochs=2).fit(X, Y_REG)
    before, predictions = snapshot(est), est.predict(X)
    with pytest.raises(error, match=re.escape(message)):
        est.fit(X, y)
    assert_unchanged(est, before, predictions)


# Finite values beyond what float64 training can square: the regression
# losses overflow and the weights of the first case turn to NaN.
@pytest.mark.parametrize("x, y", [(X * 1e300, Y_REG), (X, Y_REG * 1e200)],
                         ids=["features", "targets"])
def test_huge_regression_data_are_refused_and_the_previous_fit_kept(x, y):
    est = RampNetRegressor(hidden_layer_sizes=(4,), max_epochs=3).fit(X, Y_REG)
    before, predictions = snapshot(est), est.predict(X)
    with pytest.raises(ValueError, match=re.escape(NON_FINITE)) as info:
        est.fit(x, y)
    assert ("qalvo.models.rampnet.rampnet.RampNet.fit", 425) in [
        (e.name, e.lineno + 1) for e in info.traceback]
    assert_unchanged(est, before, predictions)


def test_huge_features_keep_the_classifier_finite():
    """The logistic loss of huge logits stays finite: a (poor) model, no error."""
    est = RampNetClassifier(hidden_layer_sizes=(4,), max_epochs=3).fit(X * 1e300, Y_CLS)
    assert np.isfinite(est.valid_epoch_loss_).all()
    probabilities = est.predict_proba(X * 1e300)
    assert np.isfinite(probabilities).all()
    np.testing.assert_allclose(probabilities.sum(axis=1), 1.0)


def test_huge_features_on_a_first_fit_leave_the_estimator_unfitted():
    est = RampNetRegressor(hidden_layer_sizes=(4,), max_epochs=3)
    with pytest.raises(ValueError, match=re.escape(NON_FINITE)):
        est.fit(X * 1e300, Y_REG)
    assert not [k for k in vars(est) if k.endswith("_")]


def readonly(a):
    a = np.array(a)
    a.flags.writeable = False
    return a


def frame(a):
    return pd.DataFrame(a, columns=["alpha", "beta", "gamma"])


# Inputs that validation accepts: each fits and predicts exactly as the same
# values given as a float64 array do.
ACCEPTED = [
    ("read-only", readonly, readonly),
    ("DataFrame and Series", frame, pd.Series),
    ("float32", lambda a: a.astype(np.float32), lambda y: y),
    ("int", lambda a: (a * 10).astype(np.int64), lambda y: y),
    ("objects holding numbers", lambda a: a.astype(object), lambda y: y),
    ("lists", lambda a: a.tolist(), lambda y: list(y)),
    ("Fortran order", np.asfortranarray, lambda y: y),
    ("strided", lambda a: np.repeat(a, 2, axis=1)[:, ::2], lambda y: y[::-1][::-1]),
    ("large", lambda a: a * 1e6, lambda y: y),
]


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
@pytest.mark.parametrize("name, make_x, make_y", ACCEPTED, ids=[c[0] for c in ACCEPTED])
def test_accepted_inputs_fit_as_their_float64_values(cls, name, make_x, make_y):
    y = Y_REG if cls is RampNetRegressor else Y_CLS
    x = make_x(X)
    plain_x = np.asarray(x, dtype=np.float64)
    params = dict(hidden_layer_sizes=(4,), max_epochs=3)
    est = cls(**params).fit(x, make_y(y))
    reference = cls(**params).fit(plain_x, y)
    for got, want in zip(est.coefs_ + est.intercepts_, reference.coefs_ + reference.intercepts_):
        np.testing.assert_array_equal(got, want)
    predictions = est.predict(x)
    np.testing.assert_array_equal(predictions, reference.predict(plain_x))
    if cls is RampNetRegressor:
        assert predictions.dtype == np.float64 and np.isfinite(predictions).all()
    else:
        assert set(predictions) <= {"up", "down"}


def test_column_names_of_a_frame_are_recorded():
    est = RampNetRegressor(hidden_layer_sizes=(4,), max_epochs=2).fit(frame(X), Y_REG)
    assert list(est.feature_names_in_) == ["alpha", "beta", "gamma"]
    with pytest.warns(UserWarning, match="X does not have valid feature names"):
        np.testing.assert_array_equal(est.predict(frame(X)), est.predict(X))


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
@pytest.mark.parametrize("rows, columns", [(2, 3), (60, 1)], ids=["two samples", "one feature"])
def test_smallest_data_fit(cls, rows, columns):
    y = (Y_REG if cls is RampNetRegressor else np.array(["up", "down"] * 30))[:rows]
    est = cls(hidden_layer_sizes=(4,), max_epochs=3).fit(X[:rows, :columns], y)
    assert est.coefs_[0].shape == (columns, 4)
    assert est.predict(X[:5, :columns]).shape == (5,)


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
def test_a_zero_width_layer_gives_a_constant_model(cls):
    y = Y_REG if cls is RampNetRegressor else Y_CLS
    est = cls(hidden_layer_sizes=(0,), max_epochs=3)
    with pytest.warns(UserWarning, match="Initializing zero-element tensors is a no-op"):
        est.fit(X, y)
    assert [c.shape for c in est.coefs_] == [(3, 0), (0, 1)]
    outputs = est.predict(X) if cls is RampNetRegressor else est.decision_function(X)
    assert np.all(outputs == outputs[0]) and outputs[0] == est.intercepts_[-1][0]


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
def test_an_integer_val_ratio_of_one_holds_out_a_single_row(cls):
    y = Y_REG if cls is RampNetRegressor else Y_CLS
    est = cls(hidden_layer_sizes=(4,), max_epochs=2, val_ratio=1).fit(X, y)
    assert (est.train_data_loader_.dataset_len, est.val_data_loader_.dataset_len) == (59, 1)


@pytest.mark.parametrize("val_ratio", [0, 0.0, 1.0])
def test_val_ratio_without_a_validation_part_is_refused(fitted, val_ratio):
    est, y = fitted
    before, predictions = snapshot(est), est.predict(X)
    est.set_params(val_ratio=val_ratio)
    with pytest.raises(ValueError, match=re.escape(
            f"The 'test_size' parameter of train_test_split must be a float in the range "
            f"(0.0, 1.0), an int in the range [1, inf) or None. Got {val_ratio!r} instead.")):
        est.fit(X, y)
    est.set_params(val_ratio=0.2)
    assert_unchanged(est, before, predictions)


# Refits that fail after the new data were prepared but before an epoch was
# trained: the estimator keeps the previous model, the width it was fitted on
# included (the refit uses two columns instead of three).
BUILD_FAILURES = [
    ({"hidden_layer_sizes": (-1,)}, RuntimeError,
     "Trying to create tensor with negative dimension -1: [-1, 2]"),
    ({"hidden_layer_sizes": (4, -3)}, RuntimeError, "negative dimension -3"),
    ({"hidden_layer_sizes": 5}, TypeError, "'int' object is not iterable"),
    ({"hidden_layer_sizes": (2 ** 70,)}, TypeError, "Overflow when unpacking long long"),
    ({"hidden_layer_sizes": (2.5,)}, TypeError, "empty(): argument 'size'"),
    ({"dropout_prob": 1.5}, ValueError,
     "dropout probability has to be between 0 and 1, but got 1.5"),
    ({"iht": True, "phase_epochs": 1000}, KeyError, "Please enter phase_epochs as"),
    ({"iht": True, "phase_epochs": 0}, ZeroDivisionError, "division by zero"),
]


@pytest.mark.parametrize("params, error, message", BUILD_FAILURES,
                         ids=[repr(c[0]) for c in BUILD_FAILURES])
def test_a_refit_failing_before_training_keeps_the_previous_model(fitted, params, error, message):
    est, y = fitted
    before, predictions = snapshot(est), est.predict(X)
    original = {k: v for k, v in est.get_params().items() if k in params}
    est.set_params(**params)
    with pytest.raises(error, match=re.escape(message)):
        est.fit(X[:, :2], y)
    est.set_params(**original)
    assert_unchanged(est, before, predictions)


def test_an_interrupt_after_trained_epochs_keeps_them():
    """An interrupted long fit keeps the epochs trained so far, as a fitted model."""
    est = RampNetRegressor(hidden_layer_sizes=(4,), max_epochs=10)
    calls = []
    loss = est.loss_fn

    def failing_in_the_third_epoch(prediction, labels):
        calls.append(1)
        if len(calls) > 2 * 2:  # one training and one validation batch per epoch
            raise KeyboardInterrupt
        return loss(prediction, labels)

    est.loss_fn = failing_in_the_third_epoch
    with pytest.raises(KeyboardInterrupt):
        est.fit(X, Y_REG)
    assert len(est.train_epoch_loss_) == len(est.valid_epoch_loss_) == 2
    assert est.n_features_ == 3 and est.is_fitted_ is True
    assert [c.shape for c in est.coefs_] == [(3, 4), (4, 1)]


def test_a_failure_in_the_first_epoch_leaves_a_first_fit_unfitted():
    est = RampNetRegressor(hidden_layer_sizes=(4,), max_epochs=10)

    def failing(prediction, labels):
        raise KeyboardInterrupt

    est.loss_fn = failing
    with pytest.raises(KeyboardInterrupt):
        est.fit(X, Y_REG)
    assert not [k for k in vars(est) if k.endswith("_")]


def test_a_class_passed_as_the_estimator_keeps_what_its_own_code_set():
    """Only instance attributes are restored: a class's own dictionary is never
    rewritten behind the interpreter's back."""
    from qalvo.models.rampnet.rampnet import RampNet

    class Host:
        val_ratio = 5.0  # refused by the split, after the input validation ran
        random_state = 0
        _set_seed = staticmethod(lambda: None)
        _prepare_data = classmethod(lambda cls, x, y: RampNet._prepare_data(cls, x, y))

        @classmethod
        def _validate_input(cls, x, y):
            cls.scratch = [object()]
            return x, y

    with pytest.raises(ValueError, match="test_size"):
        RampNet._prepare_data(Host, X, Y_REG)
    assert len(Host.scratch) == 1 and Host.n_features_ == 3
    del Host.scratch, Host.n_features_
    with pytest.raises(ValueError, match="test_size"):
        RampNet.fit(Host, X, Y_REG)
    assert len(Host.scratch) == 1 and Host.n_features_ == 3


@pytest.mark.parametrize("bound, error, message", [
    (0, ZeroDivisionError, "integer division or modulo by zero"),
    (-1, ValueError, "batch_size must be a positive integer, got -1"),
    (2 ** 70, OverflowError, "Python int too large to convert to C long"),
])
def test_a_bad_inference_batch_size_fails_prediction_and_harms_nothing(fitted, bound, error,
                                                                       message):
    est, _ = fitted
    before, predictions = snapshot(est), est.predict(X)
    est.set_params(batch_size_inference=bound)
    with pytest.raises(error, match=re.escape(message)):
        est.predict(X)
    est.set_params(batch_size_inference=10000)
    assert_unchanged(est, before, predictions)


PREDICTING = [(RampNetRegressor, "predict"), (RampNetClassifier, "predict"),
              (RampNetClassifier, "predict_proba"), (RampNetClassifier, "decision_function")]


def fitted_to(cls, x):
    return cls(hidden_layer_sizes=(4,), max_epochs=2).fit(
        x, Y_REG if cls is RampNetRegressor else Y_CLS)


@pytest.mark.parametrize("cls, method", PREDICTING)
@pytest.mark.parametrize("columns", [["beta", "alpha", "gamma"], ["alpha", "beta", "delta"]],
                         ids=["reordered", "renamed"])
def test_prediction_refuses_frame_columns_other_than_those_of_fit(cls, method, columns):
    est = fitted_to(cls, frame(X))
    other = frame(X).rename(columns={"gamma": "delta"})[columns] if "delta" in columns \
        else frame(X)[columns]
    with pytest.raises(ValueError, match="The feature names should match those that were "
                                         "passed during fit"):
        getattr(est, method)(other)
    assert list(est.feature_names_in_) == ["alpha", "beta", "gamma"]


@pytest.mark.parametrize("cls, method", PREDICTING)
def test_an_array_after_a_frame_fit_gets_scikit_learns_warning(cls, method):
    est = fitted_to(cls, frame(X))
    with pytest.warns(UserWarning, match="X does not have valid feature names"):
        from_array = getattr(est, method)(X)
    np.testing.assert_array_equal(from_array, getattr(est, method)(frame(X)))


@pytest.mark.parametrize("cls, method", PREDICTING)
def test_prediction_never_changes_what_fit_recorded(cls, method):
    est = fitted_to(cls, X)
    with pytest.raises(ValueError, match=re.escape(
            "The number of features in predict is\n"
            "                 different from the number of features in fit")):
        getattr(est, method)(np.zeros((5, 9)))
    assert est.n_features_in_ == 3
    with pytest.warns(UserWarning, match="X has feature names, but"):
        getattr(est, method)(frame(X))
    assert est.n_features_in_ == 3 and not hasattr(est, "feature_names_in_")
