"""The experiment's global explanations on data with a known structure, its
label mapping, its caching and its answers to bad requests."""

import re
import warnings
from decimal import Decimal
from fractions import Fraction

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402
from sklearn.ensemble import GradientBoostingClassifier, GradientBoostingRegressor  # noqa: E402
from sklearn.linear_model import LinearRegression, LogisticRegression  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import PolynomialFeatures  # noqa: E402

from qalvo.experiment import Experiment  # noqa: E402
from panel_drawing import draw_as_panel  # noqa: E402

NAMES = ["x0", "x1", "noise_a", "noise_b", "flag"]
N = 800


def make_data(seed=0):
    """y = 3*x0 + x1**2 + noise; noise_a, noise_b and the 0/1 flag play no part."""
    rng = np.random.default_rng(seed)
    x = np.column_stack(
        [rng.uniform(-1, 1, (N, 4)), rng.integers(0, 2, N).astype(float)]
    )
    y = 3 * x[:, 0] + x[:, 1] ** 2 + 0.05 * rng.normal(size=N)
    return x, y


@pytest.fixture(scope="module")
def exp():
    x, y = make_data()
    experiment = Experiment(x, y, NAMES, pfi_repeats=3, pdp_max_samples=300)
    experiment.add_model("gbr", GradientBoostingRegressor(n_estimators=80, random_state=0).fit(x, y))
    experiment.add_model("linear", LinearRegression().fit(x, y))
    # Only for the shapes of two-feature effects: x0 and the flag interact.
    interacting = y + 2 * x[:, 0] * x[:, 4]
    experiment.add_model("poly", make_pipeline(PolynomialFeatures(2), LinearRegression()).fit(x, interacting))
    return experiment


def make_labels(x):
    return np.where(3 * x[:, 0] + 3 * x[:, 1] ** 2 > 1, "yes", "no")


@pytest.fixture(scope="module")
def clf_exp():
    x, _ = make_data()
    labels = make_labels(x)
    experiment = Experiment(x, labels, NAMES, pfi_repeats=3, pdp_max_samples=300)
    experiment.add_model("clf", GradientBoostingClassifier(n_estimators=40, random_state=0).fit(x, labels))
    return experiment


# ------------------------------------------------------------ importance


@pytest.mark.parametrize("model", ["gbr", "clf"])
def test_importance_ranks_the_true_features_last(exp, clf_exp, model):
    exp = clf_exp if model == "clf" else exp
    exp.explain_single(model)
    rank = exp.per_vi_rank
    assert sorted(rank) == sorted(NAMES)
    assert rank[-1] == "x0"
    assert rank[-2] == "x1"
    names, importances = exp.permutation_vi(model)
    assert names == rank
    assert np.all(np.diff(importances) >= 0)
    assert importances[-1] > 10 * max(abs(importances[:3]))


def test_importance_chart_puts_the_most_important_feature_on_top(exp, no_figures):
    # What the panel draws: the experiment's ranking through the dashboard's bar chart.
    from qalvo.dashboard.plots import PlotHBar

    names, importances = exp.permutation_vi("gbr")
    figure = PlotHBar().plot(X=names, height=importances, title="Permutation Feature Importance")
    (axes,) = figure.axes
    figure.canvas.draw()
    labels = sorted(axes.get_yticklabels(), key=lambda label: -label.get_window_extent().y0)
    assert [label.get_text() for label in labels[:2]] == ["x0", "x1"]
    bars = sorted(axes.patches, key=lambda bar: -bar.get_window_extent().y0)
    assert bars[0].get_width() == importances.max()


