"""Figures of an experiment's explanations, each drawn into a matplotlib Axes.

Every function takes the experiment and a model name (then what it shows),
draws into ``ax`` (by default into the axes of a new pyplot figure of 8 x 6
inches) and returns the Axes. None of them shows or closes its figure: save
it, compose it with others, or let the notebook show it. Axes are labelled
with what is shown: the prediction of a regressor or the probability
"P(<class>)" of a classifier's second class, and feature names in full.

The numbers drawn are those of the experiment's methods (``permutation_importance``,
``pdp_explain``, ``ice_explain``, ``ale_explain``, ``shap_summary``,
``interaction_strength``), computed on first use and kept, so drawing a
figure again costs only the drawing.
"""

import numpy as np

from .local import explained_output, import_pyplot

__all__ = [
    "ale",
    "dependence",
    "effect_map",
    "importance",
    "interactions",
    "partial_dependence",
    "pixel_extent",
    "shap_summary",
]

FIGSIZE = (8, 6)


def _axes(ax):
    if ax is not None:
        return ax
    return import_pyplot().figure(figsize=FIGSIZE).add_subplot()


def _output(experiment, name):
    """What the model's explanations explain: "prediction" or "P(<class>)"."""
    shown = explained_output(experiment._response(name))
    return "prediction" if shown == "the prediction" else shown


def _on_output(experiment, name):
    """" on the prediction" or " on P(<class>)", for axis labels."""
    return " on " + explained_output(experiment._response(name))


def _ranked_bars(ax, labels, lengths, errors=None):
    """Horizontal bars, the longest on top, labelled with ``labels``; the
    positions from the bottom up are 0, 1, ...; returns the order drawn."""
    order = np.argsort(np.asarray(lengths), kind="stable")
    positions = np.arange(len(order))
    ax.barh(
        positions,
        np.asarray(lengths)[order],
        xerr=None if errors is None else np.asarray(errors)[order],
        capsize=3 if errors is not None else 0,
        align="center",
    )
    ax.set_yticks(positions, [labels[i] for i in order])
    ax.set_ylim(-0.6, len(order) - 0.4)
    return order


def importance(experiment, name, ax=None):
    """Permutation feature importance as horizontal bars, with error bars.

    Parameters
    ----------
    experiment : Experiment
        The experiment that holds the model.
    name : str
        Name of the model.
    ax : matplotlib.axes.Axes, optional
        Axes to draw into; by default those of a new figure.

    Returns
    -------
    ax : matplotlib.axes.Axes
        The Axes drawn into. One bar per feature, the most important on top:
        its length is the mean drop of the score over the repeats, its error
        bar one standard deviation of the drops either side
        (``Experiment.permutation_importance``).

    Notes
    -----
    The x axis names the score whose drop is shown ("Drop in R² when
    shuffled" for a regressor, "Drop in ROC AUC when shuffled" for a
    classifier), as the dashboard's importance chart does. Two bars whose
    error bars overlap widely do not establish an order.

    Examples
    --------
    >>> import numpy as np
    >>> from sklearn.linear_model import LinearRegression
    >>> from qalvo.experiment import Experiment, plots
    >>> x = np.random.default_rng(0).uniform(-1, 1, (200, 3))
    >>> y = 3 * x[:, 0] + x[:, 1]
    >>> exp = Experiment(x, y, ["a", "b", "c"]).add_model("lin", LinearRegression().fit(x, y))
    >>> ax = plots.importance(exp, "lin")
    >>> [label.get_text() for label in ax.get_yticklabels()]
    ['c', 'b', 'a']
    """
    result = experiment.permutation_importance(name)
    ax = _axes(ax)
    _ranked_bars(ax, result.feature_names, result.importances_mean, result.importances_std)
    ax.axvline(0.0, color="0.3", linewidth=0.8)
    repeats = result.importances.shape[1]
    ax.set_xlabel(
        "Drop in %s when shuffled (mean ± sd of %d repeat%s)" % (result.score, repeats, "" if repeats == 1 else "s")
    )
    ax.set_title("Permutation feature importance")
    return ax


