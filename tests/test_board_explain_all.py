"""explain_all_panel: progress, the global view's tree, the toggle between views."""

import re
import sys
import traceback

import pytest

from board_fakes import FakeExperiment
from qalvo.dashboard.insight_board import InsightBoard

FILE_NAME = "qalvo\\dashboard\\insight_board"
MESSAGES = ["<p>Calculating post-hoc PFI...</p>", "<p>Calculating PDP & ALE...</p>",
            "<p>Calculating local explainability...</p>"]


@pytest.fixture
def built(rec):
    """(board, experiment, result box) after one explain_all_panel call."""
    experiment = FakeExperiment(rec)
    board = InsightBoard(experiment, "model")
    rec.events.clear()
    return board, experiment, board.explain_all_panel()


def progress_widgets(rec):
    """The bar and the two outputs created right after it."""
    created = [e[1] for e in rec.events if e[0] == "create"]
    (pro,) = rec.of_kind("IntProgress")
    after = created[created.index(pro) + 1:]
    progress_out, captain_out = [w for w in after if w.kind == "Output"][:2]
    assert progress_out.kwargs == captain_out.kwargs == {}
    return pro, progress_out, captain_out


def timeline(rec, pro):
    """Bar values, messages and experiment calls in the order they happened."""
    steps = []
    for event in rec.events:
        if event[0] == "set" and event[1] is pro:
            steps.append(("bar", event[2]))
        elif event[0] == "display" and getattr(event[1], "value", None) in MESSAGES:
            steps.append(("message", MESSAGES.index(event[1].value) + 1))
        elif event[0] == "experiment" and (not steps or steps[-1] != ("ask", event[1])):
            steps.append(("ask", event[1]))
    return steps


def test_bar_and_messages_follow_the_sub_panels(rec, built):
    pro, _, _ = progress_widgets(rec)
    assert pro.args == ()
    assert pro.kwargs == {"min": 0, "max": 3, "description": "Calculating post-hoc statistics:",
                          "style": {"description_width": "initial"}}
    assert timeline(rec, pro) == [
        ("bar", 0), ("message", 1), ("ask", "permutation_vi"), ("bar", 1), ("message", 2),
        ("ask", "pdp_explain"), ("ask", "ale_explain"), ("ask", "pdp_explain"),
        ("ask", "ale_explain"), ("bar", 2), ("message", 3), ("ask", "local_explain"), ("bar", 3),
    ]


def test_each_message_replaces_the_last_and_both_outputs_end_empty(rec, built):
    pro, progress_out, captain_out = progress_widgets(rec)
    inside_captain = []
    for event in rec.events:
        if event[0] == "clear_output" and event[1] is captain_out:
            inside_captain.append("clear")
        elif event[0] == "display" and event[2] is captain_out:
            inside_captain.append(event[1].value)
    assert inside_captain == ["clear", MESSAGES[0], "clear", MESSAGES[1], "clear", MESSAGES[2],
                              "clear"]
    assert [e[1] for e in rec.events if e[0] == "clear_output"] == [
        captain_out, captain_out, captain_out, progress_out, captain_out]
    assert progress_out.contents == [] and captain_out.contents == []
    assert pro.value == 3
    # The progress area itself stays displayed where the call was made.
    (area,) = rec.shown
    top_gap, progress_bar = area.children
    assert (area.kind, area.kwargs) == ("VBox", {})
    assert (top_gap.kind, top_gap.kwargs) == ("margin_top", {"size": "10px"})
    assert progress_bar.kind == "HBox"
    first, gap, second = progress_bar.children
    assert (first, second) == (progress_out, captain_out)
    assert gap.kwargs == {"size": "5px"}
    assert progress_bar.layout.kwargs == {"align_items": "center"}


def global_view(result):
    toggle, gap, inter_out = result.children
    (shown,) = inter_out.contents
    return shown


