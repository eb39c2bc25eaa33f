"""qalvo.experiment.plots: each figure draws the experiment's own numbers into
an Axes that it returns, labelled with what is shown, and never shows or
closes its figure."""

import re

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402
from matplotlib.collections import LineCollection, PathCollection  # noqa: E402
from sklearn.ensemble import GradientBoostingClassifier  # noqa: E402
from sklearn.linear_model import LinearRegression  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import PolynomialFeatures  # noqa: E402

from qalvo.experiment import Experiment, plots  # noqa: E402

N = 300
NAMES = ["a_rather_long_feature_name", "b", "c", "flag", "constant"]


def data():
    rng = np.random.default_rng(0)
    x = np.column_stack([rng.uniform(-1, 1, (N, 3)), rng.integers(0, 2, N), np.full(N, 2.0)])
    y = 3 * x[:, 0] + x[:, 1] * x[:, 2] + x[:, 3] + x[:, 1] * x[:, 3]
    return x, y


@pytest.fixture(scope="module")
def exp():
    x, y = data()
    model = make_pipeline(PolynomialFeatures(2), LinearRegression()).fit(x, y)
    experiment = Experiment(
        x, y, NAMES, pfi_repeats=3, pdp_max_samples=40, shap_background=20, shap_summary_samples=30,
        interaction_samples=60, interaction_features=4,
    )
    return experiment.add_model("m", model)


@pytest.fixture(scope="module")
def clf_exp():
    x, y = data()
    labels = np.where(y > 0, "yes", "no")
    model = GradientBoostingClassifier(n_estimators=10, random_state=0).fit(x, labels)
    experiment = Experiment(x, labels, NAMES, pfi_repeats=2, pdp_max_samples=40, shap_background=10)
    return experiment.add_model("clf", model)


@pytest.fixture
def figures(monkeypatch, no_figures):
    """pyplot, with show and close refused: a figure function may use neither."""

    def refuse(*args, **kwargs):
        raise AssertionError("a figure function showed or closed a figure")

    monkeypatch.setattr(no_figures, "show", refuse)
    monkeypatch.setattr(no_figures, "close", refuse)
    yield no_figures
    monkeypatch.undo()  # before no_figures closes what was drawn


def tick_labels(ax):
    return [label.get_text() for label in ax.get_yticklabels()]


def bar_widths(ax):
    """Bar lengths from the bottom up."""
    return [patch.get_width() for patch in sorted(ax.patches, key=lambda p: p.get_y())]


def test_importance_bars_and_error_bars(exp, figures):
    ax = plots.importance(exp, "m")
    result = exp.permutation_importance("m")
    order = np.argsort(result.importances_mean, kind="stable")
    assert tick_labels(ax) == [NAMES[i] for i in order]
    assert tick_labels(ax)[-1] == "a_rather_long_feature_name"  # in full, on top
    np.testing.assert_array_equal(bar_widths(ax), result.importances_mean[order])
    (errors,) = [c for c in ax.collections if isinstance(c, LineCollection)]
    spans = [(segment[0, 0], segment[1, 0]) for segment in errors.get_segments()]
    expected = [(m - s, m + s) for m, s in zip(result.importances_mean[order], result.importances_std[order])]
    np.testing.assert_allclose(spans, expected, rtol=1e-12)
    assert ax.get_xlabel() == "Drop in R² when shuffled (mean ± sd of 3 repeats)"
    assert ax.get_title() == "Permutation feature importance"
    assert figures.get_fignums() == [ax.figure.number]  # left open


def test_importance_of_a_classifier_names_roc_auc(clf_exp, figures):
    assert plots.importance(clf_exp, "clf").get_xlabel().startswith("Drop in ROC AUC when shuffled")


@pytest.mark.parametrize("centered", [False, True])
def test_partial_dependence_with_ice_curves(exp, figures, centered):
    ax = plots.partial_dependence(exp, "m", "b", ice=True, centered=centered)
    ice = exp.ice_explain("m", "b", centered=centered)
    grid = ice["values"][0]
    (curves,) = [c for c in ax.collections if isinstance(c, LineCollection)]
    segments = curves.get_segments()
    assert len(segments) == len(ice["individual"]) == 40
    for segment, row in zip(segments, ice["individual"]):
        np.testing.assert_array_equal(segment[:, 0], grid)
        np.testing.assert_array_equal(segment[:, 1], row)
    (average,) = ax.get_lines()
    np.testing.assert_array_equal(average.get_xdata(), grid)
    np.testing.assert_array_equal(average.get_ydata(), ice["average"][0])
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["individual (ICE)", "average (partial dependence)"]
    assert ax.get_xlabel() == "b"
    expected = "change of the prediction from b = %.4g" % grid[0] if centered else "prediction"
    assert ax.get_ylabel() == expected


