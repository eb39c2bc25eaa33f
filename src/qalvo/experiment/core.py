"""The experiment: one data set, fitted models held under names, and the
explanations of each model that the dashboard draws."""

import numbers

import numpy as np
from sklearn.inspection import permutation_importance
from sklearn.metrics import r2_score, roc_auc_score

from . import ale, parallel, pdp
from .data import Dataset, shown
from .responses import ModelResponse, columns_for, is_classifier, is_fitted
from .score_drops import R2, ROC_AUC, ScoreDrops


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

    Sample sizes, keyword-only:

    - ``pfi_repeats``: permutations per feature; ``pfi_max_samples``: rows
      used by each (None: all).
    - ``pdp_grid``, ``pdp_grid_2d``: grid points per feature (at most) of one-
      and two-feature partial dependence, over the feature's whole range;
      ``pdp_max_samples``: rows averaged over.
    - ``ale_bins``, ``ale_bins_2d``: quantile bins per feature of one- and
      two-feature ALE (ALE uses all rows).
    - ``shap_background``: rows of the SHAP background sample;
      ``lime_samples``: perturbed samples per LIME explanation.
    - ``random_state``: seed (an integer, or None for fresh entropy) of every
      sample and permutation drawn.

    ``n_jobs`` (keyword-only, joblib's meaning; default 1) spreads permutation
    importance over the features and ``local_values`` over the samples. Inside
    a ``joblib.parallel_backend("dask")`` block, -1 (or None) runs them on every
    worker of the Dask cluster. The results do not depend on it.
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
        """Hold the fitted ``model`` under ``name`` (replacing any model of
        that name and its computed explanations); returns the experiment."""
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
        """The models held, by name (a copy)."""
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
        its permutation importance, which also sets ``per_vi_rank``."""
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
        """Permutation feature importance of model ``name``: (feature names,
        importances), in increasing order of importance, which is also the order
        in which a horizontal bar chart draws them from the bottom up. The
        importance is the mean drop of the score (R^2 for a regressor, ROC AUC of
        the probability of ``classes_[1]`` for a classifier) when the feature's
        values are shuffled; the importances are a ``ScoreDrops`` array, whose
        ``score`` names that score for the chart's axis."""
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
        spans the feature's whole range, as ALE does (see ``pdp``).

        Returns {"values": [grid0] or [grid0, grid1], "average": [A]}: grids
        ascending; for one feature A[i] is the average prediction with the
        feature set to grid0[i]; for a pair, whose grids are evenly spaced, A[r,
        c] is that with the features set to (grid0[c], grid1[-1 - r]), so that
        an image of A drawn from its top row down over the grids' extent has
        feature0 along x, feature1 up the y axis, and each pixel at the value
        it shows. A pair of equal features is no pair: its "average" is the
        one-feature curve."""
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
        """Accumulated local effects of model ``name``.

        One feature: (positions, effects), the quantile bin edges of feature0,
        from its minimum to its maximum (the range of the one-feature partial
        dependence too), and the effect at each, centred so that its mean over
        the samples, each read at its own value, is zero (see ``ale``). A pair: (grid0, grid1, A) with the
        second-order effect (interaction only) at evenly spaced values of each
        feature from its lowest to its highest bin edge (linear between edges;
        see ``ale.on_even_grid``), arranged as in ``pdp_explain``: A[r, c]
        belongs to (grid0[c], grid1[-1 - r]). None for a pair without
        interaction: equal features, a constant feature, or an effect whose
        range is negligible (at most 1e-9 of the range of the predictions)."""
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
        and without drawing: (values, base_values).

        ``values[k]`` holds the value of each feature (in the experiment's
        feature order) for sample ``sample_indices[k]``; ``base_values[k]`` is
        the expected output over the SHAP background (the same for every sample;
        base value plus values add up to the explained prediction), or the
        intercept of the sample's local linear model for "LIME". Each sample's
        values are those that ``local_explain`` computes for it. The samples
        are explained in ``n_jobs`` joblib tasks at once."""
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
        with ``method`` "SHAP" (a waterfall of Shapley values) or "LIME" (the
        weights of a local linear model) and draw it into the current output
        (a matplotlib figure titled with what it explains, "the prediction" or
        "P(<second class>)", shown with ``plt.show()`` and then closed).
        Returns the explanation: a ``shap.Explanation`` or a ``lime``
        explanation."""
        response = self._response(reg_model_name)
        if method not in ("SHAP", "LIME"):
            raise ValueError("method must be 'SHAP' or 'LIME', not %r" % (method,))
        index = self._sample(sample_index)
        from . import local

        if method == "SHAP":
            return local.shap_explain(self, response, index)
        return local.lime_explain(self, response, index)