@pytest.mark.parametrize("model, axis", [("gbr", "Drop in R² when shuffled"), ("clf", "Drop in ROC AUC when shuffled")])
def test_importance_chart_names_the_score_that_drops(exp, clf_exp, no_figures, model, axis):
    from qalvo.dashboard.plots import PlotHBar

    experiment = clf_exp if model == "clf" else exp
    names, importances = experiment.permutation_vi(model)
    assert importances.score == ("ROC AUC" if model == "clf" else "R²")
    figure = PlotHBar().plot(X=names, height=importances, title="Permutation Feature Importance")
    assert figure.axes[0].get_xlabel() == axis
    # Shown, then closed: nothing left open in pyplot.
    assert no_figures.get_fignums() == []
    # Plain lengths say nothing they do not know.
    assert PlotHBar().plot(X=names, height=list(importances), title="T").axes[0].get_xlabel() == ""


def two_model_experiment():
    """y = 3*x0 + 2*noise_a; model "a" predicts from x0 alone, "b" from noise_a alone."""
    x, _ = make_data()
    experiment = Experiment(x, 3 * x[:, 0] + 2 * x[:, 2], NAMES, pfi_repeats=2)
    experiment.add_model("a", LinearRegression().fit(x, 3 * x[:, 0]))
    experiment.add_model("b", LinearRegression().fit(x, 2 * x[:, 2]))
    return experiment, x


def test_per_vi_rank_follows_the_model_last_explained():
    experiment, _ = two_model_experiment()
    experiment.explain_single("b")
    assert experiment.per_vi_rank[-1] == "noise_a"
    experiment.explain_single("a")
    assert experiment.per_vi_rank[-1] == "x0"


def test_per_vi_rank_before_any_explanation():
    x, y = make_data()
    with pytest.raises(AttributeError, match=re.escape("per_vi_rank is set by explain_single(name)")):
        Experiment(x, y).per_vi_rank


def test_replacing_a_model_drops_its_cached_results():
    experiment, x = two_model_experiment()
    experiment.explain_single("a")
    first_pdp = experiment.pdp_explain("a", "x0")
    assert experiment.per_vi_rank[-1] == "x0"
    experiment.add_model("a", LinearRegression().fit(x, 2 * x[:, 2]))
    assert experiment.per_vi_rank[-1] == "noise_a"
    second_pdp = experiment.pdp_explain("a", "x0")
    assert np.ptp(second_pdp["average"][0]) < 1e-9 < np.ptp(first_pdp["average"][0])


def test_results_are_copies(exp):
    exp.explain_single("gbr")
    exp.per_vi_rank.reverse()
    exp.permutation_vi("gbr")[0].clear()
    exp.pdp_explain("gbr", "x0")["average"][0][:] = 0
    exp.ale_explain("gbr", "x1")[1][:] = 0
    assert exp.per_vi_rank[-1] == "x0"
    assert np.ptp(exp.pdp_explain("gbr", "x0")["average"][0]) > 1
    assert np.ptp(exp.ale_explain("gbr", "x1")[1]) > 0.3


# -------------------------------------------------------- partial dependence


def test_pdp_of_x0_increases_with_slope_three(exp):
    result = exp.pdp_explain("gbr", "x0", None)
    grid, average = result["values"][0], result["average"][0]
    assert len(result["values"]) == 1
    assert grid.shape == average.shape == (50,)
    assert np.all(np.diff(grid) > 0)
    assert np.all(np.diff(average) >= -0.05)
    slope = (average[-1] - average[0]) / (grid[-1] - grid[0])
    assert slope == pytest.approx(3, rel=0.1)


def test_pdp_of_a_classifier_is_the_probability_of_the_second_class(clf_exp):
    # classes_ are "no", "yes": the probability of "yes" rises with x0.
    average = clf_exp.pdp_explain("clf", "x0")["average"][0]
    assert 0 <= average.min() < average.max() <= 1
    assert average[-1] > average[0] + 0.5


