"""The experiment: one data set, fitted models held under names, and the
explanations of each model that the dashboard draws."""

import numbers

import numpy as np
from sklearn.utils import Bunch

from . import ale, importance, interactions, parallel, pdp
from .data import Dataset, shown
from .responses import ModelResponse, check_single_output, columns_for, is_classifier, is_fitted
from .score_drops import ScoreDrops

# Streams of random numbers, one per kind of sample, all from the experiment's seed.
_SHAP_SUMMARY_ROWS = 1
_INTERACTION_ROWS = 2


class ShapSummary(Bunch):
    """The result of ``Experiment.shap_summary``: a ``sklearn.utils.Bunch``
    whose ``values`` attribute is the array of SHAP values, as in shap's
    ``Explanation``, rather than the dict method of that name (which
    ``dict.values(summary)`` still reaches)."""

    @property
    def values(self):
        """The SHAP values, an ndarray of shape (n_rows, n_features)."""
        return self["values"]


class Experiment:
    """Feature data, a response and fitted models held under names, with the
    explanations of each model: permutation feature importance (with its
    spread), partial dependence and ICE curves, accumulated local effects,
    interaction strength, SHAP (one sample or a summary of many) and LIME.

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
    shap_summary_samples : int, default=100
        Rows that :meth:`shap_summary` explains unless told which.
    interaction_samples : int, default=200
        Rows from which :meth:`interaction_strength` estimates partial
        dependences (its cost grows with their square).
    interaction_features : int, default=5
        The most important features whose pairs :meth:`interaction_strength`
        ranks unless told which.
    random_state : int or None, default=0
        Seed of every sample and permutation drawn (None: fresh entropy).
    n_jobs : int or None, default=1
        joblib's meaning: permutation importance is spread over the
        features and ``local_values`` (so ``shap_summary``) over the samples. Inside a
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
        shap_summary_samples=100,
        interaction_samples=200,
        interaction_features=5,
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
            ("shap_summary_samples", shap_summary_samples),
            ("interaction_samples", interaction_samples),
            ("interaction_features", interaction_features),
        ] + ([("pfi_max_samples", pfi_max_samples)] if pfi_max_samples is not None else []):
            if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 1:
                raise ValueError("%s must be a positive integer, got %r" % (setting, value))
        if random_state is not None and (
            isinstance(random_state, bool) or not isinstance(random_state, numbers.Integral) or random_state < 0
        ):
            raise ValueError("random_state must be a non-negative integer or None, got %r" % (random_state,))
        if pdp_grid < 2 or pdp_grid_2d < 2:
            raise ValueError("pdp_grid and pdp_grid_2d must be at least 2")
        if interaction_samples < 2 or interaction_features < 2:
            raise ValueError("interaction_samples and interaction_features must be at least 2")
        self.pfi_repeats = pfi_repeats
        self.pfi_max_samples = pfi_max_samples
        self.pdp_grid = pdp_grid
        self.pdp_grid_2d = pdp_grid_2d
        self.pdp_max_samples = pdp_max_samples
        self.ale_bins = ale_bins
        self.ale_bins_2d = ale_bins_2d
        self.shap_background = shap_background
        self.lime_samples = lime_samples
        self.shap_summary_samples = shap_summary_samples
        self.interaction_samples = interaction_samples
        self.interaction_features = interaction_features
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
        classifier = is_classifier(model)
        if classifier:
            if not hasattr(model, "predict_proba"):
                raise ValueError("classifier %r has no predict_proba" % name)
        elif not hasattr(model, "predict"):
            raise ValueError("model %r has no predict method" % name)
        if not is_fitted(model):
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
                        " and ".join(shown(c) for c in classes),
                        "other values, such as " + shown(foreign[0]) if foreign else "only " + shown(labels[0]),
                    )
                )
        elif not (np.issubdtype(self.data.y.dtype, np.number) or self.data.y.dtype == bool):
            raise ValueError("model %r is a regressor, but the experiment's response is not numeric" % name)
        response = ModelResponse(model, classifier, *columns_for(name, model, self.data.feature_names))
        check_single_output(name, response, self.data.x[:2])
        try:
            response.predict(self.data.x[:2])
        except ImportError:
            raise  # a package to install (its message says which), not a model unfit for the data
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

        See Also
        --------
        permutation_importance : the same means, with their spread over the
            repeats.
        """
        result = self._importances(name)
        order = np.argsort(result.importances_mean, kind="stable")
        names = [self.data.feature_names[i] for i in order]
        return names, ScoreDrops(result.importances_mean[order], result.score)

    def permutation_importance(self, name):
        """Permutation feature importance of a model, with its spread over the
        repeats.

        Each feature's values are shuffled ``pfi_repeats`` times (on
        ``pfi_max_samples`` rows drawn for each permutation, or on all rows),
        and the model's score is compared with its score on the unshuffled
        data. The permutations are scikit-learn's
        ``sklearn.inspection.permutation_importance`` with the experiment's
        ``random_state`` and ``n_jobs``, so the numbers equal what that
        function returns for the same model, data, score and seed, whatever
        ``n_jobs``.

        Parameters
        ----------
        name : str
            Name of a model held by the experiment.

        Returns
        -------
        result : sklearn.utils.Bunch
            In the experiment's feature order (not ranked; ``permutation_vi``
            ranks the means):

            importances_mean : ndarray of shape (n_features,)
                Mean drop of the score over the repeats.
            importances_std : ndarray of shape (n_features,)
                Standard deviation of the drops over the repeats (NumPy's
                ``std``, dividing by the number of repeats, as scikit-learn).
            importances : ndarray of shape (n_features, pfi_repeats)
                The drop of each repeat.
            feature_names : list of str
                The features, in the order of the arrays.
            score : str
                The score whose drop is measured: "R²" for a regressor,
                "ROC AUC" for a classifier.

        Raises
        ------
        KeyError
            For an unknown model name.
        ValueError
            Where the score is undefined, so that every importance would be
            NaN or meaningless: a constant regression response (R² is then
            forced to 0.0 by scikit-learn), or rows drawn for the
            permutations (``pfi_max_samples``) that hold a single sample, a
            constant response or one class only. The message says which.

        Notes
        -----
        The importance of feature j in repeat r is
        ``s(f, X, y) - s(f, X_perm(j, r), y)``, with ``s`` the score (R² of
        the prediction for a regressor; ROC AUC of the probability of
        ``classes_[1]`` for a binary classifier), ``X`` all rows, and
        ``X_perm(j, r)`` the rows drawn for the permutations with column j
        shuffled; scikit-learn draws the same rows for every feature. A
        feature whose shuffling costs nothing scores about 0; negative values
        are noise. Compare two features by their means together with their
        standard deviations: a difference well within the spread is not
        established. The cost is ``n_features * pfi_repeats`` predictions of
        the rows drawn (linear in the rows); the result is kept until the
        model is replaced.

        Examples
        --------
        >>> import numpy as np
        >>> from sklearn.linear_model import LinearRegression
        >>> from qalvo.experiment import Experiment
        >>> rng = np.random.default_rng(0)
        >>> x = rng.uniform(-1, 1, (200, 3))
        >>> y = 3 * x[:, 0] + x[:, 1]
        >>> exp = Experiment(x, y, ["a", "b", "c"], pfi_repeats=4)
        >>> exp = exp.add_model("lin", LinearRegression().fit(x, y))
        >>> result = exp.permutation_importance("lin")
        >>> result.feature_names, result.score
        (['a', 'b', 'c'], 'R²')
        >>> result.importances.shape
        (3, 4)
        >>> bool(result.importances_mean[0] > result.importances_mean[1] > 10 * result.importances_std[1])
        True
        """
        result = self._importances(name)
        return Bunch(
            importances_mean=result.importances_mean.copy(),
            importances_std=result.importances_std.copy(),
            importances=result.importances.copy(),
            feature_names=list(self.data.feature_names),
            score=result.score,
        )

    def _importances(self, name):
        """The permutation importance of model ``name``, computed once."""
        response = self._response(name)

        def compute():
            classes = self._models[name].classes_ if response.classifier else None
            score = importance.Score(name, classes, self.data.n_samples)
            result = importance.permutation_importances(
                response,
                self.data.x,
                self._target(name),
                score,
                self.pfi_repeats,
                self.pfi_max_samples,
                self.random_state,
                self.n_jobs,
            )
            result.score = score.name
            return result

        return self._cached(("pfi", name), compute)

    # ------------------------------------------------------- feature effects

    def _rng(self, stream):
        """A generator of the experiment's seed for one kind of sample, so that
        different kinds (the SHAP background, the rows of a SHAP summary) are
        not the same draws."""
        return np.random.default_rng(None if self.random_state is None else [self.random_state, stream])

    def _drawn_rows(self, size, stream):
        """Indices of ``size`` distinct rows (all where the data have no more),
        in data order."""
        n = self.data.n_samples
        if n <= size:
            return np.arange(n)
        return np.sort(self._rng(stream).choice(n, size, replace=False))

    def _pdp_indices(self):
        """Indices of the rows that partial dependence averages over."""
        n = self.data.n_samples
        if n <= self.pdp_max_samples:
            return np.arange(n)
        rng = np.random.default_rng(self.random_state)
        return np.sort(rng.choice(n, self.pdp_max_samples, replace=False))

    def _pdp_rows(self):
        return self.data.x[self._pdp_indices()]

    def _curves(self, name, i):
        """(grid, row indices, individual curves) of feature ``i``, computed once."""
        response = self._response(name)

        def compute():
            x = self.data.x
            indices = self._pdp_indices()
            grid = pdp.line_grid(x[:, i], self.pdp_grid)
            curves = pdp.individual_curves(response.predict, x[indices], i, grid, len(x))
            return grid, indices, curves

        return self._cached(("ice", name, i), compute)

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
            with the feature set to ``grid0[i]`` (the mean of
            :meth:`ice_explain`'s curves). For a pair, ``A[r, c]`` is that
            with the features set to ``(grid0[c], grid1[-1 - r])``: drawn
            from its top row down, feature0 runs along x and feature1 up the
            y axis, and over the grids' extent widened by half a grid step at
            each end (:func:`qalvo.experiment.plots.pixel_extent`) each pixel
            is centred on the value it shows. A pair of equal features is no
            pair: its "average" is the one-feature curve. A constant feature
            has a grid of one value.

        Raises
        ------
        KeyError
            If the model or a feature is unknown.
        """
        response = self._response(name)
        i = self._feature(feature0)
        j = None if feature1 is None else self._feature(feature1)

        def compute():
            if j is None or j == i:
                grid, _, curves = self._curves(name, i)
                values = [grid] if j is None else [grid, grid.copy()]
                return {"values": values, "average": [curves.mean(axis=0)]}
            x, rows = self.data.x, self._pdp_rows()
            grid0 = pdp.even_grid(x[:, i], self.pdp_grid_2d)
            grid1 = pdp.even_grid(x[:, j], self.pdp_grid_2d)
            surface = pdp.partial_dependence(response.predict, rows, [i, j], [grid0, grid1], len(x))
            return {"values": [grid0, grid1], "average": [np.ascontiguousarray(surface.T[::-1])]}

        result = self._cached(("pdp", name, i, j), compute)
        return {
            "values": [v.copy() for v in result["values"]],
            "average": [a.copy() for a in result["average"]],
        }

    def ice_explain(self, name, feature, centered=False):
        """Individual conditional expectation (ICE) curves of a model for one
        feature: the prediction of each sample as the feature alone runs over
        a grid, on the grid and the rows of ``pdp_explain``.

        Parameters
        ----------
        name : str
            Name of a model held by the experiment.
        feature : str
            Name of the feature.
        centered : bool, default=False
            Whether to subtract from every curve its value at the grid's first
            point, so that all curves start at 0 and differences in shape stand
            out ("c-ICE").

        Returns
        -------
        result : dict
            values : list of one ndarray of shape (n_grid,)
                The grid, ascending: the feature's distinct values where there
                are at most ``pdp_grid`` of them, else ``pdp_grid`` evenly
                spaced values from its minimum to its maximum (the grid of
                ``pdp_explain``).
            individual : ndarray of shape (n_rows, n_grid)
                ``individual[s, g]``: the prediction (the probability of
                ``classes_[1]`` for a classifier) for row ``sample_indices[s]``
                with the feature set to ``values[0][g]``; centred if asked.
            average : list of one ndarray of shape (n_grid,)
                ``individual.mean(axis=0)``, exactly: without centring, the
                one-feature ``pdp_explain`` "average", bit for bit.
            sample_indices : ndarray of shape (n_rows,)
                The data rows of the curves, ascending: all rows, or the
                ``pdp_max_samples`` rows drawn with ``random_state`` that
                ``pdp_explain`` averages over.

        Raises
        ------
        KeyError
            For an unknown model or feature name.

        Notes
        -----
        For row s, ``individual[s, g] = f(x_s with x_feature = grid[g])``
        (Goldstein et al., 2015); the partial dependence is their mean over
        the rows. Curves that are parallel show an additive effect of the
        feature; curves that cross or diverge show that it interacts with
        others, which the average can hide (opposite effects average to a flat
        line). With ``centered``, ``individual[s, g] - individual[s, 0]``. The
        cost is ``n_rows * n_grid`` predictions, at most the data's number of
        rows per call of the model; the curves are kept until the model is
        replaced. They equal scikit-learn's
        ``partial_dependence(kind="individual")`` on the same rows and grid.

        Examples
        --------
        >>> import numpy as np
        >>> from sklearn.linear_model import LinearRegression
        >>> from qalvo.experiment import Experiment
        >>> rng = np.random.default_rng(0)
        >>> x = rng.uniform(-1, 1, (300, 2))
        >>> y = 2 * x[:, 0] - x[:, 1]
        >>> exp = Experiment(x, y, ["a", "b"], pdp_grid=11)
        >>> exp = exp.add_model("lin", LinearRegression().fit(x, y))
        >>> ice = exp.ice_explain("lin", "a", centered=True)
        >>> ice["individual"].shape
        (300, 11)
        >>> np.allclose(ice["individual"][:, -1], 2 * (x[:, 0].max() - x[:, 0].min()))
        True
        """
        self._response(name)
        grid, indices, curves = self._curves(name, self._feature(feature))
        individual = curves - curves[:, :1] if centered else curves.copy()
        return {
            "values": [grid.copy()],
            "individual": individual,
            "average": [individual.mean(axis=0)],
            "sample_indices": indices.copy(),
        }

    def interaction_strength(self, name, features=None):
        """Pairs of features ranked by the strength of their interaction in a
        model: Friedman's H² statistic.

        Parameters
        ----------
        name : str
            Name of a model held by the experiment.
        features : sequence of str, optional
            The features whose pairs are ranked (at least two, distinct). By
            default the ``interaction_features`` most important ones by
            permutation importance (computed first if it is not yet), since
            the number of pairs grows with the square of the features.

        Returns
        -------
        pairs : list of tuple (str, str, float)
            (feature0, feature1, H²) for every pair of the features, the
            strongest interaction first (ties in the order of the features).
            Within a pair, feature0 comes first among ``features`` (by
            default: is the more important).

        Raises
        ------
        KeyError
            For an unknown model or feature name.
        ValueError
            For fewer than two features, or a feature named twice.

        Notes
        -----
        For a pair (j, k), on a sample of rows x_1 .. x_n (Friedman and
        Popescu, 2008, eq. 44)::

            H²_jk = sum_i [PD_jk(x_i) - PD_j(x_i) - PD_k(x_i)]² / sum_i PD_jk(x_i)²

        where each partial dependence is averaged over the same sample, read
        at the sample's own values of its features and centred to mean zero
        over the sample. H² is the share of the variance of the pair's joint
        effect that is not the sum of the two features' own effects: 0 for an
        additive pair, 1 for a pure product of independent centred features;
        it can exceed 1 for correlated features. A pair without effect (a
        joint dependence whose range is at most 1e-9 of the range of the
        model's predictions on the sample) gets 0, not a ratio of rounding
        errors.

        The sample is ``interaction_samples`` rows drawn with
        ``random_state`` (all rows if the data have no more). Each partial
        dependence costs ``interaction_samples`` squared predictions:
        ``m + m * (m - 1) / 2`` of them for m features, whatever the data's
        number of rows. The ranking is kept until the model is replaced.

        Examples
        --------
        >>> import numpy as np
        >>> from sklearn.pipeline import make_pipeline
        >>> from sklearn.preprocessing import PolynomialFeatures
        >>> from sklearn.linear_model import LinearRegression
        >>> from qalvo.experiment import Experiment
        >>> rng = np.random.default_rng(0)
        >>> x = rng.uniform(-1, 1, (400, 3))
        >>> y = x[:, 0] + x[:, 1] * x[:, 2]
        >>> model = make_pipeline(PolynomialFeatures(2), LinearRegression()).fit(x, y)
        >>> exp = Experiment(x, y, ["a", "b", "c"]).add_model("m", model)
        >>> pairs = exp.interaction_strength("m", ["a", "b", "c"])
        >>> pairs[0][:2], round(pairs[0][2], 1)
        (('b', 'c'), 0.9)
        >>> all(h2 < 1e-12 for _, _, h2 in pairs[1:])  # a enters additively
        True
        """
        response = self._response(name)
        if features is None:
            means = self._importances(name).importances_mean
            columns = [int(c) for c in np.argsort(-means, kind="stable")[: self.interaction_features]]
        else:
            if isinstance(features, str):
                raise ValueError("features must be a sequence of feature names, got %r" % (features,))
            columns = [self._feature(feature) for feature in features]
            if len(columns) < 2:
                raise ValueError("interaction_strength needs at least two features, got %d" % len(columns))
            if len(set(columns)) != len(columns):
                raise ValueError("features must be distinct, got %r" % (list(features),))

        def compute():
            sample = self.data.x[self._drawn_rows(self.interaction_samples, _INTERACTION_ROWS)]
            pairs = interactions.pair_strengths(response.predict, sample, columns, self.data.n_samples)
            ranked = sorted(pairs, key=lambda pair: -pair[2])  # stable: ties keep the features' order
            return [(self.data.feature_names[a], self.data.feature_names[b], h2) for a, b, h2 in ranked]

        return list(self._cached(("h2", name, tuple(columns)), compute))

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
        return parallel.local_values(self, response, method, self._samples(sample_indices))

    def _samples(self, sample_indices):
        """``sample_indices`` checked, as a list of Python integers."""
        try:
            if isinstance(sample_indices, (str, bytes)):
                raise TypeError
            requested = list(sample_indices)
        except TypeError:
            raise ValueError("sample_indices must be a sequence of integers, got %r" % (sample_indices,)) from None
        return [self._sample(index) for index in requested]

    def shap_summary(self, name, sample_indices=None):
        """SHAP values of a model for many samples at once: the global view of
        what drives its output, and the data for summary and dependence plots.

        Parameters
        ----------
        name : str
            Name of a model held by the experiment.
        sample_indices : sequence of int, optional
            The rows to explain (at least one). By default
            ``shap_summary_samples`` distinct rows drawn with ``random_state``
            (all rows if the data have no more), in data order.

        Returns
        -------
        result : ShapSummary
            A ``sklearn.utils.Bunch`` (keys readable as attributes):

            values : ndarray of shape (n_rows, n_features)
                ``values[k, j]``: the SHAP value of feature j for row
                ``sample_indices[k]``, in the experiment's feature order, as
                ``local_values`` and ``local_explain`` compute it.
            base_values : ndarray of shape (n_rows,)
                The expected output over the SHAP background, the same for
                every row; ``base_values + values.sum(axis=1)`` is each row's
                prediction (the probability of ``classes_[1]`` for a
                classifier).
            data : ndarray of shape (n_rows, n_features)
                The rows' feature values.
            mean_abs : ndarray of shape (n_features,)
                Mean absolute SHAP value of each feature over the rows: its
                global importance in units of the output.
            feature_names : list of str
                The features, in the order of the columns.
            sample_indices : ndarray of shape (n_rows,)
                The rows explained.

        Raises
        ------
        KeyError
            For an unknown model name.
        ValueError
            For sample indices that are not integers of existing rows, or
            none at all.

        Notes
        -----
        Kernel SHAP (Lundberg and Lee, 2017) over the background of
        ``shap_background`` rows drawn with ``random_state``: for a model f
        and background B, feature j's value for row x is its Shapley value in
        the game ``v(S) = mean over b in B of f(x_S, b_rest)``. For a linear
        model it is ``w_j * (x_j - mean of x_j over B)``. The values are exact
        up to 11 features and sampled with a seeded generator beyond, so they
        are the same for a seed whatever ``n_jobs``, which spreads the rows
        over joblib tasks. Each row costs about ``(2 * n_features + 2048) *
        shap_background`` predictions: the cost is linear in the rows
        explained and independent of the data's size. The result for a set
        of rows is kept until the model is replaced.

        Examples
        --------
        >>> import numpy as np
        >>> from sklearn.linear_model import LinearRegression
        >>> from qalvo.experiment import Experiment
        >>> rng = np.random.default_rng(0)
        >>> x = rng.uniform(-1, 1, (200, 3))
        >>> y = 3 * x[:, 0] + x[:, 1]
        >>> exp = Experiment(x, y, ["a", "b", "c"], shap_background=20)
        >>> exp = exp.add_model("lin", LinearRegression().fit(x, y))
        >>> summary = exp.shap_summary("lin", sample_indices=range(10))
        >>> summary.values.shape, summary.feature_names
        ((10, 3), ['a', 'b', 'c'])
        >>> prediction = exp.models["lin"].predict(x[:10])
        >>> np.allclose(summary.base_values + summary.values.sum(axis=1), prediction)
        True
        """
        response = self._response(name)
        if sample_indices is None:
            indices = [int(i) for i in self._drawn_rows(self.shap_summary_samples, _SHAP_SUMMARY_ROWS)]
        else:
            indices = self._samples(sample_indices)
            if not indices:
                raise ValueError("sample_indices is empty: shap_summary explains at least one sample")

        def compute():
            values, base_values = parallel.local_values(self, response, "SHAP", indices)
            return values, base_values, np.abs(values).mean(axis=0)

        values, base_values, mean_abs = self._cached(("shap", name, tuple(indices)), compute)
        return ShapSummary(
            values=values.copy(),
            base_values=base_values.copy(),
            data=self.data.x[indices],
            mean_abs=mean_abs.copy(),
            feature_names=list(self.data.feature_names),
            sample_indices=np.array(indices, dtype=np.intp),
        )

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
