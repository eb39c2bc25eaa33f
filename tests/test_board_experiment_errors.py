"""An experiment that lacks a member or raises: the error reaches the caller intact."""

import re

import pytest

from board_fakes import FakeExperiment, Lacking
from qalvo.dashboard.insight_board import InsightBoard

# (member, the panel method whose build reaches it)
USES = [
    ("explain_single", "__init__"),
    ("per_vi_rank", "pdp_ale_panel"),
    ("pdp_explain", "pdp_ale_panel"),
    ("ale_explain", "pdp_ale_panel"),
    ("permutation_vi", "vi_panel"),
    ("data", "vi_panel"),
    ("data", "local_panel"),
    ("local_explain", "local_panel"),
]


def build(board, method):
    if method == "vi_panel":
        return board.vi_panel(object())
    return getattr(board, method)()


@pytest.mark.parametrize("member, method", USES)
def test_missing_member_raises_attribute_error(rec, member, method):
    experiment = Lacking(FakeExperiment(rec), member)
    message = f"'Lacking' object has no attribute '{member}'"
    with pytest.raises(AttributeError, match=re.escape(message)):
        board = InsightBoard(experiment, "model")
        build(board, method)


@pytest.mark.parametrize("member, method", [u for u in USES if u[0] not in ("data", "per_vi_rank")])
def test_raising_member_propagates_the_same_exception(rec, member, method):
    failure = LookupError(f"{member} failed")

    def fail(*args, **kwargs):
        raise failure

    experiment = FakeExperiment(rec)
    setattr(experiment, member, fail)
    with pytest.raises(LookupError) as info:
        board = InsightBoard(experiment, "model")
        build(board, method)
    assert info.value is failure
