"""Reference counts of shared objects stay unchanged over many calls."""

import gc
import sys

import pytest
import torch

from qalvo.models.rampnet.rampnet import RampNet, RampNetClassifier, RampNetRegressor


def refcount_after(action, watched, repeats):
    action()  # warm-up: caches and interned values settle
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(repeats):
        action()
    gc.collect()
    return before, [sys.getrefcount(obj) for obj in watched]


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
def test_construction_and_get_params_leak_nothing(cls):
    default_sizes = cls.__init__.__defaults__[0]
    passed_in = object()

    def action():
        cls().get_params()
        cls(hidden_layer_sizes=passed_in, device=passed_in).get_params()

    before, after = refcount_after(action, [default_sizes, passed_in], 10_000)
    assert after == before


def test_failing_calls_leak_nothing():
    passed_in = object()
    loss = torch.nn.MSELoss()

    def action():
        for bad in (lambda: RampNet(passed_in), lambda: RampNetRegressor(passed_in, bogus=1),
                    lambda: RampNet(loss, passed_in, random_state=passed_in)._set_seed()):
            try:
                bad()
            except TypeError:
                pass

    before, after = refcount_after(action, [passed_in, loss], 2_000)
    assert after == before


@pytest.mark.parametrize("cls", [RampNetRegressor, RampNetClassifier])
def test_fit_and_predict_leave_the_reference_counts_of_their_inputs_alone(cls):
    import numpy as np

    rng = np.random.RandomState(0)
    x = rng.randn(40, 3)
    y = (x[:, 0] > 0).astype(float)
    default_sizes = cls.__init__.__defaults__[0]
    bad_x = np.zeros((1, 3))

    def action():
        est = cls(max_epochs=2, batch_size=16).fit(x, y)
        est.predict(x)
        try:
            est.fit(bad_x, y[:1])  # fails in data preparation: the attributes are restored
        except ValueError:
            pass
        est.predict(x)

    before, after = refcount_after(action, [x, y, bad_x, default_sizes], 30)
    assert after == before


def test_repeated_fit_and_predict_do_not_grow_memory(run_python):
    code = """
        import gc
        import numpy as np
        import torch
        from qalvo.models.rampnet.rampnet import RampNetClassifier, RampNetRegressor

        def rss_mb():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1]) / 1024

        torch.set_num_threads(1)
        rng = np.random.RandomState(0)
        x = rng.randn(200, 5)
        y = x.sum(axis=1)
        labels = np.where(y > 0, "a", "b")

        def cycle(k):
            if k % 2:
                RampNetClassifier(hidden_layer_sizes=(8,), max_epochs=2).fit(x, labels).predict(x)
            else:
                RampNetRegressor(hidden_layer_sizes=(8,), max_epochs=2).fit(x, y).predict(x)

        for k in range(20):
            cycle(k)
        gc.collect()
        start = rss_mb()
        for k in range(200):
            cycle(k)
        gc.collect()
        print(rss_mb() - start)
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    growth_mb = float(result.stdout)
    assert growth_mb < 20.0
