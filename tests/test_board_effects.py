"""pdp_ale_panel: selectors, live outputs and what each callback draws or says."""

import inspect
import re
import sys
import traceback

import numpy as np
import pytest

from board_fakes import FakeExperiment, pdp_result
from qalvo.dashboard import insight_board as mod
from qalvo.dashboard.insight_board import InsightBoard

EQUAL = '<font size="+1">Please select two different features</font>'
NO_INTERACTION = '<font size="+1">No this interaction effect</font>'
FILE_NAME = "qalvo\\dashboard\\insight_board"
GRID0, GRID1 = np.linspace(0.0, 1.0, 5), np.linspace(10.0, 20.0, 4)
# The grids' ends widened by half a step (0.25 / 2 and 10 / 3 / 2), so that each
# pixel is centred on its grid value.
CENTRED_EXTENT = [-0.125, 1.125, 10.0 - 5.0 / 3.0, 20.0 + 5.0 / 3.0]


def build(rec, experiment=None, **settings):
    experiment = experiment or FakeExperiment(rec)
    board = InsightBoard(experiment, "model")
    for name, value in settings.items():
        setattr(board, name, value)
    experiment.calls.clear()
    rec.events.clear()
    return board, experiment, board.pdp_ale_panel()


def live_outputs(rec):
    return [e[1] for e in rec.events if e[0] == "create" and e[1].kind == "live"]


def plt_during(rec, output):
    """The pyplot calls made while `output` was the active output."""
    calls, inside = [], False
    for event in rec.events:
        if event[0] in ("enter", "exit") and event[1] is output:
            inside = event[0] == "enter"
        elif event[0] == "plt" and inside:
            calls.append((event[1], event[2], event[3]))
    return calls


def test_selectors_offer_the_ranking_reversed(rec):
    build(rec, FakeExperiment(rec, features=("a", "b", "c")))
    selectors = rec.of_kind("Dropdown")
    style = {"description_width": "initial"}
    assert [s.kwargs for s in selectors] == [
        {"options": ["c", "b", "a"], "value": "c", "description": "Feature 1:", "disabled": False,
         "style": style},
        {"options": ["c", "b", "a"], "value": "c", "description": "Feature 1:", "disabled": False,
         "style": style},
        {"options": ["c", "b", "a"], "value": "b", "description": "Feature 2:", "disabled": False,
         "style": style},
    ]
    assert selectors[0].kwargs["options"] is selectors[2].kwargs["options"]
    assert selectors[0].kwargs["style"] is not selectors[1].kwargs["style"]


def test_views_outputs_and_mappings(rec):
    board, _, views = build(rec, widget_size="45%")
    uni, bi0, bi1 = rec.of_kind("Dropdown")
    pdp_uni, ale_uni, pdp_bi, ale_bi = live_outputs(rec)
    assert pdp_uni.controls == {"feature0": uni} and ale_uni.controls == {"feature0": uni}
    assert pdp_bi.controls == {"feature0": bi0, "feature1": bi1}
    assert list(ale_bi.controls.items()) == [("feature0", bi0), ("feature1", bi1)]
    assert pdp_uni.callback is pdp_bi.callback and ale_uni.callback is ale_bi.callback

    pdp_01, pdp_02, ale_01, ale_02 = views
    for view, output in ((pdp_01, pdp_uni), (pdp_02, pdp_bi), (ale_01, ale_uni), (ale_02, ale_bi)):
        header, gap, live = view.children
        assert view.kind == "VBox" and view.layout.kwargs == {"width": "45%"}
        assert (gap.kind, gap.kwargs) == ("margin_top", {"size": "10px"})
        assert live is output
        assert header.kind == "HBox"
    assert (pdp_01.children[0].args, pdp_01.children[0].kwargs) == (([uni],), {})
    first, selectors_gap, second = pdp_02.children[0].children
    assert (first, second) == (bi0, bi1) and pdp_02.children[0].kwargs == {}
    assert (selectors_gap.kind, selectors_gap.kwargs) == ("margin_top", {"size": "5px"})
    for ale_view in (ale_01, ale_02):
        header = ale_view.children[0]
        assert header.args == ([],) and header.layout.kwargs == {"height": "30px"}


