"""InsightBoard's class surface and constructor."""

import inspect
import re
import traceback

import pytest

from board_fakes import FakeExperiment
from qalvo.dashboard import insight_board as mod
from qalvo.dashboard.insight_board import InsightBoard

WIDE_LABEL = "<h4>Variable Importance:        </h4>"
NARROW_LABEL = "<h4>Variable Importance:</h4>"
FILE_NAME = "qalvo\\dashboard\\insight_board"

# (method, parameters after self, first line)
METHODS = [
    ("__init__", ["experiment", "reg_model_name", "feature_lis", "platform"], 10),
    ("pdp_ale_panel", [], 28),
    ("vi_panel", ["space_layout"], 105),
    ("local_panel", [], 119),
    ("explain_all_panel", [], 141),
]


def test_class_is_plain_with_the_methods_in_order():
    assert InsightBoard.__bases__ == (object,)
    assert InsightBoard.__doc__ is None
    assert InsightBoard.__module__ == "qalvo.dashboard.insight_board"
    own = [name for name in vars(InsightBoard) if not name.startswith("__") or name == "__init__"]
    assert own == [name for name, _, _ in METHODS]


@pytest.mark.parametrize("name, parameters, first_line", METHODS)
def test_methods_look_like_interpreter_functions(name, parameters, first_line):
    function = vars(InsightBoard)[name]
    assert list(inspect.signature(function).parameters) == ["self", *parameters]
    assert function.__qualname__ == f"InsightBoard.{name}"
    assert function.__module__ == "qalvo.dashboard.insight_board"
    assert function.__code__.co_filename == FILE_NAME
    assert function.__code__.co_firstlineno == first_line
    assert function.__globals__ is vars(mod)


def test_constructor_defaults_share_one_empty_list():
    defaults = InsightBoard.__init__.__defaults__
    assert defaults == (None, "", [], "jupyter")
    first = InsightBoard(FakeExperiment(), "m")
    second = InsightBoard(FakeExperiment(), "m")
    assert first.feature_lis is second.feature_lis is defaults[2]
    assert first.feature_lis == []


@pytest.mark.parametrize("platform, widget_size, space_size, label", [
    ("jupyter", "45%", "1%", WIDE_LABEL),
    ("colab", "38%", "18%", NARROW_LABEL),
    ("Colab", "45%", "1%", WIDE_LABEL),
    ("COLAB", "45%", "1%", WIDE_LABEL),
    (None, "45%", "1%", WIDE_LABEL),
    ("colab ", "45%", "1%", WIDE_LABEL),
])
def test_sizes_and_label_follow_the_platform(rec, platform, widget_size, space_size, label):
    experiment = FakeExperiment(rec)
    features = ["x"]
    board = InsightBoard(experiment, "model", features, platform)
    assert vars(board) == {
        "experiment": experiment, "reg_model_name": "model", "feature_lis": features,
        "platform": platform, "space_style": "space-between", "widget_size": widget_size,
        "space_size": space_size, "vi_label": label, "mute_out": board.mute_out,
    }
    assert list(vars(board)) == ["experiment", "reg_model_name", "feature_lis", "platform",
                                 "space_style", "widget_size", "space_size", "vi_label",
                                 "mute_out"]
    assert board.feature_lis is features


def test_default_platform_is_jupyter(rec):
    board = InsightBoard(FakeExperiment(rec), "model")
    assert (board.platform, board.widget_size, board.space_size, board.vi_label) == (
        "jupyter", "45%", "1%", WIDE_LABEL)


def test_explain_single_runs_once_inside_the_muting_output(rec):
    experiment = FakeExperiment(rec)
    board = InsightBoard(experiment=experiment, reg_model_name="model")
    (mute_out,) = rec.of_kind("Output")
    assert (mute_out.args, mute_out.kwargs) == ((), {})
    assert board.mute_out is mute_out
    assert experiment.calls == [("explain_single", ("model",), {}, mute_out)]
    assert mute_out.exits == [(None, None, None)]
    assert mute_out.contents == [] and rec.shown == []


