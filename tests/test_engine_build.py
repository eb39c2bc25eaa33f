"""The set-up builds the native training engine: without this check a build
that silently left it out (no torch at build time) would only skip the
engine's tests. make test and the version matrix ask for it."""

import os

import pytest

pytest.importorskip("torch")  # the estimators need it; other Pythons here have none

from qalvo.models.rampnet import engine_status  # noqa: E402


@pytest.mark.skipif(os.environ.get("QALVO_EXPECT_ENGINE") != "1",
                    reason="only where the set-up promises the engine (QALVO_EXPECT_ENGINE=1)")
def test_the_set_up_built_the_native_engine():
    status = engine_status()
    assert status.path == "engine", status.reason