def test_pdp_pair_shape_follows_the_panel_image(exp):
    # flag has two values: its grid has two points against 20 for x0.
    result = exp.pdp_explain("linear", "x0", "flag")
    v0, v1 = result["values"]
    surface = result["average"][0]
    assert v0.shape == (20,)
    np.testing.assert_array_equal(v1, [0, 1])
    assert surface.shape == (2, 20)
    model = exp.models["linear"]
    # Row 0 is the top of the image: flag = 1; column 0 is x0 at its minimum.
    w = model.coef_
    assert surface[0, -1] - surface[1, -1] == pytest.approx(w[4])
    assert surface[1, -1] - surface[1, 0] == pytest.approx(w[0] * (v0[-1] - v0[0]))


def test_pdp_of_equal_features_is_the_single_feature_curve(exp):
    single = exp.pdp_explain("gbr", "x1")
    same = exp.pdp_explain("gbr", "x1", "x1")
    np.testing.assert_array_equal(same["values"][0], single["values"][0])
    np.testing.assert_array_equal(same["values"][1], single["values"][0])
    np.testing.assert_array_equal(same["average"][0], single["average"][0])


# ------------------------------------------------- accumulated local effects


def test_ale_of_x1_is_u_shaped(exp):
    positions, effect = exp.ale_explain("gbr", "x1")
    assert positions.shape == effect.shape == (41,)
    lowest = np.argmin(effect)
    assert abs(positions[lowest]) < 0.25
    assert effect[0] > effect[lowest] + 0.6 and effect[-1] > effect[lowest] + 0.6
    # x1**2 centred over the data: within the model's own error.
    truth = positions**2 - np.mean(exp.data.x[:, 1] ** 2)
    assert np.max(np.abs(effect - truth)) < 0.15


def test_ale_of_x0_is_linear_with_slope_three(exp):
    positions, effect = exp.ale_explain("gbr", "x0")
    slope = np.polyfit(positions, effect, 1)[0]
    assert slope == pytest.approx(3, rel=0.1)


def test_ale_pair_without_interaction_is_none(exp):
    assert exp.ale_explain("linear", "x0", "x1") is None
    assert exp.ale_explain("gbr", "x0", "x0") is None


def test_ale_pair_shape_follows_the_panel_image(exp):
    # 20 quantile bins of x0, read at four evenly spaced values per bin; the
    # flag's one bin, from 0 to 1, as it is.
    grid0, grid1, effect = exp.ale_explain("poly", "x0", "flag")
    assert grid0.shape == (81,)
    np.testing.assert_allclose(np.diff(grid0), np.ptp(grid0) / 80)
    assert (grid0.min(), grid0.max()) == (exp.data.x[:, 0].min(), exp.data.x[:, 0].max())
    np.testing.assert_array_equal(grid1, [0, 1])
    assert effect.shape == (2, 81)


def test_ale_pair_of_skewed_features_is_placed_where_the_values_are():
    # f = x0 * x1 with x0 log-normal (its quantile bins crowd near the low
    # end). The interaction, about (x0 - a) * (x1 - b), is linear in x0 along
    # a row of the image when read at the evenly spaced values that the
    # panel's image spreads its pixels over (within 1% of its range; the main
    # effects removed are estimates), far from linear at the quantile edges
    # (60% off).
    rng = np.random.default_rng(3)
    x = np.column_stack([rng.lognormal(0, 1, 1000), rng.uniform(0, 1, 1000)])
    model = make_pipeline(PolynomialFeatures(2, interaction_only=True), LinearRegression())
    experiment = Experiment(x, x[:, 0] * x[:, 1], ["skewed", "even"], ale_bins_2d=10)
    experiment.add_model("m", model.fit(x, x[:, 0] * x[:, 1]))
    grid0, grid1, effect = experiment.ale_explain("m", "skewed", "even")
    np.testing.assert_allclose(np.diff(grid0), np.ptp(x[:, 0]) / (len(grid0) - 1))
    top, bottom = effect[0], effect[-1]  # x1 at its highest, at its lowest
    for row in (top, bottom):
        slope, intercept = np.polyfit(grid0, row, 1)
        np.testing.assert_allclose(row, slope * grid0 + intercept, rtol=0, atol=0.01 * np.ptp(row))
    assert np.polyfit(grid0, top, 1)[0] > 0 > np.polyfit(grid0, bottom, 1)[0]