def test_output_of_explain_single_stays_in_the_muting_output(rec):
    class Chatty(FakeExperiment):
        def explain_single(self, name):
            mod.display(f"preparing {name}")

    board = InsightBoard(Chatty(rec), "model")
    assert board.mute_out.contents == ["preparing model"]
    assert rec.shown == []


@pytest.mark.parametrize("suppress", [False, True])
def test_missing_experiment_error_goes_to_the_muting_output(rec, monkeypatch, suppress):
    import board_fakes

    monkeypatch.setattr(board_fakes.FakeOutput, "suppress", suppress)
    message = "'NoneType' object has no attribute 'explain_single'"
    if suppress:
        board = InsightBoard()
        assert board.experiment is None and board.reg_model_name == ""
    else:
        with pytest.raises(AttributeError, match=re.escape(message)) as info:
            InsightBoard()
        entries = [(f.name, f.lineno) for f in traceback.extract_tb(info.value.__traceback__)
                   if f.filename == FILE_NAME]
        assert entries == [("qalvo.dashboard.insight_board.InsightBoard.__init__", 26)]
    (mute_out,) = rec.of_kind("Output")
    ((exc_type, exc_value, tb),) = mute_out.exits
    assert exc_type is AttributeError
    assert str(exc_value) == message
    # __exit__ saw the traceback so far; a propagating error grows it outwards.
    chain = []
    node = exc_value.__traceback__
    while node is not None:
        chain.append(node)
        node = node.tb_next
    assert tb in chain and tb.tb_next is None


def test_exit_raising_replaces_the_error_and_chains_it(rec, monkeypatch):
    import board_fakes

    def failing_exit(self, *exc_info):
        raise RuntimeError("exit failed")

    monkeypatch.setattr(board_fakes.FakeOutput, "__exit__", failing_exit)
    with pytest.raises(RuntimeError, match="exit failed") as info:
        InsightBoard()
    assert isinstance(info.value.__context__, AttributeError)


def test_failing_output_creation_propagates(monkeypatch):
    class Widgets:
        @staticmethod
        def Output():
            raise OSError("no output")

    monkeypatch.setattr(mod, "widgets", Widgets)
    experiment = FakeExperiment()
    with pytest.raises(OSError, match="no output"):
        InsightBoard(experiment, "m")
    assert experiment.calls == []


def test_settings_are_read_back_at_each_use(rec):
    board = InsightBoard(FakeExperiment(rec), "model")
    board.widget_size = "70%"
    board.space_style = "center"
    space = object()
    result = board.vi_panel(space)
    (row,) = result.children
    assert row.layout.kwargs == {"justify_content": "center"}
    assert row.children[0].layout.kwargs == {"width": "70%"}


@pytest.mark.parametrize("call, message", [
    (lambda: InsightBoard(None, "", [], "jupyter", "extra"),
     "__init__() takes at most 5 positional arguments (6 given)"),
    (lambda: InsightBoard(bogus=1), "__init__() got an unexpected keyword argument 'bogus'"),
    (lambda: InsightBoard(None, experiment=None),
     "__init__() got multiple values for keyword argument 'experiment'"),
    (lambda: InsightBoard.vi_panel(object.__new__(InsightBoard)),
     "vi_panel() takes exactly 2 positional arguments (1 given)"),
    (lambda: object.__new__(InsightBoard).local_panel(1),
     "local_panel() takes exactly 1 positional argument (2 given)"),
])
def test_bad_calls_use_the_interpreter_wording(call, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        call()


class EnterOnly:
    def __enter__(self):
        return self


MANAGERS = {"no methods": object, "no __exit__": EnterOnly}


@pytest.mark.parametrize("manager", MANAGERS.values(), ids=MANAGERS.keys())
def test_muting_output_that_is_no_context_manager_fails_as_a_with_statement(
        rec, monkeypatch, manager):
    try:
        with manager():
            pass
    except (TypeError, AttributeError) as error:  # 3.10 raises AttributeError
        expected = error
    monkeypatch.setattr(mod.widgets, "Output", manager)  # the recording fake of ipywidgets
    with pytest.raises(type(expected)) as info:
        InsightBoard(FakeExperiment(rec), "model")
    assert str(info.value) == str(expected)
    assert info.value.args == expected.args
