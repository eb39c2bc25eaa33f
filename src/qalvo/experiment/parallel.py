"""Per-sample explanations as plain arrays, spread over joblib workers.

Each sample is one joblib task that receives only what it needs (the model's
response, the background or the data, the settings), so the tasks run the same
in this process, in joblib's worker processes or, inside a
``joblib.parallel_backend("dask")`` block, on a Dask cluster. Every sample is
explained from a freshly seeded generator, which makes its values independent
of the other samples, of their order and of the number of workers.

shap and lime are imported inside the tasks, on first use: the rest of the
experiment works without them."""

import numbers
import threading

import numpy as np
from joblib import Parallel, delayed

from .._optional import import_optional

# Kernel SHAP samples coalitions from NumPy's global generator, which this
# module seeds for each sample: threads of one process (joblib's threading
# backend, a Dask worker with several threads) take turns at it.
_GLOBAL_RNG = threading.Lock()


def import_shap():
    return import_optional("shap", "explain", "Explaining with SHAP")


def import_lime_tabular():
    return import_optional("lime.lime_tabular", "explain", "Explaining with LIME")


def check_n_jobs(n_jobs):
    """``n_jobs`` as joblib takes it: a non-zero integer, or None."""
    if n_jobs is None:
        return None
    if isinstance(n_jobs, bool) or not isinstance(n_jobs, numbers.Integral) or n_jobs == 0:
        raise ValueError("n_jobs must be a non-zero integer or None, got %r" % (n_jobs,))
    return int(n_jobs)


def shap_background(x, size, seed):
    """The rows of the SHAP background sample: ``size`` distinct rows drawn
    with ``seed``, in data order."""
    size = min(size, len(x))
    rng = np.random.default_rng(seed)
    return x[np.sort(rng.choice(len(x), size, replace=False))]


def shap_row(predict, background, row, seed):
    """Kernel SHAP of one row (shape (1, n_features)): (values, base value).

    Kernel SHAP needs no compilation on first use (the newer explainers spend
    about ten seconds compiling in every new process), and is exact whenever its
    default 2 * n_features + 2048 coalitions cover them all (up to 11 features).
    Beyond that it samples coalitions from NumPy's global generator, seeded here
    and restored afterwards."""
    shap = import_shap()

    with _GLOBAL_RNG:
        explainer = shap.KernelExplainer(predict, background)
        state = np.random.get_state()
        try:
            np.random.seed(seed)
            values = explainer.shap_values(row, l1_reg=False, silent=True)
        finally:
            np.random.set_state(state)
    base_value = float(np.asarray(explainer.expected_value).reshape(-1)[0])
    return np.asarray(values, dtype=np.float64).reshape(-1), base_value


def lime_explainer(x, feature_names, class_names, seed):
    """A new LIME explainer of a classifier with ``class_names``, or of a
    regressor where they are None; seeded afresh: lime draws from one generator shared
    by its sampler and its discretizer, so a kept explainer would explain a
    sample differently depending on the calls before."""
    return import_lime_tabular().LimeTabularExplainer(
        np.asarray(x),
        mode="regression" if class_names is None else "classification",
        feature_names=feature_names,
        class_names=class_names,
        discretize_continuous=True,
        random_state=seed,
    )


def lime_instance(explainer, response, row, n_samples):
    """LIME's explanation of ``row`` (one-dimensional): for a classifier, that of
    the probability of ``classes_[1]``; its weights are under label 1 either
    way."""
    n_features = len(row)
    if response.classifier:
        return explainer.explain_instance(
            row, response.predict_proba, labels=(1,), num_features=n_features, num_samples=n_samples
        )
    return explainer.explain_instance(row, response.predict, num_features=n_features, num_samples=n_samples)


def class_names(response):
    return [str(c) for c in response.model.classes_] if response.classifier else None


def _shap_task(response, background, row, seed):
    return shap_row(response.predict, background, row, seed)


def _lime_task(response, x, feature_names, row, seed, n_samples):
    explainer = lime_explainer(x, feature_names, class_names(response), seed)
    explanation = lime_instance(explainer, response, row, n_samples)
    values = np.zeros(len(row))
    for feature, weight in explanation.as_map()[1]:
        values[feature] = weight
    return values, float(explanation.intercept[1])


def local_values(experiment, response, method, indices):
    """(values, base values) of the samples ``indices`` by ``method``, computed
    in ``experiment.n_jobs`` joblib tasks at once."""
    x = experiment.data.x
    seed = experiment.random_state
    if method == "SHAP":
        background = shap_background(x, experiment.shap_background, seed)
        tasks = (delayed(_shap_task)(response, background, x[i : i + 1].copy(), seed) for i in indices)
    else:
        names = experiment.data.feature_names
        tasks = (
            delayed(_lime_task)(response, x, names, x[i].copy(), seed, experiment.lime_samples) for i in indices
        )
    results = Parallel(n_jobs=experiment.n_jobs)(tasks) if len(indices) else []
    values = np.array([v for v, _ in results], dtype=np.float64).reshape(len(indices), x.shape[1])
    base_values = np.array([b for _, b in results], dtype=np.float64)
    return values, base_values
