"""Load-time set-up: one module object per process, failure and retry, guards."""

import importlib
import importlib.util
import sys

import pytest

MODULE = "qalvo.models.rampnet.rampnet"
# Without torch the module never loads; what a failed load does is still tested.
needs_torch = pytest.mark.skipif(importlib.util.find_spec("torch") is None,
                                 reason="needs torch, not installed for this Python")


@needs_torch
def test_reimport_returns_the_same_module_and_classes():
    first = importlib.import_module(MODULE)
    regressor = first.RampNetRegressor
    del sys.modules[MODULE]
    try:
        second = importlib.import_module(MODULE)
    finally:
        sys.modules[MODULE] = first
    assert second is first
    assert second.RampNetRegressor is regressor


@needs_torch
def test_import_emits_no_version_warning(run_python):
    result = run_python(f"import {MODULE}", "-W", "error::RuntimeWarning")
    assert result.returncode == 0, result.stderr


@needs_torch
def test_failed_import_leaves_nothing_behind_and_can_be_retried(run_python):
    result = run_python(
        f"""
        import sys

        class BlockTorch:
            def find_spec(self, name, path=None, target=None):
                if name == "torch" or name.startswith("torch."):
                    raise ImportError("torch blocked for the test")

        blocker = BlockTorch()
        sys.meta_path.insert(0, blocker)
        try:
            import {MODULE}
        except ImportError as error:
            print("FAILED", error)
        assert "{MODULE}" not in sys.modules
        sys.meta_path.remove(blocker)
        import {MODULE} as loaded
        print("RETRY", loaded.RampNetRegressor().get_params()["max_epochs"])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["FAILED torch blocked for the test", "RETRY 1000"]


def test_init_entry_line_when_torch_is_missing(run_python):
    result = run_python(
        f"""
        import sys, traceback

        class BlockTorch:
            def find_spec(self, name, path=None, target=None):
                if name == "torch":
                    raise ImportError("no torch")

        sys.meta_path.insert(0, BlockTorch())
        try:
            import {MODULE}
        except ImportError as error:
            for frame in traceback.extract_tb(error.__traceback__):
                print(frame.name, "|", frame.filename, "|", frame.lineno)
        """
    )
    assert result.returncode == 0, result.stderr
    assert "init qalvo.models.rampnet.rampnet | qalvo\\models\\rampnet\\rampnet | 3" in result.stdout


@needs_torch
def test_exec_on_a_second_module_object_is_refused(run_python):
    result = run_python(
        f"""
        import _imp, glob, importlib.util, os
        # Locate the shared library without importing its package, whose
        # __init__ would load the module.
        package = os.path.dirname(importlib.util.find_spec("qalvo").origin)
        (path,) = glob.glob(os.path.join(package, "models", "rampnet", "rampnet.*.so"))
        spec = importlib.util.spec_from_file_location("{MODULE}", path)
        first = _imp.create_dynamic(spec)
        second = _imp.create_dynamic(spec)
        assert first is not second
        _imp.exec_dynamic(first)
        _imp.exec_dynamic(first)  # running again on the same object does nothing
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as error:
            print("REFUSED", error)
        assert _imp.create_dynamic(spec) is first
        """
    )
    assert result.returncode == 0, result.stderr
    assert (
        "REFUSED Module 'rampnet' has already been imported. Re-initialisation is not supported."
        in result.stdout
    )
