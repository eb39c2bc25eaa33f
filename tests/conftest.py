import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

# The dashboard draws with matplotlib: no window, whatever the machine has.
os.environ.setdefault("MPLBACKEND", "Agg")


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


@pytest.fixture
def rec(monkeypatch):
    """The dashboard module with recording fakes bound to its globals."""
    import board_fakes

    return board_fakes.install(monkeypatch)


@pytest.fixture
def no_figures():
    """Closes the figures that real matplotlib calls leave open."""
    import matplotlib.pyplot as plt

    plt.close("all")
    yield plt
    plt.close("all")


@pytest.fixture
def shown(monkeypatch, no_figures):
    """The figures passed to plt.show, in order (then closed)."""
    figures = []
    monkeypatch.setattr(no_figures, "show", lambda *a, **k: figures.append(no_figures.gcf()))
    return figures


@pytest.fixture(scope="session", autouse=True)
def one_torch_thread():
    """The suite's networks are tiny: a second intra-op thread only adds
    synchronisation, and the machine's cores are shared."""
    try:
        import torch
    except ImportError:  # a Python without torch runs the torch-free tests only
        yield
        return
    previous = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(previous)

# Debian's chromium, which playwright drives in the browser checks (of the
# example notebook and of the built documentation).
CHROMIUM = Path("/usr/bin/chromium")


def _apt_get(*args):
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    return subprocess.run(
        ["apt-get", "-o", "DPkg::Lock::Timeout=300", *args],
        env=env,
        capture_output=True,
        text=True,
        timeout=900,
    )


@pytest.fixture(scope="session")
def chromium():
    """Path of Debian's chromium, installed with apt-get if it is missing;
    skips only when it cannot be installed on this machine."""
    if os.access(CHROMIUM, os.X_OK):
        return str(CHROMIUM)
    if shutil.which("apt-get") is None or os.geteuid() != 0:
        pytest.skip("%s is missing and cannot be installed here (needs root and apt-get)" % CHROMIUM)
    install = _apt_get("install", "-y", "chromium")
    if install.returncode != 0:
        _apt_get("update")  # a new machine may have no package lists yet
        install = _apt_get("install", "-y", "chromium")
    if install.returncode != 0 or not os.access(CHROMIUM, os.X_OK):
        pytest.skip(
            "chromium could not be installed with apt-get:\n"
            + (install.stdout + install.stderr)[-2000:]
        )
    return str(CHROMIUM)


@pytest.fixture(scope="session")
def launch_chromium(chromium):
    """launch(driver): headless chromium through a playwright driver. Under make
    asan the sanitizer is preloaded for the Python processes; chromium does not
    start under it, so its environment goes without."""

    def launch(driver):
        return driver.chromium.launch(
            executable_path=chromium,
            headless=True,
            args=["--no-sandbox", "--disable-dev-shm-usage", "--disable-background-networking",
                  "--disable-component-update", "--no-first-run"],
            env={k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")},
        )

    return launch