def partial_dependence(experiment, name, feature, ice=False, centered=False, ax=None):
    """Partial dependence on one feature, optionally with its ICE curves.

    Parameters
    ----------
    experiment : Experiment
        The experiment that holds the model.
    name : str
        Name of the model.
    feature : str
        Name of the feature.
    ice : bool, default=False
        Whether to draw each sample's curve (``Experiment.ice_explain``)
        under the average.
    centered : bool, default=False
        Whether every curve, and the average, starts at 0 at the grid's
        first point (the change of the output from there).
    ax : matplotlib.axes.Axes, optional
        Axes to draw into; by default those of a new figure.

    Returns
    -------
    ax : matplotlib.axes.Axes
        The Axes drawn into. The average is the line labelled "average
        (partial dependence)"; with ``ice``, the individual curves are one
        ``LineCollection`` of thin lines, one per row of ``ice_explain``'s
        "individual", in its order.

    Notes
    -----
    The partial dependence at v is the mean output over the rows with the
    feature set to v; an ICE curve is one row's output as the feature runs
    over the grid. Parallel ICE curves mean that the feature acts alike on
    every sample; crossing ones mean that it interacts with others, which
    the average can hide. The lines become fainter the more there are.

    Examples
    --------
    >>> import numpy as np
    >>> from sklearn.linear_model import LinearRegression
    >>> from qalvo.experiment import Experiment, plots
    >>> x = np.random.default_rng(0).uniform(-1, 1, (200, 3))
    >>> y = 3 * x[:, 0] + x[:, 1]
    >>> exp = Experiment(x, y, ["a", "b", "c"]).add_model("lin", LinearRegression().fit(x, y))
    >>> ax = plots.partial_dependence(exp, "lin", "a", ice=True)
    >>> ax.get_xlabel(), ax.get_ylabel()
    ('a', 'prediction')
    """
    if ice or centered:
        result = experiment.ice_explain(name, feature, centered=centered)
    else:
        result = experiment.pdp_explain(name, feature)
    grid, average = result["values"][0], result["average"][0]
    output = _output(experiment, name)
    ax = _axes(ax)
    if ice:
        from matplotlib.collections import LineCollection

        curves = result["individual"]
        segments = np.stack([np.broadcast_to(grid, curves.shape), curves], axis=2)
        alpha = float(np.clip(20.0 / max(len(curves), 1), 0.05, 0.5))
        ax.add_collection(LineCollection(segments, colors="C0", linewidths=0.6, alpha=alpha))
        ax.autoscale_view()
    average_line = ax.plot(grid, average, color="C1" if ice else "C0", linewidth=2.5, label="average (partial dependence)")
    if ice:
        from matplotlib.lines import Line2D

        # The curves may be too faint to show in the legend: it gets an opaque sample.
        sample = Line2D([], [], color="C0", linewidth=0.8, label="individual (ICE)")
        ax.legend(handles=[sample, *average_line])
    ax.set_xlabel(feature)
    if centered:
        ax.set_ylabel("change of the %s from %s = %.4g" % (output, feature, grid[0]))
    else:
        ax.set_ylabel(output)
    ax.set_title("Partial dependence and ICE curves" if ice else "Partial dependence")
    return ax


def ale(experiment, name, feature, ax=None):
    """Accumulated local effects (ALE) of one feature.

    Parameters
    ----------
    experiment : Experiment
        The experiment that holds the model.
    name : str
        Name of the model.
    feature : str
        Name of the feature.
    ax : matplotlib.axes.Axes, optional
        Axes to draw into; by default those of a new figure.

    Returns
    -------
    ax : matplotlib.axes.Axes
        The Axes drawn into: one line through the effect at each quantile bin
        edge (``Experiment.ale_explain``), and a thin line at 0.

    Notes
    -----
    The effect is centred so that its mean over the samples is 0: a point
    above the line at 0 raises the output above its average by that much.

    Examples
    --------
    >>> import numpy as np
    >>> from sklearn.linear_model import LinearRegression
    >>> from qalvo.experiment import Experiment, plots
    >>> x = np.random.default_rng(0).uniform(-1, 1, (200, 3))
    >>> y = 3 * x[:, 0] + x[:, 1]
    >>> exp = Experiment(x, y, ["a", "b", "c"]).add_model("lin", LinearRegression().fit(x, y))
    >>> plots.ale(exp, "lin", "a").get_ylabel()
    'accumulated local effect on the prediction'
    """
    positions, effect = experiment.ale_explain(name, feature)[:2]
    ax = _axes(ax)
    ax.axhline(0.0, color="0.3", linewidth=0.8)
    ax.plot(positions, effect, color="C0", linewidth=2.5)
    ax.set_xlabel(feature)
    ax.set_ylabel("accumulated local effect" + _on_output(experiment, name))
    ax.set_title("Accumulated local effects")
    return ax


