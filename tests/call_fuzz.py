"""Calls every function object of both extension modules with random arguments.

    python -X faulthandler tests/call_fuzz.py --calls N [--seed S] [--trace]

Targets: every method of every class of qalvo.models.rampnet.rampnet and
qalvo.dashboard.insight_board, and the functions the panels define inside
themselves (taken from a panel built against recording fakes). A call gets
random positional and keyword arguments: wrong counts, duplicates, unknown
names, keyword names that are not strings (through PyObject_Vectorcall, which
lets any object stand in the names tuple), wrong types and hostile objects.

Every call must either return or raise an ordinary exception (SystemError,
which marks a fault of the runtime, counts as a failure). Where the signature
says the call cannot bind, the error must be the interpreter's TypeError, in
its wording, reported at the function's first line; the expected message is
derived here from inspect.signature, independently of the modules.

Run it in its own process: a crash then ends that process, and faulthandler
shows where (--trace prints each call first, to name the one that crashed).
Values are chosen so that no call trains for long or allocates much: epoch
counts stay below four, and the only large integers (2**70, -2**63) are refused
before anything of their size is allocated.
"""

import argparse
import contextlib
import ctypes
import gc
import inspect
import io
import os
import pickle
import re
import sys
import types
import warnings

import numpy as np
import torch
from hypothesis import HealthCheck, given, seed, settings
from hypothesis import strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import board_fakes  # noqa: E402
import qalvo.dashboard.insight_board as board_module  # noqa: E402
import qalvo.models.rampnet.rampnet as rampnet  # noqa: E402

InsightBoard = board_module.InsightBoard
RAMPNET_FUNCTION = type(rampnet.RampNet.fit)
BOARD_FUNCTION = type(InsightBoard.__init__)
FILE_NAMES = {rampnet.__name__: "qalvo\\models\\rampnet\\rampnet",
              board_module.__name__: "qalvo\\dashboard\\insight_board"}


# ---- the expected outcome of binding, from the signature ---------------------------


def count_message(name, exact, minimum, maximum, given):
    expected = minimum if given < minimum else maximum
    more_or_less = "exactly" if exact else ("at least" if given < minimum else "at most")
    plural = "" if expected == 1 else "s"
    return (f"{name[:200]}() takes {more_or_less[:8]} {expected} positional argument{plural} "
            f"({given} given)")


def binding_error(function, nargs, keys):
    """The message of the TypeError that calling `function` with `nargs`
    positional arguments and keyword names `keys` (in order) raises, or None
    when the call binds. The checks run in the order of the interpreter's
    argument parsing for compiled functions: too many positional arguments
    first; then the keywords, of which the first problem is kept; then a
    missing required parameter (counting the arguments bound before it);
    then the kept keyword problem."""
    name = function.__name__
    parameters = list(inspect.signature(function).parameters.values())
    positional = [p.name for p in parameters if p.kind is p.POSITIONAL_OR_KEYWORD]
    keyword_only = [p.name for p in parameters if p.kind is p.KEYWORD_ONLY]
    varargs = any(p.kind is p.VAR_POSITIONAL for p in parameters)
    required = len([p for p in parameters
                    if p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty])
    exact = required == len(positional) and not varargs
    if not varargs and nargs > len(positional):
        return count_message(name, exact, required, len(positional), nargs)
    bound = set(positional[:nargs])
    problem = None
    for key in keys:
        if not isinstance(key, str):
            found = f"{name[:200]}() keywords must be strings"
        elif key not in positional and key not in keyword_only:
            found = f"{name}() got an unexpected keyword argument '{str.__str__(key)}'"
        elif key in bound:
            found = f"{name}() got multiple values for keyword argument '{str.__str__(key)}'"
        else:
            bound.add(str.__str__(key))
            found = None
        problem = problem or found
    for index in range(nargs, required):
        if positional[index] not in bound:
            return count_message(name, exact, required, len(positional), index)
    return problem


def argument_error_pattern(function):
    """The four messages of a refused call, for this function's name."""
    name = re.escape(function.__name__)
    return re.compile(
        rf"{name}\(\) (takes (exactly|at least|at most) \d+ positional arguments? "
        rf"\(\d+ given\)|got an unexpected keyword argument '.*'|got multiple values for "
        rf"keyword argument '.*'|keywords must be strings)$", re.S)


def dotted_name(function):
    return f"{function.__module__}.{function.__qualname__.replace('<locals>.', '')}"


# ---- calling ----------------------------------------------------------------------

