"""
Every explanation of a regressor
================================

Permutation importance, partial dependence, accumulated local effects, SHAP
and LIME of a :class:`~qalvo.models.rampnet.RampNetRegressor`, all from one
:class:`~qalvo.experiment.Experiment`. The scaler sits inside the model's
pipeline, so every explanation reads in the data's own units (years, kg/m²,
mmHg). :doc:`/user_guide/explanations` explains each method.
"""

import matplotlib.pyplot as plt
from sklearn.datasets import load_diabetes
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from qalvo.experiment import Experiment
from qalvo.models.rampnet import RampNetRegressor

data = load_diabetes(scaled=False)
model = make_pipeline(StandardScaler(), RampNetRegressor(learning_rate=0.01, random_state=0))
model.fit(data.data, data.target)

exp = Experiment(data.data, data.target, data.feature_names,
                 shap_background=50, lime_samples=1000)
exp.add_model("net", model)

# %%
# Permutation importance
# ----------------------
# Least important first: drawn from the bottom up, the most important
# feature is on top.
names, drops = exp.permutation_vi("net")
fig, ax = plt.subplots(figsize=(6, 4))
ax.barh(names, drops)
ax.set_xlabel(f"Drop in {drops.score} when shuffled")
fig.tight_layout()

# %%
# Partial dependence and ALE of the most important feature
# --------------------------------------------------------
# Both over the feature's whole range. The PDP is the average prediction
# with the feature set to each value; the ALE, the accumulated effect of
# moving the feature, measured only on rows near each value, centred at zero.
top = names[-1]
pdp = exp.pdp_explain("net", top)
edges, effect = exp.ale_explain("net", top)
fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4))
left.plot(pdp["values"][0], pdp["average"][0])
left.set_title(f"Partial dependence on {top}")
left.set_ylabel("average prediction")
right.plot(edges, effect)
right.set_title(f"Accumulated local effect of {top}")
right.set_ylabel("effect on the prediction")
for ax in (left, right):
    ax.set_xlabel(top)
fig.tight_layout()

# %%
# SHAP values of one sample
# --------------------------
# ``local_values`` gives the values as arrays (several samples at once);
# ``local_explain`` draws the waterfall of one sample, as the dashboard does,
# and returns the ``shap.Explanation``.
values, base_values = exp.local_values("net", "SHAP", [0, 1, 2])
print(f"base value {base_values[0]:.1f}; sample 0:",
      ", ".join(f"{name} {value:+.1f}" for name, value in zip(data.feature_names, values[0])))
explanation = exp.local_explain("net", "SHAP", sample_index=0)

# %%
# LIME weights of the same sample
# -------------------------------
# Each weight belongs to the interval of the sample's value ("bmi > 29.27"),
# not to a direction: see the user guide.
lime_explanation = exp.local_explain("net", "LIME", sample_index=0)
