"""Reference counts of shared objects stay unchanged over many calls."""

import copy
import gc
import os
import pickle
import sys

import numpy as np
import pytest
torch = pytest.importorskip("torch")

import qalvo.models.rampnet.rampnet as rampnet
from qalvo.models.rampnet.rampnet import (FastTensorDataLoader, RampNet, RampNetClassifier,
                                          RampNetModule, RampNetRegressor)


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


@pytest.mark.parametrize("make_state", [lambda: None, lambda: np.random.RandomState(1),
                                        lambda: np.random.default_rng(1)],
                         ids=["None", "RandomState", "Generator"])
def test_fits_seeded_from_a_generator_leak_nothing(make_state):
    # The seed drawn for a fit is held only while the fit runs, failing or not.
    state = make_state()
    x = np.random.RandomState(0).randn(30, 2)
    y = x[:, 0].copy()

    def action():
        est = RampNetRegressor(hidden_layer_sizes=(3,), max_epochs=1, random_state=state)
        est.fit(x, y)
        try:
            est.fit(x[:1], y[:1])
        except ValueError:
            pass
        est._set_seed()

    watched = [x, y] + ([state] if state is not None else [])
    before, after = refcount_after(action, watched, 30)
    assert after == before


def test_repeated_fit_and_predict_do_not_grow_memory(run_python, monkeypatch):
    # Under AddressSanitizer (make asan) freed memory waits in a quarantine of up
    # to 256 MB, which the resident size then counts: measure with none.
    if "ASAN_OPTIONS" in os.environ:
        monkeypatch.setenv("ASAN_OPTIONS", os.environ["ASAN_OPTIONS"] + ":quarantine_size_mb=0")
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


# ---- every method, on its success and its failure paths ------------------------

FUNCTION_TYPE = type(RampNet.fit)
CLASSES = [getattr(rampnet, name) for name in (
    "FastTensorDataLoader", "RampNetModule", "RampNet", "RampNetRegressor", "RampNetClassifier")]
RNG = np.random.RandomState(0)
X = RNG.randn(30, 3)
Y = X.sum(axis=1)
LABELS = np.where(Y > 0, "b", "a")
SMALL = dict(hidden_layer_sizes=(4,), max_epochs=2, batch_size=16)


def shared_by_the_module():
    """Objects the module keeps and hands out: every default value, every
    code object and parameter name, and the attribute names of fitted objects."""
    shared = []
    for cls in CLASSES:
        for function in vars(cls).values():
            if not isinstance(function, FUNCTION_TYPE):
                continue
            shared += [function.__code__, function.__name__, *function.__code__.co_varnames]
            if function.__defaults__:
                shared += [function.__defaults__, *function.__defaults__]
            if function.__kwdefaults__:
                shared += [function.__kwdefaults__, *function.__kwdefaults__.values()]
    fitted = [RampNetRegressor(**SMALL).fit(X, Y), RampNetClassifier(**SMALL).fit(X, LABELS)]
    for est in fitted:
        shared += list(vars(est)) + list(vars(est.net_)) + list(vars(est.train_data_loader_))
    # Singletons and small integers are shared with the whole interpreter: too noisy.
    return [o for o in shared if not (o is None or type(o) is bool
                                      or (type(o) is int and -5 <= o <= 256))]


def settle():
    """Collects cycles and empties the interpreter's attribute-lookup cache,
    which holds references to recently looked-up names."""
    gc.collect()
    sys._clear_type_cache()


def messages_of(*failing):
    """The message objects of the module's own errors (the very objects it raises)."""
    found = []
    for call in failing:
        try:
            call()
        except (ValueError, KeyError) as error:
            found.append(error.args[0])
    return found


def attempt(*calls):
    for call in calls:
        try:
            call()
        except (TypeError, ValueError, KeyError, IndexError, AttributeError, AssertionError,
                RuntimeError, ZeroDivisionError):
            pass


def fitted_regressor():
    return RampNetRegressor(**SMALL).fit(X, Y)


def interrupted(est):
    """A fit interrupted in its second epoch, which keeps the model trained so far."""
    est.set_params(iht=False, phase_epochs=50)
    loss, calls = est.loss_fn, []

    def interrupting(prediction, labels):
        calls.append(1)
        if len(calls) > 3:
            raise KeyboardInterrupt
        return loss(prediction, labels)

    est.loss_fn = interrupting
    try:
        est.fit(X, Y)
    except KeyboardInterrupt:
        pass
    est.loss_fn = loss


def loader_calls(t, u):
    def run():
        loader = FastTensorDataLoader(t, u, batch_size=8, shuffle=True)
        len(loader), list(loader), list(iter(loader))
        pickle.loads(pickle.dumps(loader)), copy.deepcopy(loader)
        broken = FastTensorDataLoader(t)
        broken.tensors = [t, "not a tensor"]
        attempt(lambda: copy.deepcopy(broken))
        attempt(lambda: FastTensorDataLoader(t, u[:5]),
                lambda: FastTensorDataLoader(t, batch_size=0),
                lambda: FastTensorDataLoader(t, batch_size=-2), lambda: FastTensorDataLoader(),
                lambda: FastTensorDataLoader(t, size=3), lambda: next(FastTensorDataLoader(t)),
                lambda: FastTensorDataLoader.__len__(), lambda: FastTensorDataLoader.__iter__(3))
    return run