def pixel_extent(grid0, grid1):
    """Extent of an image whose pixels are centred on two evenly spaced grids.

    Parameters
    ----------
    grid0, grid1 : array-like of shape (n0,) and (n1,)
        Ascending, evenly spaced values of the feature along x and up y, as
        ``Experiment.pdp_explain`` and ``ale_explain`` return them for a
        pair; at least two values each.

    Returns
    -------
    extent : list of float
        ``[left, right, bottom, top]`` for ``imshow``: each grid's ends
        widened by half a grid step, so that the pixel of column c spans
        ``grid0[c] ± step/2`` and is centred on ``grid0[c]`` (likewise for
        rows).

    Examples
    --------
    >>> from qalvo.experiment.plots import pixel_extent
    >>> pixel_extent([0.0, 1.0], [10.0, 15.0, 20.0])
    [-0.5, 1.5, 7.5, 22.5]
    """
    extent = []
    for grid in (np.asarray(grid0, dtype=np.float64), np.asarray(grid1, dtype=np.float64)):
        if len(grid) < 2:
            raise ValueError("each grid needs at least two values, got %d" % len(grid))
        half = (grid[-1] - grid[0]) / (len(grid) - 1) / 2
        extent += [float(grid[0] - half), float(grid[-1] + half)]
    return extent


def _message(ax, text):
    ax.text(0.5, 0.5, text, ha="center", va="center", transform=ax.transAxes, fontsize=12, wrap=True)
    ax.set_xticks([])
    ax.set_yticks([])


def effect_map(experiment, name, feature0, feature1, kind="pdp", ax=None):
    """Two-feature partial dependence or ALE interaction as an image.

    Parameters
    ----------
    experiment : Experiment
        The experiment that holds the model.
    name : str
        Name of the model.
    feature0, feature1 : str
        Names of two different features: feature0 along x, feature1 up y.
    kind : {"pdp", "ale"}, default="pdp"
        "pdp": the partial dependence of the pair (the mean output with both
        features set); "ale": the pair's second-order accumulated local
        effect (the interaction alone, both features' own effects removed).
    ax : matplotlib.axes.Axes, optional
        Axes to draw into; by default those of a new figure. A colour bar is
        added beside it.

    Returns
    -------
    ax : matplotlib.axes.Axes
        The Axes drawn into. The image holds the effect of
        ``pdp_explain``/``ale_explain`` as it is (row 0 at the top: feature1
        at its highest), over ``pixel_extent`` of the grids, so each pixel is
        centred on the pair of values it shows. The ALE image is coloured
        symmetrically around 0 (blue below, red above).

        Where there is no image to draw, the Axes hold something else, and
        no image: for "pdp" with one constant feature, the one-feature curve
        of the other (the constant one cannot vary); with both constant, a
        message; for "ale" without interaction (``ale_explain`` returns
        None: a constant feature, or an effect negligible against the
        predictions), the message "No interaction effect".

    Raises
    ------
    ValueError
        For an unknown ``kind``, or the same feature twice.

    Examples
    --------
    >>> import numpy as np
    >>> from sklearn.linear_model import LinearRegression
    >>> from qalvo.experiment import Experiment, plots
    >>> x = np.random.default_rng(0).uniform(-1, 1, (200, 3))
    >>> y = 3 * x[:, 0] + x[:, 1]
    >>> exp = Experiment(x, y, ["a", "b", "c"]).add_model("lin", LinearRegression().fit(x, y))
    >>> ax = plots.effect_map(exp, "lin", "a", "b")
    >>> ax.get_xlabel(), ax.get_ylabel(), ax.images[0].get_array().shape
    ('a', 'b', (20, 20))
    >>> plots.effect_map(exp, "lin", "a", "b", kind="ale").texts[0].get_text()
    'No interaction effect'
    """
    if kind not in ("pdp", "ale"):
        raise ValueError("kind must be 'pdp' or 'ale', not %r" % (kind,))
    if feature0 == feature1:
        raise ValueError("effect_map shows a pair of different features, got %r twice" % (feature0,))
    on_output = _on_output(experiment, name)
    ax = _axes(ax)
    ax.set_xlabel(feature0)
    ax.set_ylabel(feature1)
    if kind == "ale":
        ax.set_title("Accumulated local effects: interaction")
        result = experiment.ale_explain(name, feature0, feature1)
        if result is None:
            _message(ax, "No interaction effect")
            return ax
        grid0, grid1, effect = result
        limit = float(np.max(np.abs(effect)))
        shown = ax.imshow(
            effect,
            extent=pixel_extent(grid0, grid1),
            aspect="auto",
            interpolation="nearest",
            cmap="RdBu_r",
            vmin=-limit,
            vmax=limit,
        )
        ax.figure.colorbar(shown, ax=ax, label="interaction effect" + on_output)
        _few_values_as_ticks(ax, grid0, grid1)
        return ax

    ax.set_title("Partial dependence")
    result = experiment.pdp_explain(name, feature0, feature1)
    (grid0, grid1), (average,) = result["values"], result["average"]
    if len(grid0) == 1 and len(grid1) == 1:
        _message(ax, "Both features are constant: %s = %.6g, %s = %.6g" % (feature0, grid0[0], feature1, grid1[0]))
        return ax
    if len(grid0) == 1 or len(grid1) == 1:
        # A constant feature cannot vary: what remains is the other one's curve.
        if len(grid1) == 1:
            varying, values, curve, constant, value = feature0, grid0, average[0], feature1, grid1[0]
        else:
            varying, values, curve, constant, value = feature1, grid1, average[::-1, 0], feature0, grid0[0]
        ax.plot(values, curve, color="C0", linewidth=2.5)
        ax.set_xlabel(varying)
        ax.set_ylabel(_output(experiment, name))
        ax.set_title("Partial dependence (%s is constant: %.6g)" % (constant, value))
        return ax
    shown = ax.imshow(average, extent=pixel_extent(grid0, grid1), aspect="auto", interpolation="nearest")
    ax.figure.colorbar(shown, ax=ax, label=_output(experiment, name))
    _few_values_as_ticks(ax, grid0, grid1)
    return ax


