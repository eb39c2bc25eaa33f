"""Fitted models as the experiment applies them: each seen as a regressor of
the value that is explained, fed the columns it was fitted on."""

import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.base import is_classifier as sklearn_is_classifier
from sklearn.exceptions import NotFittedError
from sklearn.utils.validation import check_is_fitted

from .._optional import import_optional
from .data import shown


class ModelResponse(RegressorMixin, BaseEstimator):
    """A fitted model seen as a regressor of the value that is explained: the
    prediction of a regressor, the probability of ``classes_[1]`` for a binary
    classifier. It lets the scikit-learn inspection tools treat both alike
    (and never calls a classifier's ``predict``).

    It takes rows in the experiment's column order and hands the model its own:
    ``order`` lists the experiment's column of each of the model's features
    (None: the same order), ``columns`` the names the model was fitted on
    (None: it gets an array)."""

    def __init__(self, model=None, classifier=False, columns=None, order=None):
        self.model = model
        self.classifier = classifier
        self.columns = columns
        self.order = order

    def fit(self, x, y=None):
        return self

    def __sklearn_is_fitted__(self):
        return True

    def _input(self, x):
        if self.order is not None:
            x = np.asarray(x)[:, self.order]
        # A model fitted on a DataFrame gets one with its own column names back.
        if self.columns is not None:
            pd = import_optional("pandas", "explain", "Explaining a model fitted on a DataFrame")
            return pd.DataFrame(x, columns=self.columns)
        return x

    def predict_proba(self, x):
        return np.asarray(self.model.predict_proba(self._input(x)), dtype=np.float64)

    def regression_output(self, x):
        """The model's ``predict`` as it comes, as floats."""
        return np.asarray(self.model.predict(self._input(x)), dtype=np.float64)

    def predict(self, x):
        if self.classifier:
            return self.predict_proba(x)[:, 1]
        return self.regression_output(x).reshape(len(x))


def columns_for(name, model, feature_names):
    """(columns, order) of ``ModelResponse`` for ``model``: a model that knows the
    names it was fitted on gets the experiment's columns of those names, in its
    own order; one that knows only its width must match the experiment's."""
    fitted_names = getattr(model, "feature_names_in_", None)
    if fitted_names is not None:
        fitted_names = list(fitted_names)
        missing = [n for n in fitted_names if n not in feature_names]
        extra = [n for n in feature_names if n not in fitted_names]
        if missing or extra or len(fitted_names) != len(feature_names):
            raise ValueError(
                "model %r was fitted on other features than the experiment's: "
                "missing from the experiment: %s; not known to the model: %s"
                % (
                    name,
                    ", ".join(shown(n) for n in missing) or "none",
                    ", ".join(shown(n) for n in extra) or "none",
                )
            )
        order = [feature_names.index(n) for n in fitted_names]
        return fitted_names, None if order == list(range(len(order))) else order
    width = getattr(model, "n_features_in_", None)
    if width is not None and width != len(feature_names):
        raise ValueError(
            "model %r was fitted on %d features, the experiment's data have %d"
            % (name, width, len(feature_names))
        )
    return None, None


def is_classifier(model):
    """Whether ``model`` is a classifier by scikit-learn's tags. A model that
    is not a scikit-learn estimator (no tags: newer scikit-learn raises for it)
    is a classifier only if it says so the old way, by ``_estimator_type``."""
    try:
        return sklearn_is_classifier(model)
    except AttributeError:
        return getattr(model, "_estimator_type", None) == "classifier"


def is_fitted(model):
    """scikit-learn's fitted check; for a model without scikit-learn's tags
    (newer releases raise for it), the check's own rule: a fitted attribute
    (a name ending in "_") or ``__sklearn_is_fitted__``. A model without
    ``fit`` (a wrapper of a fitted model, a prediction rule written by hand)
    cannot be fitted, so it is ready as it is, unless its
    ``__sklearn_is_fitted__`` says otherwise."""
    if not hasattr(model, "fit"):
        says = getattr(model, "__sklearn_is_fitted__", None)
        return True if says is None else bool(says())
    try:
        check_is_fitted(model)
        return True
    except (NotFittedError, TypeError):  # not fitted, or a class rather than a model
        return False
    except AttributeError:
        if hasattr(model, "__sklearn_is_fitted__"):
            return bool(model.__sklearn_is_fitted__())
        return any(v.endswith("_") and not v.startswith("__") for v in vars(model))


def check_single_output(name, response, rows):
    """Refuse a regressor that predicts several values per sample: the
    experiment explains one value per sample. ``rows``: a few of the data's."""
    if response.classifier:
        return
    try:
        output = response.regression_output(rows)
    except ImportError:
        raise  # a package to install (its message says which), not a model unfit for the data
    except Exception as error:
        raise ValueError(
            "model %r cannot predict the experiment's data (%d features): %s" % (name, rows.shape[1], error)
        ) from error
    outputs = output[0].size if output.ndim > 1 and len(output) == len(rows) else None
    if outputs is not None and outputs > 1:
        raise ValueError(
            "model %r predicts %d outputs per sample (a multi-output regressor); only models "
            "of a single output can be explained: hold one model per output" % (name, outputs)
        )