def module_calls(t, u):
    def run():
        net = RampNetModule([(3, 4), (4, 1)], 0.5)
        net.get_params(), net.forward(t), net(t)
        attempt(lambda: RampNetModule([(3, -1), (1, 1)]), lambda: RampNetModule(5),
                lambda: net.forward(u.reshape(-1, 1)), lambda: RampNetModule(),
                lambda: net.get_params(1), lambda: RampNetModule([(3, 1)], dropout_prob=2.0))
    return run


def base_calls(t, u):
    loss = torch.nn.MSELoss()

    def run():
        est = RampNet(loss, (4,), max_epochs=2, random_state=3)
        est._set_seed()
        attempt(lambda: RampNet(loss), lambda: RampNet(loss, (4,), bogus=1),
                lambda: RampNet(loss, (4,), random_state="x")._set_seed(),
                lambda: RampNet(loss, (4,)).fit(X, Y))  # no input validation in the base
    return run


def training_calls(t, u):
    def run():
        est = fitted_regressor()
        est._validate(), est._check_improvement(), est._build_net(), est._prepare_data(X, Y)
        est._fit_bp(X, Y, 1)
        est._hard_thresholding_weight(), est._fit_bp(None, None, 1)
        est.iht_status_ = True
        est._fit_bp(X, Y, 1), est._hard_thresholding_gradient()
        est.set_params(iht=True, phase_epochs=1).fit(X, Y)
        est.get_raw_output(X)
        pickle.loads(pickle.dumps(est))
        interrupted(est)
        est.valid_epoch_loss_ = []
        est.param_fac = {}
        attempt(est._check_improvement, est._hard_thresholding_gradient,
                lambda: est._fit_bp(X, Y, 2.0), lambda: est.set_params(phase_epochs=5).fit(X, Y),
                lambda: est.get_raw_output(X[:, :2]), lambda: est._prepare_data(X[:1], Y[:1]),
                lambda: est.set_params(hidden_layer_sizes=(-1,)).fit(X, Y),
                lambda: est.set_params(hidden_layer_sizes=(4,), iht=False).fit(X * 1e300, Y),
                lambda: RampNetRegressor()._validate(), lambda: est._fit_iht(X))
    return run


def regressor_calls(t, u):
    est = fitted_regressor()

    def run():
        RampNetRegressor(**SMALL).fit(X, Y).predict(X)
        est.predict(X), est._validate_input(X, Y)
        attempt(lambda: est.predict(X[:, :1]), lambda: est.predict(X[0]),
                lambda: RampNetRegressor().predict(X), lambda: est._validate_input(X[:1], Y[:1]),
                lambda: RampNetRegressor(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16),
                lambda: RampNetRegressor(**SMALL).fit(X, Y.astype(str)))
    return run


def classifier_calls(t, u):
    est = RampNetClassifier(**SMALL).fit(X, LABELS)

    def run():
        RampNetClassifier(**SMALL).fit(X, LABELS).predict(X)
        est.predict(X), est.predict_proba(X), est.decision_function(X), est._more_tags()
        # (the input validation encodes the labels on the estimator it is called on)
        scratch = RampNetClassifier()
        scratch._validate_input(X, LABELS)
        attempt(lambda: est.predict(X[:, :1]), lambda: est.predict_proba(np.zeros((0, 3))),
                lambda: RampNetClassifier().decision_function(X),
                lambda: scratch._validate_input(X, np.arange(30) % 3),
                lambda: scratch._validate_input(X[:1], LABELS[:1]), lambda: est._more_tags(1),
                lambda: RampNetClassifier(**SMALL).fit(X, np.arange(30) % 3))
    return run


@pytest.mark.parametrize("calls, repeats", [
    (loader_calls, 300), (module_calls, 300), (base_calls, 300), (training_calls, 15),
    (regressor_calls, 20), (classifier_calls, 20),
], ids=lambda v: getattr(v, "__name__", str(v)))
def test_every_method_leaks_nothing_on_success_and_failure(calls, repeats):
    t = torch.randn(20, 3, dtype=torch.float64)
    u = torch.randn(20, dtype=torch.float64)
    est = fitted_regressor()
    messages = messages_of(
        lambda: est.predict(X[:, :2]), lambda: est.fit(X[:1], Y[:1]),
        lambda: RampNetClassifier(**SMALL).fit(X, np.arange(30) % 3),
        lambda: est.set_params(iht=True, phase_epochs=5).fit(X, Y),
        lambda: est.set_params(iht=False).fit(X, Y * 1e200))
    assert len(messages) == 5
    watched = shared_by_the_module() + messages + [X, Y, LABELS, t, u]
    action = calls(t, u)
    action()  # warm-up: caches and interned values settle
    settle()
    before, objects_before = [sys.getrefcount(o) for o in watched], len(gc.get_objects())
    for _ in range(repeats):
        action()
    settle()
    after, objects_after = [sys.getrefcount(o) for o in watched], len(gc.get_objects())
    changed = [(repr(o)[:60], b, a) for o, b, a in zip(watched, before, after) if a != b]
    assert changed == []
    assert objects_after - objects_before < 100
