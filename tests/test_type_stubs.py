"""The type stubs shipped beside the compiled modules: installed with the
py.typed marker, and in agreement with the modules (mypy's stubtest, which
compares every class, function signature and default with the runtime)."""

import ast
import importlib
import importlib.util
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MYPY_CONFIG = os.path.join(ROOT, "tests", "stubtest", "mypy.ini")
MODULES = ["qalvo.models.rampnet.rampnet", "qalvo.dashboard.insight_board"]


def import_or_skip(module):
    if module.endswith("rampnet"):
        pytest.importorskip("torch")
    return importlib.import_module(module)


PACKAGE = os.path.dirname(importlib.util.find_spec("qalvo").origin)


def installed(module, suffix):
    """Files of the installed package beside the module, found without
    importing it (the estimators' package imports torch)."""
    folder = os.path.join(PACKAGE, *module.split(".")[1:-1])
    name = module.rsplit(".", 1)[1]
    return sorted(os.path.join(folder, f) for f in os.listdir(folder)
                  if f.startswith(name + ".") and f.endswith(suffix))


def stub_path(module):
    (path,) = installed(module, ".pyi")
    return path


@pytest.mark.parametrize("module", MODULES)
def test_stub_and_marker_are_installed_beside_the_module(module):
    assert len(installed(module, ".so")) == 1
    assert len(installed(module, ".pyi")) == 1
    assert os.path.isfile(os.path.join(PACKAGE, "py.typed"))


@pytest.mark.parametrize("module", MODULES)
def test_stubtest_finds_no_difference(module, tmp_path):
    import_or_skip(module)
    cache = os.path.join(ROOT, "build", "mypy-cache", "py%d.%d" % sys.version_info[:2])
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", MYPY_CONFIG, module],
        capture_output=True, text=True, timeout=600, cwd=tmp_path,
        env={**os.environ, "MYPY_CACHE_DIR": cache})
    assert result.returncode == 0, result.stdout[-6000:] + result.stderr[-3000:]
    assert "Success: no issues found in 1 module" in result.stdout


def stub_classes(module):
    tree = ast.parse(open(stub_path(module)).read())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


@pytest.mark.parametrize("module", MODULES)
def test_stub_classes_have_the_runtime_bases_in_order(module):
    # stubtest leaves the bases alone; the order decides the method resolution
    runtime = import_or_skip(module)
    for name, node in stub_classes(module).items():
        stub_bases = [ast.unparse(base).rsplit(".", 1)[-1] for base in node.bases] or ["object"]
        assert stub_bases == [base.__name__ for base in getattr(runtime, name).__bases__], name


@pytest.mark.parametrize("module", MODULES)
def test_stub_declares_every_class_of_the_module(module):
    runtime = import_or_skip(module)
    own_classes = {name for name, value in vars(runtime).items()
                   if isinstance(value, type) and value.__module__ == module}
    assert set(stub_classes(module)) == own_classes
