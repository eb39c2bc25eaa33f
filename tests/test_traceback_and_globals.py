"""Traceback entries of compiled methods and module-global lookup at call time."""

import os
import re
import traceback

import numpy as np
import pytest
torch = pytest.importorskip("torch")

from qalvo.models.rampnet import rampnet as mod
from qalvo.models.rampnet.rampnet import RampNetRegressor

FILE_NAME = "qalvo\\models\\rampnet\\rampnet"


def our_entries(error):
    return [(f.name.rsplit(".", 2)[-2:], f.lineno) for f in traceback.extract_tb(error.__traceback__)
            if f.filename == FILE_NAME]


@pytest.mark.parametrize("random_state, failing_line", [("x", 164), ([1, 2], 165)])
def test_failing_seed_shows_method_entries_with_statement_lines(random_state, failing_line):
    with pytest.raises(Exception) as info:
        RampNetRegressor(random_state=random_state).fit(np.zeros((4, 2)), np.zeros(4))
    assert our_entries(info.value) == [(["RampNet", "fit"], 411),
                                       (["RampNet", "_set_seed"], failing_line)]


def test_seed_accepted_by_numpy_only_still_reseeds_numpy():
    np.random.seed(123)
    with pytest.raises(TypeError):
        RampNetRegressor(random_state=[1, 2])._set_seed()
    reseeded = np.random.rand()
    np.random.seed([1, 2])
    assert reseeded == np.random.rand()


def test_set_seed_seeds_generators_and_environment():
    RampNetRegressor(random_state=42)._set_seed()
    drawn = (np.random.rand(), torch.rand(1).item())
    np.random.seed(42)
    torch.manual_seed(42)
    assert drawn == (np.random.rand(), torch.rand(1).item())
    assert os.environ["PYTHONHASHSEED"] == "42"


def test_rebinding_a_module_global_changes_what_methods_call(monkeypatch):
    seeds = []

    class FakeRandom:
        @staticmethod
        def seed(value):
            seeds.append(value)

    class FakeNumpy:
        random = FakeRandom

    monkeypatch.setattr(mod, "np", FakeNumpy)
    RampNetRegressor(random_state=5)._set_seed()
    assert seeds == [5]


def test_missing_global_raises_name_error(monkeypatch):
    monkeypatch.delattr(mod, "os")
    with pytest.raises(NameError, match=re.escape("name 'os' is not defined")) as info:
        RampNetRegressor()._set_seed()
    assert our_entries(info.value) == [(["RampNet", "_set_seed"], 166)]
