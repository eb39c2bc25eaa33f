"""Ctrl-C during a long fit, and fits running in several threads at once.
Both run in a child process: a crash fails the test with faulthandler's report."""

import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time

import pytest

pytest.importorskip("torch")

LONG_FIT = """
    import signal, sys, time, traceback
    # Ctrl-C raises KeyboardInterrupt, also where the suite runs as a
    # background job (whose children start with SIGINT ignored)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    import numpy as np
    import torch
    from qalvo.models.rampnet.rampnet import RampNetRegressor
    torch.set_num_threads(1)
    rng = np.random.RandomState(0)
    x = rng.randn(2000, 10)
    y = x.sum(axis=1)
    # A first short fit does torch's lazy imports (seconds on a busy machine),
    # so that the signal below arrives in the epochs, not in the set-up.
    RampNetRegressor(max_epochs=2, iht=True, phase_epochs=1).fit(x[:100], y[:100])
    est = RampNetRegressor(max_epochs=10 ** 6, n_epoch_no_change=10 ** 6, {extra})
    print("fitting", flush=True)
    try:
        est.fit(x, y)
    except KeyboardInterrupt as interrupt:
        caught = time.monotonic()
        names = [frame.name for frame in traceback.extract_tb(interrupt.__traceback__)]
        print("interrupted", caught, len(est.train_epoch_loss_), flush=True)
        print("through", " ".join(names), flush=True)
        # the model trained so far is kept and published: it predicts
        print("kept", est.is_fitted_, est.coefs_[0].shape, est.predict(x[:3]).shape, flush=True)
    else:
        sys.exit("the fit ended on its own")
    est.set_params(max_epochs=2, n_epoch_no_change=20, iht=False).fit(x, y)
    print("refitted", est.predict(x[:3]).shape, est.is_fitted_, flush=True)
"""


@pytest.mark.parametrize("extra", ["", "iht=True, phase_epochs=10 ** 5"],
                         ids=["back-propagation", "iterative hard thresholding"])
def test_sigint_stops_a_long_fit_within_a_second_and_the_estimator_fits_again(extra):
    child = subprocess.Popen(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(LONG_FIT.format(extra=extra))],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tempfile.gettempdir())
    try:
        assert child.stdout.readline() == "fitting\n"
        time.sleep(1.5)  # well into the epochs
        sent = time.monotonic()  # the same clock as the child's, system-wide
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
    assert child.returncode == 0, err[-5000:]
    lines = dict(line.split(" ", 1) for line in out.splitlines())
    caught, epochs = lines["interrupted"].split()
    assert float(caught) - sent < 1.0
    assert int(epochs) > 0  # it was training; the epochs run so far are kept
    assert "qalvo.models.rampnet.rampnet.RampNet._fit_bp" in lines["through"].split()
    assert lines["kept"] == "True (10, 40) (3,)"
    assert lines["refitted"] == "(3,) True"


THREADS = """
    import threading
    import numpy as np
    import torch
    from qalvo.models.rampnet.rampnet import RampNetClassifier, RampNetRegressor
    torch.set_num_threads(1)
    rng = np.random.RandomState(0)
    x = rng.randn(400, 6)
    y = x @ rng.randn(6)
    jobs = [(RampNetRegressor, y), (RampNetClassifier, np.where(y > 0, "p", "n"))] * 2
    results, errors = [None] * len(jobs), []

    def work(k, cls, target):
        try:
            for _ in range(2):
                est = cls(hidden_layer_sizes=(16, 8), max_epochs=10, batch_size=32,
                          iht=k >= 2, phase_epochs=3).fit(x, target)
                results[k] = est.predict(x)
        except BaseException as error:
            errors.append(repr(error))

    threads = [threading.Thread(target=work, args=(k, *job)) for k, job in enumerate(jobs)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == [], errors
    assert np.isfinite(results[0]).all() and np.isfinite(results[2]).all()
    assert set(results[1]) <= {"p", "n"} and set(results[3]) <= {"p", "n"}
    print("done")
"""


def test_fits_in_several_threads_at_once_finish(run_python):
    result = run_python(THREADS, "-X", "faulthandler")
    assert result.returncode == 0, result.stderr[-5000:]
    assert result.stdout == "done\n"


SAME_OBJECT = """
    import os, threading
    import numpy as np
    from qalvo.models.rampnet.rampnet import RampNetRegressor
    rng = np.random.RandomState(0)
    x = rng.randn(400, 6)
    y = x @ rng.randn(6)
    started, release = threading.Event(), threading.Event()

    class Pausing(RampNetRegressor):
        pause = False

        def _check_improvement(self):
            super()._check_improvement()
            if self.pause:
                started.set()
                release.wait(60)

    est = Pausing(hidden_layer_sizes=(8,), max_epochs=3).fit(x, y)
    before = est.predict(x)
    est.pause = True
    errors = []
    fitting = threading.Thread(target=lambda: est.fit(x, y))
    fitting.start()
    assert started.wait(60)
    for call in (lambda: est.fit(x, y), lambda: est._fit_bp(x, y, 1)):
        try:
            call()
        except RuntimeError as error:
            errors.append(str(error))
    during = est.predict(x)  # predicting stays allowed
    release.set()
    fitting.join()
    assert len(errors) == 2, errors
    print(errors[0])
    print(errors[1])
    print(during.shape, np.isfinite(during).all(), np.array_equal(est.predict(x), before))
"""


@pytest.mark.parametrize("engine", ["1", "0"], ids=["engine", "generic path"])
def test_a_second_fit_of_an_object_being_fitted_in_another_thread_is_refused(
        run_python, engine, monkeypatch):
    monkeypatch.setenv("QALVO_ENGINE", engine)
    result = run_python(SAME_OBJECT, "-X", "faulthandler")
    assert result.returncode == 0, result.stderr[-5000:]
    refused, refused_bp, shapes = result.stdout.splitlines()
    assert refused == (
        "fit() refused: this Pausing is being fitted in another thread. Fitting one estimator "
        "object in two threads at once would corrupt it; give each thread its own "
        "(sklearn.base.clone(estimator)).")
    assert refused_bp.startswith("_fit_bp() refused: this Pausing")
    # the refused calls changed nothing; the running fit, with the same seed, ends as before
    assert shapes == "(400,) True True"
