"""Repeated panel builds leave reference counts and live objects unchanged."""

import gc
import sys

import pytest

from board_fakes import FakeExperiment
from qalvo.dashboard.insight_board import InsightBoard


def counts_after(action, watched, repeats):
    action()  # warm-up: caches and interned values settle
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched], len(gc.get_objects())
    for _ in range(repeats):
        action()
    gc.collect()
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
