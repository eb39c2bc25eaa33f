"""Load-time set-up of the dashboard module: globals, guards, failure and retry."""

import importlib
import sys

import IPython.display
import ipywidgets
import matplotlib.pyplot
import numpy
import pytest

import qalvo.dashboard.plots
import qalvo.dashboard.widgets

MODULE = "qalvo.dashboard.insight_board"


def test_globals_are_bound_in_order_to_the_imported_objects():
    mod = importlib.import_module(MODULE)
    names = [name for name in vars(mod) if not name.startswith("__")]
    assert names == ["widgets", "plt", "QalvoWidget", "PlotHBar", "np", "display",
                     "clear_output", "InsightBoard"]
    assert mod.widgets is ipywidgets
    assert mod.plt is matplotlib.pyplot
    assert mod.QalvoWidget is qalvo.dashboard.widgets.QalvoWidget
    assert mod.PlotHBar is qalvo.dashboard.plots.PlotHBar
    assert mod.np is numpy
    assert mod.display is IPython.display.display
    assert mod.clear_output is IPython.display.clear_output
    assert mod.__doc__ is None


def test_reimport_returns_the_same_module_and_class():
    first = importlib.import_module(MODULE)
    board = first.InsightBoard
    del sys.modules[MODULE]
    try:
        second = importlib.import_module(MODULE)
    finally:
        sys.modules[MODULE] = first
    assert second is first
    assert second.InsightBoard is board


def test_import_is_silent_and_warns_nothing(run_python):
    result = run_python(f"import {MODULE}", "-W", "error::RuntimeWarning")
    assert result.returncode == 0, result.stderr
    assert (result.stdout, result.stderr) == ("", "")


def missing(package):
    return f"qalvo.dashboard needs {package}: pip install 'qalvo[dashboard]'"


# (what the snippet breaks before the import, traceback line, error text, the
# error it was raised from: a package of the dashboard extra that is missing
# is named with the command that installs it, chained to the import's error)
BROKEN_IMPORTS = [
    ("sys.modules['ipywidgets'] = None", 1, missing("ipywidgets"),
     "ModuleNotFoundError: import of ipywidgets halted; None in sys.modules"),
    # ipywidgets imports IPython, which the same extra brings.
    ("sys.modules['IPython'] = None", 1, missing("IPython"),
     "ModuleNotFoundError: import of IPython halted; None in sys.modules"),
    ("import ipywidgets; sys.modules['matplotlib.pyplot'] = None", 2, missing("matplotlib"),
     "ModuleNotFoundError: import of matplotlib.pyplot halted; None in sys.modules"),
    ("import qalvo.dashboard.widgets as w; del w.QalvoWidget", 3,
     "cannot import name QalvoWidget", None),
    ("import qalvo.dashboard.plots as p; del p.PlotHBar", 4, "cannot import name PlotHBar",
     None),
    ("import ipywidgets; sys.modules['IPython.display'] = None", 6, missing("IPython"),
     "ModuleNotFoundError: import of IPython.display halted; None in sys.modules"),
    ("import ipywidgets, IPython.display as d; del d.clear_output", 6,
     "cannot import name clear_output", None),
]


@pytest.mark.parametrize("breakage, line, message, cause", BROKEN_IMPORTS)
def test_failed_import_reports_the_statement_and_can_be_retried(run_python, breakage, line,
                                                                message, cause):
    result = run_python(
        f"""
        import importlib, sys, traceback
        saved = dict(sys.modules)
        {breakage}
        try:
            import {MODULE}
        except ImportError as error:
            print("FAILED", error)
            for frame in traceback.extract_tb(error.__traceback__):
                print("ENTRY", frame.name, "|", frame.filename, "|", frame.lineno)
            cause = error.__cause__
            print("CAUSE", cause and f"{{type(cause).__name__}}: {{cause}}")
            print("SHOWN", error.__suppress_context__ and error.__context__ is cause)
        print("LEFT", "{MODULE}" in sys.modules)
        # Repair what was broken, then import again in the same process.
        for name in [name for name, module in sys.modules.items() if module is None]:
            del sys.modules[name]
        for name in ("qalvo.dashboard.widgets", "qalvo.dashboard.plots", "IPython.display"):
            sys.modules.pop(name, None)
        import {MODULE} as loaded
        print("RETRY", loaded.InsightBoard.__name__, loaded.widgets.__name__)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == f"FAILED {message}"
    assert f"ENTRY init {MODULE} | qalvo\\dashboard\\insight_board | {line}" in lines
    assert f"CAUSE {cause}" in lines
    # `raise ... from error`: the traceback shows the cause, not the context too.
    assert f"SHOWN {cause is not None}" in lines
    assert "LEFT False" in lines
    assert lines[-1] == "RETRY InsightBoard ipywidgets"


def test_exec_on_a_second_module_object_is_refused(run_python):
    result = run_python(
        f"""
        import _imp, glob, importlib.util, os
        package = os.path.dirname(importlib.util.find_spec("qalvo").origin)
        (path,) = glob.glob(os.path.join(package, "dashboard", "insight_board.*.so"))
        spec = importlib.util.spec_from_file_location("{MODULE}", path)
        spec.submodule_search_locations = None
        first = _imp.create_dynamic(spec)
        first.__package__ = "qalvo.dashboard"
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
    assert result.stdout.splitlines() == [
        "REFUSED Module 'insight_board' has already been imported. Re-initialisation is not "
        "supported."
    ]
