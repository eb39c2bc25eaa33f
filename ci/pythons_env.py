"""Requirements and pins of a torch-free test environment for one CPython.

Writes into OUT_DIR:
- requirements.txt: the package's runtime and dashboard/explanation dependencies
  (from pyproject.toml, torch left out) and the test tools;
- constraints.txt: the pins of constraints.txt that exist for that Python.
  A pin with no distribution for it is dropped, so pip takes the newest
  release that installs there; torch is never pinned here (its CPU wheel is
  installed separately, from the local disk only, where one exists).

Run with any Python 3.11+ (it reads pyproject.toml with tomllib):
    python3 ci/pythons_env.py TARGET_PYTHON OUT_DIR
"""

import re
import subprocess
import sys
import tomllib
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
EXTRAS = ("dashboard", "explain")
TEST_TOOLS = ("pytest", "hypothesis", "mypy")
NOT_HERE = {"torch", "torchvision"}
# pip's two ways of saying that a release has nothing for this interpreter
UNAVAILABLE = re.compile(r"No matching distribution found for|requires a different Python")


def base_name(requirement):
    return re.split(r"[\s<>=!~;\[]", requirement.strip(), maxsplit=1)[0].lower()


def requirements():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    wanted = list(project["dependencies"])
    for extra in EXTRAS:
        wanted += project["optional-dependencies"][extra]
    wanted += TEST_TOOLS
    seen, kept = set(), []
    for requirement in wanted:
        name = base_name(requirement)
        if name not in NOT_HERE and requirement not in seen:
            seen.add(requirement)
            kept.append(requirement)
    return kept


def pins():
    found = {}
    for line in (ROOT / "constraints.txt").read_text().splitlines():
        line = line.split("#", 1)[0].strip()
        if "==" in line and base_name(line) not in NOT_HERE:
            found[base_name(line)] = line  # a repeated pin keeps one entry
    return found


def pin_available(python, pin):
    result = subprocess.run(
        [python, "-m", "pip", "install", "--dry-run", "--no-deps", "--ignore-installed",
         "--prefer-binary", "--quiet", pin],
        capture_output=True, text=True)
    if result.returncode == 0:
        return True
    if UNAVAILABLE.search(result.stderr):
        return False
    sys.exit(f"pip could not check {pin} for {python}:\n{result.stderr[-3000:]}")


def available_pins(python, candidates):
    """Splits the pins into those pip finds a distribution of for `python` and the rest
    (one pip run per pin, a few at a time: each is mostly an index look-up)."""
    with ThreadPoolExecutor(max_workers=8) as pool:
        found = list(pool.map(lambda pin: pin_available(python, pin), candidates))
    kept = [pin for pin, ok in zip(candidates, found) if ok]
    dropped = [pin for pin, ok in zip(candidates, found) if not ok]
    return kept, dropped


def main():
    python, out_dir = sys.argv[1], Path(sys.argv[2])
    out_dir.mkdir(parents=True, exist_ok=True)
    kept, dropped = available_pins(python, list(pins().values()))
    (out_dir / "requirements.txt").write_text("\n".join(requirements()) + "\n")
    (out_dir / "constraints.txt").write_text(
        "# constraints.txt, less the pins that have no distribution for this Python\n"
        + "".join(f"# not available here: {pin}\n" for pin in dropped)
        + "\n".join(kept) + "\n")
    print(" ".join(dropped))


if __name__ == "__main__":
    main()
