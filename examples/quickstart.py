"""qalvo quickstart: RampNet estimators on scikit-learn's bundled data sets.

Fits RampNetRegressor on the diabetes data and RampNetClassifier on the
breast-cancer data (both ship with scikit-learn, nothing is downloaded), with
standardised features, and sets their held-out scores beside scikit-learn's
MLPRegressor / MLPClassifier trained with comparable settings: the same hidden
layers, Adam with the same learning rate and batch size, and early stopping on
a fifth of the training rows with the same patience.

One held-out split of a few hundred rows says little (the same model's score
moves by 0.1 or more from split to split), so every score is the mean and
standard deviation over the same random splits for all models.
"""

import warnings

import numpy as np
from sklearn.compose import TransformedTargetRegressor
from sklearn.datasets import load_breast_cancer, load_diabetes
from sklearn.exceptions import ConvergenceWarning
from sklearn.model_selection import (
    ShuffleSplit,
    StratifiedShuffleSplit,
    cross_val_score,
    train_test_split,
)
from sklearn.neural_network import MLPClassifier, MLPRegressor
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from qalvo.models.rampnet import RampNetClassifier, RampNetRegressor

HIDDEN = (40, 40)
SPLITS = 8
MAX_EPOCHS = 1000
PATIENCE = 20


def rampnet_settings():
    return dict(hidden_layer_sizes=HIDDEN, max_epochs=MAX_EPOCHS, learning_rate=0.001,
                batch_size=100, val_ratio=0.2, n_epoch_no_change=PATIENCE, random_state=0)


def mlp_settings():
    return dict(hidden_layer_sizes=HIDDEN, solver="adam", learning_rate_init=0.001,
                batch_size=100, max_iter=MAX_EPOCHS, alpha=0.0, early_stopping=True,
                validation_fraction=0.2, n_iter_no_change=PATIENCE, tol=0.0, random_state=0)


def fit_quietly(model, x, y):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)  # MLP at max_iter
        model.fit(x, y)


def held_out_scores(model, x, y, splitter):
    """Score of a fresh copy of ``model`` on the held-out part of each split."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)  # MLP at max_iter
        return cross_val_score(model, x, y, cv=splitter)


def summary(scores):
    return f"{scores.mean():6.3f} +- {scores.std():5.3f}"


def describe_training(net):
    epochs = len(net.train_epoch_loss_)
    stopped = "yes" if epochs < MAX_EPOCHS else "no"
    return (f"{epochs} epochs, early stop: {stopped}, "
            f"best validation loss {net.best_loss_:.4f}")


def regression_models(settings=None):
    """RampNet and the MLP, features and target standardised on the training rows."""
    settings = settings or {}
    return {
        "RampNetRegressor": TransformedTargetRegressor(
            make_pipeline(StandardScaler(), RampNetRegressor(**rampnet_settings(), **settings)),
            transformer=StandardScaler()),
        "MLPRegressor": TransformedTargetRegressor(
            make_pipeline(StandardScaler(), MLPRegressor(**mlp_settings())),
            transformer=StandardScaler()),
    }


def regression():
    data = load_diabetes()
    x, y = data.data, data.target
    splitter = ShuffleSplit(n_splits=SPLITS, test_size=0.25, random_state=0)
    print(f"Diabetes regression: {x.shape[0]} rows, {x.shape[1]} features; held-out R^2 over "
          f"{SPLITS} random splits (a quarter held out), mean +- sd:")
    for name, model in regression_models().items():
        print(f"  {name:17s} {summary(held_out_scores(model, x, y, splitter))}")
    # One fit, to show how it trained.
    x_train, _, y_train, _ = train_test_split(x, y, test_size=0.25, random_state=0)
    models = regression_models()
    for model in models.values():
        fit_quietly(model, x_train, y_train)
    print(f"  RampNet training: {describe_training(models['RampNetRegressor'].regressor_[-1])}")
    print(f"  MLP training:     {models['MLPRegressor'].regressor_[-1].n_iter_} epochs")


def zero_shares(net):
    """Shares of the weight entries that are exactly zero and below 1e-3 in size.

    A sparse phase zeroes the small weights together with Adam's running
    averages of them and masks their gradients, so they stay exactly zero."""
    weights = np.concatenate([c.ravel() for c in net.coefs_])
    return np.mean(weights == 0.0), np.mean(np.abs(weights) < 1e-3)


def sparse_regression():
    data = load_diabetes()
    x, y = data.data, data.target
    splitter = ShuffleSplit(n_splits=SPLITS, test_size=0.25, random_state=0)
    print(f"Diabetes regression, dense against sparse (iterative hard thresholding), "
          f"{SPLITS} splits:")
    settings = {**rampnet_settings(), "max_epochs": 400}
    for name, extra in [("dense", {}), ("sparse", dict(iht=True, phase_epochs=50, threshold=0.1))]:
        def make():
            return TransformedTargetRegressor(
                make_pipeline(StandardScaler(), RampNetRegressor(**settings, **extra)),
                transformer=StandardScaler())
        scores = held_out_scores(make(), x, y, splitter)
        x_train, _, y_train, _ = train_test_split(x, y, test_size=0.25, random_state=0)
        net = make().fit(x_train, y_train).regressor_[-1]
        exactly, nearly = zero_shares(net)
        print(f"  {name:6s} held-out R^2 {summary(scores)}; one fit: weights exactly zero "
              f"{exactly:5.1%}, below 1e-3 {nearly:5.1%}, {len(net.train_epoch_loss_)} epochs")


def classification_models():
    return {
        "RampNetClassifier": make_pipeline(StandardScaler(),
                                           RampNetClassifier(**rampnet_settings())),
        "MLPClassifier": make_pipeline(StandardScaler(), MLPClassifier(**mlp_settings())),
    }


def classification():
    data = load_breast_cancer()
    x = data.data
    labels = np.asarray(data.target_names)[data.target]  # "malignant" / "benign"
    splitter = StratifiedShuffleSplit(n_splits=SPLITS, test_size=0.25, random_state=0)
    print(f"Breast-cancer classification: {x.shape[0]} rows, {x.shape[1]} features; held-out "
          f"accuracy over {SPLITS} random splits, mean +- sd:")
    for name, model in classification_models().items():
        print(f"  {name:17s} {summary(held_out_scores(model, x, labels, splitter))}")
    x_train, x_test, y_train, _ = train_test_split(
        x, labels, test_size=0.25, random_state=0, stratify=labels)
    models = classification_models()
    for model in models.values():
        fit_quietly(model, x_train, y_train)
    net = models["RampNetClassifier"][-1]
    print(f"  RampNet training: {describe_training(net)}")
    print(f"  MLP training:     {models['MLPClassifier'][-1].n_iter_} epochs")
    proba = models["RampNetClassifier"].predict_proba(x_test[:3])
    predicted = models["RampNetClassifier"].predict(x_test[:3])
    print(f"  First test rows, classes {[str(c) for c in net.classes_]}:")
    for row, label in zip(proba, predicted):
        print(f"    P = ({row[0]:.3f}, {row[1]:.3f}) -> {label}")


def main():
    regression()
    print()
    sparse_regression()
    print()
    classification()


if __name__ == "__main__":
    main()
