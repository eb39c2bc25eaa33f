"""Held-out scores and fit times of dense RampNet, sparse RampNet (iterative
hard thresholding), scikit-learn's MLP and a linear model, over several data
sets and random splits: the table of the user guide's "Choosing RampNet".

    python bench/compare_models.py [--splits 5] [--datasets diabetes,friedman1,...] [--threads N]

Every data set ships with scikit-learn or is drawn from its generators with a
fixed seed: nothing is downloaded. Each split holds out a quarter of the rows
(stratified for classification); every model sees the same split. Features
are standardised inside each model's pipeline (fitted on the training rows
only), and so is the regression target. Regression is scored by R², binary
classification by accuracy; the table gives the mean ± standard deviation
over the splits, the mean fit time of one model in seconds and, for RampNet,
the share of its weight entries that are exactly zero.

The networks use the same settings: two hidden layers of 40 units, Adam with
a learning rate of 0.001 and batches of 100 rows, at most 1000 epochs, early
stopping on a fifth of the training rows after 20 epochs without
improvement, no weight penalty. Sparse RampNet adds iht=True with its
default phases of 50 epochs and threshold 0.1. The linear models are
RidgeCV and LogisticRegression with their defaults.

Fit times are wall-clock times on this machine, with torch using the threads
it chooses (one per core) unless --threads says otherwise; they move with the
machine's load, the more so with several threads (which wait for each other
when other work takes a core).
"""

import argparse
import os
import platform
import time
import warnings

import numpy as np
import torch
from sklearn.compose import TransformedTargetRegressor
from sklearn.datasets import (
    load_breast_cancer,
    load_diabetes,
    load_digits,
    make_classification,
    make_friedman1,
    make_regression,
)
from sklearn.exceptions import ConvergenceWarning
from sklearn.linear_model import LogisticRegression, RidgeCV
from sklearn.model_selection import ShuffleSplit, StratifiedShuffleSplit
from sklearn.neural_network import MLPClassifier, MLPRegressor
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from qalvo.models.rampnet import RampNetClassifier, RampNetRegressor, engine_status

HIDDEN = (40, 40)


def rampnet_settings(sparse):
    settings = dict(hidden_layer_sizes=HIDDEN, max_epochs=1000, learning_rate=0.001,
                    batch_size=100, val_ratio=0.2, n_epoch_no_change=20, random_state=0)
    if sparse:
        settings.update(iht=True, phase_epochs=50, threshold=0.1)
    return settings


def mlp_settings():
    return dict(hidden_layer_sizes=HIDDEN, solver="adam", learning_rate_init=0.001,
                batch_size=100, max_iter=1000, alpha=0.0, early_stopping=True,
                validation_fraction=0.2, n_iter_no_change=20, tol=0.0, random_state=0)


def regressors():
    def scaled(model):
        return TransformedTargetRegressor(make_pipeline(StandardScaler(), model),
                                          transformer=StandardScaler())

    return {
        "RampNet dense": lambda: scaled(RampNetRegressor(**rampnet_settings(False))),
        "RampNet sparse": lambda: scaled(RampNetRegressor(**rampnet_settings(True))),
        "sklearn MLP": lambda: scaled(MLPRegressor(**mlp_settings())),
        "linear (RidgeCV)": lambda: scaled(RidgeCV()),
    }


def classifiers():
    return {
        "RampNet dense": lambda: make_pipeline(StandardScaler(),
                                               RampNetClassifier(**rampnet_settings(False))),
        "RampNet sparse": lambda: make_pipeline(StandardScaler(),
                                                RampNetClassifier(**rampnet_settings(True))),
        "sklearn MLP": lambda: make_pipeline(StandardScaler(), MLPClassifier(**mlp_settings())),
        "linear (LogisticRegression)": lambda: make_pipeline(StandardScaler(),
                                                             LogisticRegression(max_iter=1000)),
    }


def digits_odd_even():
    data = load_digits()
    return data.data, np.where(data.target % 2 == 1, "odd", "even")


