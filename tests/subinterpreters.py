"""Scripts for a fresh interpreter that import a module in a subinterpreter of
their own process and print what happened: "REFUSED <message>" or "LOADED"."""

import sys
import textwrap

IMPORT_AND_REPORT = """
try:
    import {module}
except ImportError as error:
    print("REFUSED", error, flush=True)
else:
    print("LOADED", flush=True)
"""


def script(module, kind):
    """The module is imported in the main interpreter first (if that fails, as
    it does for the estimators without torch, the create step has still run
    there), then in a subinterpreter of the `kind`:

    - "legacy": the subinterpreter of the C API's Py_NewInterpreter, which
      shares the main interpreter's GIL and loads any extension module;
    - "interpreters module": one made by the interpreters module, which on 3.12+
      is isolated (it refuses modules that do not declare support for it).
    """
    inner = IMPORT_AND_REPORT.format(module=module)
    lines = [
        "import importlib",
        "try:",
        f"    importlib.import_module({module!r})",
        "except ImportError:",
        "    pass",
    ]
    if kind == "legacy":
        lines += ["import _testcapi", f"_testcapi.run_in_subinterp({inner!r})"]
    elif sys.version_info >= (3, 13):
        lines += ["import _interpreters as interpreters",
                  "interpreter = interpreters.create('isolated')",
                  f"interpreters.run_string(interpreter, {inner!r})",
                  "interpreters.destroy(interpreter)"]
    else:
        lines += ["import _xxsubinterpreters as interpreters",
                  "interpreter = interpreters.create()",
                  f"interpreters.run_string(interpreter, {inner!r})",
                  "interpreters.destroy(interpreter)"]
    return textwrap.dedent("\n".join(lines))
