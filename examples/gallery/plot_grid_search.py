"""
A grid search
=============

:class:`~qalvo.models.rampnet.RampNetRegressor` in scikit-learn's
``GridSearchCV``: the hidden layer sizes against the strength of the L1
penalty, scored by cross-validation. Parameters of a step in a pipeline are
named ``<step>__<parameter>``.
"""

import matplotlib.pyplot as plt
import numpy as np
from sklearn.compose import TransformedTargetRegressor
from sklearn.datasets import make_friedman1
from sklearn.model_selection import GridSearchCV, KFold
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import StandardScaler

from qalvo.models.rampnet import RampNetRegressor

x, y = make_friedman1(n_samples=600, noise=1.0, random_state=0)

pipeline = Pipeline([("scale", StandardScaler()),
                     ("net", RampNetRegressor(learning_rate=0.01, random_state=0))])
model = TransformedTargetRegressor(pipeline, transformer=StandardScaler())
grid = {
    "regressor__net__hidden_layer_sizes": [(10,), (40,), (40, 40)],
    "regressor__net__l1_reg": [0.0, 1e-3, 1e-2],
}
# n_jobs=2 runs the fits in two worker processes, each seeded by random_state,
# so the scores do not depend on which worker ran which fit.
search = GridSearchCV(model, grid, cv=KFold(3, shuffle=True, random_state=0), n_jobs=2)
search.fit(x, y)
print("best parameters:", search.best_params_)
print(f"best cross-validated R² {search.best_score_:.3f}")

# %%
# Scores of the grid
# ------------------
sizes = grid["regressor__net__hidden_layer_sizes"]
penalties = grid["regressor__net__l1_reg"]
scores = search.cv_results_["mean_test_score"].reshape(len(sizes), len(penalties))
fig, ax = plt.subplots(figsize=(6, 4))
image = ax.imshow(scores, cmap="viridis")
ax.set_xticks(range(len(penalties)), [f"{p:g}" for p in penalties])
ax.set_yticks(range(len(sizes)), [str(s) for s in sizes])
ax.set_xlabel("l1_reg")
ax.set_ylabel("hidden_layer_sizes")
for i in range(len(sizes)):
    for j in range(len(penalties)):
        ax.text(j, i, f"{scores[i, j]:.3f}", ha="center", va="center", color="white")
fig.colorbar(image, ax=ax, label="mean R² over 3 folds")
fig.tight_layout()

# %%
# The refitted best model is an ordinary fitted estimator.
best = search.best_estimator_.regressor_["net"]
print("weights of the best network:", [w.shape for w in best.coefs_])
print("share of first-layer weights below 1e-3:",
      np.mean(np.abs(best.coefs_[0]) < 1e-3).round(3))