_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
ARGUMENTS_OFFSET = 1 << (8 * ctypes.sizeof(ctypes.c_size_t) - 1)


def vectorcall(callable_, args, kwnames, offset):
    """PyObject_Vectorcall(callable_, args + keyword values, len(args), kwnames).
    With `offset`, the array has a spare leading slot and the call may use it
    (PY_VECTORCALL_ARGUMENTS_OFFSET), as bound methods do to prepend self."""
    values = list(args)
    spare = 1 if offset else 0
    array = (ctypes.py_object * (spare + len(values) + len(kwnames)))()
    if spare:
        array[0] = None
    for i, value in enumerate(values + [v for _, v in kwnames]):
        array[spare + i] = value
    address = ctypes.addressof(array) + spare * ctypes.sizeof(ctypes.py_object)
    names = tuple(k for k, _ in kwnames) if kwnames else None
    flags = len(values) | (ARGUMENTS_OFFSET if offset else 0)
    return _vectorcall(callable_, address, flags, names)


# ---- values -----------------------------------------------------------------------

RNG = np.random.RandomState(0)
X = RNG.randn(40, 3)
Y = X.sum(axis=1)
LABELS = np.where(Y > 0, "yes", "no")
SMALL = dict(hidden_layer_sizes=(4,), max_epochs=2, batch_size=16, n_epoch_no_change=1,
             phase_epochs=1)


class Hostile:
    """Raises from every protocol it is asked for."""

    def __getattr__(self, name):
        raise RuntimeError(f"hostile attribute {name}")

    def __eq__(self, other):
        raise RuntimeError("hostile comparison")

    __lt__ = __gt__ = __le__ = __ge__ = __ne__ = __eq__
    __hash__ = object.__hash__

    def __bool__(self):
        raise RuntimeError("hostile truth")

    def __len__(self):
        raise RuntimeError("hostile length")

    def __iter__(self):
        raise RuntimeError("hostile iteration")

    def __index__(self):
        raise RuntimeError("hostile index")

    def __str__(self):
        raise RuntimeError("hostile text")

    def __repr__(self):
        return "<Hostile>"


class Shaped:
    """Claims an array's shape without being one."""

    def __init__(self, shape):
        self.shape = shape


class Text(str):
    """A str subclass, as a keyword name or a value."""


def recursive_list():
    items = []
    items.append(items)
    return items


def fitted_template(cls, y):
    return pickle.dumps(cls(**SMALL).fit(X, y))


TEMPLATES = {}


def fitted(cls, y):
    """A fitted estimator, fresh for each call (unpickled from one fit)."""
    if cls not in TEMPLATES:
        TEMPLATES[cls] = fitted_template(cls, y)
    return pickle.loads(TEMPLATES[cls])


def loader(shuffle, started):
    result = rampnet.FastTensorDataLoader(torch.from_numpy(X), torch.from_numpy(Y),
                                          batch_size=16, shuffle=shuffle)
    return iter(result) if started else result


def module():
    net = rampnet.RampNetModule([(3, 4), (4, 1)])
    net.get_params()
    return net


def experiment():
    return board_fakes.FakeExperiment(RECORDER)


def board(platform="jupyter"):
    return InsightBoard(experiment(), "model", [], platform)


