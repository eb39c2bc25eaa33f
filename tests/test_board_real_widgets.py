"""The whole panel built with the real ipywidgets, QalvoWidget, PlotHBar and
matplotlib (Agg); only `display` is rebound, to see what the views show."""

import ipywidgets as widgets
import numpy as np
import pytest

from board_fakes import FakeExperiment
from qalvo.dashboard import insight_board as mod
from qalvo.dashboard.insight_board import InsightBoard
from qalvo.dashboard.widgets import QalvoWidget


@pytest.fixture
def shown(monkeypatch, no_figures):
    displayed = []
    monkeypatch.setattr(mod, "display", displayed.append)
    return displayed


@pytest.fixture
def panel(shown):
    experiment = FakeExperiment(features=("a", "b", "c"), n_rows=100)
    board = InsightBoard(experiment, "model")
    return board, experiment, board.explain_all_panel()


def test_whole_panel_tree(panel, shown, no_figures):
    board, experiment, root = panel
    assert isinstance(root, widgets.VBox)
    toggle, gap, inter_out = root.children
    assert isinstance(toggle, widgets.ToggleButtons) and isinstance(inter_out, widgets.Output)
    assert toggle.options == ("Global-Explainability", "Local-Explainability")
    assert toggle.value == "Global-Explainability"
    assert gap.layout.height == "10px"

    post_interactive = shown[-1]
    assert isinstance(post_interactive, widgets.VBox)
    assert post_interactive._dom_classes == ("fix-img",)
    assert post_interactive.layout.justify_content == "space-between"
    vi_all, rule_1, uni, rule_2, bi = post_interactive.children
    assert all(isinstance(w, widgets.VBox) for w in (vi_all, uni, bi))
    (vi_row,) = vi_all.children
    assert vi_all.layout.height == uni.layout.height == bi.layout.height == "30%"
    space_layout = vi_row.children[2]
    assert isinstance(space_layout, widgets.Box) and space_layout.layout.width == "1%"
    for section in (uni, bi):
        name, row = section.children
        assert row.children[3] is space_layout
        assert row.layout.justify_content == "space-between"
    pdp_one = uni.children[1].children[0]
    (selector,) = pdp_one.children[0].children
    assert isinstance(selector, widgets.Dropdown)
    assert selector.options == ("c", "b", "a") and selector.value == "c"
    first, _, second = bi.children[1].children[0].children[0].children
    assert (first.value, second.value) == ("c", "b")

    # The progress area was shown first; its bar reached 3.
    progress_area, bar = shown[0], shown[1]
    assert isinstance(bar, widgets.IntProgress) and (bar.value, bar.max) == (3, 3)
    assert progress_area.children[1].children[0].outputs == ()
    # 1D PDP, 1D ALE, 2D PDP, 2D ALE: the importance chart closed once shown
    assert len(no_figures.get_fignums()) == 4


def test_toggle_switches_between_the_views(panel, shown):
    _, _, root = panel
    toggle = root.children[0]
    post_interactive = shown[-1]
    toggle.value = "Local-Explainability"
    local_all = shown[-1]
    assert local_all is not post_interactive
    assert isinstance(local_all, widgets.VBox) and local_all._dom_classes == ("fix-img",)
    ui0, _, graphs = local_all.children
    assert isinstance(graphs.children[0].children[0], widgets.VBox)
    toggle.value = "Global-Explainability"
    assert shown[-1] is post_interactive


def test_index_box_bounds_and_callbacks(panel, shown):
    _, experiment, _ = panel
    toggle = panel[2].children[0]
    toggle.value = "Local-Explainability"
    ex_index = shown[-1].children[0].children[2]
    assert isinstance(ex_index, widgets.BoundedIntText)
    assert (ex_index.value, ex_index.min, ex_index.max) == (0, 0, 99)
    experiment.calls.clear()
    ex_index.value = 100  # the box keeps it within the rows
    assert ex_index.value == 99
    assert [(c[2]["method"], c[2]["sample_index"]) for c in experiment.calls] == [
        ("SHAP", 99), ("LIME", 99)]


def test_selector_change_redraws_with_real_matplotlib(panel, shown, no_figures):
    _, experiment, _ = panel
    post_interactive = shown[-1]
    bi_row = post_interactive.children[4].children[1]
    second = bi_row.children[0].children[0].children[2]
    before = len(no_figures.get_fignums())
    second.value = "a"
    assert len(no_figures.get_fignums()) == before + 2
    ale_figure = no_figures.figure(no_figures.get_fignums()[-1])
    image_axes, colorbar_axes = ale_figure.axes
    # Five columns over 0 .. 1, four rows over 10 .. 20, each pixel centred on its value.
    np.testing.assert_allclose(image_axes.images[0].get_extent(),
                               [-0.125, 1.125, 10.0 - 5.0 / 3.0, 20.0 + 5.0 / 3.0], rtol=1e-15)
    assert image_axes.get_xlabel() == "c" and image_axes.get_ylabel() == "a"


def test_qalvo_widget_and_plot_hbar(no_figures):
    assert QalvoWidget.margin_top("10px").layout.height == "10px"
    assert QalvoWidget.margin_right("5px").layout.width == "5px"
    assert isinstance(QalvoWidget.divider(), widgets.HTML)
    figure = mod.PlotHBar().plot(X=["A", "B"], height=np.array([0.3, 0.1]), title="T")
    (axes,) = figure.axes
    assert [t.get_text() for t in axes.get_yticklabels()] == ["A", "B"]
    assert [p.get_width() for p in axes.patches] == [0.3, 0.1]
    assert axes.get_title() == "T"
    with pytest.raises(ValueError, match="2 labels but 1 bar lengths"):
        mod.PlotHBar().plot(X=["A", "B"], height=[0.3], title="T")


def test_constructor_without_experiment_raises_outside_a_kernel():
    # Outside a kernel the real output does not swallow the error.
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute"):
        InsightBoard()


def test_repeated_panels_on_a_real_experiment_leave_only_the_effect_figures(shown, no_figures):
    # The importance chart and the SHAP and LIME drawings are closed once
    # shown; what stays open under Agg are the four effect figures that the
    # panel itself draws and shows (a notebook's inline backend closes them).
    from sklearn.linear_model import LinearRegression
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import PolynomialFeatures

    from qalvo.experiment import Experiment

    rng = np.random.default_rng(0)
    x = rng.uniform(-1, 1, (120, 3))
    y = x @ [3.0, 2.0, 1.0] + x[:, 0] * x[:, 1]
    experiment = Experiment(x, y, ["a", "b", "c"], pfi_repeats=1, shap_background=10, lime_samples=100)
    experiment.add_model("m", make_pipeline(PolynomialFeatures(2), LinearRegression()).fit(x, y))
    for build in range(1, 4):
        InsightBoard(experiment, "m").explain_all_panel()
        titles = [no_figures.figure(n).axes[0].get_title() for n in no_figures.get_fignums()]
        assert sorted(titles) == sorted(["Partial Dependence Plot", "Accumulated Local Effects"] * 2 * build)