def colour_at(figure, x, y):
    figure.canvas.draw()
    pixels = np.asarray(figure.canvas.buffer_rgba())
    px, py = figure.axes[0].transData.transform((x, y))
    return pixels[int(round(pixels.shape[0] - py)), int(round(px))] / 255.0


@pytest.fixture(scope="module")
def product_exp():
    """An exact model of f = x0 * x1**2, x0 in [0, 10], x1 in [0, 1]: largest
    at the top right of the image (x0 = 10, x1 = 1), zero along x0 = 0 and x1 = 0."""
    rng = np.random.default_rng(1)
    x = np.column_stack([rng.uniform(0, 10, 1000), rng.uniform(0, 1, 1000)])
    y = x[:, 0] * x[:, 1] ** 2
    experiment = Experiment(x, y, ["wide", "narrow"], pdp_grid_2d=12, ale_bins_2d=10)
    experiment.add_model("m", make_pipeline(PolynomialFeatures(3), LinearRegression()).fit(x, y))
    return experiment


def test_pdp_image_puts_feature0_across_and_feature1_up(product_exp):
    result = product_exp.pdp_explain("m", "wide", "narrow")
    v0, v1 = result["values"]
    figure, shown = draw_as_panel(result["average"][0], v0, v1)
    # Just inside each corner of the drawn area, the colour of f there.
    dx, dy = (v0.max() - v0.min()) / 100, (v1.max() - v1.min()) / 100
    for x, y in [
        (v0.min() + dx, v1.max() - dy),
        (v0.max() - dx, v1.max() - dy),
        (v0.min() + dx, v1.min() + dy),
        (v0.max() - dx, v1.min() + dy),
    ]:
        x_grid = v0[np.argmin(abs(v0 - x))]
        y_grid = v1[np.argmin(abs(v1 - y))]
        expected = shown.cmap(shown.norm(x_grid * y_grid**2))
        np.testing.assert_allclose(colour_at(figure, x, y), expected, atol=2 / 255)
    plt.close(figure)


def test_ale_image_puts_feature0_across_and_feature1_up(product_exp):
    # The interaction of x0 * x1**2 is (x0 - a) * (x1**2 - b): highest at the
    # top right, lowest at the top left, positive at the bottom left.
    v0, v1, effect = product_exp.ale_explain("m", "wide", "narrow")
    figure, shown = draw_as_panel(effect, v0, v1)
    dx, dy = (v0.max() - v0.min()) / 100, (v1.max() - v1.min()) / 100
    top_right = colour_at(figure, v0.max() - dx, v1.max() - dy)
    top_left = colour_at(figure, v0.min() + dx, v1.max() - dy)
    np.testing.assert_allclose(top_right, shown.cmap(shown.norm(effect.max())), atol=2 / 255)
    np.testing.assert_allclose(top_left, shown.cmap(shown.norm(effect.min())), atol=2 / 255)
    assert effect[-1, 0] > 0 > effect[-1, -1]
    plt.close(figure)


# ------------------------------------------------------------------ data


def test_labels_are_names_cut_to_fifteen_characters():
    x = np.zeros((3, 4))
    names = ["short", "exactly_fifteen", "a_rather_long_name_1", "a_rather_long_name_2"]
    labels = Experiment(x, np.arange(3.0), names).data.truncated_columns_dict[15]
    assert labels["short"] == "short"
    assert labels["exactly_fifteen"] == "exactly_fifteen"
    # Both long names cut to "a_rather_long_…": numbered so that they stay apart.
    assert labels["a_rather_long_name_1"] == "a_rather_lon~1…"
    assert labels["a_rather_long_name_2"] == "a_rather_lon~2…"