GENERIC = {
    "None": lambda: None, "True": lambda: True, "False": lambda: False,
    "-1": lambda: -1, "0": lambda: 0, "1": lambda: 1, "2": lambda: 2, "3": lambda: 3,
    "2**70": lambda: 2 ** 70, "-2**63": lambda: -2 ** 63, "0.5": lambda: 0.5,
    "nan": lambda: float("nan"), "inf": lambda: float("inf"), "1j": lambda: 1j,
    "''": lambda: "", "'cpu'": lambda: "cpu", "'bogus'": lambda: "bogus",
    "'a\\x00b'": lambda: "a\x00b", "'\\udc80'": lambda: "\udc80", "Text('a')": lambda: Text("a"),
    "b'x'": lambda: b"x", "bytearray": lambda: bytearray(b"xy"), "()": lambda: (),
    "(4,)": lambda: (4,), "(0,)": lambda: (0,), "(-1,)": lambda: (-1,), "[2, 3]": lambda: [2, 3],
    "{}": lambda: {}, "{'a': 1}": lambda: {"a": 1}, "set": lambda: {1, 2},
    "recursive list": recursive_list, "object()": object, "Hostile()": Hostile,
    "Shaped((40, 3))": lambda: Shaped((40, 3)), "Shaped((3,))": lambda: Shaped((3,)),
    "Shaped(None)": lambda: Shaped(None), "int": lambda: int,
    "scratch class": lambda: type("Scratch", (), {}), "len": lambda: len,
    "RampNet.fit": lambda: rampnet.RampNet.fit, "lambda": lambda: (lambda *a, **k: a),
    # arrays and tensors, all small
    "X": lambda: X.copy(), "Y": lambda: Y.copy(), "LABELS": lambda: LABELS.copy(),
    "X[:1]": lambda: X[:1].copy(), "X[:, :2]": lambda: X[:, :2].copy(), "X[0]": lambda: X[0].copy(),
    "X 3-D": lambda: X.reshape(40, 3, 1), "empty X": lambda: np.zeros((0, 3)),
    "X objects": lambda: np.array([[object()] * 3] * 4), "X nan": lambda: X * np.nan,
    "X huge": lambda: X * 1e300, "int array": lambda: np.array([[1, 2], [3, 1]]),
    "labels 3": lambda: np.arange(40) % 3, "read-only X": lambda: readonly(X),
    "tensor": lambda: torch.from_numpy(X.copy()), "tensor 1-D": lambda: torch.from_numpy(Y.copy()),
    "tensor float32": lambda: torch.ones(5, 3), "tensor int": lambda: torch.arange(6).reshape(2, 3),
    "tensor empty": lambda: torch.zeros(0, 3, dtype=torch.float64),
    "tensor grad": lambda: torch.ones(4, 3, dtype=torch.float64, requires_grad=True),
    # the module's own objects
    "regressor": lambda: rampnet.RampNetRegressor(**SMALL),
    "classifier": lambda: rampnet.RampNetClassifier(**SMALL),
    "base": lambda: rampnet.RampNet(torch.nn.MSELoss(), (4,), max_epochs=2),
    "fitted regressor": lambda: fitted(rampnet.RampNetRegressor, Y),
    "fitted classifier": lambda: fitted(rampnet.RampNetClassifier, LABELS),
    "module": module, "loader": lambda: loader(True, False),
    "started loader": lambda: loader(False, True), "MSELoss": torch.nn.MSELoss,
    "experiment": experiment, "board": board, "colab board": lambda: board("colab"),
    "'a'": lambda: "a", "'b'": lambda: "b", "'Global Explainability'": lambda: "Global",
}

# Values fitting a parameter of that name, drawn besides the generic ones.
BY_PARAMETER = {
    "self": ["regressor", "classifier", "fitted regressor", "fitted classifier", "base",
             "module", "loader", "started loader", "board", "colab board"],
    "x": ["X", "X[:1]", "X[:, :2]", "X[0]", "empty X", "X nan", "read-only X", "X huge"],
    "y": ["Y", "LABELS", "labels 3", "X[0]"],
    "inputs": ["tensor", "tensor float32", "tensor empty", "tensor grad"],
    "tensors": ["tensor", "tensor 1-D"],
    "net_size": ["[(3, 4), (4, 1)]", "[(3, 0), (0, 1)]", "[(3, -1)]", "[(3,)]", "[]"],
    "experiment": ["experiment"],
    "feature0": ["'a'", "'b'"], "feature1": ["'a'", "'b'", "None"],
    "idx": ["0", "3"], "toggle": ["'Global Explainability'"],
    "interp_vi": ["(['a', 'b'], [0.2, 0.1])"],
}
GENERIC.update({
    "[(3, 4), (4, 1)]": lambda: [(3, 4), (4, 1)], "[(3, 0), (0, 1)]": lambda: [(3, 0), (0, 1)],
    "[(3, -1)]": lambda: [(3, -1)], "[(3,)]": lambda: [(3,)], "[]": lambda: [],
    "(['a', 'b'], [0.2, 0.1])": lambda: (["a", "b"], [0.2, 0.1]),
})
# Epoch counts reach loops: only small values, so that no call trains for long.
EPOCH_SAFE = ["None", "-1", "0", "1", "2", "3", "0.5", "''", "Hostile()", "object()", "X"]
EPOCH_PARAMETERS = {"max_epochs", "phase_epochs", "n_epoch_no_change"}


def readonly(a):
    a = np.array(a)
    a.flags.writeable = False
    return a


def value_names(parameter):
    if parameter in EPOCH_PARAMETERS:
        return EPOCH_SAFE
    return BY_PARAMETER.get(parameter, []) + sorted(GENERIC)


# ---- targets ----------------------------------------------------------------------

RECORDER = None