def test_partial_dependence_alone_of_a_classifier(clf_exp, figures):
    ax = plots.partial_dependence(clf_exp, "clf", "a_rather_long_feature_name")
    pdp = clf_exp.pdp_explain("clf", "a_rather_long_feature_name")
    (line,) = ax.get_lines()
    np.testing.assert_array_equal(line.get_xdata(), pdp["values"][0])
    np.testing.assert_array_equal(line.get_ydata(), pdp["average"][0])
    assert not ax.collections
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("a_rather_long_feature_name", "P(yes)")


@pytest.mark.parametrize("experiment, name, label", [("exp", "m", "prediction"), ("clf_exp", "clf", "P(yes)")])
def test_ale_line(request, figures, experiment, name, label):
    experiment = request.getfixturevalue(experiment)
    ax = plots.ale(experiment, name, "b")
    positions, effect = experiment.ale_explain(name, "b")
    (zero, line) = ax.get_lines()
    np.testing.assert_array_equal(line.get_xdata(), positions)
    np.testing.assert_array_equal(line.get_ydata(), effect)
    assert list(zero.get_ydata()) == [0, 0]
    assert ax.get_ylabel() == "accumulated local effect on " + ("the prediction" if label == "prediction" else label)


def pixel_centres(image):
    left, right, bottom, top = image.get_extent()
    rows, columns = image.get_array().shape
    x = left + (np.arange(columns) + 0.5) * (right - left) / columns
    y = top - (np.arange(rows) + 0.5) * (top - bottom) / rows  # row 0 at the top
    return x, y


@pytest.mark.parametrize("kind", ["pdp", "ale"])
def test_effect_map_centres_each_pixel_on_its_grid_value(exp, figures, kind):
    ax = plots.effect_map(exp, "m", "b", "flag", kind=kind)
    (image,) = ax.images
    if kind == "pdp":
        result = exp.pdp_explain("m", "b", "flag")
        (grid0, grid1), (effect,) = result["values"], result["average"]
    else:
        grid0, grid1, effect = exp.ale_explain("m", "b", "flag")
    np.testing.assert_array_equal(image.get_array(), effect)
    x, y = pixel_centres(image)
    np.testing.assert_allclose(x, grid0, rtol=0, atol=1e-12)
    np.testing.assert_allclose(y, grid1[::-1], rtol=0, atol=1e-12)
    # The flag's two values sit at 0 and 1, each under its tick.
    assert image.get_extent()[2:] == [-0.5, 1.5] and list(ax.get_yticks()) == [0.0, 1.0]
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("b", "flag")
    colour_bar = ax.figure.axes[-1]
    expected = "prediction" if kind == "pdp" else "interaction effect on the prediction"
    assert colour_bar.get_ylabel() == expected
    if kind == "ale":
        assert image.norm.vmin == -image.norm.vmax == -np.max(np.abs(effect))


@pytest.mark.parametrize("order", ["constant second", "constant first"])
def test_effect_map_with_a_constant_feature_draws_the_other_one_s_curve(exp, figures, order):
    pair = ("b", "constant") if order == "constant second" else ("constant", "b")
    ax = plots.effect_map(exp, "m", *pair)
    assert not ax.images
    (line,) = ax.get_lines()
    curve = exp.pdp_explain("m", "b")
    np.testing.assert_array_equal(line.get_xdata(), exp.pdp_explain("m", *pair)["values"][pair.index("b")])
    np.testing.assert_allclose(line.get_xdata(), np.linspace(-1, 1, 20), atol=0.02)
    # The pair's surface with the constant held at its only value is b's own curve, on the pair's grid.
    slope = np.diff(line.get_ydata()) / np.diff(line.get_xdata())
    np.testing.assert_allclose(slope, np.polyfit(curve["values"][0], curve["average"][0], 1)[0], rtol=1e-6)
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("b", "prediction")
    assert ax.get_title() == "Partial dependence (constant is constant: 2)"


