"""Where the native engine cannot run (not built, built for another torch, a
torch it is not verified on), engine_status() says why, the generic path
runs, and the first fit of the process warns once with the reason and the
command that fixes it (EngineUnavailableWarning)."""

import importlib
import sys
import types
import warnings

import numpy as np
import pytest
pytest.importorskip("torch")  # the estimators need it; other Pythons here have none
import torch

import qalvo
import qalvo.models.rampnet as package
from qalvo.models.rampnet import RampNetRegressor, engine_status
from qalvo.models.rampnet import _engine_gate as gate
from qalvo.models.rampnet._verified_torch import VERIFIED

X = np.random.RandomState(0).randn(80, 3)
Y = X.sum(axis=1)
RUNNING = torch.__version__
ABI = int(torch._C._GLIBCXX_USE_CXX11_ABI)
REINSTALL = "pip install --force-reinstall --no-deps --no-binary qalvo qalvo"


@pytest.fixture(autouse=True)
def engine_not_forced_off(monkeypatch):
    """What is asked here is why the engine cannot run, not whether it was turned off."""
    monkeypatch.delenv("QALVO_ENGINE", raising=False)


@pytest.fixture
def fresh_gate(monkeypatch):
    """The gate as before its first load, with `build` as what was built."""
    def with_build(build, torch_version=RUNNING):
        monkeypatch.delattr(package, "_engine_build", raising=False)
        name = "qalvo.models.rampnet._engine_build"
        monkeypatch.setitem(sys.modules, name,
                            None if build is None else types.SimpleNamespace(**build))
        monkeypatch.setattr(torch, "__version__", torch_version)
        for attribute in ("_engine", "_load_reason", "_load_fix"):
            monkeypatch.setattr(gate, attribute, None)
        monkeypatch.setattr(gate, "_warned", False)
        return gate.load()
    return with_build


@pytest.mark.parametrize("build, torch_version, reason, fix", [
    (None, RUNNING, "the native engine is not built", REINSTALL),
    (dict(ENGINES={}, NOT_BUILT=["torch was not importable in /venv when qalvo was built "
                                 "(install torch first, then qalvo)"]), RUNNING,
     "the native engine was not built: torch was not importable in /venv",
     "install torch first, then reinstall qalvo"),
    (dict(ENGINES={}, NOT_BUILT=["the C++ compiler (GNU 8.5.0) could not compile against torch "
                                 "2.13.0's headers"]), RUNNING,
     "could not compile against torch", "install a C++20 compiler"),
    (dict(ENGINES={}, NOT_BUILT=["qalvo was built with QALVO_ENGINE=OFF"]), RUNNING,
     "QALVO_ENGINE=OFF", "reinstall qalvo without QALVO_ENGINE=OFF"),
    (dict(ENGINES={"2.14.1": ("_engine_2_14_1", ABI)}, NOT_BUILT=[]), "2.13.0+cpu",
     "the native engine was built for torch 2.14.1, but torch 2.13.0+cpu is running",
     REINSTALL),
    (dict(ENGINES={RUNNING: ("_engine_x", 1 - ABI)}, NOT_BUILT=[]), RUNNING,
     "the native engine was built with CXX11_ABI", REINSTALL),
    (dict(ENGINES={RUNNING: ("_engine_missing", ABI)}, NOT_BUILT=[]), RUNNING,
     "the native engine failed to load: ModuleNotFoundError", REINSTALL),
    (dict(ENGINES={"2.15.0": ("_engine_2_15_0", ABI)}, NOT_BUILT=[]), "2.15.0",
     "torch 2.15.0 is not a release the native engine is verified on "
     f"({', '.join(VERIFIED)})", "pip install torch==2.14.1"),
], ids=["no build information", "no torch at build time", "compiler", "turned off",
        "built for another torch", "another C++ ABI", "module missing", "unverified torch"])
def test_the_reason_and_the_fix_say_what_happened(fresh_gate, build, torch_version, reason,
                                                 fix):
    assert fresh_gate(build, torch_version) is None
    status = engine_status()
    assert status.path == "generic" and reason in status.reason
    with pytest.warns(qalvo.EngineUnavailableWarning) as caught:
        gate.warn_unavailable()
    message = str(caught[0].message)
    assert message.startswith("qalvo's native training engine is unavailable, so fits take "
                              "the slower generic path: ")
    assert reason in message and fix in message


def test_the_gate_warns_once(fresh_gate):
    fresh_gate(dict(ENGINES={}, NOT_BUILT=["torch was not importable in /venv when qalvo was "
                                           "built (install torch first, then qalvo)"]))
    with pytest.warns(qalvo.EngineUnavailableWarning, match="not importable in /venv"):
        gate.warn_unavailable()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        gate.warn_unavailable()  # once per process


WARNS_ONCE = """
    import sys, types, warnings
    sys.modules["qalvo.models.rampnet._engine_build"] = types.SimpleNamespace(
        ENGINES={}, NOT_BUILT=["torch was not importable in /venv when qalvo was built "
                               "(install torch first, then qalvo)"])
    import numpy as np
    import qalvo
    from qalvo.models.rampnet import RampNetRegressor, engine_status
    x = np.random.RandomState(0).randn(60, 3)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        RampNetRegressor(hidden_layer_sizes=(3,), max_epochs=2).fit(x, x.sum(axis=1))
        RampNetRegressor(hidden_layer_sizes=(3,), max_epochs=2, iht=True,
                         phase_epochs=1).fit(x, x.sum(axis=1))
    found = [w for w in caught if issubclass(w.category, qalvo.EngineUnavailableWarning)]
    print(len(found), bool(found) and found[0].filename == "<string>", engine_status().path)
"""


def test_an_engine_serves_every_build_of_its_torch_release(fresh_gate):
    built = importlib.import_module("qalvo.models.rampnet._engine_build")
    if RUNNING not in built.ENGINES:
        pytest.skip("no engine built here for the running torch")
    module = built.ENGINES[RUNNING][0]
    public = RUNNING.split("+")[0]
    engine = fresh_gate(dict(ENGINES={public + "+another": (module, ABI)}, NOT_BUILT=[]))
    assert engine is not None and engine_status().path == "engine"


@pytest.mark.parametrize("forced_off", [False, True], ids=["unavailable", "QALVO_ENGINE=0"])
def test_one_warning_per_process_at_the_first_fit_naming_the_callers_line(
        run_python, forced_off, monkeypatch):
    if forced_off:
        monkeypatch.setenv("QALVO_ENGINE", "0")
    result = run_python(WARNS_ONCE)
    assert result.returncode == 0, result.stderr[-3000:]
    # turned off on purpose, it says nothing
    assert result.stdout.split()[0] == ("0" if forced_off else "1")
    if not forced_off:
        assert result.stdout.split()[1:] == ["True", "generic"]


def test_where_the_engine_runs_nothing_is_said():
    with warnings.catch_warnings():
        warnings.simplefilter("error", qalvo.EngineUnavailableWarning)
        RampNetRegressor(hidden_layer_sizes=(3,), max_epochs=2).fit(X, Y)
    if engine_status().path == "engine":
        assert gate.last_decision["fit"] == "engine"