def _few_values_as_ticks(ax, grid0, grid1, most=10):
    """Ticks at the grid values of a feature of a few values (a flag's 0 and
    1), each under the middle of its band of pixels."""
    if len(grid0) <= most:
        ax.set_xticks(grid0)
    if len(grid1) <= most:
        ax.set_yticks(grid1)


def _swarm_offsets(values, half_width=0.4, bins=100):
    """Vertical offsets that lay points of about equal value side by side, as
    in a beeswarm: the points falling in one of ``bins`` equal bins along
    the values' range are stacked alternately above and below the row, in
    the order of their values, and the highest stack of all spans
    ``half_width`` either side. Deterministic: no random jitter."""
    values = np.asarray(values, dtype=np.float64)
    if len(values) == 0:
        return np.zeros(0)
    span = np.ptp(values)
    if span == 0:
        bin_of = np.zeros(len(values), dtype=np.intp)
    else:
        bin_of = np.minimum(((values - values.min()) / span * bins).astype(np.intp), bins - 1)
    order = np.lexsort((values, bin_of))
    sorted_bins = bin_of[order]
    rank = np.arange(len(values)) - np.searchsorted(sorted_bins, sorted_bins, side="left")
    layer = np.empty(len(values))
    layer[order] = (rank + 1) // 2 * np.where(rank % 2 == 1, 1.0, -1.0)
    highest = np.max(np.abs(layer))
    return layer * (half_width / highest) if highest > 0 else layer


def _colour_scale(column):
    """Feature values mapped to [0, 1] between their 5th and 95th
    percentiles (clipped beyond), so that a few outliers do not wash out the
    colours of the rest; a constant column maps to 0.5."""
    low, high = np.percentile(column, [5, 95])
    if high <= low:
        low, high = column.min(), column.max()
    if high <= low:
        return np.full(len(column), 0.5)
    return np.clip((column - low) / (high - low), 0.0, 1.0)


