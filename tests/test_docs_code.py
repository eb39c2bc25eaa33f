"""The code that the documentation shows runs: the Python blocks of README.md
and of the documentation's pages, and the examples of the public docstrings.

The blocks of one page run in order, in one namespace, as a reader would run
them. A block preceded by a comment "skip-test: <reason>" (HTML in Markdown,
an reST comment in the pages) is left out, with its reason. The figures of
the user guide (``.. plot::`` blocks) and the gallery run when the
documentation is built (make docs), not here.
"""

import doctest
import re
from pathlib import Path

import pytest

pytest.importorskip("torch")
pytest.importorskip("shap")  # the pages explain with SHAP and LIME (the explain extra)

ROOT = Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"

MARKDOWN_BLOCK = re.compile(
    r"(?:<!--\s*skip-test:\s*(?P<skip>.*?)\s*-->\s*\n)?^```python\n(?P<code>.*?)^```", re.S | re.M)
REST_BLOCK = re.compile(
    r"(?:^\.\. skip-test: (?P<skip>.*)\n\n)?^\.\. code-block:: python\n(?:[ \t]+:.*\n)*\n"
    r"(?P<code>(?:(?:[ \t]+.*)?\n)+)", re.M)


def _dedent(code):
    lines = code.rstrip().splitlines()
    indent = min(len(line) - len(line.lstrip()) for line in lines if line.strip())
    return "\n".join(line[indent:] for line in lines) + "\n"


def blocks(path):
    """(code, reason to skip or None) of each Python block of the page."""
    text = path.read_text()
    pattern = MARKDOWN_BLOCK if path.suffix == ".md" else REST_BLOCK
    return [(_dedent(m.group("code")), m.group("skip")) for m in pattern.finditer(text)]


PAGES = [ROOT / "README.md"] + sorted(DOCS.glob("*.rst")) + sorted(DOCS.glob("user_guide/*.rst"))
PAGES_WITH_CODE = [page for page in PAGES if blocks(page)]


def test_the_pages_with_code_are_found():
    names = {page.relative_to(ROOT).as_posix() for page in PAGES_WITH_CODE}
    assert {"README.md", "docs/getting_started.rst", "docs/user_guide/reproducibility.rst",
            "docs/user_guide/sparse.rst", "docs/user_guide/engine.rst"} <= names, names


def test_the_block_patterns_read_code_and_skip_reasons(tmp_path):
    page = tmp_path / "page.rst"
    page.write_text("Title\n=====\n\n.. code-block:: python\n   :caption: x\n\n   a = 1\n\n   b = a\n\n"
                    "text\n\n.. skip-test: needs a cluster\n\n.. code-block:: python\n\n   boom()\n")
    assert blocks(page) == [("a = 1\n\nb = a\n", None), ("boom()\n", "needs a cluster")]
    readme = tmp_path / "README.md"
    readme.write_text("```sh\nmake\n```\n\n```python\nx = 2\n```\n\n"
                      "<!-- skip-test: a notebook -->\n```python\npanel()\n```\n")
    assert blocks(readme) == [("x = 2\n", None), ("panel()\n", "a notebook")]


@pytest.mark.parametrize("page", PAGES_WITH_CODE, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_code_blocks_run(page, monkeypatch, tmp_path):
    import matplotlib

    matplotlib.use("Agg")
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__docs__"}
    skipped = []
    for number, (code, skip) in enumerate(blocks(page), 1):
        if skip:
            skipped.append(skip)
            continue
        try:
            exec(compile(code, "%s, block %d" % (page.name, number), "exec"), namespace)
        except Exception as error:
            pytest.fail("%s, block %d failed: %r\n%s" % (page.name, number, error, code))
    if len(skipped) == len(blocks(page)):
        pytest.skip("every block of %s is shown only: %s" % (page.name, "; ".join(skipped)))


def _public_docstrings():
    from qalvo.experiment import Dataset, Experiment
    from qalvo.models.rampnet import RampNetClassifier, RampNetRegressor

    for owner in (RampNetRegressor, RampNetClassifier, Experiment, Dataset):
        for name in ["__init__"] + sorted(vars(owner)):
            member = vars(owner).get(name, getattr(owner, name))
            doc = getattr(member, "__doc__", None)
            if name.startswith("_") and name != "__init__" or not doc or ">>>" not in doc:
                continue
            yield "%s.%s" % (owner.__name__, name), doc
        if owner.__doc__ and ">>>" in owner.__doc__:
            yield owner.__name__, owner.__doc__


DOCSTRINGS = dict(_public_docstrings())


def test_the_estimators_and_the_experiment_have_examples():
    assert {"RampNetRegressor.__init__", "RampNetClassifier.__init__", "Experiment"} <= set(DOCSTRINGS)


@pytest.mark.parametrize("name", sorted(DOCSTRINGS))
def test_docstring_examples_run(name):
    test = doctest.DocTestParser().get_doctest(DOCSTRINGS[name], {}, name, None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    output = []
    runner.run(test, out=output.append)
    assert runner.failures == 0, "".join(output)
