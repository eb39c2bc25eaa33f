"""SHAP and LIME explanations of one sample: their values and what they draw."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: E402
import pytest  # noqa: E402
from sklearn.ensemble import GradientBoostingClassifier, GradientBoostingRegressor  # noqa: E402
from sklearn.linear_model import LinearRegression  # noqa: E402

from qalvo.experiment import Experiment  # noqa: E402

N = 300


def data(n_features=4, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1, 1, (N, n_features))
    y = 3 * x[:, 0] + x[:, 1] ** 2 + 0.05 * rng.normal(size=N)
    return x, y


@pytest.fixture(scope="module")
def regression():
    x, y = data()
    exp = Experiment(x, y, ["x0", "x1", "x2", "x3"], shap_background=50, lime_samples=500)
    exp.add_model("gbr", GradientBoostingRegressor(n_estimators=40, random_state=0).fit(x, y))
    return exp


@pytest.fixture(scope="module")
def classification():
    x, y = data()
    labels = np.where(y > 0.3, "high", "low")  # classes_ = ["high", "low"]
    exp = Experiment(x, labels, ["x0", "x1", "x2", "x3"], shap_background=50, lime_samples=500)
    exp.add_model("clf", GradientBoostingClassifier(n_estimators=30, random_state=0).fit(x, labels))
    return exp


def explained_value(exp, name, index):
    model = exp.models[name]
    row = exp.data.x[index : index + 1]
    if hasattr(model, "predict_proba"):
        return model.predict_proba(row)[0, 1]
    return model.predict(row)[0]


def bar_labels(figure):
    return [t.get_text() for ax in figure.axes for t in ax.get_yticklabels()]


@pytest.mark.parametrize("fixture, name", [("regression", "gbr"), ("classification", "clf")])
def test_shap_values_add_up_to_the_explained_value(request, shown, fixture, name):
    exp = request.getfixturevalue(fixture)
    explanation = exp.local_explain(reg_model_name=name, method="SHAP", sample_index=7)
    assert explanation.values.shape == (4,)
    total = explanation.base_values + explanation.values.sum()
    assert total == pytest.approx(explained_value(exp, name, 7), abs=1e-9)
    # x0 carries most of the prediction; in the classifier it lowers P("low").
    assert np.argmax(abs(explanation.values)) == 0
    assert len(shown) == 1
    assert any("x0" in label for label in bar_labels(shown[0]))
    assert shown[0].axes[0].get_title() == (
        "SHAP values of P(low)" if fixture == "classification" else "SHAP values of the prediction"
    )


@pytest.mark.parametrize("n_features", [4, 12])
def test_shap_of_a_linear_model_is_weight_times_distance_from_background_mean(shown, n_features):
    # All coalitions up to eleven features, sampled ones beyond: both exact
    # for a linear model.
    x, y = data(n_features)
    exp = Experiment(x, y, shap_background=40)
    model = LinearRegression().fit(x, y)
    exp.add_model("lin", model)
    explanation = exp.local_explain(reg_model_name="lin", method="SHAP", sample_index=3)
    rng = np.random.default_rng(0)
    background = x[np.sort(rng.choice(N, 40, replace=False))]
    expected = model.coef_ * (x[3] - background.mean(axis=0))
    np.testing.assert_allclose(explanation.values, expected, atol=1e-9)
    assert len(shown) == 1


@pytest.mark.parametrize("fixture, name", [("regression", "gbr"), ("classification", "clf")])
def test_lime_draws_one_bar_per_feature_led_by_x0(request, shown, fixture, name):
    exp = request.getfixturevalue(fixture)
    explanation = exp.local_explain(reg_model_name=name, method="LIME", sample_index=5)
    weights = explanation.as_list(label=1) if fixture == "classification" else explanation.as_list()
    assert len(weights) == 4
    assert "x0" in weights[0][0]
    assert len(shown) == 1
    figure = shown[0]
    assert len(figure.axes[0].patches) == 4
    # classes_ are "high", "low": the probability of "low" is explained.
    assert figure.axes[0].get_title() == (
        "LIME weights of P(low)" if fixture == "classification" else "LIME weights of the prediction"
    )
    assert "x0" in " ".join(bar_labels(figure))


def test_lime_explanation_of_a_sample_does_not_depend_on_earlier_calls(regression, shown):
    first = regression.local_explain(reg_model_name="gbr", method="LIME", sample_index=11)
    regression.local_explain(reg_model_name="gbr", method="LIME", sample_index=12)
    again = regression.local_explain(reg_model_name="gbr", method="LIME", sample_index=11)
    assert first.as_list() == again.as_list()


def test_last_sample_can_be_explained(regression, shown):
    explanation = regression.local_explain(reg_model_name="gbr", method="SHAP", sample_index=N - 1)
    total = explanation.base_values + explanation.values.sum()
    assert total == pytest.approx(explained_value(regression, "gbr", N - 1), abs=1e-9)


@pytest.mark.parametrize("sample_index", [0, 3])  # a label beyond the left edge, two beyond the right
def test_shap_value_labels_stay_inside_the_waterfall(shown, sample_index):
    # Outputs in the hundreds with a few small contributions: shap places the
    # labels of short arrows beside them, and leaves room for them only when
    # an arrow is shorter than one unit.
    rng = np.random.default_rng(0)
    x = rng.uniform(-1, 1, (N, 6))
    y = 150 + x @ np.array([80.0, -40.0, 20.0, -6.0, 5.0, -3.0])
    exp = Experiment(x, y, shap_background=40)
    exp.add_model("lin", LinearRegression().fit(x, y))
    exp.local_explain(reg_model_name="lin", method="SHAP", sample_index=sample_index)
    (figure,) = shown
    FigureCanvasAgg(figure)  # closed once shown: a canvas to draw it on again
    figure.canvas.draw()
    renderer = figure.canvas.get_renderer()
    axes = figure.axes[0]
    box = axes.get_window_extent(renderer)
    names_end = max(label.get_window_extent(renderer).x1 for label in axes.get_yticklabels() if label.get_text())
    values = [text.get_window_extent(renderer) for text in axes.texts]
    assert len(values) == 6
    assert min(v.x0 for v in values) >= max(box.x0, names_end)
    assert max(v.x1 for v in values) <= box.x1
    # A label drawn on its arrow (centred, in white) fits on it.
    arrows = [patch.get_window_extent(renderer) for patch in axes.patches if type(patch).__name__ == "FancyArrow"]
    assert len(arrows) == 6
    on_arrows = [text for text in axes.texts if text.get_horizontalalignment() == "center"]
    assert on_arrows  # the long arrows carry theirs
    for text in on_arrows:
        label = text.get_window_extent(renderer)
        (arrow,) = [a for a in arrows if a.y0 <= (label.y0 + label.y1) / 2 <= a.y1]
        assert arrow.x0 <= label.x0 and label.x1 <= arrow.x1, text.get_text()
    # Every axis still shows the same range, so E[f(X)] and f(x) mark their values.
    assert len({each.get_xlim() for each in figure.axes}) == 1


@pytest.mark.parametrize("method", ["SHAP", "LIME"])
def test_explanations_close_the_figures_they_show(regression, no_figures, method):
    # Outside a notebook nothing closes a shown figure: explaining sample after
    # sample must not pile them up.
    for index in range(3):
        regression.local_explain(reg_model_name="gbr", method=method, sample_index=index)
        assert no_figures.get_fignums() == []


def test_a_failing_show_still_closes_the_figure(regression, no_figures, monkeypatch):
    def broken_show(*args, **kwargs):
        raise RuntimeError("no display")

    monkeypatch.setattr(plt, "show", broken_show)
    with pytest.raises(RuntimeError, match="no display"):
        regression.local_explain(reg_model_name="gbr", method="LIME", sample_index=0)
    assert no_figures.get_fignums() == []
