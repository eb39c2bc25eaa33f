"""
Several models in one experiment
================================

An :class:`~qalvo.experiment.Experiment` holds any number of fitted models
under names and explains each the same way, on the same data: here a
RampNet, scikit-learn's MLP, gradient-boosted trees and a linear model,
compared by their held-out scores, permutation importances and partial
dependence on one feature.
"""

import warnings

import matplotlib.pyplot as plt
import numpy as np
from sklearn.compose import TransformedTargetRegressor
from sklearn.datasets import make_friedman1
from sklearn.ensemble import HistGradientBoostingRegressor
from sklearn.exceptions import ConvergenceWarning
from sklearn.linear_model import RidgeCV
from sklearn.model_selection import train_test_split
from sklearn.neural_network import MLPRegressor
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from qalvo.experiment import Experiment
from qalvo.models.rampnet import RampNetRegressor

# Friedman's problem: y = 10 sin(pi x0 x1) + 20 (x2 - 0.5)^2 + 10 x3 + 5 x4 + noise;
# x5 to x9 carry nothing.
x, y = make_friedman1(n_samples=1500, noise=1.0, random_state=0)
names = [f"x{i}" for i in range(10)]
x_train, x_test, y_train, y_test = train_test_split(x, y, test_size=0.3, random_state=0)


def scaled(regressor):
    return TransformedTargetRegressor(make_pipeline(StandardScaler(), regressor),
                                      transformer=StandardScaler())


models = {
    "RampNet": scaled(RampNetRegressor(learning_rate=0.01, random_state=0)),
    "MLP": scaled(MLPRegressor(hidden_layer_sizes=(40, 40), early_stopping=True,
                               max_iter=1000, random_state=0)),
    "boosted trees": HistGradientBoostingRegressor(random_state=0),
    "ridge": scaled(RidgeCV()),
}
# The experiment explains the held-out rows: what each model generalises.
exp = Experiment(x_test, y_test, names, pfi_repeats=3)
for name, model in models.items():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        model.fit(x_train, y_train)
    exp.add_model(name, model)
    print(f"{name:14s} held-out R² {model.score(x_test, y_test):.3f}")

# %%
# Permutation importance, model by model
# --------------------------------------
# The features in one order for all models (x0 on top): the nonlinear models
# agree that x0 to x4 matter and x5 to x9 do not; the linear model cannot use
# x2's U-shaped effect.
fig, ax = plt.subplots(figsize=(7, 5))
height = 0.8 / len(models)
for k, name in enumerate(models):
    ranked, drops = exp.permutation_vi(name)
    importance = dict(zip(ranked, drops))
    ax.barh(np.arange(10) + k * height, [importance[n] for n in names[::-1]],
            height=height, label=name)
ax.set_yticks(np.arange(10) + 0.4 - height / 2, names[::-1])
ax.set_xlabel("Drop in R² when shuffled")
ax.legend()
fig.tight_layout()

# %%
# Partial dependence on x2
# ------------------------
# The true effect of x2 is the parabola 20 (x2 - 0.5)², up to a constant.
fig, ax = plt.subplots(figsize=(6, 4))
for name in models:
    pdp = exp.pdp_explain(name, "x2")
    ax.plot(pdp["values"][0], pdp["average"][0], label=name)
grid = np.linspace(0, 1, 50)
truth = 20 * (grid - 0.5) ** 2
pdp = exp.pdp_explain("RampNet", "x2")
ax.plot(grid, truth - truth.mean() + pdp["average"][0].mean(), "k:", label="truth (shifted)")
ax.set_xlabel("x2")
ax.set_ylabel("average prediction")
ax.legend()
fig.tight_layout()
