"""vi_panel: the permutation importance chart and its row."""

import re

import pytest

from board_fakes import FakeExperiment
from qalvo.dashboard.insight_board import InsightBoard


def hbar_events(rec):
    return [e for e in rec.events if e[0] in ("hbar", "hbar.plot", "enter", "exit")]


def test_bars_are_drawn_under_the_experiment_labels(rec):
    experiment = FakeExperiment(rec, features=("a", "b"))
    heights = (0.3, 0.1)
    experiment.importance = (["a", "b"], heights)
    experiment.data.truncated_columns_dict = {15: {"a": "A", "b": "B"}, 10: {"a": "x", "b": "y"}}
    board = InsightBoard(experiment, "model")
    rec.events.clear()
    result = board.vi_panel(object())
    (ex_vi_output,) = rec.of_kind("Output")
    assert hbar_events(rec) == [
        ("enter", ex_vi_output),
        ("hbar", (), {}),
        ("hbar.plot", (), {"X": ["A", "B"], "height": heights,
                           "title": "Permutation Feature Importance"}),
        ("exit", ex_vi_output, None),
    ]
    plot_kwargs = [e for e in rec.events if e[0] == "hbar.plot"][0][2]
    assert plot_kwargs["height"] is heights
    assert experiment.calls_named("permutation_vi") == [(("model",), {})]
    assert result.children[0].children[0] is ex_vi_output


def test_label_mapping_is_read_for_every_feature(rec):
    class CountingData:
        reads = 0

        @property
        def truncated_columns_dict(self):
            CountingData.reads += 1
            return {15: {"a": "A", "b": "B", "c": "C"}}

    experiment = FakeExperiment(rec)
    experiment.data = CountingData()
    InsightBoard(experiment, "model").vi_panel(object())
    assert CountingData.reads == 3


def test_row_tree(rec):
    board = InsightBoard(FakeExperiment(rec), "model")
    board.widget_size, board.space_style = "40%", "space-around"
    space_layout = object()
    result = board.vi_panel(space_layout)
    assert (result.kind, result.layout.kwargs) == ("VBox", {"height": "30%"})
    (vi_all,) = result.children
    assert (vi_all.kind, vi_all.layout.kwargs) == ("HBox", {"justify_content": "space-around"})
    ex_vi_output, space_vi, last = vi_all.children
    assert last is space_layout
    assert (ex_vi_output.kind, ex_vi_output.args) == ("Output", ())
    assert list(ex_vi_output.kwargs) == ["layout"]
    assert ex_vi_output.layout.kwargs == {"width": "40%"}
    assert (space_vi.kind, space_vi.args, space_vi.layout.kwargs) == ("Box", (), {"width": "40%"})
    # the importance heading is not part of the row
    assert not [w for w in rec.of_kind("HTML")]


@pytest.mark.parametrize("suppress", [False, True])
def test_drawing_errors_go_to_the_chart_output(rec, monkeypatch, suppress):
    import board_fakes

    monkeypatch.setattr(board_fakes.FakeOutput, "suppress", suppress)
    experiment = FakeExperiment(rec)
    experiment.importance = (["a", "unknown"], [0.2, 0.1])
    board = InsightBoard(experiment, "model")
    if suppress:
        result = board.vi_panel(object())
        assert result.kind == "VBox"
    else:
        with pytest.raises(KeyError, match="unknown"):
            board.vi_panel(object())
    ex_vi_output = rec.of_kind("Output")[1]
    assert [x[0] for x in ex_vi_output.exits] == [KeyError]


def test_space_layout_is_required(rec):
    board = InsightBoard(FakeExperiment(rec), "model")
    with pytest.raises(TypeError,
                       match=re.escape("vi_panel() takes exactly 2 positional arguments (1 given)")):
        board.vi_panel()
