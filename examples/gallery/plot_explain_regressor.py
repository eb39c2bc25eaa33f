"""
Every explanation of a regressor
================================

Permutation importance with its spread, partial dependence with the ICE
curves behind it, accumulated local effects, interaction strength, SHAP (one
sample, and the global summary of many) and LIME of a
:class:`~qalvo.models.rampnet.RampNetRegressor`, all from one
:class:`~qalvo.experiment.Experiment`, drawn by :mod:`qalvo.experiment.plots`.
The scaler sits inside the model's pipeline, so every explanation reads in
the data's own units (years, kg/m², mmHg). :doc:`/user_guide/explanations`
explains each method.
"""

import matplotlib.pyplot as plt
from sklearn.datasets import load_diabetes
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from qalvo.experiment import Experiment, plots
from qalvo.models.rampnet import RampNetRegressor

data = load_diabetes(scaled=False)
model = make_pipeline(StandardScaler(), RampNetRegressor(learning_rate=0.01, random_state=0))
model.fit(data.data, data.target)

exp = Experiment(data.data, data.target, data.feature_names,
                 shap_background=50, lime_samples=1000)
exp.add_model("net", model)

# %%
# Permutation importance, with its spread
# ---------------------------------------
# The mean drop of R² over five shuffles of each feature, and one standard
# deviation of the drops either side: bars whose error bars overlap widely
# are not shown to differ.
importance = exp.permutation_importance("net")
for name, mean, sd in zip(importance.feature_names, importance.importances_mean,
                          importance.importances_std):
    print(f"{name:>4}: {mean:.3f} ± {sd:.3f}")
ax = plots.importance(exp, "net")

# %%
# Partial dependence and ICE curves of the most important feature
# ---------------------------------------------------------------
# Each thin line is one row's prediction as the feature alone runs over its
# range (ICE); their mean, the thick line, is the partial dependence. Centred
# at the feature's minimum (right), the curves differ only where the
# feature's effect depends on the other features.
top = importance.feature_names[importance.importances_mean.argmax()]
fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.5))
plots.partial_dependence(exp, "net", top, ice=True, ax=left)
plots.partial_dependence(exp, "net", top, ice=True, centered=True, ax=right)
fig.tight_layout()

# %%
# Accumulated local effects
# -------------------------
# The effect of moving the feature, measured only on rows near each value,
# centred at zero: unlike the partial dependence, it never asks the model
# about combinations of features that the data do not hold.
ax = plots.ale(exp, "net", top)

# %%
# Which features interact?
# ------------------------
# Friedman's H² of the pairs of the five most important features, estimated
# on 200 rows drawn with the experiment's seed: the share of each pair's joint
# effect that is not the sum of the two features' own effects. This network
# is close to additive; the two-feature maps show the strongest pair.
pairs = exp.interaction_strength("net")
first, second, strongest = pairs[0]
print(f"strongest pair: {first} × {second}, H² = {strongest:.3f}")
fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.5))
plots.interactions(exp, "net", ax=left)
plots.effect_map(exp, "net", first, second, ax=right)
fig.tight_layout()

# %%
# SHAP values of one sample
# -------------------------
# ``local_values`` gives the values as arrays (several samples at once);
# ``local_explain`` draws the waterfall of one sample, as the dashboard does,
# and returns the ``shap.Explanation``.
values, base_values = exp.local_values("net", "SHAP", [0, 1, 2])
print(f"base value {base_values[0]:.1f}; sample 0:",
      ", ".join(f"{name} {value:+.1f}" for name, value in zip(data.feature_names, values[0])))
explanation = exp.local_explain("net", "SHAP", sample_index=0)

# %%
# The global SHAP view
# --------------------
# The SHAP values of 100 rows drawn with the experiment's seed: each
# feature's mean absolute value (left), and the beeswarm of every value,
# coloured by the feature's value (right). Red points to the right: high
# values of the feature raise the prediction.
summary = exp.shap_summary("net")
print("mean |SHAP|:", ", ".join(f"{name} {value:.1f}" for name, value
                                in zip(summary.feature_names, summary.mean_abs)))
fig, (left, right) = plt.subplots(1, 2, figsize=(12, 5))
plots.shap_summary(exp, "net", kind="bar", ax=left)
plots.shap_summary(exp, "net", kind="beeswarm", ax=right)
fig.tight_layout()

# %%
# A dependence plot: the SHAP values of the most important feature against
# its values, coloured by the feature it interacts with most strongly.
partner = next(b if a == top else a for a, b, _ in pairs if top in (a, b))
ax = plots.dependence(exp, "net", top, color_by=partner)

# %%
# LIME weights of one sample
# --------------------------
# Each weight belongs to the interval of the sample's value ("bmi > 29.27"),
# not to a direction: see the user guide.
lime_explanation = exp.local_explain("net", "LIME", sample_index=0)