def install_fakes():
    """Recording fakes for what the panel calls, keeping nothing."""
    global RECORDER

    class Setter:
        @staticmethod
        def setattr(target, name, value):
            setattr(target, name, value)

    RECORDER = board_fakes.install(Setter)
    RECORDER.log = lambda *event: None
    board_fakes.FakeOutput.keep_exits = False
    board_fakes.FakeExperiment.keep_calls = False

    class Discard(list):
        def append(self, item):
            pass

    RECORDER.shown = Discard()


def panel_closures():
    """The functions the panels define inside themselves: those bound to
    controls, and the importance drawing, reachable only while it runs."""
    found = []
    bind = board_fakes.FakeWidgets.interactive_output

    def recording(self, f, controls):
        found.append(f)
        return bind(self, f, controls)

    class GrabbingPlot:
        def plot(self, **kwargs):
            found.extend(o for o in gc.get_objects()
                         if type(o) is BOARD_FUNCTION and o.__name__ == "vi_explain")

    saved_plot = board_module.PlotHBar
    board_fakes.FakeWidgets.interactive_output = recording
    board_module.PlotHBar = GrabbingPlot
    try:
        board().explain_all_panel()
    finally:
        board_fakes.FakeWidgets.interactive_output = bind
        board_module.PlotHBar = saved_plot
    unique = {f.__name__: f for f in found}
    assert sorted(unique) == ["ale_explain", "lime_explain", "pdp_explain", "shap_explain",
                              "show_tab", "vi_explain"], sorted(unique)
    return list(unique.values())


def targets():
    """(label, function) for every function object of both modules."""
    found = []
    for owner, kind in [(rampnet, RAMPNET_FUNCTION), (board_module, BOARD_FUNCTION)]:
        for cls in vars(owner).values():
            if isinstance(cls, type) and cls.__module__ == owner.__name__:
                for name, f in vars(cls).items():
                    if type(f) is kind:
                        found.append((f"{cls.__name__}.{name}", f))
    found += [(f.__qualname__, f) for f in panel_closures()]
    return found


# ---- one call ---------------------------------------------------------------------


class Failure(AssertionError):
    pass


def describe(label, mode, args, kwnames):
    shown = ", ".join([*args, *(f"{k!r}={v}" for k, v in kwnames)])
    return f"{label} [{mode}] ({shown})"


def run_call(label, function, mode, arg_names, keywords, stats, trace):
    """Builds the values, makes the call, checks the outcome."""
    args = [GENERIC[n]() for n in arg_names]
    kwnames = [(key, GENERIC[n]()) for key, n in keywords]
    if trace:
        print(describe(label, mode, arg_names, [(k, n) for k, n in keywords]),
              file=sys.__stderr__, flush=True)
    bound_self = mode.startswith("bound")
    callable_ = types.MethodType(function, args.pop(0)) if bound_self else function
    expected = binding_error(function, len(args) + bound_self, [k for k, _ in kwnames])
    try:
        if mode.endswith("python"):
            callable_(*args, **dict(kwnames))
        else:
            vectorcall(callable_, args, kwnames, offset=mode.endswith("offset"))
    except SystemError as error:
        raise Failure(f"SystemError from {describe(label, mode, arg_names, keywords)}: "
                      f"{error}") from error
    except Exception as error:  # every ordinary exception is an acceptable outcome
        stats["raised"] += 1
        entries = [(frame.f_code.co_name, frame.f_code.co_filename, line)
                   for frame, line in traceback_entries(error)]
        innermost = (dotted_name(function), FILE_NAMES[function.__module__],
                     function.__code__.co_firstlineno)
        if expected is None:
            if (type(error) is TypeError and entries[-1] == innermost
                    and argument_error_pattern(function).match(str(error))):
                raise Failure(f"{describe(label, mode, arg_names, keywords)}: binds, but was "
                              f"refused with {str(error)!r}") from error
            return
        if type(error) is not TypeError or str(error) != expected or entries[-1] != innermost:
            raise Failure(f"{describe(label, mode, arg_names, keywords)}: expected TypeError "
                          f"{expected!r} at {innermost}, got {type(error).__name__} "
                          f"{str(error)!r} at {entries[-1:]}") from error
        stats["argument_errors"] += 1
        return
    stats["returned"] += 1
    if expected is not None:
        raise Failure(f"{describe(label, mode, arg_names, keywords)} returned; expected "
                      f"TypeError {expected!r}")


def traceback_entries(error):
    tb = error.__traceback__
    while tb is not None:
        yield tb.tb_frame, tb.tb_lineno
        tb = tb.tb_next


# ---- strategies -------------------------------------------------------------------

