"""Checks that a built wheel is fit to publish:

- a manylinux platform tag (what package indexes accept);
- both extension modules, their type stubs and py.typed beside each other, and
  a native engine module for every torch release that _engine_build.py lists;
- no torch library inside (the engine finds them in the installed torch);
- no RUNPATH or RPATH of any extension module naming a path of the build
  machine (only $ORIGIN-relative entries);
- the metadata: a PEP 639 license expression with its license file, authors,
  classifiers, project URLs, and a Requires-Dist on torch that names exactly
  the releases the wheel's engines were built for.

    python3 ci/check_wheel.py dist/qalvo-*.whl [--engines 2.13.0,2.14.1]

--engines: the torch releases the wheel must carry engines for.
"""

import argparse
import email.parser
import io
import re
import subprocess
import sys
import tempfile
import zipfile

REQUIRED = [
    r"qalvo/py\.typed",
    r"qalvo/models/rampnet/rampnet\.pyi",
    r"qalvo/models/rampnet/rampnet\.[^/]+\.so",
    r"qalvo/models/rampnet/_engine_build\.py",
    r"qalvo/dashboard/insight_board\.pyi",
    r"qalvo/dashboard/insight_board\.[^/]+\.so",
    r"qalvo-[^/]+\.dist-info/licenses/LICENSE",
]
TORCH_LIBRARY = re.compile(r"(^|/)lib(torch|c10|shm|gomp)[^/]*\.so")


def problems_with(path, expected_engines):
    wheel = zipfile.ZipFile(path)
    names = wheel.namelist()
    if not re.search(r"-manylinux_\d+_\d+_[a-z0-9_]+\.whl$", path):
        yield f"not a manylinux tag: {path}"
    for pattern in REQUIRED:
        if not any(re.fullmatch(pattern, n) for n in names):
            yield f"missing {pattern}"
    yield from (f"a torch library inside: {n}" for n in names if TORCH_LIBRARY.search(n))
    build = {}
    if "qalvo/models/rampnet/_engine_build.py" in names:
        exec(wheel.read("qalvo/models/rampnet/_engine_build.py").decode(), build)
    engines = build.get("ENGINES", {})
    for version, (module, _) in engines.items():
        if not any(re.fullmatch(rf"qalvo/models/rampnet/{module}\.[^/]+\.so", n) for n in names):
            yield f"the engine for torch {version} ({module}) is missing"
    releases = sorted({v.split("+")[0] for v in engines}, key=release_key)
    if expected_engines is not None and releases != sorted(expected_engines, key=release_key):
        yield f"engines for {releases}, expected {expected_engines}: {build.get('NOT_BUILT')}"
    with tempfile.TemporaryDirectory() as unpacked:
        for name in names:
            if name.endswith(".so"):
                wheel.extract(name, unpacked)
                for entry in runpaths(f"{unpacked}/{name}"):
                    if not entry.startswith("$ORIGIN"):
                        yield f"{name} searches {entry}, a path of the build machine"
    yield from metadata_problems(wheel, names, releases)


def release_key(version):
    return tuple(int(p) for p in re.findall(r"\d+", version))


def runpaths(library):
    dynamic = subprocess.run(["readelf", "-d", library], capture_output=True, text=True,
                             check=True).stdout
    for match in re.finditer(r"\((?:RUNPATH|RPATH)\)\s+Library r(?:un)?path: \[(.*)\]", dynamic):
        yield from match.group(1).split(":")


def metadata_problems(wheel, names, releases):
    (metadata_name,) = [n for n in names if re.fullmatch(r"qalvo-[^/]+\.dist-info/METADATA", n)]
    metadata = email.parser.Parser().parse(io.StringIO(wheel.read(metadata_name).decode()))
    for field in ("License-Expression", "License-File", "Author", "Classifier", "Project-URL"):
        if not metadata.get_all(field):
            yield f"metadata lacks {field}"
    torch = [r for r in metadata.get_all("Requires-Dist", []) if re.match(r"torch\b", r)]
    expected = ("torch>=2.13.0" if not releases else f"torch=={releases[0]}"
                if len(releases) == 1 else f"torch<={releases[-1]},>={releases[0]}")
    normalised = [",".join(sorted(r.replace(" ", "")[5:].split(","))) for r in torch]
    if normalised != [",".join(sorted(expected[5:].split(",")))]:
        yield f"Requires-Dist on torch is {torch}, expected {expected}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("wheel")
    parser.add_argument("--engines", help="torch releases the wheel must carry engines for")
    args = parser.parse_args()
    expected = args.engines.split(",") if args.engines else None
    problems = list(problems_with(args.wheel, expected))
    if problems:
        sys.exit(f"{args.wheel}:\n  " + "\n  ".join(problems))
    print(f"{args.wheel}: manylinux, complete, no torch library, relative RUNPATH, metadata "
          f"in order")


if __name__ == "__main__":
    main()