@pytest.mark.parametrize(
    "names",
    [
        ["sixteen_chars_ab", "sixteen_chars_ac", "abcdefghijklmnop_q"],
        ["customer_balance_2019", "customer_balance_2020", "customer_balance_2021", "customer_bal"],
        # A name that looks like a numbered label already.
        ["abcdefghijkl~1…", "abcdefghijklmnopq", "abcdefghijklmnopr"],
        ["p" * 15, "p" * 16, "p" * 17, "p" * 14 + "…"],
    ],
)
def test_cut_labels_end_in_an_ellipsis_and_stay_distinct(names):
    labels = Experiment(np.zeros((2, len(names))), [0.0, 1.0], names).data.truncated_columns_dict[15]
    assert set(labels) == set(names)
    assert len(set(labels.values())) == len(names)
    for name, label in labels.items():
        assert len(label) <= 15
        if len(name) > 15:
            assert label.endswith("…")
        if label != name:
            assert label.endswith("…")


def test_other_label_lengths_on_demand():
    labels = Experiment(np.zeros((2, 2)), [0.0, 1.0], ["alpha", "beta"]).data.truncated_columns_dict
    assert labels[3] == {"alpha": "al…", "beta": "be…"}
    assert labels[5] == {"alpha": "alpha", "beta": "beta"}


def test_dataframe_gives_names_and_models_fitted_on_frames_get_frames():
    x, y = make_data()
    frame = pd.DataFrame(x, columns=NAMES)
    model = LinearRegression().fit(frame, y)
    experiment = Experiment(frame, y, pfi_repeats=1)
    assert experiment.data.feature_names == NAMES
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # "X does not have valid feature names"
        experiment.add_model("m", model)
        experiment.explain_single("m")
        experiment.pdp_explain("m", "x0", "x1")
    assert experiment.data.x.shape == (N, 5)


def test_data_are_read_only(exp):
    with pytest.raises(ValueError):
        exp.data.x[0, 0] = 1.0


