"""
Classification quickstart
=========================

A :class:`~qalvo.models.rampnet.RampNetClassifier` on scikit-learn's
breast-cancer data: probabilities, labels and a ROC curve.
"""

import matplotlib.pyplot as plt
from sklearn.datasets import load_breast_cancer
from sklearn.metrics import RocCurveDisplay
from sklearn.model_selection import train_test_split
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from qalvo.models.rampnet import RampNetClassifier

x, y = load_breast_cancer(return_X_y=True)  # 0 malignant, 1 benign
x_train, x_test, y_train, y_test = train_test_split(x, y, test_size=0.25, random_state=0,
                                                    stratify=y)
clf = make_pipeline(StandardScaler(), RampNetClassifier(random_state=0))
clf.fit(x_train, y_train)
print(f"held-out accuracy {clf.score(x_test, y_test):.3f}")

# %%
# Probabilities and labels
# ------------------------
# ``predict_proba`` has one column per class, in the order of ``classes_``;
# ``predict`` gives the class whose probability exceeds one half, and
# ``decision_function`` the logit of ``classes_[1]``.
print("classes:", clf[-1].classes_)
print(clf.predict_proba(x_test[:3]).round(3))
print(clf.predict(x_test[:3]), clf.decision_function(x_test[:3]).round(2))

# %%
# Probabilities of the held-out rows, by their true class
# -------------------------------------------------------
probability = clf.predict_proba(x_test)[:, 1]
fig, ax = plt.subplots(figsize=(6, 4))
ax.hist([probability[y_test == 0], probability[y_test == 1]], bins=20,
        label=["malignant (0)", "benign (1)"])
ax.set_xlabel("predicted probability of benign")
ax.set_ylabel("rows")
ax.legend()
fig.tight_layout()

# %%
# ROC curve
# ---------
# Any scikit-learn display takes the classifier as it is.
RocCurveDisplay.from_estimator(clf, x_test, y_test)
plt.title("RampNetClassifier, held-out rows")
plt.tight_layout()
