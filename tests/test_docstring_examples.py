"""The Examples sections of the experiment's docstrings run as written."""

import doctest

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import pytest  # noqa: E402

import qalvo.experiment.core  # noqa: E402
import qalvo.experiment.plots  # noqa: E402


def examples(module):
    finder = doctest.DocTestFinder(exclude_empty=True)
    return [test for test in finder.find(module) if test.examples]


@pytest.mark.parametrize(
    "test",
    examples(qalvo.experiment.core) + examples(qalvo.experiment.plots),
    ids=lambda test: test.name.replace("qalvo.experiment.", ""),
)
def test_examples_run(test, no_figures):
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test, out=lambda text: pytest.fail(text, pytrace=False))
    assert runner.failures == 0 and runner.tries == len(test.examples)
    plt.close("all")
