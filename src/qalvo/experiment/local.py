"""SHAP and LIME explanations of one sample, drawn with matplotlib.

shap and lime are imported here, on first use, so that the rest of the
experiment works (and imports quickly) without them."""

import numpy as np


def _background(experiment):
    x = experiment.data.x
    size = min(experiment.shap_background, len(x))
    rng = np.random.default_rng(experiment.random_state)
    return x[np.sort(rng.choice(len(x), size, replace=False))]


def explained_output(response):
    """What an explanation of ``response`` explains, for a figure's title:
    the prediction of a regressor, P(class) of a classifier's second class."""
    if response.classifier:
        return "P(%s)" % (response.model.classes_[1],)
    return "the prediction"


def _show(figure):
    """Show ``figure`` in the current output, then close it: pyplot would keep
    every figure open otherwise (outside a notebook nothing closes them)."""
    import matplotlib.pyplot as plt

    try:
        plt.show()
    finally:
        plt.close(figure)


def shap_explain(experiment, response, index):
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
    figure = _draw_waterfall(
        explanation,
        max_display=min(len(names) + 1, 11),
        title="SHAP values of %s" % explained_output(response),
    )
    _show(figure)
    return explanation


def _draw_waterfall(explanation, max_display, title, pad=4.0):
    """Draw shap's waterfall of ``explanation`` into a new figure, under
    ``title``, with every value label inside the axes and every label drawn
    on an arrow fitting it.

    shap decides for each arrow whether its label fits on it or goes beside
    it, from the axes' width and range at that moment, and widens the range for
    the labels beside the arrows only where an arrow is shorter than one unit
    of the model's output: for outputs in tens or hundreds, the labels of short
    arrows at the edges run over the feature names or out of the figure. So
    the waterfall is drawn again on the axes' final place (found by
    ``tight_layout`` on the first drawing) and over a range that holds the
    labels of the drawing before, until the labels fit (four drawings at
    most; the last one has its range widened as it is).
    """
    import matplotlib.pyplot as plt
    import shap

    margins = x_range = None
    for drawing in range(4):
        figure = plt.figure()
        if margins is not None:
            figure.subplots_adjust(**margins)
        if x_range is not None:
            plt.plot(x_range, [0, 0], alpha=0)  # invisible: only makes the axes span the range
        shap.plots.waterfall(explanation, max_display=max_display, show=False)
        figure.axes[0].set_title(title)
        if margins is None:
            plt.tight_layout()
            params = figure.subplotpars
            margins = dict(left=params.left, right=params.right, bottom=params.bottom, top=params.top)
        wider = _range_for_labels(figure, pad)  # also widens this figure's axes
        if drawing == 3 or (wider is None and drawing > 0):
            return figure
        x_range = wider if wider is not None else figure.axes[0].get_xlim()
        plt.close(figure)


def _range_for_labels(figure, pad, rounds=6):
    """The x range over which every text of the figure's first axes lies at
    least ``pad`` pixels inside them, or None when the current range does.
    Widening the range moves the labels, which are anchored to values: the
    figure's axes are widened step by step until they fit."""
    axes = figure.axes[0]
    start = axes.get_xlim()
    for _ in range(rounds):
        figure.canvas.draw()
        renderer = figure.canvas.get_renderer()
        box = axes.get_window_extent(renderer)
        labels = [t.get_window_extent(renderer) for t in axes.texts if t.get_visible() and t.get_text()]
        if not labels:
            break
        left = box.x0 + pad - min(label.x0 for label in labels)
        right = max(label.x1 for label in labels) - (box.x1 - pad)
        if left <= 0 and right <= 0:
            break
        low, high = axes.get_xlim()
        per_pixel = (high - low) / box.width
        low -= max(left, 0.0) * per_pixel
        high += max(right, 0.0) * per_pixel
        for each in figure.axes:
            each.set_xlim(low, high)
    end = axes.get_xlim()
    return None if end == start else end


def lime_explain(experiment, response, index):
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
        figure = explanation.as_pyplot_figure(label=1)
    else:
        explanation = explainer.explain_instance(
            row, response.predict, num_features=n_features, num_samples=experiment.lime_samples
        )
        figure = explanation.as_pyplot_figure()
    # lime's own title names a class but not that its probability is explained.
    figure.axes[0].set_title("LIME weights of %s" % explained_output(response))
    figure.tight_layout()
    _show(figure)
    return explanation