# name -> (task, loader, description)
DATASETS = {
    "diabetes": ("regression", lambda: load_diabetes(return_X_y=True),
                 "bundled, 442 rows x 10 features"),
    "friedman1": ("regression", lambda: make_friedman1(n_samples=1000, noise=1.0, random_state=0),
                  "synthetic, nonlinear, 1000 x 10 (5 informative)"),
    "linear": ("regression",
               lambda: make_regression(n_samples=500, n_features=20, n_informative=5,
                                       noise=10.0, random_state=0),
               "synthetic, linear + noise, 500 x 20 (5 informative)"),
    "breast_cancer": ("classification", lambda: load_breast_cancer(return_X_y=True),
                      "bundled, 569 x 30"),
    "classification": ("classification",
                       lambda: make_classification(n_samples=1000, n_features=20, n_informative=6,
                                                   random_state=0),
                       "synthetic, 1000 x 20 (6 informative)"),
    "digits_odd_even": ("classification", digits_odd_even,
                        "bundled digits, odd against even, 1797 x 64"),
}


def zero_share(model):
    """Share of a RampNet's weight entries that are exactly zero (None for the
    other models)."""
    inner = getattr(model, "regressor_", model)
    net = inner[-1]
    if not hasattr(net, "coefs_") or not hasattr(net, "net_"):
        return None
    weights = np.concatenate([w.ravel() for w in net.coefs_])
    return float(np.mean(weights == 0.0))


def evaluate(task, x, y, n_splits):
    """{model name: (scores, fit times, zero shares)} over n_splits held-out splits."""
    if task == "regression":
        models = regressors()
        splitter = ShuffleSplit(n_splits=n_splits, test_size=0.25, random_state=0)
    else:
        models = classifiers()
        splitter = StratifiedShuffleSplit(n_splits=n_splits, test_size=0.25, random_state=0)
    results = {name: ([], [], []) for name in models}
    for train, test in splitter.split(x, y):
        for name, make in models.items():
            model = make()
            start = time.perf_counter()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", ConvergenceWarning)
                model.fit(x[train], y[train])
            elapsed = time.perf_counter() - start
            results[name][0].append(model.score(x[test], y[test]))
            results[name][1].append(elapsed)
            results[name][2].append(zero_share(model))
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--splits", type=int, default=5)
    parser.add_argument("--datasets", default=",".join(DATASETS))
    parser.add_argument("--threads", type=int, default=None,
                        help="torch's intra-op threads (default: torch's own choice)")
    args = parser.parse_args()
    if args.threads:
        torch.set_num_threads(args.threads)

    print(f"{args.splits} random splits per data set, a quarter of the rows held out.")
    print("Scores: R^2 for regression, accuracy for classification, mean +- sd over the splits.")
    print("Fit time: mean seconds per fit.")
    print(f"{os.cpu_count()} CPUs, torch {torch.__version__} ({torch.get_num_threads()} threads), "
          f"{platform.python_implementation()} {platform.python_version()}, "
          f"engine: {engine_status().path}.")
    # The first fit of a process pays torch's warm-up: not a cost of any one model.
    warm_x, warm_y = make_regression(n_samples=200, n_features=5, random_state=0)
    RampNetRegressor(max_epochs=5).fit(warm_x, warm_y)
    for name in args.datasets.split(","):
        task, load, description = DATASETS[name]
        x, y = load()
        x = np.asarray(x, dtype=np.float64)
        print(f"\n{name} ({task}; {description})")
        results = evaluate(task, x, y, args.splits)
        best = max(np.mean(scores) for scores, _, _ in results.values())
        for model, (scores, times, zeros) in results.items():
            mark = "  <- best mean" if np.mean(scores) == best else ""
            sparsity = "" if zeros[0] is None else f"   zero weights {np.mean(zeros):4.0%}"
            print(f"  {model:28s} {np.mean(scores):6.3f} +- {np.std(scores):5.3f}   "
                  f"fit {np.mean(times):5.2f} s{sparsity}{mark}")


if __name__ == "__main__":
    main()