def shap_summary(experiment, name, kind="bar", sample_indices=None, max_display=20, ax=None):
    """Global SHAP summary: mean absolute SHAP value per feature, or the beeswarm.

    Parameters
    ----------
    experiment : Experiment
        The experiment that holds the model.
    name : str
        Name of the model.
    kind : {"bar", "beeswarm"}, default="bar"
        "bar": one bar per feature, the mean absolute SHAP value over the
        rows. "beeswarm": one row of points per feature, each point a
        sample's SHAP value for that feature, coloured by the sample's value
        of the feature (blue low, red high).
    sample_indices : sequence of int, optional
        The rows explained; by default ``Experiment.shap_summary``'s seeded
        sample.
    max_display : int, default=20
        Most features drawn: those of the largest mean absolute SHAP value;
        the title says how many are left out.
    ax : matplotlib.axes.Axes, optional
        Axes to draw into; by default those of a new figure.

    Returns
    -------
    ax : matplotlib.axes.Axes
        The Axes drawn into, the feature of the largest mean absolute SHAP
        value on top.
        "bar": the bars. "beeswarm": one ``PathCollection`` per feature, from
        the bottom up, whose x positions are the feature's SHAP values in the
        order of ``sample_indices`` and whose colours are those values'
        feature values scaled to [0, 1] between their 5th and 95th
        percentiles; a colour bar labelled "feature value".

    Raises
    ------
    ValueError
        For an unknown ``kind`` or a ``max_display`` below 1.

    Notes
    -----
    A SHAP value is the feature's share of the difference between the
    sample's output and the average output over the SHAP background; the
    values of a row add up to that difference. The beeswarm lays points of
    about equal value side by side (no random jitter), so a thick stretch
    means many samples.

    Examples
    --------
    >>> import numpy as np
    >>> from sklearn.linear_model import LinearRegression
    >>> from qalvo.experiment import Experiment, plots
    >>> x = np.random.default_rng(0).uniform(-1, 1, (200, 3))
    >>> y = 3 * x[:, 0] + x[:, 1]
    >>> exp = Experiment(x, y, ["a", "b", "c"], shap_background=20)
    >>> exp = exp.add_model("lin", LinearRegression().fit(x, y))
    >>> ax = plots.shap_summary(exp, "lin", sample_indices=range(30))
    >>> ax.get_yticklabels()[-1].get_text()
    'a'
    """
    if kind not in ("bar", "beeswarm"):
        raise ValueError("kind must be 'bar' or 'beeswarm', not %r" % (kind,))
    if isinstance(max_display, bool) or not isinstance(max_display, (int, np.integer)) or max_display < 1:
        raise ValueError("max_display must be a positive integer, got %r" % (max_display,))
    summary = experiment.shap_summary(name, sample_indices)
    on_output = _on_output(experiment, name)
    names = summary.feature_names
    # The most important last: drawn from the bottom up, it ends on top.
    shown = np.argsort(summary.mean_abs, kind="stable")[::-1][:max_display][::-1]
    left_out = len(names) - len(shown)
    title = "SHAP summary of %d samples" % len(summary.sample_indices)
    if left_out:
        title += " (%d features of least mean |SHAP| left out)" % left_out
    ax = _axes(ax)
    ax.set_title(title)
    positions = np.arange(len(shown))
    if kind == "bar":
        ax.barh(positions, summary.mean_abs[shown], align="center")
        ax.set_xlabel("mean |SHAP value| (mean absolute effect%s)" % on_output)
    else:
        ax.axvline(0.0, color="0.3", linewidth=0.8)
        for position, j in zip(positions, shown):
            values = summary.values[:, j]
            colours = _colour_scale(summary.data[:, j])
            points = ax.scatter(
                values,
                position + _swarm_offsets(values),
                c=colours,
                cmap="coolwarm",
                vmin=0.0,
                vmax=1.0,
                s=12,
                linewidths=0,
            )
        bar = ax.figure.colorbar(points, ax=ax, ticks=[0.0, 1.0], aspect=40)
        bar.ax.set_yticklabels(["low", "high"])
        bar.set_label("feature value")
        ax.set_xlabel("SHAP value (effect%s)" % on_output)
    ax.set_yticks(positions, [names[j] for j in shown])
    ax.set_ylim(-0.6, len(shown) - 0.4)
    return ax


