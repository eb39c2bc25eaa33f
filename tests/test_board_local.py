"""local_panel: the sample index and the SHAP and LIME outputs it drives."""

import pytest

from board_fakes import FakeExperiment
from qalvo.dashboard.insight_board import InsightBoard


@pytest.fixture
def local(rec):
    experiment = FakeExperiment(rec, n_rows=100)
    board = InsightBoard(experiment, "model")
    experiment.calls.clear()
    rec.events.clear()
    return board, experiment, board.local_panel()


def test_index_box_names_existing_rows_only(rec, local):
    (ex_index,) = rec.of_kind("BoundedIntText")
    assert ex_index.args == ()
    assert ex_index.kwargs == {"value": 0, "min": 0, "max": 99, "disabled": False,
                               "style": {"description_width": "initial"},
                               "layout": ex_index.layout}
    assert ex_index.layout.kwargs == {"width": "50%"}


def test_shap_then_lime_for_sample_0_then_both_on_each_change(rec, local):
    _, experiment, _ = local
    shap_out0, lime_out0 = [w for w in rec.of_kind("live")]
    (ex_index,) = rec.of_kind("BoundedIntText")
    keywords = {"reg_model_name": "model", "sample_index": 0}
    assert experiment.calls == [
        ("local_explain", (), {**keywords, "method": "SHAP"}, shap_out0),
        ("local_explain", (), {**keywords, "method": "LIME"}, lime_out0),
    ]
    assert list(experiment.calls[0][2]) == ["reg_model_name", "method", "sample_index"]
    experiment.calls.clear()
    ex_index.value = 42
    assert [(c[2]["method"], c[2]["sample_index"], c[2]["reg_model_name"])
            for c in experiment.calls] == [("SHAP", 42, "model"), ("LIME", 42, "model")]
    assert shap_out0.controls == {"idx": ex_index} and lime_out0.controls == {"idx": ex_index}
    assert shap_out0.callback.__qualname__ == "InsightBoard.local_panel.<locals>.shap_explain"
    assert lime_out0.callback.__code__.co_varnames == ("idx",)


def test_tree(rec, local):
    board, _, local_all = local
    assert (local_all.kind, local_all.layout.kwargs) == (
        "VBox", {"justify_content": "space-between"})
    ui0, gap, graphs = local_all.children
    assert (gap.kind, gap.kwargs) == ("margin_top", {"size": "10px"})
    assert (ui0.kind, ui0.layout.kwargs) == ("HBox", {"width": "50%", "align_items": "center"})
    label, index_gap, ex_index = ui0.children
    assert (label.kind, label.args) == ("HTML", ("<p>Sample Index:</p>",))
    assert (index_gap.kind, index_gap.kwargs) == ("margin_right", {"size": "5px"})
    assert ex_index.kind == "BoundedIntText"

    assert (graphs.kind, graphs.layout.kwargs) == ("HBox", {"justify_content": "space-between"})
    lime_box, columns_gap, shap_column, space_layout = graphs.children
    assert (lime_box.kind, lime_box.layout.kwargs) == ("Box", {"width": "45%"})
    (lime_column,) = lime_box.children
    assert (columns_gap.kind, columns_gap.kwargs) == ("margin_right", {"size": "30px"})
    assert (space_layout.kind, space_layout.args, space_layout.layout.kwargs) == (
        "Box", (), {"width": "1%"})
    for column, width, heading in (
            (lime_column, "100%", '<h4 style="margin-bottom: 0px">LIME:</h4>'),
            (shap_column, "45%", '<h4 style="margin-bottom: 0px">SHAP:</h4>')):
        assert (column.kind, column.layout.kwargs) == ("VBox", {"width": width})
        name, column_gap, output = column.children
        assert (name.kind, name.value) == ("HTML", heading)
        assert (column_gap.kind, column_gap.kwargs) == ("margin_top", {"size": "10px"})
        assert output.kind == "live"


def test_row_count_is_read_once(rec):
    class CountingData:
        reads = 0

        @property
        def x(self):
            CountingData.reads += 1
            return type("X", (), {"shape": (7, 3)})()

    experiment = FakeExperiment(rec)
    experiment.data = CountingData()
    InsightBoard(experiment, "model").local_panel()
    assert CountingData.reads == 1
    assert rec.of_kind("BoundedIntText")[0].kwargs["max"] == 6
