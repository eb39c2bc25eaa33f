"""What the modules declare about subinterpreters and the GIL, and how a
subinterpreter's import is refused, on each CPython."""

import ctypes
import importlib.util
import os
import sys

import pytest

import subinterpreters

MODULES = {
    "qalvo.models.rampnet.rampnet": "rampnet",
    "qalvo.dashboard.insight_board": "insight_board",
}
GUARD_MESSAGE = ("Interpreter change detected - this module can only be loaded into one "
                 "interpreter per process.")

# Slot ids and values of Include/moduleobject.h.
PY_MOD_CREATE, PY_MOD_EXEC, PY_MOD_MULTIPLE_INTERPRETERS, PY_MOD_GIL = 1, 2, 3, 4
NOT_SUPPORTED = GIL_USED = None  # both are the NULL pointer


class Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class ModuleDef(ctypes.Structure):
    _fields_ = [
        ("ob_refcnt", ctypes.c_ssize_t), ("ob_type", ctypes.c_void_p),
        ("m_init", ctypes.c_void_p), ("m_index", ctypes.c_ssize_t), ("m_copy", ctypes.c_void_p),
        ("m_name", ctypes.c_char_p), ("m_doc", ctypes.c_char_p), ("m_size", ctypes.c_ssize_t),
        ("m_methods", ctypes.c_void_p), ("m_slots", ctypes.POINTER(Slot)),
    ]


def shared_library(module):
    """The extension's file, found without importing its package."""
    package, _, name = module.rpartition(".")
    folder = os.path.dirname(importlib.util.find_spec("qalvo").origin)
    folder = os.path.join(folder, *package.split(".")[1:])
    (found,) = [f for f in os.listdir(folder) if f.startswith(name + ".") and f.endswith(".so")]
    return os.path.join(folder, found)


def module_slots(module):
    """[(slot id, value)] of the definition that PyInit_<name> returns. Loading
    the library runs nothing; PyInit only hands out its static definition."""
    library = ctypes.PyDLL(shared_library(module))  # PyDLL: called with the GIL held
    init = getattr(library, "PyInit_" + MODULES[module])
    init.restype = ctypes.POINTER(ModuleDef)
    definition = init().contents
    assert definition.m_name.decode() == MODULES[module]
    assert (definition.m_size, definition.m_methods) == (0, None)
    slots = []
    for slot in definition.m_slots:
        if slot.slot == 0:
            return slots
        slots.append((slot.slot, slot.value))


@pytest.mark.parametrize("module", MODULES)
def test_definition_declares_one_interpreter_and_the_gil_where_the_api_has_the_slots(module):
    slots = module_slots(module)
    assert [slot for slot, _ in slots[:2]] == [PY_MOD_CREATE, PY_MOD_EXEC]
    declared = slots[2:]
    expected = []
    if sys.version_info >= (3, 12):
        expected.append((PY_MOD_MULTIPLE_INTERPRETERS, NOT_SUPPORTED))
    if sys.version_info >= (3, 13):
        expected.append((PY_MOD_GIL, GIL_USED))
    assert declared == expected


@pytest.mark.parametrize("module", MODULES)
def test_legacy_subinterpreter_is_refused_by_the_one_interpreter_guard(run_python, module):
    pytest.importorskip("_testcapi")
    result = run_python(subinterpreters.script(module, "legacy"))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1:] == [f"REFUSED {GUARD_MESSAGE}"]


@pytest.mark.parametrize("module", MODULES)
def test_interpreters_module_subinterpreter_is_refused(run_python, module):
    result = run_python(subinterpreters.script(module, "interpreters module"))
    assert result.returncode == 0, result.stderr
    if sys.version_info >= (3, 12):
        # Isolated: the import system refuses what the definition declares,
        # before the module's create step runs.
        expected = f"REFUSED module {module} does not support loading in subinterpreters"
    else:
        expected = f"REFUSED {GUARD_MESSAGE}"
    assert result.stdout.splitlines()[-1:] == [expected]