def test_global_view_tree(rec, built):
    board, _, result = built
    post_interactive = global_view(result)
    assert post_interactive.kind == "VBox"
    assert post_interactive.layout.kwargs == {"justify_content": "space-between"}
    assert post_interactive.classes == ["fix-img"]
    vi_all, rule_1, uni, rule_2, bi = post_interactive.children
    assert (rule_1.kind, rule_2.kind) == ("divider", "divider") and rule_1 is not rule_2

    # The first box of the space width is the spacer made for the global view.
    space_layout = next(b for b in rec.of_kind("Box") if b.layout.kwargs == {"width": "1%"})
    assert space_layout.args == ()
    (vi_row,) = vi_all.children
    assert vi_row.children[2] is space_layout

    views = {}
    for section, heading in ((uni, "<h4>Univariate:</h4>"), (bi, "<h4>Bivariate:</h4>")):
        assert section.kind == "VBox" and section.layout.kwargs == {"height": "30%"}
        name, row = section.children
        assert (name.kind, name.kwargs) == ("VBox", {})
        title, gap = name.children
        assert (title.kind, title.value) == ("HTML", heading)
        assert (gap.kind, gap.args, gap.layout.kwargs) == ("Box", (), {"height": "15px"})
        assert row.kind == "HBox"
        assert row.layout.kwargs == {"justify_content": "space-between"}
        pdp_view, spacer, ale_view, last = row.children
        assert spacer.kwargs == {"size": "30px"} and spacer.kind == "margin_right"
        assert last is space_layout
        views[heading] = (pdp_view, ale_view)
    # The effect views in their rows: one-feature above, two-feature below.
    one_pdp, one_ale = views["<h4>Univariate:</h4>"]
    two_pdp, two_ale = views["<h4>Bivariate:</h4>"]
    assert [v.children[2].callback.__name__ for v in (one_pdp, one_ale, two_pdp, two_ale)] == [
        "pdp_explain", "ale_explain", "pdp_explain", "ale_explain"]
    assert list(one_pdp.children[2].controls) == ["feature0"]
    assert list(two_ale.children[2].controls) == ["feature0", "feature1"]


def test_local_view_and_classes(rec, built):
    _, _, result = built
    post_interactive = global_view(result)
    classes = [(e[1], e[2]) for e in rec.events if e[0] == "add_class"]
    assert len(classes) == 2
    assert classes[0] == (post_interactive, "fix-img")
    local_all = classes[1][0]
    assert local_all.children[0].children[0].value == "<p>Sample Index:</p>"


def test_toggle_starts_global_and_switches_without_rebuilding(rec, built):
    _, _, result = built
    toggle, gap, inter_out = result.children
    assert result.kind == "VBox" and result.kwargs == {}
    assert toggle.kind == "ToggleButtons"
    assert toggle.kwargs == {"options": ["Global-Explainability", "Local-Explainability"],
                             "description": "", "disabled": False, "button_style": ""}
    assert (gap.kind, gap.kwargs) == ("margin_top", {"size": "10px"})
    assert inter_out.controls == {"toggle": toggle}
    assert inter_out.callback.__qualname__ == (
        "InsightBoard.explain_all_panel.<locals>.show_tab")
    post_interactive = global_view(result)
    local_all = [e[1] for e in rec.events if e[0] == "add_class"][1]
    created = len(rec.of_kind("VBox"))

    toggle.value = "Local-Explainability"
    assert inter_out.contents == [local_all]
    toggle.value = "Global-Explainability"
    assert inter_out.contents == [post_interactive]
    assert inter_out.contents[0] is post_interactive
    assert len(rec.of_kind("VBox")) == created
    assert [cell.cell_contents for cell in inter_out.callback.__closure__] == [
        post_interactive, local_all]


def test_unknown_toggle_value_fails_like_an_unset_local(rec, built):
    _, _, result = built
    toggle = result.children[0]
    if sys.version_info >= (3, 11):
        message = "cannot access local variable 'show_int' where it is not associated with a value"
    else:
        message = "local variable 'show_int' referenced before assignment"
    with pytest.raises(UnboundLocalError, match=re.escape(message)) as info:
        toggle.value = "Elsewhere"
    entries = [(f.name, f.lineno) for f in traceback.extract_tb(info.value.__traceback__)
               if f.filename == FILE_NAME]
    assert entries == [
        ("qalvo.dashboard.insight_board.InsightBoard.explain_all_panel.show_tab", 186)]


