"""SHAP and LIME explanations of one sample, drawn with matplotlib.

shap and lime are imported here, on first use, so that the rest of the
experiment works (and imports quickly) without them."""

import numpy as np

from .._optional import import_optional
from . import parallel


def import_pyplot():
    return import_optional("matplotlib.pyplot", "explain", "Drawing an explanation")


def explained_output(response):
    """What an explanation of ``response`` explains, for a figure's title:
    the prediction of a regressor, P(class) of a classifier's second class."""
    if response.classifier:
        return "P(%s)" % (response.model.classes_[1],)
    return "the prediction"


def _show(figure):
    """Show ``figure`` in the current output, then close it: pyplot would keep
    every figure open otherwise (outside a notebook nothing closes them)."""
    plt = import_pyplot()

    try:
        plt.show()
    finally:
        plt.close(figure)


def shap_explain(experiment, response, index):
    shap = parallel.import_shap()

    names = experiment.data.feature_names
    row = np.array(experiment.data.x[index : index + 1])
    background = parallel.shap_background(experiment.data.x, experiment.shap_background, experiment.random_state)
    values, base_value = parallel.shap_row(response.predict, background, row, experiment.random_state)
    explanation = shap.Explanation(
        values=values,
        base_values=base_value,
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
    plt = import_pyplot()
    shap = parallel.import_shap()

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
    explainer = parallel.lime_explainer(
        experiment.data.x, experiment.data.feature_names, parallel.class_names(response), experiment.random_state
    )
    row = np.array(experiment.data.x[index])
    explanation = parallel.lime_instance(explainer, response, row, experiment.lime_samples)
    if response.classifier:
        figure = explanation.as_pyplot_figure(label=1)
    else:
        figure = explanation.as_pyplot_figure()
    # lime's own title names a class but not that its probability is explained.
    figure.axes[0].set_title("LIME weights of %s" % explained_output(response))
    figure.tight_layout()
    _show(figure)
    return explanation
