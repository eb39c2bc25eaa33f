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
    row = np.array(experiment.data.x[index : index + 1])
    # Kernel SHAP: no compilation on first use (the newer explainers spend
    # about ten seconds compiling in every new process), and exact whenever its
    # default 2 * n_features + 2048 coalitions cover them all (up to 11
    # features). Beyond that it samples coalitions from NumPy's global
    # generator, seeded here and restored afterwards.
    explainer = shap.KernelExplainer(response.predict, _background(experiment))
    state = np.random.get_state()
    try:
        np.random.seed(experiment.random_state)
        values = explainer.shap_values(row, l1_reg=False, silent=True)
    finally:
        np.random.set_state(state)
    explanation = shap.Explanation(
        values=np.asarray(values, dtype=np.float64).reshape(-1),
        base_values=float(np.asarray(explainer.expected_value).reshape(-1)[0]),
        data=row[0],
        feature_names=names,
    )
    plt.figure()
    shap.plots.waterfall(explanation, max_display=min(len(names) + 1, 11), show=False)
    plt.tight_layout()
    _keep_value_labels_inside(plt.gcf())
    plt.show()
    return explanation


def _keep_value_labels_inside(figure, pad=4.0, rounds=6):
    """Widen the x range of a waterfall until each value label lies inside
    its axes. shap leaves room for the labels beside the arrows only where an
    arrow is shorter than one unit of the model's output, so for a model whose
    output runs in tens or hundreds the labels of short arrows at the left edge
    are drawn over the feature names."""
    axes = figure.axes[0]
    for _ in range(rounds):
        figure.canvas.draw()
        renderer = figure.canvas.get_renderer()
        box = axes.get_window_extent(renderer)
        labels = [t.get_window_extent(renderer) for t in axes.texts if t.get_visible() and t.get_text()]
        if not labels:
            return
        left = box.x0 + pad - min(label.x0 for label in labels)
        right = max(label.x1 for label in labels) - (box.x1 - pad)
        if left <= 0 and right <= 0:
            return
        low, high = axes.get_xlim()
        per_pixel = (high - low) / box.width
        low -= max(left, 0.0) * per_pixel
        high += max(right, 0.0) * per_pixel
        # The twin axes carry the E[f(X)] and f(x) marks on the same scale.
        for each in figure.axes:
            each.set_xlim(low, high)


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
