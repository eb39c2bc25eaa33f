"""The experiment: one data set, fitted models held under names, and the
explanations of each model that the dashboard draws."""

import numbers

import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin, is_classifier
from sklearn.exceptions import NotFittedError
from sklearn.inspection import permutation_importance
from sklearn.metrics import r2_score, roc_auc_score
from sklearn.utils import check_array, check_consistent_length
from sklearn.utils.validation import check_is_fitted

from . import ale, parallel, pdp
from .score_drops import R2, ROC_AUC, ScoreDrops

# Label length the dashboard asks for.
LABEL_LENGTH = 15


def _shown(value):
    """repr of a value for a message, NumPy scalars as plain Python ones."""
    return repr(value.item() if isinstance(value, np.generic) else value)


def truncate_names(names, length):
    """Map each name to a label of at most ``length`` characters: the name
    itself when it fits, else its first ``length - 1`` characters and "…", so
    that a cut label never passes for a whole name. Where cutting makes several
    names equal, each of them is numbered instead ("~1…", "~2…", ... after a
    shorter start), so that a chart never draws two features under one label
    (a bar chart with categorical labels would stack them). A length too short
    to hold the number gives longer labels rather than repeated ones."""
    cut = {name: name if len(name) <= length else name[: length - 1] + "…" for name in names}
    groups = {}
    for name in names:
        groups.setdefault(cut[name], []).append(name)
    used = {label for label, members in groups.items() if len(members) == 1}
    labels = {}
    for label, members in groups.items():
        if len(members) == 1:
            labels[members[0]] = label
            continue
        number = 0
        for name in members:
            while True:
                number += 1
                suffix = "~%d…" % number
                candidate = name[: max(length - len(suffix), 0)] + suffix
                if candidate not in used:
                    break
            used.add(candidate)
            labels[name] = candidate
    return labels


class TruncatedNames(dict):
    """Labels by length: ``names[15]`` maps every feature name to its label of
    at most 15 characters; other lengths are made on first use."""

    def __init__(self, names):
        super().__init__()
        self._names = list(names)

    def __missing__(self, length):
        if isinstance(length, bool) or not isinstance(length, numbers.Integral) or length < 1:
            raise KeyError(length)
        labels = truncate_names(self._names, int(length))
        self[length] = labels
        return labels


def _check_finite_response(y):
    """Refuse a response holding NaN or infinite values: the scores of
    permutation importance would come out NaN, and every explanation of a
    model fitted to such values would be meaningless."""
    if y.dtype.kind in "fc":
        bad = ~np.isfinite(y)
    elif y.dtype.kind == "O":
        bad = np.array(
            [isinstance(v, (float, complex, np.inexact)) and not np.isfinite(v) for v in y],
            dtype=bool,
        )
    else:
        return
    if bad.any():
        first = int(np.flatnonzero(bad)[0])
        raise ValueError(
            "the response y holds %d NaN or infinite value%s (the first at row %d, %s)"
            % (bad.sum(), "" if bad.sum() == 1 else "s", first, _shown(y[first]))
        )


class Dataset:
    """The experiment's data, checked and frozen (``Experiment.data``).

    Parameters
    ----------
    x : array-like or DataFrame of shape (n_samples, n_features)
        Feature data; copied as float64.
    y : array-like of shape (n_samples,)
        The response; a single column is flattened.
    feature_names : list of str, optional
        Distinct names, one per column; by default a DataFrame's column
        names, else "x0", "x1", ...

    Attributes
    ----------
    x : ndarray of shape (n_samples, n_features)
        The features, float64, read-only.
    y : ndarray of shape (n_samples,)
        The response, read-only.
    feature_names : list of str
        The features' names, in column order.
    truncated_columns_dict : dict
        ``truncated_columns_dict[n]`` maps each feature name to a distinct
        label of at most ``n`` characters (for chart labels).

    Raises
    ------
    ValueError
        For a response of more than one column or with NaN or infinite
        values, lengths that differ, or feature names that are too few, too
        many, not strings or repeated.
    """

    def __init__(self, x, y, feature_names=None):
        columns = getattr(x, "columns", None)
        self.x = check_array(x, dtype=np.float64, copy=True, input_name="x")
        self.x.flags.writeable = False
        self.y = np.array(y, copy=True)
        if self.y.ndim == 2 and self.y.shape[1] == 1:
            self.y = self.y.ravel()
        if self.y.ndim != 1:
            raise ValueError("y must be one-dimensional, got shape %s" % (self.y.shape,))
        check_consistent_length(self.x, self.y)
        _check_finite_response(self.y)
        self.y.flags.writeable = False
        if feature_names is None:
            if columns is not None:
                feature_names = [str(c) for c in columns]
            else:
                feature_names = ["x%d" % i for i in range(self.x.shape[1])]
        feature_names = list(feature_names)
        if len(feature_names) != self.x.shape[1]:
            raise ValueError(
                "%d feature names given for %d features" % (len(feature_names), self.x.shape[1])
            )
        for name in feature_names:
            if not isinstance(name, str):
                raise ValueError("feature names must be strings, got %r" % (name,))
        if len(set(feature_names)) != len(feature_names):
            repeated = sorted({n for n in feature_names if feature_names.count(n) > 1})
            raise ValueError("feature names must be distinct; repeated: %s" % ", ".join(repeated))
        self.feature_names = feature_names
        self.truncated_columns_dict = TruncatedNames(feature_names)
        self.truncated_columns_dict[LABEL_LENGTH]

    @property
    def n_samples(self):
        """Number of rows of ``x``."""
        return self.x.shape[0]