MODES = ["unbound python", "unbound vectorcall", "unbound vectorcall offset",
         "bound python", "bound vectorcall", "bound vectorcall offset"]
ODD_KEYS = [7, None, b"x", ("x",), Text("x"), "bogus", "", "self", "a\x00b", "\udc80"]


RECEIVERS = {
    "FastTensorDataLoader": ["loader", "started loader"],
    "RampNetModule": ["module"],
    "RampNet": ["regressor", "classifier", "fitted regressor", "fitted classifier", "base"],
    "RampNetRegressor": ["regressor", "fitted regressor"],
    "RampNetClassifier": ["classifier", "fitted classifier"],
    "InsightBoard": ["board", "colab board"],
}


@st.composite
def one_call(draw, target_list):
    """A call: about half are well formed (the right count, each parameter
    once, values that fit) so that they reach the bodies; the rest are not."""
    label, function = draw(st.sampled_from(target_list))
    parameters = list(inspect.signature(function).parameters.values())
    names = [p.name for p in parameters if p.kind is p.POSITIONAL_OR_KEYWORD]
    keyword_only = [p.name for p in parameters if p.kind is p.KEYWORD_ONLY]
    required = len([p for p in parameters
                    if p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty])
    is_method = bool(names) and names[0] == "self"
    mode = draw(st.sampled_from(MODES if is_method else
                                [m for m in MODES if m.startswith("unbound")]))
    bound = mode.startswith("bound")
    well_formed = draw(st.booleans())
    if well_formed:
        count = draw(st.integers(max(1 if bound else 0, min(required, 1)), len(names)))
        optional = [n for n in names[count:] if names.index(n) >= required] + keyword_only
        keys = names[count:required] + draw(st.lists(st.sampled_from(optional), unique=True,
                                                      max_size=3)) if optional else \
            names[count:required]
        keys = draw(st.permutations(keys))
    else:
        count = draw(st.integers(0, len(names) + 3))
        if bound:
            count = max(count, 1)
        known = names + keyword_only
        key_pool = known + ODD_KEYS if "vectorcall" in mode else known + ["bogus", "self"]
        keys = draw(st.lists(st.sampled_from(key_pool), max_size=4,
                             unique="vectorcall" not in mode))
    arg_names = []
    for i in range(count):
        parameter = names[i] if i < len(names) else ("tensors" if label.startswith("Fast")
                                                       else "extra")
        pool = value_names(parameter)
        if i == 0 and is_method and (bound or well_formed):
            natural = RECEIVERS[label.split(".")[0]]
            pool = natural if well_formed else [n for n in pool if n != "None"] + natural * 20
        elif well_formed and parameter in BY_PARAMETER:
            pool = BY_PARAMETER[parameter] * 10 + pool
        arg_names.append(draw(st.sampled_from(pool)))
    keywords = []
    for key in keys:
        pool = value_names(key if isinstance(key, str) else "")
        if well_formed and key in BY_PARAMETER:
            pool = BY_PARAMETER[key] * 10 + pool
        keywords.append((key, draw(st.sampled_from(pool))))
    return label, function, mode, arg_names, keywords


def fuzz(calls, seed_value, trace):
    install_fakes()
    torch.set_num_threads(1)
    warnings.simplefilter("ignore")
    target_list = targets()
    stats = {"returned": 0, "raised": 0, "argument_errors": 0}
    per_target = {label: 0 for label, _ in target_list}
    per_example = 10
    examples = max(1, calls // per_example)

    @seed(seed_value)
    @settings(max_examples=examples, database=None, deadline=None, derandomize=False,
              suppress_health_check=list(HealthCheck), phases=["generate"])
    @given(st.lists(one_call(target_list), min_size=per_example, max_size=per_example))
    def run(batch):
        for label, function, mode, arg_names, keywords in batch:
            per_target[label] += 1
            with contextlib.redirect_stdout(io.StringIO()):
                run_call(label, function, mode, arg_names, keywords, stats, trace)

    run()
    total = sum(per_target.values())
    return total, stats, per_target


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=3000)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--trace", action="store_true")
    args = parser.parse_args()
    total, stats, per_target = fuzz(args.calls, args.seed, args.trace)
    print(f"calls: {total}, seed {args.seed}")
    print("outcomes: " + " ".join(f"{k}={v}" for k, v in stats.items()))
    print(f"targets: {len(per_target)}; fewest calls: "
          f"{min(per_target.values())} ({min(per_target, key=per_target.get)})")


if __name__ == "__main__":
    main()