def test_callbacks_are_closures_of_the_runtime(rec):
    board, _, _ = build(rec)
    pdp_uni, ale_uni, _, _ = live_outputs(rec)
    for output, name in ((pdp_uni, "pdp_explain"), (ale_uni, "ale_explain")):
        callback = output.callback
        assert callback.__qualname__ == f"InsightBoard.pdp_ale_panel.<locals>.{name}"
        assert str(inspect.signature(callback)) == "(feature0, feature1=None)"
        assert callback.__defaults__ == (None,)
        assert [cell.cell_contents for cell in callback.__closure__] == [board]
        assert callback.__code__.co_filename == FILE_NAME


def test_emptied_closure_cell_raises_name_error(rec):
    build(rec)
    callback = live_outputs(rec)[0].callback
    del callback.__closure__[0].cell_contents
    if sys.version_info >= (3, 11):
        message = ("cannot access free variable 'self' where it is not associated with a value "
                   "in enclosing scope")
    else:
        message = "free variable 'self' referenced before assignment in enclosing scope"
    with pytest.raises(NameError, match=re.escape(message)):
        callback("a")


def test_building_asks_for_all_four_effects_of_the_default_selection(rec):
    board, experiment, _ = build(rec, FakeExperiment(rec, features=("a", "b", "c")))
    pdp_uni, ale_uni, pdp_bi, ale_bi = live_outputs(rec)
    assert [(n, a, active) for n, a, _, active in experiment.calls] == [
        ("pdp_explain", ("model", "c", None), pdp_uni),
        ("ale_explain", ("model", "c", None), board.mute_out),
        ("pdp_explain", ("model", "c", "b"), pdp_bi),
        ("ale_explain", ("model", "c", "b"), board.mute_out),
    ]


def test_one_feature_plots(rec):
    _, experiment, _ = build(rec)
    pdp_uni, ale_uni, _, _ = live_outputs(rec)
    pdp_calls = plt_during(rec, pdp_uni)
    assert [c[0] for c in pdp_calls] == ["figure", "plot", "title", "xlabel", "tight_layout",
                                          "show"]
    assert pdp_calls[0][1:] == ((), {"figsize": (8, 6)})
    grid, average = pdp_calls[1][1]
    assert type(grid) is list and type(average) is list
    assert grid == GRID0.tolist() and average == [0.0, 1.0, 2.0, 3.0, 4.0]
    assert pdp_calls[2][1:] == (("Partial Dependence Plot",), {"fontsize": 15})
    assert pdp_calls[3][1:] == (("c",), {"fontsize": 12})
    assert pdp_calls[4][1:] == pdp_calls[5][1:] == ((), {})

    ale_calls = plt_during(rec, ale_uni)
    assert [c[0] for c in ale_calls] == ["figure", "plot", "title", "xlabel", "tight_layout",
                                          "show"]
    positions, effects = ale_calls[1][1]
    assert positions is experiment.ale_one[0] and effects is experiment.ale_one[1]
    assert ale_calls[2][1:] == (("Accumulated Local Effects",), {"fontsize": 15})


def test_two_feature_pdp_plot(rec):
    _, experiment, _ = build(rec)
    pdp_bi = live_outputs(rec)[2]
    calls = plt_during(rec, pdp_bi)
    assert [c[0] for c in calls] == ["figure", "imshow", "colorbar", "title", "xlabel", "ylabel",
                                     "tight_layout", "show"]
    (image,), imshow_kwargs = calls[1][1:]
    assert image is experiment.pdp_two["average"][0]
    assert {k: v for k, v in imshow_kwargs.items() if k != "extent"} == {
        "interpolation": "nearest", "aspect": "auto"}
    assert list(imshow_kwargs) == ["interpolation", "aspect", "extent"]
    np.testing.assert_allclose(imshow_kwargs["extent"], CENTRED_EXTENT, rtol=1e-15)
    assert calls[2][1:] == ((), {"orientation": "vertical", "format": "%0.0f",
                                 "use_gridspec": True})
    assert calls[4][1:] == (("c",), {"fontsize": 12}) and calls[5][1:] == (("b",), {"fontsize": 12})


