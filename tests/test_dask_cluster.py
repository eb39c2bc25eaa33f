"""Searches and explanations on a Dask cluster through joblib's "dask" backend:
a LocalCluster of two worker processes on 127.0.0.1 (ports chosen free, no
dashboard) gives the scores and values of one process, and a worker lost
during a search makes the search fail at once, or be retried to completion
where none of its data was lost with the worker, and never hang.

Every wait is bounded: the work runs in a thread whose result is awaited with a
timeout, and the cluster is shut down whatever happens."""

import concurrent.futures
import logging
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import joblib
import numpy as np
import pytest
pytest.importorskip("torch")  # the estimators need it; other Pythons here have none
from distributed import Client, KilledWorker, LocalCluster, get_task_stream
from sklearn.model_selection import GridSearchCV

from qalvo.experiment import Experiment
from qalvo.models.rampnet import RampNetRegressor

# Far beyond what the work takes (a few seconds), short of a stuck suite.
BOUND = 120
GRID = {"hidden_layer_sizes": [(8,), (16,)], "l1_reg": [0.0, 1e-3]}
SCORES = ["split%d_test_score" % k for k in range(3)]


def data(n=240, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1, 1, (n, 5))
    return x, 2 * x[:, 0] + x[:, 1] ** 2 + 0.05 * rng.normal(size=n)


def search(epochs=8):
    return GridSearchCV(RampNetRegressor(max_epochs=epochs, random_state=0), GRID, cv=3)


def load_on_worker():
    import shap  # noqa: F401
    import sklearn.model_selection  # noqa: F401

    import qalvo.models.rampnet  # noqa: F401


@pytest.fixture(scope="module")
def client():
    # Nannies set their workers' variables (OMP_NUM_THREADS=1, ...) in this
    # process's environment before starting them: the rest of the suite, and
    # the processes it starts, get the environment back as it was.
    environment = dict(os.environ)
    cluster = None
    try:
        cluster = LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            scheduler_port=0,
            dashboard_address=None,
            silence_logs=logging.CRITICAL,
        )
        with Client(cluster) as client:
            client.wait_for_workers(2, timeout=BOUND)
            client.run(load_on_worker)
            yield client
    finally:
        if cluster is not None:
            cluster.close(timeout=30)
        os.environ.clear()
        os.environ.update(environment)


def on_cluster(work, workers=None):
    """``work()`` inside joblib's dask backend, in a thread (the backend is
    chosen per thread), awaited for at most BOUND seconds. Adds the addresses
    of the workers that ran its tasks to the set ``workers``."""

    def run():
        with get_task_stream() as tasks, joblib.parallel_backend("dask", wait_for_workers_timeout=BOUND):
            result = work()
        if workers is not None:
            workers.update(task["worker"] for task in tasks.data)
        return result

    pool = concurrent.futures.ThreadPoolExecutor(1)
    try:
        return pool.submit(run).result(timeout=BOUND)
    finally:
        pool.shutdown(wait=False)


def test_the_cluster_listens_on_loopback_only(client):
    addresses = [client.scheduler.address, *client.scheduler_info()["workers"]]
    assert len(addresses) == 3
    assert all(address.startswith("tcp://127.0.0.1:") for address in addresses)


def test_grid_search_scores_equal_those_of_one_process(client):
    x, y = data()
    serial = search().fit(x, y)
    workers = set()
    distributed = on_cluster(lambda: search().fit(x, y), workers)
    assert workers == set(client.scheduler_info()["workers"])
    for key in SCORES:
        np.testing.assert_array_equal(distributed.cv_results_[key], serial.cv_results_[key])
    assert distributed.best_params_ == serial.best_params_


def test_experiment_importances_and_local_values_equal_the_serial_ones(client):
    x, y = data()
    model = RampNetRegressor(hidden_layer_sizes=(8,), max_epochs=10, random_state=0).fit(x, y)
    settings = dict(pfi_repeats=2, shap_background=15, lime_samples=200)
    serial = Experiment(x, y, **settings).add_model("net", model)
    spread = Experiment(x, y, n_jobs=-1, **settings).add_model("net", model)
    indices = [0, 5, 17, 239]

    def explain():
        return (
            spread.permutation_vi("net"),
            spread.local_values("net", "SHAP", indices),
            spread.local_values("net", "LIME", indices),
        )

    workers = set()
    importance, shap_values, lime_values = on_cluster(explain, workers)
    assert workers == set(client.scheduler_info()["workers"])
    expected = serial.permutation_vi("net")
    assert importance[0] == expected[0]
    np.testing.assert_array_equal(importance[1], expected[1])
    for got, method in [(shap_values, "SHAP"), (lime_values, "LIME")]:
        values, base_values = serial.local_values("net", method, indices)
        np.testing.assert_array_equal(got[0], values)
        np.testing.assert_array_equal(got[1], base_values)


def kill_a_busy_worker(client, pids, stop, killed):
    """SIGKILL the first worker seen running a task of the search while it
    alone holds some of the data joblib sent (polls for at most BOUND
    seconds)."""
    end = time.monotonic() + BOUND
    while time.monotonic() < end and not stop.is_set():
        alone = {holders[0] for holders in client.who_has().values() if len(holders) == 1}
        for address, keys in client.processing().items():
            if keys and address in alone:
                os.kill(pids[address], signal.SIGKILL)
                killed.append(address)
                return
        time.sleep(0.01)


def test_a_worker_killed_during_a_search_fails_it_at_once_or_is_retried(client):
    # joblib sends each large argument of the fits (the data, each fold's
    # indices) to one worker only. Losing a worker that alone holds some of
    # them cancels the fits that need them: the search raises at once. Only
    # where the data had already been copied to the other worker are the lost
    # fits run again there and the search completes, with the same scores.
    x, y = data(n=600)
    serial = search(epochs=30).fit(x, y)
    pids = client.run(os.getpid)
    stop, killed = threading.Event(), []
    killer = threading.Thread(target=kill_a_busy_worker, args=(client, pids, stop, killed))
    killer.start()
    started = time.monotonic()
    try:
        completed = on_cluster(lambda: search(epochs=30).fit(x, y))
    except (concurrent.futures.CancelledError, KilledWorker):
        completed = None
    finally:
        stop.set()
        killer.join(BOUND)
    assert len(killed) == 1
    assert time.monotonic() - started < BOUND
    if completed is not None:
        for key in SCORES:
            np.testing.assert_array_equal(completed.cv_results_[key], serial.cv_results_[key])
    # The worker's nanny starts a new worker process, and the next search runs.
    client.wait_for_workers(2, timeout=BOUND)
    assert pids[killed[0]] not in client.run(os.getpid).values()
    small_x, small_y = data()
    rerun = on_cluster(lambda: search(epochs=5).fit(small_x, small_y))
    expected = search(epochs=5).fit(small_x, small_y)
    np.testing.assert_array_equal(rerun.cv_results_[SCORES[0]], expected.cv_results_[SCORES[0]])


def test_the_example_searches_on_a_given_scheduler(client):
    example = Path(__file__).resolve().parent.parent / "examples" / "search_on_dask.py"
    done = subprocess.run(
        [sys.executable, str(example), "--scheduler", client.scheduler.address, "--epochs", "3"],
        capture_output=True,
        text=True,
        timeout=BOUND,
        cwd=tempfile.gettempdir(),  # keep the source tree off sys.path
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert "cluster: %s, 2 workers, 2 threads" % client.scheduler.address in done.stdout
    assert "best parameters: {'hidden_layer_sizes'" in done.stdout
    assert "scores the same in both: yes" in done.stdout