# ---------------------------------------------------------- bad requests


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda e: e.explain_single("nope"), KeyError, "unknown model 'nope'; models held: 'gbr', 'linear', 'poly'"),
        (lambda e: e.permutation_vi("nope"), KeyError, "unknown model 'nope'"),
        (lambda e: e.pdp_explain("nope", "x0", None), KeyError, "unknown model 'nope'"),
        (lambda e: e.ale_explain("nope", "x0", None), KeyError, "unknown model 'nope'"),
        (
            lambda e: e.local_explain(reg_model_name="nope", method="SHAP", sample_index=0),
            KeyError,
            "unknown model 'nope'",
        ),
        (
            lambda e: e.pdp_explain("gbr", "x9", None),
            KeyError,
            "unknown feature 'x9'; features: 'x0', 'x1', 'noise_a', 'noise_b', 'flag'",
        ),
        (lambda e: e.ale_explain("gbr", "x0", "x9"), KeyError, "unknown feature 'x9'"),
        (
            lambda e: e.local_explain(reg_model_name="gbr", method="SHAP", sample_index=N),
            ValueError,
            "sample_index 800 is out of range: the data have 800 samples (0 to 799)",
        ),
        (
            lambda e: e.local_explain(reg_model_name="gbr", method="LIME", sample_index=-1),
            ValueError,
            "sample_index -1 is out of range",
        ),
        (
            lambda e: e.local_explain(reg_model_name="gbr", method="LIME", sample_index=1.5),
            ValueError,
            "sample_index must be an integer, got 1.5",
        ),
        (
            lambda e: e.local_explain(reg_model_name="gbr", method="shap", sample_index=0),
            ValueError,
            "method must be 'SHAP' or 'LIME', not 'shap'",
        ),
    ],
)
def test_bad_requests_name_what_was_asked(exp, call, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call(exp)


@pytest.mark.parametrize(
    "model, message",
    [
        (LinearRegression(), "model 'm' is not fitted"),
        (LinearRegression().fit(np.zeros((3, 2)), [0, 1, 2]), "model 'm' was fitted on 2 features, the experiment's data have 5"),
        (
            LogisticRegression().fit(np.arange(6.0)[:, None].repeat(5, 1), [0, 0, 1, 1, 2, 2]),
            "model 'm': only binary classifiers are supported, it has 3 classes",
        ),
    ],
)
def test_models_that_cannot_be_explained_are_refused(model, message):
    x, y = make_data()
    with pytest.raises(ValueError, match=re.escape(message)):
        Experiment(x, y, NAMES).add_model("m", model)


@pytest.mark.parametrize(
    "response, message",
    [
        ("numbers", "model 'm' classifies 'no' and 'yes', but the experiment's response holds other values, such as"),
        ("one class", "model 'm' classifies 'no' and 'yes', but the experiment's response holds only 'yes'"),
    ],
)
def test_classifier_needs_a_response_of_its_classes(response, message):
    x, y = make_data()
    labels = make_labels(x)
    model = LogisticRegression().fit(x, labels)
    y = y if response == "numbers" else np.full(N, "yes")
    with pytest.raises(ValueError, match=re.escape(message)):
        Experiment(x, y, NAMES).add_model("m", model)


@pytest.mark.parametrize(
    "names, kwargs, message",
    [
        (["a", "b"], {}, "2 feature names given for 5 features"),
        (["a", "b", "a", "c", "c"], {}, "feature names must be distinct; repeated: a, c"),
        (NAMES, {"pfi_repeats": 0}, "pfi_repeats must be a positive integer, got 0"),
        (NAMES, {"pdp_grid": 1}, "pdp_grid and pdp_grid_2d must be at least 2"),
        (NAMES, {"random_state": np.random.RandomState(0)}, "random_state must be a non-negative integer or None"),
    ],
)
def test_bad_experiment_settings(names, kwargs, message):
    x, y = make_data()
    with pytest.raises(ValueError, match=re.escape(message)):
        Experiment(x, y, names, **kwargs)


def test_regressor_needs_a_numeric_response():
    x, y = make_data()
    message = "model 'm' is a regressor, but the experiment's response is not numeric"
    with pytest.raises(ValueError, match=re.escape(message)):
        Experiment(x, make_labels(x), NAMES).add_model("m", LinearRegression().fit(x, y))


def test_pfi_sample_size_larger_than_the_data_uses_all_rows():
    x, y = make_data()
    experiment = Experiment(x, y, NAMES, pfi_repeats=1, pfi_max_samples=10 * N)
    experiment.add_model("m", LinearRegression().fit(x, y))
    assert experiment.permutation_vi("m")[0][-1] == "x0"


@pytest.mark.parametrize(
    "response, message",
    [
        ([0.0, np.nan, 2.0, 3.0], "the response y holds 1 NaN or infinite value (the first at row 1, nan)"),
        ([0.0, 1.0, np.inf, -np.inf], "the response y holds 2 NaN or infinite values (the first at row 2, inf)"),
        (np.array([1, 2, float("nan"), 4], dtype=object), "the response y holds 1 NaN or infinite value"),
        (pd.Series([1.0, 2.0, None, 4.0]), "the response y holds 1 NaN or infinite value (the first at row 2, nan)"),
    ],
)
def test_non_finite_response_is_refused(response, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        Experiment(np.zeros((4, 2)), response)


@pytest.mark.parametrize(
    "response",
    [
        [0, 1, 0, 1],
        ["a", "b", "a", "b"],
        [True, False, True, True],
        np.array(["x", 1, 2.5, "y"], dtype=object),
        np.array([Decimal("1.5"), Fraction(1, 3), 2, np.float32(4)], dtype=object),
    ],
)
def test_finite_responses_of_every_kind_are_accepted(response):
    assert len(Experiment(np.zeros((4, 2)), response).data.y) == 4


def test_response_of_another_length_is_refused():
    x, y = make_data()
    with pytest.raises(ValueError, match="inconsistent numbers of samples"):
        Experiment(x, y[:-1])
