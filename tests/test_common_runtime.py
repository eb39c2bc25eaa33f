"""The extension runtime in common/, through a module compiled from it here:
limits the two modules never reach with their own methods."""

import importlib.util
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    target = tmp_path_factory.mktemp("probe") / (
        "common_probe" + sysconfig.get_config_var("EXT_SUFFIX"))
    sources = sorted(map(str, (ROOT / "common").glob("*.cpp")))
    subprocess.run([compiler, "-std=c++17", "-shared", "-fPIC", "-O0",
                    f"-I{ROOT / 'common'}", f"-I{sysconfig.get_paths()['include']}",
                    *sources, str(ROOT / "tests" / "native" / "common_probe.cpp"),
                    "-o", str(target)], check=True)
    spec = importlib.util.spec_from_file_location("common_probe", target)
    module = importlib.util.module_from_spec(spec)
    sys.modules["common_probe"] = module
    spec.loader.exec_module(module)
    yield module
    del sys.modules["common_probe"]


def test_a_function_binds_up_to_the_runtimes_capacity(probe):
    function = probe.wide(24)
    assert function(*range(24)) is None
    with pytest.raises(TypeError, match=re.escape(
            "wide() takes exactly 24 positional arguments (0 given)")):
        function()


def test_a_longer_signature_is_refused_when_the_function_is_made(probe):
    with pytest.raises(SystemError, match=re.escape(
            "wide() has 25 parameters; at most 24 are supported")):
        probe.wide(25)
