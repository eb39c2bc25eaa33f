"""SHAP and LIME explanations of one sample, drawn with matplotlib.

shap and lime are imported here, on first use, so that the rest of the
experiment works (and imports quickly) without them."""

import numpy as np


def _background(experiment):
    x = experiment.data.x
    size = min(experiment.shap_background, len(x))
    rng = np.random.default_rng(experiment.random_state)
    return x[np.sort(rng.choice(len(x), size, replace=False))]


def shap_explain(experiment, response, index):
    import matplotlib.pyplot as plt
    import shap

    names = experiment.data.feature_names
    n_features = len(names)
    masker = shap.maskers.Independent(_background(experiment), max_samples=experiment.shap_background)
    # Exact Shapley values cost 2**n_features evaluations per background row;
    # past ten features sampled permutations are cheaper.
    if n_features <= 10:
        explainer = shap.Explainer(response.predict, masker, algorithm="exact", feature_names=names)
        values = explainer(experiment.data.x[index : index + 1], silent=True)
    else:
        explainer = shap.Explainer(
            response.predict,
            masker,
            algorithm="permutation",
            feature_names=names,
            seed=experiment.random_state,
        )
        values = explainer(
            experiment.data.x[index : index + 1], max_evals=max(500, 2 * n_features + 1), silent=True
        )
    explanation = values[0]
    plt.figure()
    shap.plots.waterfall(explanation, max_display=min(n_features + 1, 11), show=False)
    plt.tight_layout()
    plt.show()
    return explanation


def lime_explain(experiment, response, index):
    import matplotlib.pyplot as plt
    from lime.lime_tabular import LimeTabularExplainer

    # A new explainer, seeded afresh, for every call: lime draws from one
    # generator shared by its sampler and its discretizer, so a kept explainer
    # would explain a sample differently depending on the calls before.
    explainer = LimeTabularExplainer(
        np.asarray(experiment.data.x),
        mode="classification" if response.classifier else "regression",
        feature_names=experiment.data.feature_names,
        class_names=[str(c) for c in response.model.classes_] if response.classifier else None,
        discretize_continuous=True,
        random_state=experiment.random_state,
    )
    row = np.array(experiment.data.x[index])
    n_features = len(experiment.data.feature_names)
    if response.classifier:
        explanation = explainer.explain_instance(
            row,
            response.predict_proba,
            labels=(1,),
            num_features=n_features,
            num_samples=experiment.lime_samples,
        )
        explanation.as_pyplot_figure(label=1)
    else:
        explanation = explainer.explain_instance(
            row, response.predict, num_features=n_features, num_samples=experiment.lime_samples
        )
        explanation.as_pyplot_figure()
    plt.tight_layout()
    plt.show()
    return explanation
