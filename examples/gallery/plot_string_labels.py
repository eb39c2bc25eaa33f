"""
A classifier with string labels
===============================

:class:`~qalvo.models.rampnet.RampNetClassifier` takes any two labels (here
"malignant" and "benign"), learns them as 0 and 1 in the order of
``classes_``, and gives them back as they came. The experiment explains the
probability of the second class, ``classes_[1]``, and says so in its figures.
"""

import matplotlib.pyplot as plt
from sklearn.datasets import load_breast_cancer
from sklearn.model_selection import train_test_split
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from qalvo.experiment import Experiment
from qalvo.models.rampnet import RampNetClassifier

data = load_breast_cancer()
labels = data.target_names[data.target]  # "malignant" or "benign"
x_train, x_test, y_train, y_test = train_test_split(data.data, labels, test_size=0.25,
                                                    random_state=0, stratify=labels)
clf = make_pipeline(StandardScaler(), RampNetClassifier(random_state=0)).fit(x_train, y_train)
print("classes_:", clf[-1].classes_)             # sorted: 'benign', 'malignant'
print("predictions:", clf.predict(x_test[:4]))   # the labels themselves
print(f"held-out accuracy {clf.score(x_test, y_test):.3f}")

# %%
# Which probability is explained
# ------------------------------
# Column 1 of ``predict_proba`` is P(classes_[1]) = P(malignant); the
# experiment explains that probability, and permutation importance measures
# the drop of its ROC AUC.
exp = Experiment(x_test, y_test, list(data.feature_names), lime_samples=1000)
exp.add_model("net", clf)
names, drops = exp.permutation_vi("net")
fig, ax = plt.subplots(figsize=(7, 4.5))
ax.barh(names[-10:], drops[-10:])
ax.set_xlabel(f"Drop in {drops.score} of P({clf[-1].classes_[1]}) when shuffled")
ax.set_title("The ten most important features")
fig.tight_layout()

# %%
# Effect of the most important feature on P(malignant)
# ----------------------------------------------------
top = names[-1]
edges, effect = exp.ale_explain("net", top)
fig, ax = plt.subplots(figsize=(6, 4))
ax.plot(edges, effect)
ax.set_xlabel(top)
ax.set_ylabel("effect on P(malignant)")
ax.set_title(f"Accumulated local effect of {top}")
fig.tight_layout()

# %%
# LIME of one held-out sample
# ---------------------------
# The figure's title names the explained probability.
print(f"sample 0: true label {y_test[0]}, "
      f"P(malignant) = {clf.predict_proba(x_test[:1])[0, 1]:.3f}")
explanation = exp.local_explain("net", "LIME", sample_index=0)
