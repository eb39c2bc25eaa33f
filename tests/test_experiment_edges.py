"""The experiment at its edges: names that contradict a DataFrame, too few rows,
a response on which the importance score is undefined, models without `fit`
and models of several outputs. Each is a clear error or a sound result."""

import re

import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import LinearRegression, LogisticRegression
from sklearn.multioutput import MultiOutputRegressor

from qalvo.experiment import Experiment

N = 120


def data(seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1, 1, (N, 3))
    return x, 2 * x[:, 0] - x[:, 1]


# ------------------------------------------------------------ feature names


@pytest.mark.parametrize(
    "names, position, given, column",
    [(["b", "a", "c"], 0, "'b'", "'a'"), (["a", "b", "z"], 2, "'z'", "'c'")],
)
def test_names_contradicting_a_frame_s_columns_are_refused(names, position, given, column):
    x, y = data()
    frame = pd.DataFrame(x, columns=["a", "b", "c"])
    message = (
        "feature_names differ from the DataFrame's columns: at position %d, %s against the column %s; "
        "leave feature_names out to take the columns' names" % (position, given, column)
    )
    with pytest.raises(ValueError, match=re.escape(message)):
        Experiment(frame, y, names)


def test_names_that_agree_with_a_frame_or_label_its_numbered_columns_are_taken():
    x, y = data()
    assert Experiment(pd.DataFrame(x, columns=["a", "b", "c"]), y, ["a", "b", "c"]).data.feature_names == ["a", "b", "c"]
    # A frame's default column numbers name nothing a model could know.
    assert Experiment(pd.DataFrame(x), y, ["p", "q", "r"]).data.feature_names == ["p", "q", "r"]


# --------------------------------------------------------------- row count


@pytest.mark.parametrize("rows", [0, 1])
def test_experiments_of_fewer_than_two_rows_are_refused(rows):
    message = "an experiment needs at least two samples; the data have %d" % rows
    with pytest.raises(ValueError, match=re.escape(message)):
        Experiment(np.zeros((rows, 3)), np.zeros(rows))


# ------------------------------------------- undefined importance scores


def test_constant_regression_response_is_refused_before_importances():
    x, y = data()
    experiment = Experiment(x, np.full(N, 3.0), ["a", "b", "c"])
    experiment.add_model("m", LinearRegression().fit(x, y))
    message = (
        "permutation importance of model 'm' is undefined: the experiment's data hold a constant "
        "response (every value is 3.0), for which R² is undefined"
    )
    for call in (experiment.explain_single, experiment.permutation_importance, experiment.permutation_vi):
        with pytest.raises(ValueError, match=re.escape(message)):
            call("m")
    # What does not compare with the response is still there.
    assert np.ptp(experiment.pdp_explain("m", "a")["average"][0]) > 3


def regression_with_rare_values(pfi_max_samples, n_jobs=1):
    """y is 0 except on 2 rows of 120: a few rows drawn hold a constant response."""
    x, _ = data()
    y = np.zeros(N)
    y[[50, 90]] = 1.0
    experiment = Experiment(x, y, ["a", "b", "c"], pfi_repeats=2, pfi_max_samples=pfi_max_samples, n_jobs=n_jobs)
    return experiment.add_model("m", LinearRegression().fit(x, y))


def classification_with_a_rare_class(pfi_max_samples):
    x, _ = data()
    labels = np.array(["common"] * N, dtype=object)
    labels[[50, 90]] = "rare"
    experiment = Experiment(x, labels, ["a", "b", "c"], pfi_repeats=2, pfi_max_samples=pfi_max_samples)
    return experiment.add_model("c", LogisticRegression().fit(x, labels))


@pytest.mark.parametrize(
    "build, message",
    [
        (
            lambda: regression_with_rare_values(1),
            "permutation importance of model 'm' is undefined: the one row drawn for each permutation "
            "(pfi_max_samples=1) is a single sample, for which R² is undefined; raise pfi_max_samples",
        ),
        (
            lambda: regression_with_rare_values(4),
            "permutation importance of model 'm' is undefined: the 4 rows drawn for each permutation "
            "(pfi_max_samples=4) hold a constant response (every value is 0.0), for which R² is undefined; "
            "raise pfi_max_samples",
        ),
        (
            lambda: regression_with_rare_values(4, n_jobs=2),  # raised in a worker process
            "the 4 rows drawn for each permutation (pfi_max_samples=4) hold a constant response",
        ),
        (
            lambda: classification_with_a_rare_class(5),
            "permutation importance of model 'c' is undefined: the 5 rows drawn for each permutation "
            "(pfi_max_samples=5) hold one class only, 'common', for which ROC AUC is undefined; "
            "raise pfi_max_samples",
        ),
    ],
)
def test_rows_drawn_on_which_the_score_is_undefined_are_refused(build, message):
    experiment = build()
    with pytest.raises(ValueError, match=re.escape(message)):
        experiment.explain_single(list(experiment.models)[0])
    with pytest.raises(AttributeError, match=re.escape("per_vi_rank is set by explain_single(name)")):
        experiment.per_vi_rank


def test_enough_rows_drawn_give_finite_importances():
    experiment = regression_with_rare_values(100)
    assert np.all(np.isfinite(experiment.permutation_importance("m").importances))


# -------------------------------------------------------------- the models


class HandWritten:
    """A prediction rule with nothing to fit, hence no `fit`."""

    def __init__(self, ready=None):
        if ready is not None:
            self.__sklearn_is_fitted__ = lambda: ready

    def predict(self, x):
        return 2 * np.asarray(x)[:, 0]


def test_a_model_without_fit_is_ready_as_it_is():
    x, y = data()
    experiment = Experiment(x, y, ["a", "b", "c"]).add_model("f", HandWritten())
    slope = np.diff(experiment.pdp_explain("f", "a")["average"][0]) / np.diff(experiment.pdp_explain("f", "a")["values"][0])
    np.testing.assert_allclose(slope, 2.0)
    # Unless it says otherwise.
    with pytest.raises(ValueError, match=re.escape("model 'g' is not fitted")):
        experiment.add_model("g", HandWritten(ready=False))


@pytest.mark.parametrize(
    "model",
    [
        lambda x, y: LinearRegression().fit(x, np.column_stack([y, -y, y])),
        lambda x, y: MultiOutputRegressor(LinearRegression()).fit(x, np.column_stack([y, -y, y])),
    ],
)
def test_multi_output_regressors_are_refused_by_name(model):
    x, y = data()
    message = (
        "model 'm' predicts 3 outputs per sample (a multi-output regressor); only models of a single "
        "output can be explained: hold one model per output"
    )
    experiment = Experiment(x, y, ["a", "b", "c"])
    with pytest.raises(ValueError, match=re.escape(message)):
        experiment.add_model("m", model(x, y))
    assert experiment.models == {}


def test_a_single_output_in_a_column_is_one_output():
    x, y = data()
    experiment = Experiment(x, y, ["a", "b", "c"]).add_model("m", LinearRegression().fit(x, y[:, None]))
    assert experiment.permutation_vi("m")[0][-1] == "a"
