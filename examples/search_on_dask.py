"""A grid search over RampNetRegressor parameters on a Dask cluster.

scikit-learn hands the search's fits to joblib, and inside
``joblib.parallel_backend("dask")`` joblib hands them to the cluster's workers.
The script runs the same search twice, on the cluster and in this one process,
and prints the best parameters and the time of each. Dask's workers compute
with one thread each, and so does the search in this process: float64 sums
split over several threads round differently, and a fit's rounding differences
grow over its epochs. Like that the scores are the same to the last bit.

    .venv/bin/python examples/search_on_dask.py                       # a local cluster
    .venv/bin/python examples/search_on_dask.py --scheduler tcp://HOST:8786

Without --scheduler it starts a LocalCluster of two worker processes on
127.0.0.1 (ports chosen free, no dashboard). With --scheduler it connects to
that cluster's scheduler; its workers need qalvo installed, built against the
same torch version as here.
"""

import argparse
import logging
import sys
import time
from concurrent.futures import CancelledError

import joblib
import numpy as np
import torch
from distributed import Client, KilledWorker, LocalCluster
from sklearn.datasets import load_diabetes
from sklearn.model_selection import GridSearchCV

from qalvo.models.rampnet import RampNetRegressor

GRID = {
    "hidden_layer_sizes": [(16,), (32, 16)],
    "l1_reg": [0.0, 1e-3],
    "learning_rate": [1e-3, 1e-2],
}


def search(epochs):
    return GridSearchCV(RampNetRegressor(max_epochs=epochs, random_state=0), GRID, cv=3)


def load_on_worker():
    """Imports what the fits need, so that the search's time does not include
    each worker's first import of torch, scikit-learn and qalvo."""
    import sklearn.model_selection  # noqa: F401

    import qalvo.models.rampnet  # noqa: F401


def timed_fit(grid_search, x, y):
    start = time.perf_counter()
    grid_search.fit(x, y)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running Dask scheduler, e.g. tcp://10.0.0.5:8786")
    parser.add_argument("--epochs", type=int, default=100, help="max_epochs of every network (default 100)")
    args = parser.parse_args()

    x, y = load_diabetes(return_X_y=True)  # x is already centred and scaled
    y = (y - y.mean()) / y.std()

    if args.scheduler:
        cluster = None
        client = Client(args.scheduler, timeout=30)
    else:
        cluster = LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            host="127.0.0.1",
            scheduler_port=0,
            dashboard_address=None,
            silence_logs=logging.ERROR,
        )
        client = Client(cluster)
    try:
        workers = client.scheduler_info()["workers"]
        print("cluster: %s, %d workers, %d threads" % (
            client.scheduler.address, len(workers), sum(w["nthreads"] for w in workers.values())
        ))
        client.run(load_on_worker)
        on_cluster = search(args.epochs)
        try:
            with joblib.parallel_backend("dask"):
                cluster_time = timed_fit(on_cluster, x, y)
        except (CancelledError, KilledWorker) as error:
            # joblib keeps each large argument it sends (the data, the folds) on
            # one worker only: a worker lost during the search takes them along.
            sys.exit("the search lost a worker of the cluster and stopped (%s: %s); run it again"
                     % (type(error).__name__, error))
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    torch.set_num_threads(1)
    in_process = search(args.epochs)
    process_time = timed_fit(in_process, x, y)

    print("best parameters: %s (mean R^2 %.4f)" % (on_cluster.best_params_, on_cluster.best_score_))
    print("search of %d fits on the cluster: %.1f s; in one process (one thread): %.1f s" % (
        len(on_cluster.cv_results_["params"]) * on_cluster.n_splits_, cluster_time, process_time
    ))
    same = all(
        np.array_equal(on_cluster.cv_results_[key], in_process.cv_results_[key])
        for key in on_cluster.cv_results_
        if key.startswith("split") and key.endswith("_test_score")
    )
    print("scores the same in both: %s" % ("yes" if same else "NO"))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
