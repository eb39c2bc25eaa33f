"""Repeated panel builds leave reference counts and live objects unchanged."""

import gc
import sys

import pytest

from board_fakes import FakeExperiment
from qalvo.dashboard.insight_board import InsightBoard


def settle():
    """Collects cycles and empties the interpreter's attribute-lookup cache,
    which holds references to recently looked-up names."""
    gc.collect()
    sys._clear_type_cache()


def counts_after(action, watched, repeats):
    action()  # warm-up: caches and interned values settle
    settle()
    before = [sys.getrefcount(obj) for obj in watched], len(gc.get_objects())
    for _ in range(repeats):
        action()
    settle()
    return before, ([sys.getrefcount(obj) for obj in watched], len(gc.get_objects()))


@pytest.fixture
def quiet(rec, monkeypatch):
    """Fakes that keep nothing between builds."""
    import board_fakes

    class Discard(list):
        def append(self, item):
            pass

    rec.log = lambda *event: None
    rec.shown = Discard()
    monkeypatch.setattr(board_fakes.FakeOutput, "keep_exits", False)
    monkeypatch.setattr(board_fakes.FakeExperiment, "keep_calls", False)
    return rec


def test_whole_panel_builds_leak_nothing(quiet):
    experiment = FakeExperiment(quiet)
    name = "model-name"
    default_features = InsightBoard.__init__.__defaults__[2]
    board = InsightBoard(experiment, name)
    watched = [experiment, name, default_features, board, board.widget_size, board.mute_out,
               experiment.pdp_two, experiment.ale_two[2], experiment.importance]

    def action():
        InsightBoard(experiment, name).explain_all_panel()
        board.explain_all_panel()

    (refs_before, objects_before), (refs_after, objects_after) = counts_after(
        action, watched, 1000)
    assert refs_after == refs_before
    assert objects_after - objects_before < 50


def test_failing_builds_leak_nothing(quiet):
    failure = RuntimeError("failed")

    class Failing(FakeExperiment):
        def ale_explain(self, *args):
            raise failure

        def permutation_vi(self, name):
            raise failure

    experiment = Failing(quiet)
    board = InsightBoard(experiment, "model")
    board.mute_out.suppress = True
    space = object()

    def action():
        for build in (board.explain_all_panel, board.pdp_ale_panel,
                      lambda: board.vi_panel(space), lambda: InsightBoard(None, space)):
            try:
                build()
            except (RuntimeError, AttributeError):
                pass
        failure.__traceback__ = None

    watched = [experiment, board, failure, space, board.mute_out]
    (refs_before, objects_before), (refs_after, objects_after) = counts_after(
        action, watched, 1000)
    assert refs_after == refs_before
    assert objects_after - objects_before < 50


def shared_by_the_module(board):
    """Default values, code objects, names and the attribute names and constant
    texts a constructed panel holds: objects the module keeps and hands out."""
    function_type = type(InsightBoard.__init__)
    shared = []
    for function in vars(InsightBoard).values():
        if isinstance(function, function_type):
            shared += [function.__code__, function.__name__, *function.__code__.co_varnames]
    shared += [InsightBoard.__init__.__defaults__, *InsightBoard.__init__.__defaults__]
    shared += [k for k in vars(board)] + [v for v in vars(board).values() if isinstance(v, str)]
    return [o for o in shared if o is not None]  # None is everyone's: too noisy


@pytest.fixture
def callbacks(quiet, monkeypatch):
    """Collects the functions the panels define: those bound to controls, and
    the importance drawing, which is only reachable while it runs."""
    import board_fakes
    import qalvo.dashboard.insight_board as board_module

    class Found(list):
        active = True  # the test turns collecting off once it has them

    found = Found()
    bind = board_fakes.FakeWidgets.interactive_output

    def recording(self, f, controls):
        if found.active:
            found.append(f)
        return bind(self, f, controls)

    class GrabbingPlot:
        def plot(self, **kwargs):
            if found.active:
                found.extend(o for o in gc.get_objects()
                             if type(o) is type(InsightBoard.__init__)
                             and o.__name__ == "vi_explain")

    monkeypatch.setattr(board_fakes.FakeWidgets, "interactive_output", recording)
    monkeypatch.setattr(board_module, "PlotHBar", GrabbingPlot)
    return found


def test_every_method_and_callback_leaks_nothing_on_success_and_failure(quiet, callbacks):
    import board_fakes

    experiment = FakeExperiment(quiet)
    board = InsightBoard(experiment, "model-name")
    box = board.explain_all_panel()
    callbacks.active = False
    toggle = box.args[0][0]
    by_name = {f.__name__: f for f in callbacks}
    assert sorted(by_name) == ["ale_explain", "lime_explain", "pdp_explain", "shap_explain",
                               "show_tab", "vi_explain"]
    failure = RuntimeError("failed")

    class Failing(FakeExperiment):
        def pdp_explain(self, *args):
            raise failure

        def local_explain(self, *args, **kwargs):
            raise failure

    broken = InsightBoard(Failing(quiet), "model-name")
    lacking = InsightBoard(board_fakes.Lacking(experiment, "data"), "model-name")
    space = object()
    closures = [f.__closure__ for f in callbacks]
    watched = (shared_by_the_module(board) + [f.__code__ for f in callbacks] + closures
               + [experiment, board, space, failure, toggle, *toggle.kwargs["options"]])
    pdp, ale, vi = by_name["pdp_explain"], by_name["ale_explain"], by_name["vi_explain"]
    shap, lime, show = by_name["shap_explain"], by_name["lime_explain"], by_name["show_tab"]

    def action():
        InsightBoard(experiment, "model-name", [], "colab")
        board.pdp_ale_panel(), board.vi_panel(space), board.local_panel()
        pdp("a", None), pdp("a", "b"), pdp("b", "b"), ale("a", None), ale("a", "b")
        vi(experiment.importance), shap(3), lime(4)
        for option in toggle.kwargs["options"]:
            show(option)
        for call in (lambda: InsightBoard(1, 2, 3, 4, 5), lambda: board.vi_panel(),
                     lambda: board.local_panel(space), lambda: InsightBoard(experiment, bogus=1),
                     lambda: lacking.local_panel(), lambda: broken.pdp_ale_panel(),
                     lambda: broken.local_panel(), lambda: pdp("a"), lambda: vi(space),
                     lambda: show("neither view"), lambda: shap(1, 2), lambda: lime(idx=1, x=2),
                     lambda: broken.explain_all_panel()):
            try:
                call()
            except (TypeError, AttributeError, RuntimeError, UnboundLocalError):
                pass
        failure.__traceback__ = None

    (refs_before, objects_before), (refs_after, objects_after) = counts_after(
        action, watched, 300)
    changed = [(repr(o)[:60], b, a) for o, b, a in zip(watched, refs_before, refs_after) if a != b]
    assert changed == []
    assert objects_after - objects_before < 50
