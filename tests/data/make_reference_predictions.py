"""Writes reference_predictions.npz beside this file: fixed data and what both
estimators predict for it after a fit with a fixed seed. Run once, with the
pinned stack; tests/test_reference_predictions.py compares every release of
the version matrix against it.

    .venv/bin/python tests/data/make_reference_predictions.py
"""

import pathlib

import numpy as np

from qalvo.models.rampnet.rampnet import RampNetClassifier, RampNetRegressor

PATH = pathlib.Path(__file__).with_name("reference_predictions.npz")
# Small enough to fit in a second, long enough for the weights to move well
# away from their initial values; dropout and IHT draw from the seeded
# generators too.
PARAMETERS = dict(hidden_layer_sizes=(8, 4), max_epochs=25, batch_size=16, learning_rate=0.01,
                  random_state=7)
REGRESSOR = dict(PARAMETERS, dropout_prob=0.1)
CLASSIFIER = dict(PARAMETERS, iht=True, phase_epochs=5, threshold=0.05)


def make_data():
    rng = np.random.RandomState(11)
    x = rng.randn(120, 5)
    y = x @ [1.0, -2.0, 0.5, 0.0, 3.0] + 0.1 * rng.randn(120)
    labels = (y > 0).astype(np.int64)
    return x, y, labels


def predictions(x, y, labels):
    regressor = RampNetRegressor(**REGRESSOR).fit(x, y)
    classifier = RampNetClassifier(**CLASSIFIER).fit(x, labels)
    return {
        "regressor_predict": regressor.predict(x),
        "classifier_decision_function": classifier.decision_function(x),
        "classifier_predict_proba": classifier.predict_proba(x),
        "classifier_predict": classifier.predict(x),
    }


def main():
    x, y, labels = make_data()
    np.savez(PATH, x=x, y=y, labels=labels, **predictions(x, y, labels))
    print("wrote", PATH)


if __name__ == "__main__":
    main()