def test_a_binary_feature_s_pixels_are_centred_on_0_and_1(rec):
    experiment = FakeExperiment(rec)
    flag = np.array([0.0, 1.0])
    experiment.pdp_two = pdp_result(GRID0, np.arange(10.0).reshape(2, 5), flag)
    experiment.ale_two = (GRID0, flag, np.arange(10.0).reshape(2, 5))
    build(rec, experiment)
    for output in live_outputs(rec)[2:]:
        (imshow,) = [c for c in plt_during(rec, output) if c[0] == "imshow"]
        # Two rows over [-0.5, 1.5]: centred on 1 (the top row) and on 0, not on
        # 0.75 and 0.25; five columns over [-0.125, 1.125], centred on 0, 0.25, ... 1.
        assert [float(e) for e in imshow[2]["extent"]] == [-0.125, 1.125, -0.5, 1.5]


def test_two_feature_ale_extent_uses_numpy_along_axis_0(rec):
    experiment = FakeExperiment(rec)
    grid0 = np.array([[3.0, 1.0], [2.0, 7.0]])
    experiment.ale_two = (grid0, GRID1, np.arange(8.0).reshape(2, 4))
    build(rec, experiment)
    calls = plt_during(rec, live_outputs(rec)[3])
    assert [c[0] for c in calls][:3] == ["figure", "imshow", "colorbar"]
    extent = calls[1][2]["extent"]
    # Ends [2, 1] and [3, 7] over 4 columns: half steps [1/6, 1]; 10 and 20 over 2 rows: 5.
    expected = [[2.0 - 1 / 6, 1.0 - 1.0], [3.0 + 1 / 6, 7.0 + 1.0], 5.0, 25.0]
    assert len(extent) == 4
    for value, wanted in zip(extent, expected):
        np.testing.assert_allclose(np.asarray(value), wanted, rtol=1e-15)


SCALES = [(150.0, "%0.0f"), (5.0, "%0.2f"), (0.05, "%0.3f"), (1234.0, "%0.0f"),
          (0.0004, "%0.5f")]


@pytest.mark.parametrize("effect_range, expected", SCALES)
@pytest.mark.parametrize("method", ["pdp", "ale"])
def test_colour_bar_decimals_follow_the_range(rec, method, effect_range, expected):
    experiment = FakeExperiment(rec)
    effect = 1.0 + np.linspace(0.0, effect_range, 20).reshape(4, 5)
    experiment.pdp_two = pdp_result(GRID0, effect, GRID1)
    experiment.ale_two = (GRID0, GRID1, effect)
    build(rec, experiment)
    output = live_outputs(rec)[2 if method == "pdp" else 3]
    (colorbar,) = [c for c in plt_during(rec, output) if c[0] == "colorbar"]
    assert colorbar[2]["format"] == expected


@pytest.mark.parametrize("effect", [np.linspace(-3.0, 9e-7, 20).reshape(4, 5),
                                    np.linspace(1e-9, 5e-7, 20).reshape(4, 5)])
def test_tiny_ale_effects_use_scientific_notation(rec, effect):
    experiment = FakeExperiment(rec)
    experiment.ale_two = (GRID0, GRID1, effect)
    experiment.pdp_two = pdp_result(GRID0, effect, GRID1)
    build(rec, experiment)
    ale_bar = [c for c in plt_during(rec, live_outputs(rec)[3]) if c[0] == "colorbar"]
    pdp_bar = [c for c in plt_during(rec, live_outputs(rec)[2]) if c[0] == "colorbar"]
    assert ale_bar[0][2] == {"orientation": "vertical", "format": "%.0e", "use_gridspec": True}
    assert pdp_bar[0][2]["format"].endswith("f")


def test_equal_features_show_a_message_in_both_views(rec):
    _, experiment, _ = build(rec)
    _, _, pdp_bi, ale_bi = live_outputs(rec)
    bi_feature_1 = rec.of_kind("Dropdown")[2]
    experiment.calls.clear()
    rec.events.clear()
    bi_feature_1.value = "c"
    assert [(n, a) for n, a, _, _ in experiment.calls] == [
        ("pdp_explain", ("model", "c", "c")), ("ale_explain", ("model", "c", "c"))]
    assert [w.value for w in pdp_bi.contents] == [EQUAL]
    assert [w.value for w in ale_bi.contents] == [EQUAL]
    assert rec.plt_calls() == []


CASES = ["pdp constant", "ale none", "ale constant", "pdp constant feature1", "pdp constant feature0",
         "ale constant feature1"]


