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
