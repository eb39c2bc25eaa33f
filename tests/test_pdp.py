"""Partial dependence against brute force, on the grids that the dashboard
draws: evenly spaced values for the two-feature image (every pixel at the value
it shows, also for few-valued, unevenly spaced features), and the same range as
ALE for the one-feature curve."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402
from sklearn.base import BaseEstimator, RegressorMixin  # noqa: E402
from sklearn.ensemble import GradientBoostingRegressor  # noqa: E402

from qalvo.experiment import Experiment  # noqa: E402
from panel_drawing import draw_as_panel  # noqa: E402

N = 300
NAMES = ["uneven", "smooth", "flag", "skewed"]


class Exact(RegressorMixin, BaseEstimator):
    """f = sqrt(uneven) * (1 + smooth) + flag * smooth**2 + log1p(skewed)."""

    def fit(self, x, y=None):
        self.n_features_in_ = 4
        return self

    def predict(self, x):
        x = np.asarray(x)
        return np.sqrt(x[:, 0]) * (1 + x[:, 1]) + x[:, 2] * x[:, 1] ** 2 + np.log1p(x[:, 3])


def make_data(seed=0):
    rng = np.random.default_rng(seed)
    return np.column_stack(
        [
            rng.choice([0.0, 1.0, 10.0], N, p=[0.5, 0.3, 0.2]),
            rng.uniform(-1, 1, N),
            rng.integers(0, 2, N).astype(float),
            rng.lognormal(0, 1, N),
        ]
    )


@pytest.fixture(scope="module")
def experiment():
    x = make_data()
    y = Exact().fit(x).predict(x)
    experiment = Experiment(x, y, NAMES, pdp_grid=30, pdp_grid_2d=20, pdp_max_samples=N)
    experiment.add_model("exact", Exact().fit(x))
    experiment.add_model("gbr", GradientBoostingRegressor(n_estimators=30, random_state=0).fit(x, y))
    return experiment


def brute_force(experiment, name, settings):
    """Mean prediction over the data (all rows: pdp_max_samples is N), with
    each (column, value) of ``settings`` set."""
    z = np.array(experiment.data.x)
    for column, value in settings:
        z[:, column] = value
    return experiment.models[name].predict(z).mean()


@pytest.mark.parametrize("name", ["exact", "gbr"])
@pytest.mark.parametrize("feature", NAMES)
def test_one_feature_pdp_is_the_mean_prediction_at_each_grid_value(experiment, name, feature):
    result = experiment.pdp_explain(name, feature)
    (grid,), (average,) = result["values"], result["average"]
    column = NAMES.index(feature)
    expected = [brute_force(experiment, name, [(column, v)]) for v in grid]
    np.testing.assert_allclose(average, expected, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("name", ["exact", "gbr"])
@pytest.mark.parametrize("pair", [("uneven", "smooth"), ("smooth", "uneven"), ("flag", "skewed"), ("skewed", "uneven")])
def test_pdp_pair_is_the_mean_prediction_at_each_pixel(experiment, name, pair):
    result = experiment.pdp_explain(name, *pair)
    (grid0, grid1), (image,) = result["values"], result["average"]
    assert image.shape == (len(grid1), len(grid0))
    i, j = NAMES.index(pair[0]), NAMES.index(pair[1])
    for r in range(len(grid1)):
        for c in range(len(grid0)):
            # Row 0 is the top of the image: feature1 at its highest.
            expected = brute_force(experiment, name, [(i, grid0[c]), (j, grid1[-1 - r])])
            assert image[r, c] == pytest.approx(expected, rel=1e-12, abs=1e-12)


@pytest.mark.parametrize(
    "feature, expected",
    [
        ("uneven", np.arange(11.0)),  # {0, 1, 10}: every value on an evenly spaced grid
        ("flag", [0.0, 1.0]),
    ],
)
def test_pdp_pair_of_few_valued_features_is_on_an_even_grid_through_their_values(experiment, feature, expected):
    grid0, grid1 = experiment.pdp_explain("exact", feature, "smooth")["values"]
    np.testing.assert_allclose(grid0, expected, rtol=0, atol=1e-12)
    smooth = experiment.data.x[:, 1]
    np.testing.assert_allclose(grid1, np.linspace(smooth.min(), smooth.max(), 20))


def test_each_pixel_shows_the_value_at_its_position(experiment, no_figures):
    # Along the few-valued, unevenly spaced feature, the colour drawn at u is
    # that of the partial dependence at u itself: at u = 1 the value for 1 (not
    # 0), at u = 4 the value for 4.
    result = experiment.pdp_explain("exact", "uneven", "flag")
    (v0, v1), (image,) = result["values"], result["average"]
    figure, shown = draw_as_panel(image, v0, v1)
    figure.canvas.draw()
    pixels = np.asarray(figure.canvas.buffer_rgba()) / 255.0
    flag_one = v1.max() - 0.05  # the top row: flag = 1
    for u in [0.2, 1.0, 4.0, 7.0, 9.8]:
        px, py = figure.axes[0].transData.transform((u, flag_one))
        colour = pixels[int(round(pixels.shape[0] - py)), int(round(px))]
        nearest = v0[np.argmin(abs(v0 - u))]
        value = brute_force(experiment, "exact", [(0, nearest), (2, 1.0)])
        assert abs(nearest - u) <= 0.2
        np.testing.assert_allclose(colour, shown.cmap(shown.norm(value)), atol=2 / 255)


@pytest.mark.parametrize("feature", NAMES)
def test_one_feature_pdp_and_ale_span_the_feature_s_whole_range(experiment, feature):
    values = experiment.data.x[:, NAMES.index(feature)]
    grid = experiment.pdp_explain("exact", feature)["values"][0]
    positions, _ = experiment.ale_explain("exact", feature)
    assert grid.min() == positions.min() == values.min()
    assert grid.max() == positions.max() == values.max()
    assert np.all(np.diff(grid) > 0)


@pytest.mark.parametrize(
    "values, size, line, even",
    [
        ([3.0, 3.0], 5, [3.0], [3.0]),
        ([0, 1, 10, 1, 0], 20, [0, 1, 10], np.arange(11.0)),
        ([0, 1, 10], 8, [0, 1, 10], np.linspace(0, 10, 8)),  # 11 points would be too many
        ([0.0, 0.1, 0.3], 5, [0.0, 0.1, 0.3], [0.0, 0.1, 0.2, 0.3]),
        ([-1.0, 2.0], 3, [-1.0, 2.0], [-1.0, 2.0]),
        (np.arange(10.0) ** 2, 4, np.linspace(0, 81, 4), np.linspace(0, 81, 4)),
    ],
)
def test_grids(values, size, line, even):
    from qalvo.experiment import pdp

    np.testing.assert_allclose(pdp.line_grid(np.asarray(values, float), size), line, atol=1e-12)
    np.testing.assert_allclose(pdp.even_grid(np.asarray(values, float), size), even, atol=1e-12)


@pytest.mark.parametrize("max_rows, per_call", [(1000, 900), (300, 300), (10, 300), (10**6, 300 * 35)])
def test_grids_are_computed_in_bounded_calls(max_rows, per_call):
    # Each call of the model gets as many whole grid values as max_rows
    # allows, at least one; the result does not depend on the split.
    from qalvo.experiment import pdp

    sizes = []

    def predict(z):
        sizes.append(len(z))
        return z[:, 0] * z[:, 1]

    rows = np.random.default_rng(0).uniform(size=(300, 2))
    grid0, grid1 = np.linspace(0, 1, 7), np.linspace(-1, 1, 5)
    averages = pdp.partial_dependence(predict, rows, [0, 1], [grid0, grid1], max_rows)
    assert max(sizes) == per_call and sum(sizes) == 300 * 35
    np.testing.assert_allclose(averages, np.outer(grid0, grid1), atol=1e-12)


def test_partial_dependence_asks_no_more_rows_at_once_than_the_data_have():
    calls = []

    class Counting(Exact):
        def predict(self, x):
            calls.append(len(x))
            return super().predict(x)

    x = make_data()
    experiment = Experiment(x, np.zeros(N), NAMES, pdp_max_samples=100, pdp_grid_2d=20)
    experiment.add_model("m", Counting().fit(x))
    calls.clear()
    experiment.pdp_explain("m", "smooth", "skewed")
    assert max(calls) == 300 and sum(calls) == 100 * 20 * 20