@pytest.mark.parametrize("case", CASES)
def test_no_interaction_message_comes_before_any_figure(rec, case):
    # A constant feature has a grid of one value: its image would be empty
    # (zero height or width), however the other feature acts.
    experiment = FakeExperiment(rec)
    if case == "pdp constant":
        experiment.pdp_two = pdp_result(GRID0, np.full((4, 5), 2.5), GRID1)
    elif case == "pdp constant feature1":
        experiment.pdp_two = pdp_result(GRID0, np.arange(5.0)[None, :], [3.0])
    elif case == "pdp constant feature0":
        experiment.pdp_two = pdp_result([3.0], np.arange(4.0)[:, None], GRID1)
    elif case == "ale none":
        experiment.ale_two = None
    elif case == "ale constant feature1":
        experiment.ale_two = (GRID0, np.array([3.0]), np.arange(5.0)[None, :])
    else:
        experiment.ale_two = (GRID0, GRID1, np.full((4, 5), 0.25))
    build(rec, experiment)
    output = live_outputs(rec)[2 if case.startswith("pdp") else 3]
    assert [(w.kind, w.value) for w in output.contents] == [("HTML", NO_INTERACTION)]
    assert plt_during(rec, output) == []


def test_changing_the_one_feature_selector_redraws_both_one_feature_views(rec):
    _, experiment, _ = build(rec)
    experiment.calls.clear()
    rec.of_kind("Dropdown")[0].value = "a"
    assert [(n, a) for n, a, _, _ in experiment.calls] == [
        ("pdp_explain", ("model", "a", None)), ("ale_explain", ("model", "a", None))]


@pytest.mark.parametrize("suppress", [False, True])
def test_failed_ale_computation_is_raised_again(rec, suppress):
    failure = RuntimeError("ale failed")

    class Failing(FakeExperiment):
        def ale_explain(self, *args):
            raise failure

    experiment = Failing(rec)
    board = InsightBoard(experiment, "model")
    board.mute_out.suppress = suppress  # only the muting output may swallow it
    with pytest.raises(RuntimeError) as info:
        board.pdp_ale_panel()
    assert info.value is failure
    ((exc_type, exc_value, _),) = [x for x in board.mute_out.exits if x[0]]
    assert (exc_type, exc_value) == (RuntimeError, failure)
    entries = [(f.name.rsplit(".", 1)[-1], f.lineno)
               for f in traceback.extract_tb(info.value.__traceback__) if f.filename == FILE_NAME]
    assert entries[0] == ("pdp_ale_panel", 95)
    expected_lines = [62, 61] if suppress else [61]
    assert [line for name, line in entries if name == "ale_explain"] == expected_lines


def test_pdp_error_propagates_with_the_callback_entry(rec):
    class Failing(FakeExperiment):
        def pdp_explain(self, *args):
            return {"values": [GRID0]}

    board = InsightBoard(Failing(rec), "model")
    with pytest.raises(KeyError, match="average") as info:
        board.pdp_ale_panel()
    entries = [(f.name, f.lineno) for f in traceback.extract_tb(info.value.__traceback__)
               if f.filename == FILE_NAME]
    assert entries == [
        ("qalvo.dashboard.insight_board.InsightBoard.pdp_ale_panel", 92),
        ("qalvo.dashboard.insight_board.InsightBoard.pdp_ale_panel.pdp_explain", 38),
    ]


@pytest.mark.parametrize("features", [("a",), ()])
def test_fewer_than_two_features_fail_before_any_output(rec, features):
    board = InsightBoard(FakeExperiment(rec, features=features), "model")
    with pytest.raises(IndexError, match="list index out of range"):
        board.pdp_ale_panel()
    assert live_outputs(rec) == []


def test_rebound_numpy_is_what_the_callbacks_use(rec, monkeypatch):
    used = []

    class RecordingNumpy:
        def __getattr__(self, name):
            used.append(name)
            return getattr(np, name)

    monkeypatch.setattr(mod, "np", RecordingNumpy())
    build(rec)
    # two-feature PDP: range test, the image's shape, then the decimals;
    # two-feature ALE: range test, shape, extent, decimals, then the 1e-6 test.
    assert used == ["max", "min", "shape", "max", "min", "log10",
                    "max", "min", "shape", "min", "max", "min", "max", "max", "min", "log10", "max"]
