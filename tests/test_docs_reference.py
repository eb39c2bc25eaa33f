"""Every public name of the package has its place in the API reference, and
the version shown there is the package's one version."""

import importlib.metadata
import re
from pathlib import Path

import pytest
from api_names import public_methods, public_names, resolve

pytest.importorskip("torch")
pytest.importorskip("ipywidgets")  # the dashboard's classes are documented too

ROOT = Path(__file__).resolve().parents[1]
API = ROOT / "docs" / "api"

DIRECTIVE = re.compile(r"^\s*\.\. (currentmodule|autoclass|autoexception|autofunction|automethod|data):: (\S+)", re.M)
MEMBERS = re.compile(r"^\s*:members:(.*(?:\n\s{10,}\S.*)*)", re.M)


def documented():
    """{dotted name: set of member names listed, or None for all members}."""
    names = {}
    for page in sorted(API.glob("*.rst")):
        text = page.read_text()
        module = None
        matches = list(DIRECTIVE.finditer(text))
        for k, match in enumerate(matches):
            kind, name = match.groups()
            if kind == "currentmodule":
                module = name
                continue
            if kind == "automethod":
                owner = last_class
                names[owner] = (names.get(owner) or set()) | {name}
                continue
            full = name if "." in name or module is None else "%s.%s" % (module, name)
            end = matches[k + 1].start() if k + 1 < len(matches) else len(text)
            members = MEMBERS.search(text, match.end(), end)
            if members is None:
                listed = set()
            elif members.group(1).strip():
                listed = {m.strip() for m in members.group(1).replace("\n", " ").split(",")}
            else:
                listed = None  # autodoc takes every public member with a docstring
            names[full] = listed
            if kind == "autoclass":
                last_class = full
    return names


def test_the_version_is_defined_once():
    import qalvo

    assert importlib.metadata.version("qalvo") == qalvo.__version__
    assert "qalvo.__version__" in documented()
    pyproject = (ROOT / "pyproject.toml").read_text()
    assert not re.search(r"^version\s*=", pyproject, re.M), "pyproject.toml states a version of its own"


@pytest.mark.parametrize("name", public_names())
def test_public_name_is_on_an_api_page(name):
    pages = documented()
    assert name in pages or any(resolve(d) is resolve(name) for d in pages if d != "qalvo.__version__"), (
        "%s is on no page of docs/api/" % name)


@pytest.mark.parametrize("name", [n for n in public_names() if isinstance(resolve(n), type)])
def test_public_methods_are_documented(name):
    pages = documented()
    key = next(d for d in pages if d != "qalvo.__version__" and resolve(d) is resolve(name))
    listed = pages[key]
    cls = resolve(name)
    if listed is None:  # every public member with a docstring: each needs one
        undocumented = sorted(m for m in public_methods(cls) if not getattr(cls, m).__doc__)
        assert undocumented == [], "%s: no docstring, so not on its API page" % name
    else:
        missing = sorted(public_methods(cls) - listed)
        assert missing == [], "%s: public methods missing from its API page" % name
