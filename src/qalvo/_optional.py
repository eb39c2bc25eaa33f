"""Imports of the packages that qalvo's extras bring.

A package that is not installed fails with the command that installs it,
rather than with a bare ``ModuleNotFoundError``, e.g.
"Explaining with SHAP needs shap: pip install 'qalvo[explain]'". The error
raised is still a ``ModuleNotFoundError`` (so code catching that keeps
working), with the original error as its ``__cause__``.
"""

import importlib

# The top-level modules that each extra installs, as imported (ipython is
# imported as IPython). Where importing one of them fails because another of
# the same extra is missing (ipywidgets imports IPython, shap imports pandas),
# that other one is named: installing the extra brings it too.
EXTRA_MODULES = {
    "dashboard": ("ipywidgets", "IPython", "matplotlib", "shap", "lime", "pandas"),
    "explain": ("shap", "lime", "pandas", "matplotlib"),
    "notebook": ("jupyterlab", "ipykernel"),
    "cluster": ("dask", "distributed"),
}


def missing_message(purpose, package, extra):
    """The message of a missing ``package``: "<purpose> needs <package>:
    pip install 'qalvo[<extra>]'"."""
    return "%s needs %s: pip install 'qalvo[%s]'" % (purpose, package, extra)


def missing_package_error(error, module, extra, purpose):
    """The error to raise from ``error``, a failed import of ``module``, where
    the failure is that ``module`` or a package of ``extra`` is not installed
    (a ``ModuleNotFoundError`` naming it); None where it is anything else (a
    package that is installed but broken keeps its own error).

    ``purpose`` says what needs the package, as the message's subject
    ("Explaining with SHAP", "qalvo.dashboard").
    """
    missing = error.name if isinstance(error, ModuleNotFoundError) else None
    if missing is None:
        return None
    if module == missing or module.startswith(missing + "."):
        package = module.partition(".")[0]
    elif missing in EXTRA_MODULES[extra]:
        package = missing
    else:
        return None
    return ModuleNotFoundError(missing_message(purpose, package, extra), name=missing)


def import_optional(module, extra, purpose):
    """``importlib.import_module(module)``; where ``module`` or a package of
    ``extra`` is not installed, raises ``ModuleNotFoundError`` "<purpose>
    needs <package>: pip install 'qalvo[<extra>]'" from the original error."""
    try:
        return importlib.import_module(module)
    except ModuleNotFoundError as error:
        replacement = missing_package_error(error, module, extra, purpose)
        if replacement is None:
            raise
        raise replacement from error
