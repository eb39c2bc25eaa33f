"""
Sparse networks
===============

The same network trained densely and by iterative hard thresholding
(``iht=True``): scores, the share of weights that are exactly zero, and the
weight matrices themselves. See :doc:`/user_guide/sparse` for what
``threshold`` and ``phase_epochs`` do.
"""

import matplotlib.pyplot as plt
import numpy as np
from sklearn.compose import TransformedTargetRegressor
from sklearn.datasets import make_friedman1
from sklearn.model_selection import train_test_split
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from qalvo.models.rampnet import RampNetRegressor

# Friedman's problem: 10 features, of which only the first 5 matter.
x, y = make_friedman1(n_samples=1000, noise=1.0, random_state=0)
x_train, x_test, y_train, y_test = train_test_split(x, y, test_size=0.25, random_state=0)

models = {}
for name, extra in [("dense", {}), ("sparse", dict(iht=True, threshold=0.1, phase_epochs=50))]:
    net = RampNetRegressor(hidden_layer_sizes=(20, 20), random_state=0, **extra)
    model = TransformedTargetRegressor(make_pipeline(StandardScaler(), net),
                                       transformer=StandardScaler())
    models[name] = model.fit(x_train, y_train)
    weights = np.concatenate([w.ravel() for w in model.regressor_[-1].coefs_])
    print(f"{name:6s} held-out R² {model.score(x_test, y_test):.3f}, "
          f"{np.mean(weights == 0):.0%} of the weights exactly zero")

# %%
# The first layer's weights
# -------------------------
# Rows are the 10 input features, columns the 20 units of the first hidden
# layer; white cells are weights of exactly zero. The sparse network keeps
# few connections from the five features that carry no signal (5 to 9).
fig, axes = plt.subplots(1, 2, figsize=(10, 4), sharey=True)
for ax, (name, model) in zip(axes, models.items()):
    first = model.regressor_[-1].coefs_[0]
    shown = np.ma.masked_equal(first, 0.0)
    limit = np.abs(first).max()
    image = ax.imshow(shown, cmap="coolwarm", vmin=-limit, vmax=limit, aspect="auto")
    ax.set_title(f"{name}: {np.mean(first == 0):.0%} zero")
    ax.set_xlabel("unit of the first hidden layer")
axes[0].set_ylabel("input feature")
axes[0].set_yticks(range(10))
fig.colorbar(image, ax=axes, shrink=0.8)

# %%
# Connections per input feature
# -----------------------------
# The number of first-layer weights left from each feature: a sparse network
# reads like a feature selection.
sparse_first = models["sparse"].regressor_[-1].coefs_[0]
fig, ax = plt.subplots(figsize=(6, 3.5))
ax.bar(range(10), (sparse_first != 0).sum(axis=1))
ax.set_xticks(range(10))
ax.set_xlabel("input feature (0-4 informative, 5-9 noise)")
ax.set_ylabel("non-zero weights")
fig.tight_layout()
