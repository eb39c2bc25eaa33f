"""Checks that a built wheel holds both extension modules, their type stubs and
the py.typed marker, beside each other in the package.

    python3 ci/check_wheel.py dist/qalvo-*.whl
"""

import re
import sys
import zipfile

REQUIRED = [
    r"qalvo/py\.typed",
    r"qalvo/models/rampnet/rampnet\.pyi",
    r"qalvo/models/rampnet/rampnet\.[^/]+\.so",
    r"qalvo/dashboard/insight_board\.pyi",
    r"qalvo/dashboard/insight_board\.[^/]+\.so",
]


def main(path):
    names = zipfile.ZipFile(path).namelist()
    missing = [p for p in REQUIRED if not any(re.fullmatch(p, n) for n in names)]
    if missing:
        sys.exit(f"{path} lacks {', '.join(missing)}")
    print(f"{path}: extension modules, stubs and py.typed present")


if __name__ == "__main__":
    main(sys.argv[1])