class Spy(InsightBoard):
    """Records how explain_all_panel calls the sub-panels."""

    seen = []
    effects_result = None

    def vi_panel(self, *args, **kwargs):
        self.seen.append(("vi_panel", args, kwargs))
        return super().vi_panel(*args, **kwargs)

    def pdp_ale_panel(self, *args, **kwargs):
        self.seen.append(("pdp_ale_panel", args, kwargs))
        result = super().pdp_ale_panel(*args, **kwargs)
        return result if self.effects_result is None else self.effects_result(result)


def test_sub_panels_are_called_in_order_with_the_spacer(rec):
    Spy.seen = []
    board = Spy(FakeExperiment(rec), "model")
    board.explain_all_panel()
    space_layout = next(b for b in rec.of_kind("Box") if b.layout.kwargs == {"width": "1%"})
    assert Spy.seen == [("vi_panel", (space_layout,), {}), ("pdp_ale_panel", (), {})]


# 3.14 added the size of a list, tuple or dict to the message.
TOO_MANY_IN_LIST = "too many values to unpack (expected 4" + (
    ", got 5)" if sys.version_info >= (3, 14) else ")")


@pytest.mark.parametrize("reshape, message", [
    (lambda views: views[:3], "not enough values to unpack (expected 4, got 3)"),
    (lambda views: views + views[:1], TOO_MANY_IN_LIST),
    (lambda views: iter(views + views), "too many values to unpack (expected 4)"),
    (lambda views: None, "cannot unpack non-iterable NoneType object"),
])
def test_effect_views_must_be_exactly_four(rec, monkeypatch, reshape, message):
    monkeypatch.setattr(Spy, "effects_result", staticmethod(reshape))
    board = Spy(FakeExperiment(rec), "model")
    error = TypeError if "non-iterable" in message else ValueError
    with pytest.raises(error, match=re.escape(message)):
        board.explain_all_panel()
    pro, _, captain_out = progress_widgets(rec)
    assert pro.value == 1
    assert [w.value for w in captain_out.contents] == [MESSAGES[1]]


def interpreter_unpack_error(value):
    """What `a, b, c, d = value` raises in this interpreter: (type, message)."""
    try:
        a, b, c, d = value  # noqa: F841
    except (TypeError, ValueError) as error:
        return type(error), str(error)
    raise AssertionError("the value unpacks")


UNPACKED = {
    "short list": lambda views: views[:2],
    "long list": lambda views: views * 2,
    "long tuple": lambda views: tuple(views + views[:1]),
    "long dict": lambda views: dict.fromkeys(range(6)),
    "short dict": lambda views: dict.fromkeys(range(3)),
    "long iterator": lambda views: iter(views * 3),
    "long str": lambda views: "abcde",
    "long range": lambda views: range(5),
    "int": lambda views: 7,
}


@pytest.mark.parametrize("reshape", UNPACKED.values(), ids=UNPACKED.keys())
def test_effect_views_unpack_errors_read_as_the_interpreters(rec, monkeypatch, reshape):
    expected_type, expected_message = interpreter_unpack_error(reshape(list("wxyz")))
    monkeypatch.setattr(Spy, "effects_result", staticmethod(reshape))
    with pytest.raises(expected_type) as info:
        Spy(FakeExperiment(rec), "model").explain_all_panel()
    assert str(info.value) == expected_message


def test_failing_sub_panel_leaves_the_progress_area_at_its_step(rec):
    class Failing(FakeExperiment):
        def permutation_vi(self, name):
            raise RuntimeError("no importances")

    board = InsightBoard(Failing(rec), "model")
    with pytest.raises(RuntimeError, match="no importances") as info:
        board.explain_all_panel()
    pro, progress_out, captain_out = progress_widgets(rec)
    assert pro.value == 0
    assert progress_out.contents == [pro]
    assert [w.value for w in captain_out.contents] == [MESSAGES[0]]
    entries = [(f.name.rsplit(".", 1)[-1], f.lineno)
               for f in traceback.extract_tb(info.value.__traceback__) if f.filename == FILE_NAME]
    assert entries == [("explain_all_panel", 154), ("vi_panel", 112)]