def test_effect_map_messages_instead_of_empty_images(exp, figures):
    ax = plots.effect_map(exp, "m", "b", "constant", kind="ale")
    assert not ax.images and [t.get_text() for t in ax.texts] == ["No interaction effect"]
    x, y = data()  # a second constant column, for a pair of two
    flat = Experiment(np.column_stack([x, x[:, 4]]), y, NAMES + ["also_constant"])
    model = LinearRegression().fit(flat.data.x, y)
    ax = plots.effect_map(flat.add_model("m", model), "m", "constant", "also_constant")
    assert not ax.images
    assert [t.get_text() for t in ax.texts] == ["Both features are constant: constant = 2, also_constant = 2"]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda e: plots.effect_map(e, "m", "b", "b"), "effect_map shows a pair of different features, got 'b' twice"),
        (lambda e: plots.effect_map(e, "m", "b", "c", kind="ice"), "kind must be 'pdp' or 'ale', not 'ice'"),
        (lambda e: plots.shap_summary(e, "m", kind="violin"), "kind must be 'bar' or 'beeswarm', not 'violin'"),
        (lambda e: plots.shap_summary(e, "m", max_display=0), "max_display must be a positive integer, got 0"),
        (lambda e: plots.pixel_extent([1.0], [0.0, 1.0]), "each grid needs at least two values, got 1"),
    ],
)
def test_bad_requests(exp, figures, call, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        call(exp)


def test_shap_summary_bars(exp, figures):
    ax = plots.shap_summary(exp, "m", max_display=3)
    summary = exp.shap_summary("m")
    order = np.argsort(summary.mean_abs, kind="stable")[-3:]
    assert tick_labels(ax) == [NAMES[j] for j in order]
    np.testing.assert_array_equal(bar_widths(ax), summary.mean_abs[order])
    assert ax.get_title() == "SHAP summary of 30 samples (2 features of least mean |SHAP| left out)"
    assert ax.get_xlabel() == "mean |SHAP value| (mean absolute effect on the prediction)"


def test_shap_beeswarm_places_every_value_and_colours_by_feature_value(exp, figures):
    ax = plots.shap_summary(exp, "m", kind="beeswarm")
    summary = exp.shap_summary("m")
    order = np.argsort(summary.mean_abs, kind="stable")
    assert tick_labels(ax) == [NAMES[j] for j in order]
    rows = [c for c in ax.collections if isinstance(c, PathCollection)]
    assert len(rows) == len(NAMES)
    for position, (points, j) in enumerate(zip(rows, order)):
        offsets = points.get_offsets()
        np.testing.assert_array_equal(offsets[:, 0], summary.values[:, j])
        assert np.all(np.abs(offsets[:, 1] - position) <= 0.4 + 1e-12)
        colours = np.asarray(points.get_array())
        column = summary.data[:, j]
        if np.ptp(column) > 0:  # higher values never get a colour lower down the scale
            ranked = np.argsort(column, kind="stable")
            assert np.all(np.diff(colours[ranked]) >= 0) and colours.min() == 0 and colours.max() == 1
        else:
            assert np.all(colours == 0.5)
    assert ax.figure.axes[-1].get_ylabel() == "feature value"
    assert ax.get_xlabel() == "SHAP value (effect on the prediction)"


def test_beeswarm_spreads_equal_values_without_randomness():
    offsets = plots._swarm_offsets(np.array([0.0, 0.0, 0.0, 0.0, 0.0, 5.0]))
    np.testing.assert_allclose(sorted(offsets[:5]), [-0.4, -0.2, 0.0, 0.2, 0.4])
    assert offsets[5] == 0.0
    np.testing.assert_array_equal(plots._swarm_offsets(np.array([3.0, 3.0])), [0.0, 0.4])


@pytest.mark.parametrize("color_by", [None, "flag"])
def test_dependence_points(exp, figures, color_by):
    ax = plots.dependence(exp, "m", "b", color_by=color_by, sample_indices=range(12))
    summary = exp.shap_summary("m", range(12))
    (points,) = [c for c in ax.collections if isinstance(c, PathCollection)]
    np.testing.assert_array_equal(points.get_offsets(), np.column_stack([summary.data[:, 1], summary.values[:, 1]]))
    if color_by:
        np.testing.assert_array_equal(points.get_array(), summary.data[:, 3])
        assert ax.figure.axes[-1].get_ylabel() == "flag"
    assert ax.get_xlabel() == "b" and ax.get_ylabel() == "SHAP value of b (effect on the prediction)"


def test_interaction_ranking(exp, figures):
    ax = plots.interactions(exp, "m")
    pairs = exp.interaction_strength("m")
    assert len(pairs) == 6
    assert tick_labels(ax) == ["%s × %s" % (a, b) for a, b, _ in pairs][::-1]
    np.testing.assert_array_equal(bar_widths(ax), [h2 for _, _, h2 in pairs][::-1])
    assert tick_labels(ax)[-1] in ("b × c", "c × b")


def test_every_figure_draws_into_the_axes_it_is_given(exp, figures):
    figure, axes = plt.subplots(2, 4)
    calls = [
        lambda ax: plots.importance(exp, "m", ax=ax),
        lambda ax: plots.partial_dependence(exp, "m", "b", ice=True, ax=ax),
        lambda ax: plots.ale(exp, "m", "b", ax=ax),
        lambda ax: plots.effect_map(exp, "m", "b", "c", ax=ax),
        lambda ax: plots.shap_summary(exp, "m", kind="beeswarm", ax=ax),
        lambda ax: plots.dependence(exp, "m", "b", ax=ax),
        lambda ax: plots.interactions(exp, "m", ax=ax),
    ]
    for call, ax in zip(calls, axes.ravel()):
        assert call(ax) is ax
        assert ax.has_data()
    assert figures.get_fignums() == [figure.number]