def dependence(experiment, name, feature, color_by=None, sample_indices=None, ax=None):
    """SHAP dependence plot: a feature's SHAP values against its values.

    Parameters
    ----------
    experiment : Experiment
        The experiment that holds the model.
    name : str
        Name of the model.
    feature : str
        Name of the feature.
    color_by : str, optional
        Name of a feature whose values colour the points (with a colour bar),
        to show an interaction: points of the same x that part by colour.
    sample_indices : sequence of int, optional
        The rows explained; by default ``Experiment.shap_summary``'s seeded
        sample.
    ax : matplotlib.axes.Axes, optional
        Axes to draw into; by default those of a new figure.

    Returns
    -------
    ax : matplotlib.axes.Axes
        The Axes drawn into: one ``PathCollection`` of points (x = the
        feature's value, y = its SHAP value), one per sample in the order of
        ``sample_indices``, and a thin line at 0.

    Notes
    -----
    For a linear model the points lie on a line of slope w_j through the
    background mean of the feature; curvature shows a non-linear effect,
    vertical spread at one value an interaction.

    Examples
    --------
    >>> import numpy as np
    >>> from sklearn.linear_model import LinearRegression
    >>> from qalvo.experiment import Experiment, plots
    >>> x = np.random.default_rng(0).uniform(-1, 1, (200, 3))
    >>> y = 3 * x[:, 0] + x[:, 1]
    >>> exp = Experiment(x, y, ["a", "b", "c"], shap_background=20)
    >>> exp = exp.add_model("lin", LinearRegression().fit(x, y))
    >>> ax = plots.dependence(exp, "lin", "a", color_by="b", sample_indices=range(30))
    >>> ax.get_ylabel()
    'SHAP value of a (effect on the prediction)'
    """
    j = experiment._feature(feature)
    k = None if color_by is None else experiment._feature(color_by)
    summary = experiment.shap_summary(name, sample_indices)
    ax = _axes(ax)
    ax.axhline(0.0, color="0.3", linewidth=0.8)
    if k is None:
        ax.scatter(summary.data[:, j], summary.values[:, j], s=14, color="C0", linewidths=0)
    else:
        points = ax.scatter(summary.data[:, j], summary.values[:, j], c=summary.data[:, k], cmap="coolwarm", s=14, linewidths=0)
        ax.figure.colorbar(points, ax=ax, label=color_by)
    ax.set_xlabel(feature)
    ax.set_ylabel("SHAP value of %s (effect%s)" % (feature, _on_output(experiment, name)))
    ax.set_title("SHAP dependence of %d samples" % len(summary.sample_indices))
    return ax


def interactions(experiment, name, features=None, ax=None):
    """Feature pairs ranked by interaction strength (Friedman's H²).

    Parameters
    ----------
    experiment : Experiment
        The experiment that holds the model.
    name : str
        Name of the model.
    features : sequence of str, optional
        The features whose pairs are ranked; by default the experiment's
        ``interaction_features`` most important ones
        (``Experiment.interaction_strength``).
    ax : matplotlib.axes.Axes, optional
        Axes to draw into; by default those of a new figure.

    Returns
    -------
    ax : matplotlib.axes.Axes
        The Axes drawn into: one bar per pair, labelled "feature0 × feature1",
        its length the pair's H², the strongest interaction on top.

    Notes
    -----
    H² is the share of the variance of the pair's joint partial dependence
    that the two features' own effects do not explain: 0 for none, 1 for an
    effect that is all interaction.

    Examples
    --------
    >>> import numpy as np
    >>> from sklearn.pipeline import make_pipeline
    >>> from sklearn.preprocessing import PolynomialFeatures
    >>> from sklearn.linear_model import LinearRegression
    >>> from qalvo.experiment import Experiment, plots
    >>> x = np.random.default_rng(0).uniform(-1, 1, (300, 3))
    >>> y = x[:, 0] + x[:, 1] * x[:, 2]
    >>> model = make_pipeline(PolynomialFeatures(2), LinearRegression()).fit(x, y)
    >>> exp = Experiment(x, y, ["a", "b", "c"]).add_model("m", model)
    >>> ax = plots.interactions(exp, "m", ["a", "b", "c"])
    >>> ax.get_yticklabels()[-1].get_text()
    'b × c'
    """
    pairs = experiment.interaction_strength(name, features)
    ax = _axes(ax)
    labels = ["%s × %s" % (first, second) for first, second, _ in pairs]
    _ranked_bars(ax, labels, [h2 for _, _, h2 in pairs])
    ax.set_xlabel("Friedman's H² (share of the pair's joint effect that is interaction)")
    ax.set_title("Interaction strength")
    return ax