class _Response(RegressorMixin, BaseEstimator):
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
            import pandas as pd

            return pd.DataFrame(x, columns=self.columns)
        return x

    def predict_proba(self, x):
        return np.asarray(self.model.predict_proba(self._input(x)), dtype=np.float64)

    def predict(self, x):
        if self.classifier:
            return self.predict_proba(x)[:, 1]
        return np.asarray(self.model.predict(self._input(x)), dtype=np.float64).reshape(len(x))


def _columns_for(name, model, feature_names):
    """(columns, order) of ``_Response`` for ``model``: a model that knows the
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
                    ", ".join(_shown(n) for n in missing) or "none",
                    ", ".join(_shown(n) for n in extra) or "none",
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


def _is_classifier(model):
    """Whether ``model`` is a classifier by scikit-learn's tags. A model that
    is not a scikit-learn estimator (no tags: newer scikit-learn raises for it)
    is a classifier only if it says so the old way, by ``_estimator_type``."""
    try:
        return is_classifier(model)
    except AttributeError:
        return getattr(model, "_estimator_type", None) == "classifier"


def _is_fitted(model):
    """scikit-learn's fitted check; for a model without scikit-learn's tags
    (newer releases raise for it), the check's own rule: a fitted attribute
    (a name ending in "_") or ``__sklearn_is_fitted__``."""
    try:
        check_is_fitted(model)
        return True
    except (NotFittedError, TypeError):  # not fitted, or not an estimator at all
        return False
    except AttributeError:
        if hasattr(model, "__sklearn_is_fitted__"):
            return bool(model.__sklearn_is_fitted__())
        return any(v.endswith("_") and not v.startswith("__") for v in vars(model))


class Experiment:
    """Feature data, a response and fitted models held under names, with the
    explanations of each model: permutation feature importance, partial
    dependence, accumulated local effects, SHAP and LIME.

    Models are fitted scikit-learn-compatible regressors (``predict``) or binary
    classifiers (``predict_proba``; the probability of ``classes_[1]`` is what
    is explained). A model that knows the feature names it was fitted on
    (``feature_names_in_``) gets the experiment's columns of those names, in
    its own order; a model that knows only its number of features
    (``n_features_in_``) gets the columns as they are, and must have as many.
    Results are computed on first request and kept until the model is
    replaced.

    Parameters
    ----------
    x : array-like or DataFrame of shape (n_samples, n_features)
        The data the explanations are computed on, in the units the models
        take (a model that scales its input does so inside its pipeline, so
        the explanations read in the data's own units).
    y : array-like of shape (n_samples,)
        The response: numbers for regressors, the classifiers' labels for
        classifiers.
    feature_names : list of str, optional
        One distinct name per column; by default a DataFrame's column names,
        else "x0", "x1", ...
    pfi_repeats : int, default=5
        Permutations per feature of permutation importance.
    pfi_max_samples : int, optional
        Rows used by each permutation (None: all).
    pdp_grid : int, default=50
        Grid points (at most) of one-feature partial dependence, over the
        feature's whole range.
    pdp_grid_2d : int, default=20
        Grid points per feature (at most) of two-feature partial dependence.
    pdp_max_samples : int, default=1000
        Rows that partial dependence averages over (a random subsample of
        larger data).
    ale_bins : int, default=40
        Quantile bins of one-feature ALE (ALE uses all rows).
    ale_bins_2d : int, default=20
        Quantile bins per feature of two-feature ALE.
    shap_background : int, default=100
        Rows of the SHAP background sample.
    lime_samples : int, default=2000
        Perturbed samples per LIME explanation.
    random_state : int or None, default=0
        Seed of every sample and permutation drawn (None: fresh entropy).
    n_jobs : int or None, default=1
        joblib's meaning: permutation importance is spread over the
        features and ``local_values`` over the samples. Inside a
        ``joblib.parallel_backend("dask")`` block, -1 (or None) runs them on
        every worker of the Dask cluster. The results do not depend on it.

    Attributes
    ----------
    data : Dataset
        The checked data: ``data.x``, ``data.y``, ``data.feature_names``.

    Raises
    ------
    ValueError
        If the data are refused (see :class:`Dataset`), or a sample size,
        ``random_state`` or ``n_jobs`` is not a valid value.

    Examples
    --------
    >>> from sklearn.datasets import load_diabetes
    >>> from sklearn.linear_model import LinearRegression
    >>> from qalvo.experiment import Experiment
    >>> data = load_diabetes(scaled=False)
    >>> model = LinearRegression().fit(data.data, data.target)
    >>> exp = Experiment(data.data, data.target, data.feature_names)
    >>> exp.add_model("linear", model).models
    {'linear': LinearRegression()}
    >>> names, importances = exp.permutation_vi("linear")
    >>> names[-3:], importances.score  # the three most important, and the score
    (['bmi', 's5', 's1'], 'R²')
    """

    def __init__(
        self,
        x,
        y,
        feature_names=None,
        *,
        pfi_repeats=5,
        pfi_max_samples=None,
        pdp_grid=50,
        pdp_grid_2d=20,
        pdp_max_samples=1000,
        ale_bins=40,
        ale_bins_2d=20,
        shap_background=100,
        lime_samples=2000,
        random_state=0,
        n_jobs=1,
    ):
        self.data = Dataset(x, y, feature_names)
        for setting, value in [
            ("pfi_repeats", pfi_repeats),
            ("pdp_grid", pdp_grid),
            ("pdp_grid_2d", pdp_grid_2d),
            ("pdp_max_samples", pdp_max_samples),
            ("ale_bins", ale_bins),
            ("ale_bins_2d", ale_bins_2d),
            ("shap_background", shap_background),
            ("lime_samples", lime_samples),
        ] + ([("pfi_max_samples", pfi_max_samples)] if pfi_max_samples is not None else []):
            if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 1:
                raise ValueError("%s must be a positive integer, got %r" % (setting, value))
        if random_state is not None and (
            isinstance(random_state, bool) or not isinstance(random_state, numbers.Integral) or random_state < 0
        ):
            raise ValueError("random_state must be a non-negative integer or None, got %r" % (random_state,))
        if pdp_grid < 2 or pdp_grid_2d < 2:
            raise ValueError("pdp_grid and pdp_grid_2d must be at least 2")
        self.pfi_repeats = pfi_repeats
        self.pfi_max_samples = pfi_max_samples
        self.pdp_grid = pdp_grid
        self.pdp_grid_2d = pdp_grid_2d
        self.pdp_max_samples = pdp_max_samples
        self.ale_bins = ale_bins
        self.ale_bins_2d = ale_bins_2d
        self.shap_background = shap_background
        self.lime_samples = lime_samples
        self.random_state = random_state
        self.n_jobs = parallel.check_n_jobs(n_jobs)
        self._models = {}
        self._responses = {}
        self._cache = {}
        self._explained = None

    # ----------------------------------------------------------------- models

    def add_model(self, name, model):
        """Hold the fitted ``model`` under ``name``, replacing any model of
        that name and its computed explanations.

        Parameters
        ----------
        name : str
            The name the other methods take.
        model : estimator
            A fitted regressor (``predict``) or binary classifier
            (``predict_proba`` and two ``classes_``, which the response
            must hold), for the experiment's features.

        Returns
        -------
        Experiment
            The experiment itself.

        Raises
        ------
        ValueError
            If the model is not fitted, has no ``predict`` (or
            ``predict_proba``), is a classifier of other than two classes or
            of other labels than the response's, is a regressor of a
            non-numeric response, was fitted on other features, or fails to
            predict two rows of the data.
        """
        if not isinstance(name, str):
            raise ValueError("model names must be strings, got %r" % (name,))
        classifier = _is_classifier(model)
        if classifier:
            if not hasattr(model, "predict_proba"):
                raise ValueError("classifier %r has no predict_proba" % name)
        elif not hasattr(model, "predict"):
            raise ValueError("model %r has no predict method" % name)
        if not _is_fitted(model):
            raise ValueError("model %r is not fitted" % name)
        if classifier:
            classes = getattr(model, "classes_", None)
            if classes is None or len(classes) != 2:
                raise ValueError(
                    "model %r: only binary classifiers are supported, it has %s"
                    % (name, "no classes_" if classes is None else "%d classes" % len(classes))
                )
            labels = np.unique(self.data.y)
            foreign = [label for label in labels if label not in list(classes)]
            if foreign or len(labels) < 2:
                raise ValueError(
                    "model %r classifies %s, but the experiment's response holds %s"
                    % (
                        name,
                        " and ".join(_shown(c) for c in classes),
                        "other values, such as " + _shown(foreign[0]) if foreign else "only " + _shown(labels[0]),
                    )
                )
        elif not (np.issubdtype(self.data.y.dtype, np.number) or self.data.y.dtype == bool):
            raise ValueError("model %r is a regressor, but the experiment's response is not numeric" % name)
        response = _Response(model, classifier, *_columns_for(name, model, self.data.feature_names))
        try:
            response.predict(self.data.x[:2])
        except Exception as error:
            raise ValueError(
                "model %r cannot predict the experiment's data (%d features): %s"
                % (name, self.data.x.shape[1], error)
            ) from error
        self._models[name] = model
        self._responses[name] = response
        self._cache = {key: value for key, value in self._cache.items() if key[1] != name}
        return self

    @property
    def models(self):
        """The models held, by name (a new dict on each access)."""
        return dict(self._models)

    def _response(self, name):
        try:
            return self._responses[name]
        except (KeyError, TypeError):
            known = ", ".join(repr(n) for n in self._models) or "none"
            raise KeyError("unknown model %r; models held: %s" % (name, known)) from None

    def _feature(self, feature):
        names = self.data.feature_names
        try:
            return names.index(feature)
        except ValueError:
            shown = ", ".join(repr(n) for n in names[:10]) + (", ..." if len(names) > 10 else "")
            raise KeyError("unknown feature %r; features: %s" % (feature, shown)) from None

    def _cached(self, key, compute):
        if key not in self._cache:
            self._cache[key] = compute()
        return self._cache[key]

    def _target(self, name):
        """The response the score of permutation importance compares with."""
        y = self.data.y
        if not self._responses[name].classifier:
            return y.astype(np.float64)
        return (y == self._models[name].classes_[1]).astype(np.float64)

    # ------------------------------------------------ importance and ranking

    def explain_single(self, name):
        """Prepare the explanations of model ``name`` that are asked for first:
        its permutation importance, which also sets ``per_vi_rank``.

        The dashboard calls it once when it is built.

        Parameters
        ----------
        name : str
            A model held by the experiment.

        Raises
        ------
        KeyError
            If no model is held under ``name``.
        """
        self.permutation_vi(name)
        self._explained = name

    @property
    def per_vi_rank(self):
        """Feature names of the model last given to ``explain_single``, from
        the least to the most important by permutation importance."""
        if self._explained is None:
            raise AttributeError("per_vi_rank is set by explain_single(name); no model explained yet")
        return list(self.permutation_vi(self._explained)[0])

    def permutation_vi(self, name):
        """Permutation feature importance of model ``name``.

        The importance of a feature is the mean drop of the score (R² for a
        regressor, ROC AUC of the probability of ``classes_[1]`` for a
        classifier) when the feature's values are shuffled, over
        ``pfi_repeats`` shuffles.

        Parameters
        ----------
        name : str
            A model held by the experiment.

        Returns
        -------
        names : list of str
            The feature names, in increasing order of importance (the order
            in which a horizontal bar chart draws them from the bottom up).
        importances : ScoreDrops of shape (n_features,)
            The importances in the same order; a float array whose
            ``score`` attribute names the score ("R²" or "ROC AUC").

        Raises
        ------
        KeyError
            If no model is held under ``name``.
        """
        response = self._response(name)

        def compute():
            target = self._target(name)
            metric = roc_auc_score if response.classifier else r2_score
            result = permutation_importance(
                response,
                self.data.x,
                target,
                scoring=lambda model, x, y: metric(y, model.predict(x)),
                n_repeats=self.pfi_repeats,
                max_samples=min(self.pfi_max_samples, len(target)) if self.pfi_max_samples else 1.0,
                random_state=self.random_state,
                n_jobs=self.n_jobs,
            )
            order = np.argsort(result.importances_mean, kind="stable")
            names = [self.data.feature_names[i] for i in order]
            return names, result.importances_mean[order]

        names, importances = self._cached(("pfi", name), compute)
        return list(names), ScoreDrops(importances, ROC_AUC if response.classifier else R2)

    # ------------------------------------------------------- feature effects

    def _pdp_rows(self):
        n = self.data.n_samples
        if n <= self.pdp_max_samples:
            return self.data.x
        rng = np.random.default_rng(self.random_state)
        return self.data.x[np.sort(rng.choice(n, self.pdp_max_samples, replace=False))]

    def pdp_explain(self, name, feature0, feature1=None):
        """Partial dependence of model ``name`` on one feature or a pair: the
        mean prediction over the data (at most ``pdp_max_samples`` rows of
        it) with the feature, or the pair, set to each value of a grid that
        spans the feature's whole range, as ALE does.

        The grid of one feature is its distinct values where there are at
        most ``pdp_grid`` of them, else ``pdp_grid`` evenly spaced values; a
        pair's grids are evenly spaced (at most ``pdp_grid_2d`` values each).

        Parameters
        ----------
        name : str
            A model held by the experiment.
        feature0 : str
            The feature's name.
        feature1 : str, optional
            The second feature of a pair.

        Returns
        -------
        dict
            ``{"values": [grid0] or [grid0, grid1], "average": [A]}``, grids
            ascending. For one feature, ``A[i]`` is the average prediction
            with the feature set to ``grid0[i]``. For a pair, ``A[r, c]`` is
            that with the features set to ``(grid0[c], grid1[-1 - r])``: drawn
            with ``plt.imshow(A, extent=[grid0[0], grid0[-1], grid1[0],
            grid1[-1]])``, feature0 runs along x and feature1 up the y axis.
            A pair of equal features is no pair: its "average" is the
            one-feature curve.

        Raises
        ------
        KeyError
            If the model or a feature is unknown.
        """
        response = self._response(name)
        i = self._feature(feature0)
        j = None if feature1 is None else self._feature(feature1)

        def compute():
            rows = self._pdp_rows()
            x = self.data.x
            if j is None or j == i:
                grid = pdp.line_grid(x[:, i], self.pdp_grid)
                average = pdp.partial_dependence(response.predict, rows, [i], [grid], len(x))
                values = [grid] if j is None else [grid, grid.copy()]
                return {"values": values, "average": [average]}
            grid0 = pdp.even_grid(x[:, i], self.pdp_grid_2d)
            grid1 = pdp.even_grid(x[:, j], self.pdp_grid_2d)
            surface = pdp.partial_dependence(response.predict, rows, [i, j], [grid0, grid1], len(x))
            return {"values": [grid0, grid1], "average": [np.ascontiguousarray(surface.T[::-1])]}

        result = self._cached(("pdp", name, i, j), compute)
        return {
            "values": [v.copy() for v in result["values"]],
            "average": [a.copy() for a in result["average"]],
        }

    def ale_explain(self, name, feature0, feature1=None):
        """Accumulated local effects of model ``name`` on one feature or a
        pair (Apley and Zhu), on ``ale_bins`` (``ale_bins_2d``) quantile
        bins of the data.

        Parameters
        ----------
        name : str
            A model held by the experiment.
        feature0 : str
            The feature's name.
        feature1 : str, optional
            The second feature of a pair.

        Returns
        -------
        tuple or None
            One feature: ``(positions, effects)``, the quantile bin edges of
            feature0 from its minimum to its maximum (the range of the
            one-feature partial dependence too) and the effect at each,
            linear between edges and centred so that its mean over the
            samples, each read at its own value, is zero.

            A pair: ``(grid0, grid1, A)``, the second-order effect
            (interaction only) at evenly spaced values of each feature from
            its lowest to its highest bin edge, arranged as in
            :meth:`pdp_explain`: ``A[r, c]`` belongs to ``(grid0[c],
            grid1[-1 - r])``. None for a pair without interaction: equal
            features, a constant feature, or an effect whose range is
            negligible (at most 1e-9 of the range of the predictions).

        Raises
        ------
        KeyError
            If the model or a feature is unknown.
        """
        response = self._response(name)
        i = self._feature(feature0)
        j = None if feature1 is None else self._feature(feature1)

        def compute():
            x = self.data.x
            if j is None:
                return ale.ale_1d(response.predict, x, i, self.ale_bins)
            if j == i:
                return None
            edges0, edges1, effect, spread = ale.ale_2d(response.predict, x, i, j, self.ale_bins_2d)
            if np.ptp(effect) <= 1e-9 * spread:
                return None
            grid0, grid1, effect = ale.on_even_grid(edges0, edges1, effect)
            return grid0, grid1, np.ascontiguousarray(effect.T[::-1])

        result = self._cached(("ale", name, i, j), compute)
        return None if result is None else tuple(item.copy() for item in result)

    # ----------------------------------------------------- local explanations

    def _sample(self, sample_index):
        n = self.data.n_samples
        if isinstance(sample_index, bool) or not isinstance(sample_index, numbers.Integral):
            raise ValueError("sample_index must be an integer, got %r" % (sample_index,))
        if not 0 <= sample_index < n:
            raise ValueError(
                "sample_index %d is out of range: the data have %d samples (0 to %d)"
                % (sample_index, n, n - 1)
            )
        return int(sample_index)

    def local_values(self, model, method, sample_indices):
        """SHAP or LIME values of model ``model`` for several samples, as arrays
        and without drawing.

        Each sample's values are those that :meth:`local_explain` computes
        for it, whatever the other samples asked for. The samples are
        explained in ``n_jobs`` joblib tasks at once.

        Parameters
        ----------
        model : str
            A model held by the experiment.
        method : {"SHAP", "LIME"}
            Kernel SHAP values, or the weights of LIME's local linear model.
        sample_indices : sequence of int
            Rows of the experiment's data.

        Returns
        -------
        values : ndarray of shape (len(sample_indices), n_features)
            ``values[k]`` holds the value of each feature (in the
            experiment's feature order) for sample ``sample_indices[k]``.
        base_values : ndarray of shape (len(sample_indices),)
            For "SHAP", the expected output over the SHAP background (the
            same for every sample; base value plus values add up to the
            explained prediction); for "LIME", the intercept of the sample's
            local linear model.

        Raises
        ------
        KeyError
            If no model is held under that name.
        ValueError
            For another method or an index outside the data.
        """
        response = self._response(model)
        if method not in ("SHAP", "LIME"):
            raise ValueError("method must be 'SHAP' or 'LIME', not %r" % (method,))
        try:
            if isinstance(sample_indices, (str, bytes)):
                raise TypeError
            requested = list(sample_indices)
        except TypeError:
            raise ValueError("sample_indices must be a sequence of integers, got %r" % (sample_indices,)) from None
        indices = [self._sample(index) for index in requested]
        return parallel.local_values(self, response, method, indices)

    def local_explain(self, reg_model_name, method, sample_index):
        """Explain the prediction of model ``reg_model_name`` for one sample
        and draw it into the current output: a matplotlib figure titled with
        what it explains, "the prediction" or "P(<second class>)", shown
        with ``plt.show()`` and then closed.

        Parameters
        ----------
        reg_model_name : str
            A model held by the experiment.
        method : {"SHAP", "LIME"}
            "SHAP" draws a waterfall of Kernel SHAP values; "LIME" the
            weights of LIME's local linear model.
        sample_index : int
            A row of the experiment's data.

        Returns
        -------
        shap.Explanation or lime.explanation.Explanation
            The explanation drawn.

        Raises
        ------
        KeyError
            If no model is held under that name.
        ValueError
            For another method or an index outside the data.
        """
        response = self._response(reg_model_name)
        if method not in ("SHAP", "LIME"):
            raise ValueError("method must be 'SHAP' or 'LIME', not %r" % (method,))
        index = self._sample(sample_index)
        from . import local

        if method == "SHAP":
            return local.shap_explain(self, response, index)
        return local.lime_explain(self, response, index)
