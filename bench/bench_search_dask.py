"""Time one grid search over RampNetRegressor parameters four ways.

1. one process, one torch thread (n_jobs=1);
2. one process, torch's default threads (n_jobs=1);
3. n_jobs=2 with joblib's default backend (loky: two worker processes, one
   thread each);
4. a Dask LocalCluster of two worker processes on 127.0.0.1 (one thread each)
   under joblib.parallel_backend("dask").

The cluster's workers and loky's are started and have imported torch and qalvo
before their timing starts: the figures are those of the search. Each way is
run --repeats times and the best time printed, with the scores checked against
the first way. Then the same for the experiment's permutation importance and
SHAP values of --samples samples (n_jobs=1 against the cluster).

    .venv/bin/python bench/bench_search_dask.py [--epochs N] [--repeats R] [--samples S]
"""

import argparse
import logging
import os
import time

import joblib
import numpy as np
import torch
from distributed import Client, LocalCluster
from sklearn.datasets import load_diabetes
from sklearn.model_selection import GridSearchCV

from qalvo.experiment import Experiment
from qalvo.models.rampnet import RampNetRegressor

GRID = {
    "hidden_layer_sizes": [(16,), (32, 16)],
    "l1_reg": [0.0, 1e-3],
    "learning_rate": [1e-3, 1e-2],
}


def load_on_worker():
    import shap  # noqa: F401
    import sklearn.model_selection  # noqa: F401

    import qalvo.models.rampnet  # noqa: F401

    return os.getpid()


def best_of(repeats, call):
    times, result = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return min(times), result


def scores(grid_search):
    return np.array([grid_search.cv_results_["split%d_test_score" % k] for k in range(grid_search.n_splits_)])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=60)
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--samples", type=int, default=8)
    args = parser.parse_args()

    x, y = load_diabetes(return_X_y=True)
    y = (y - y.mean()) / y.std()

    def search(n_jobs=None):
        grid_search = GridSearchCV(RampNetRegressor(max_epochs=args.epochs, random_state=0), GRID, cv=3, n_jobs=n_jobs)
        return grid_search.fit(x, y)

    fits = 3 * int(np.prod([len(v) for v in GRID.values()]))
    print("grid search: %d fits of RampNetRegressor (max_epochs=%d) on diabetes (442 x 10), cores: %d"
          % (fits, args.epochs, os.cpu_count()))
    rows = []
    default_threads = torch.get_num_threads()
    torch.set_num_threads(1)
    t, reference = best_of(args.repeats, search)
    rows.append(("one process, 1 thread", t, True))
    torch.set_num_threads(default_threads)
    t, result = best_of(args.repeats, search)
    rows.append(("one process, %d threads" % default_threads, t, np.array_equal(scores(result), scores(reference))))
    torch.set_num_threads(1)
    joblib.Parallel(n_jobs=2)(joblib.delayed(load_on_worker)() for _ in range(4))  # loky's workers up
    t, result = best_of(args.repeats, lambda: search(n_jobs=2))
    rows.append(("n_jobs=2, joblib's loky", t, np.array_equal(scores(result), scores(reference))))

    cluster = LocalCluster(
        n_workers=2, threads_per_worker=1, host="127.0.0.1", scheduler_port=0,
        dashboard_address=None, silence_logs=logging.ERROR,
    )
    try:
        with Client(cluster) as client:
            client.wait_for_workers(2, timeout=120)
            client.run(load_on_worker)
            with joblib.parallel_backend("dask"):
                t, result = best_of(args.repeats, search)
            rows.append(("Dask LocalCluster, 2 workers", t, np.array_equal(scores(result), scores(reference))))

            print("%-32s %9s  %s" % ("", "seconds", "scores equal to the first"))
            for label, seconds, same in rows:
                print("%-32s %9.2f  %s" % (label, seconds, "yes" if same else "NO"))

            model = RampNetRegressor(hidden_layer_sizes=(32, 16), max_epochs=args.epochs, random_state=0).fit(x, y)
            indices = list(range(args.samples))
            serial = Experiment(x, y, pfi_repeats=5).add_model("net", model)
            spread = Experiment(x, y, pfi_repeats=5, n_jobs=-1).add_model("net", model)
            print("\nexperiment (RampNetRegressor, 442 rows, 10 features), %d SHAP samples" % args.samples)
            print("%-32s %9s %9s" % ("", "PFI s", "SHAP s"))
            t_pfi, expected_pfi = best_of(1, lambda: serial.permutation_vi("net"))
            t_shap, expected_shap = best_of(1, lambda: serial.local_values("net", "SHAP", indices))
            print("%-32s %9.2f %9.2f" % ("n_jobs=1", t_pfi, t_shap))
            with joblib.parallel_backend("dask"):
                t_pfi, pfi = best_of(1, lambda: spread.permutation_vi("net"))
                t_shap, shap_values = best_of(1, lambda: spread.local_values("net", "SHAP", indices))
            same = np.array_equal(pfi[1], expected_pfi[1]) and np.array_equal(shap_values[0], expected_shap[0])
            print("%-32s %9.2f %9.2f  equal: %s" % ("Dask LocalCluster, n_jobs=-1", t_pfi, t_shap, "yes" if same else "NO"))
    finally:
        cluster.close(timeout=30)


if __name__ == "__main__":
    main()
