"""Optional dependencies: each extra brings what its part of qalvo imports, and
a package that is not installed fails with the pip command that installs it
(chained to the import's own error), at the first use that needs it."""

import pathlib
import re
import textwrap

import pytest

from qalvo._optional import EXTRA_MODULES, import_optional, missing_package_error

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Distributions imported under another name.
IMPORT_NAMES = {"ipython": "IPython"}

SHAP = "Explaining with SHAP needs shap: pip install 'qalvo[explain]'"
LIME = "Explaining with LIME needs lime: pip install 'qalvo[explain]'"
DRAWING = "Drawing an explanation needs matplotlib: pip install 'qalvo[explain]'"
PANDAS = "Explaining a model fitted on a DataFrame needs pandas: pip install 'qalvo[explain]'"

# A meta-path finder that makes packages look uninstalled, as the import
# system reports it (ModuleNotFoundError naming the module).
REFUSE = """
import sys

class Refuse:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] in REFUSED:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None

sys.meta_path.insert(0, Refuse())
"""


def refusing(packages, code):
    """A script that runs ``code`` where ``packages`` look uninstalled."""
    return f"REFUSED = {tuple(packages)!r}\n" + REFUSE + textwrap.dedent(code)


def extras_of_pyproject():
    tomllib = pytest.importorskip("tomllib")
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    return project["optional-dependencies"]


def distribution(requirement):
    return re.split(r"[\s<>=!~;\[]", requirement, maxsplit=1)[0]


def test_each_extra_installs_the_modules_named_for_it():
    extras = extras_of_pyproject()
    installs = {
        extra: sorted(IMPORT_NAMES.get(distribution(r), distribution(r)) for r in requirements)
        for extra, requirements in extras.items()
    }
    assert installs == {extra: sorted(modules) for extra, modules in EXTRA_MODULES.items()}
    # The panel explains with SHAP and LIME: its extra brings them, as explain does.
    assert set(extras["explain"]) <= set(extras["dashboard"])


def test_every_requirement_of_an_extra_has_a_pin_it_admits():
    requirements = pytest.importorskip("packaging.requirements")
    pins = {}
    for line in (ROOT / "constraints.txt").read_text().splitlines():
        line = line.split("#", 1)[0].strip()
        if "==" in line:
            name, version = line.split("==")
            pins[name.strip().lower()] = version.strip()
    for extra, listed in extras_of_pyproject().items():
        for text in listed:
            requirement = requirements.Requirement(text)
            pin = pins.get(requirement.name.lower())
            assert pin is not None, f"{extra}: {text} has no pin"
            assert requirement.specifier.contains(pin, prereleases=True), (extra, text, pin)


# Failures that installing the extra would not mend keep their own error.
OTHER_FAILURES = [
    # a dependency of an installed package, outside the extra
    ("shap", "explain", ModuleNotFoundError("No module named 'numba'", name="numba")),
    # a module inside an installed package: a broken installation
    ("shap", "explain", ModuleNotFoundError("No module named 'shap.plots'", name="shap.plots")),
    # installed, but not what was expected of it
    ("IPython.display", "dashboard", ImportError("cannot import name 'display'", name="IPython")),
]


@pytest.mark.parametrize("module, extra, error", OTHER_FAILURES)
def test_other_import_failures_are_left_as_they_are(module, extra, error):
    assert missing_package_error(error, module, extra, "This") is None


def test_an_installed_package_that_fails_to_import_keeps_its_error(tmp_path, monkeypatch):
    (tmp_path / "qalvo_probe.py").write_text("import qalvo_probe_dependency\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    with pytest.raises(ModuleNotFoundError) as raised:
        import_optional("qalvo_probe", "explain", "This")
    assert str(raised.value) == "No module named 'qalvo_probe_dependency'"
    assert raised.value.__cause__ is None


def test_the_experiment_needs_none_of_its_extras_until_they_are_used(run_python):
    result = run_python(refusing(
        ["shap", "lime", "pandas", "matplotlib"],
        """
        import numpy as np
        from sklearn.linear_model import LinearRegression
        from qalvo.experiment import Experiment, plots

        rng = np.random.default_rng(0)
        x = rng.uniform(-1, 1, (60, 2))
        y = x @ [2.0, -1.0]
        exp = Experiment(x, y, ["a", "b"], pfi_repeats=2)
        exp.add_model("m", LinearRegression().fit(x, y))
        framed = LinearRegression().fit(x, y)
        framed.feature_names_in_ = np.array(["a", "b"], dtype=object)  # as if fitted on a DataFrame
        print("IMPORTANCE", exp.permutation_vi("m")[0])
        print("LOADED", sorted(name for name in ("shap", "lime", "pandas", "matplotlib")
                               if name in sys.modules))
        calls = [
            lambda: exp.local_values("m", "SHAP", [0]),
            lambda: exp.local_explain(reg_model_name="m", method="SHAP", sample_index=0),
            lambda: exp.local_values("m", "LIME", [0]),
            lambda: plots.partial_dependence(exp, "m", "a"),
            lambda: exp.add_model("framed", framed),
        ]
        for call in calls:
            try:
                call()
            except ModuleNotFoundError as error:
                # `raise ... from error`: the cause is shown, not also the context
                assert error.__suppress_context__ and error.__context__ is error.__cause__
                print("FAILED", error, "|", error.__cause__)
        """,
    ))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "IMPORTANCE ['b', 'a']",
        "LOADED []",
        f"FAILED {SHAP} | No module named 'shap'",
        f"FAILED {SHAP} | No module named 'shap'",
        f"FAILED {LIME} | No module named 'lime'",
        f"FAILED {DRAWING} | No module named 'matplotlib'",
        f"FAILED {PANDAS} | No module named 'pandas'",
    ]


# The compiled module's set-up: tests/test_board_loading.py.
@pytest.mark.parametrize("refused, module", [("ipywidgets", "qalvo.dashboard.widgets"),
                                             ("matplotlib", "qalvo.dashboard.plots")])
def test_the_dashboard_without_its_extra_names_it(run_python, refused, module):
    result = run_python(refusing(
        [refused],
        f"""
        try:
            import {module}
        except ModuleNotFoundError as error:
            print("FAILED", error, "|", error.__cause__)
        print("LEFT", {module!r} in sys.modules)
        """,
    ))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f"FAILED qalvo.dashboard needs {refused}: pip install 'qalvo[dashboard]' | "
        f"No module named {refused!r}",
        "LEFT False",
    ]
