"""
Regression quickstart
=====================

A :class:`~qalvo.models.rampnet.RampNetRegressor` fitted to scikit-learn's
diabetes data, in a pipeline behind a scaler: its held-out score beside a
linear model's over several random splits, its training curve, and its
predictions against the truth.
"""

import matplotlib.pyplot as plt
import numpy as np
from sklearn.compose import TransformedTargetRegressor
from sklearn.datasets import load_diabetes
from sklearn.linear_model import RidgeCV
from sklearn.model_selection import ShuffleSplit, cross_val_score, train_test_split
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from qalvo.models.rampnet import RampNetRegressor

data = load_diabetes(scaled=False)
x, y = data.data, data.target


def rampnet():
    # Features and target standardised on the training rows: networks train
    # best on values of unit scale.
    net = RampNetRegressor(hidden_layer_sizes=(40, 40), learning_rate=0.01, random_state=0)
    return TransformedTargetRegressor(make_pipeline(StandardScaler(), net),
                                      transformer=StandardScaler())


# %%
# Scores over several splits
# --------------------------
# One split of 442 rows says little: the held-out R² of the same model moves
# by 0.1 or more from split to split. Eight splits give a mean and a spread.
splits = ShuffleSplit(n_splits=8, test_size=0.25, random_state=0)
for name, model in [("RampNet", rampnet()),
                    ("RidgeCV", make_pipeline(StandardScaler(), RidgeCV()))]:
    scores = cross_val_score(model, x, y, cv=splits)
    print(f"{name:8s} held-out R² {scores.mean():.3f} ± {scores.std():.3f}")

# %%
# The training curve
# ------------------
# ``fit`` holds out a fifth of the training rows and stops once their loss
# has not improved for ``n_epoch_no_change`` (20) epochs; the network of the
# lowest validation loss is the one kept.
x_train, x_test, y_train, y_test = train_test_split(x, y, test_size=0.25, random_state=0)
model = rampnet().fit(x_train, y_train)
net = model.regressor_[-1]

fig, ax = plt.subplots(figsize=(6, 4))
ax.plot(net.train_epoch_loss_, label="training")
ax.plot(net.valid_epoch_loss_, label="validation")
ax.axvline(int(np.argmin(net.valid_epoch_loss_)), color="grey", linestyle=":",
           label="best epoch")
ax.set_xlabel("epoch")
ax.set_ylabel("mean squared error (standardised target)")
ax.legend()
fig.tight_layout()

# %%
# Predictions against the truth
# -----------------------------
predicted = model.predict(x_test)
fig, ax = plt.subplots(figsize=(5, 5))
ax.scatter(y_test, predicted, s=12)
low, high = y.min(), y.max()
ax.plot([low, high], [low, high], color="grey", linestyle=":")
ax.set_xlabel("disease progression (truth)")
ax.set_ylabel("prediction")
ax.set_title(f"held-out R² {model.score(x_test, y_test):.3f}")
fig.tight_layout()

# %%
# What the network is
# -------------------
# One weight matrix per layer, input side first.
print([w.shape for w in net.coefs_], [b.shape for b in net.intercepts_])
