import subprocess
import sys
import tempfile
import textwrap

import pytest


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter; returns the completed process."""

    def run(code, *flags):
        return subprocess.run(
            [sys.executable, *flags, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=300,
            cwd=tempfile.gettempdir(),  # keep the source tree off sys.path
        )

    return run
