"""qalvo quickstart: the RampNet estimators and their parameters."""

from sklearn.base import clone

from qalvo.models.rampnet import RampNetClassifier, RampNetRegressor


def main():
    regressor = RampNetRegressor(hidden_layer_sizes=(64, 32), max_epochs=200, random_state=0)
    print("Regressor:", regressor)
    print("Parameters:", regressor.get_params())
    classifier = clone(RampNetClassifier(iht=True, threshold=0.05))
    print("Classifier (cloned):", classifier)


if __name__ == "__main__":
    main()
