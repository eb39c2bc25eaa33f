"""
Two-feature effects
===================

Partial dependence and accumulated local effects of a pair of features, on
data built with a known interaction: y = x0 · x1 + x2 + noise. The PDP shows
the whole joint effect; the two-feature ALE shows the interaction alone.
"""

import matplotlib.pyplot as plt
import numpy as np
from sklearn.compose import TransformedTargetRegressor
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from qalvo.experiment import Experiment
from qalvo.models.rampnet import RampNetRegressor

rng = np.random.default_rng(0)
x = rng.uniform(-1, 1, size=(1500, 4))
y = x[:, 0] * x[:, 1] + x[:, 2] + 0.05 * rng.standard_normal(1500)
names = ["x0", "x1", "x2", "x3 (noise)"]

model = TransformedTargetRegressor(
    make_pipeline(StandardScaler(), RampNetRegressor(learning_rate=0.01, random_state=0)),
    transformer=StandardScaler())
model.fit(x, y)
exp = Experiment(x, y, names, pdp_grid_2d=20, ale_bins_2d=10)
exp.add_model("net", model)

# %%
# The layout of a two-feature result
# ----------------------------------
# ``pdp_explain`` and ``ale_explain`` lay out a pair's array for
# ``plt.imshow(A, extent=[min0, max0, min1, max1])``: the first feature runs
# along x, the second up the y axis.


def draw(ax, grid0, grid1, values, title, label0, label1):
    image = ax.imshow(values, extent=[grid0[0], grid0[-1], grid1[0], grid1[-1]],
                      aspect="auto", cmap="coolwarm")
    ax.set_xlabel(label0)
    ax.set_ylabel(label1)
    ax.set_title(title)
    return image


fig, axes = plt.subplots(2, 2, figsize=(10, 8))
for row, (first, second) in enumerate([("x0", "x1"), ("x0", "x2")]):
    pdp = exp.pdp_explain("net", first, second)
    grid0, grid1 = pdp["values"]
    image = draw(axes[row, 0], grid0, grid1, pdp["average"][0],
                 f"PDP of {first} and {second}", first, second)
    fig.colorbar(image, ax=axes[row, 0])
    ale = exp.ale_explain("net", first, second)
    if ale is None:
        axes[row, 1].text(0.5, 0.5, "no interaction", ha="center", va="center")
        axes[row, 1].set_title(f"ALE interaction of {first} and {second}")
        axes[row, 1].set_axis_off()
    else:
        image = draw(axes[row, 1], *ale, f"ALE interaction of {first} and {second}",
                     first, second)
        fig.colorbar(image, ax=axes[row, 1])
fig.tight_layout()

# %%
# The product x0 · x1 shows in both views as a saddle; x0 and x2 only add
# up, so their PDP is a tilted plane and their ALE interaction is close to
# zero everywhere: mind its colour bar, whose range is a hundredth of the
# others' (where the interaction is negligible, ``ale_explain`` returns None).
