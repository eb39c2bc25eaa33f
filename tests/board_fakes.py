"""Recording stand-ins for what the dashboard module calls.

`install(monkeypatch)` rebinds the module's globals (widgets, plt, QalvoWidget,
PlotHBar, display, clear_output) to fakes that append every call to one event
list, so tests see what the panel created, displayed and drew, and in which
order. The experiment fake records its calls together with the output widget
that was active (entered as a context) at that moment.
"""

import numpy as np

import qalvo.dashboard.insight_board as board_module


class Recorder:
    def __init__(self):
        self.events = []
        self.active = []  # outputs entered as contexts, innermost last
        self.shown = []  # displayed outside any output

    def log(self, *event):
        self.events.append(event)

    def current_output(self):
        return self.active[-1] if self.active else None

    def of_kind(self, kind):
        return [e[1] for e in self.events if e[0] == "create" and e[1].kind == kind]

    def plt_calls(self):
        return [(e[1], e[2], e[3]) for e in self.events if e[0] == "plt"]


class FakeWidget:
    def __init__(self, rec, kind, args, kwargs):
        object.__setattr__(self, "_ready", False)
        self.rec = rec
        self.kind = kind
        self.args = args
        self.kwargs = kwargs
        self.classes = []
        self.observers = []
        if kind == "HTML":
            self.value = args[0]
        elif "value" not in kwargs and kwargs.get("options"):
            self.value = kwargs["options"][0]  # selection widgets start on the first option
        else:
            self.value = kwargs.get("value")
        self._ready = True
        rec.log("create", self)

    @property
    def children(self):
        return list(self.args[0]) if self.args else []

    @property
    def layout(self):
        return self.kwargs.get("layout")

    def add_class(self, name):
        self.classes.append(name)
        self.rec.log("add_class", self, name)

    def __setattr__(self, name, value):
        object.__setattr__(self, name, value)
        if name == "value" and self._ready:
            self.rec.log("set", self, value)
            for observer in list(self.observers):
                observer()

    def __repr__(self):
        return f"<{self.kind} {self.args!r} {self.kwargs!r}>"


class FakeOutput(FakeWidget):
    suppress = False  # what __exit__ returns
    keep_exits = True

    def __init__(self, rec, kind, args, kwargs):
        self.contents = []
        self.exits = []
        super().__init__(rec, kind, args, kwargs)

    def __enter__(self):
        self.rec.log("enter", self)
        self.rec.active.append(self)
        return self

    def __exit__(self, exc_type, exc_value, tb):
        self.rec.active.pop()
        if self.keep_exits:
            self.exits.append((exc_type, exc_value, tb))
        self.rec.log("exit", self, exc_type)
        return self.suppress


class FakeWidgets:
    """The ipywidgets surface the panel uses."""

    def __init__(self, rec):
        self.rec = rec
        for kind in ("Box", "HBox", "VBox", "HTML", "Dropdown", "BoundedIntText",
                     "IntProgress", "ToggleButtons", "Layout"):
            setattr(self, kind, self._factory(FakeWidget, kind))
        self.Output = self._factory(FakeOutput, "Output")

    def _factory(self, cls, kind):
        def make(*args, **kwargs):
            return cls(self.rec, kind, args, kwargs)

        return make

    def interactive_output(self, f, controls):
        out = FakeOutput(self.rec, "live", (), {})
        out.callback = f
        out.controls = controls

        def run():
            kwargs = {key: control.value for key, control in controls.items()}
            self.rec.log("run", f, kwargs)
            with out:
                out.contents.clear()
                f(**kwargs)

        for control in controls.values():
            control.observers.append(run)
        run()
        return out


def make_display(rec):
    def display(obj):
        rec.log("display", obj, rec.current_output())
        (out.contents if (out := rec.current_output()) else rec.shown).append(obj)

    def clear_output():
        rec.log("clear_output", rec.current_output())
        if rec.current_output() is not None:
            rec.current_output().contents.clear()

    return display, clear_output


class FakePlt:
    def __init__(self, rec):
        self.rec = rec

    def __getattr__(self, name):
        def call(*args, **kwargs):
            self.rec.log("plt", name, args, kwargs)

        return call


def make_qalvo_widget(rec):
    class FakeQalvoWidget:
        @staticmethod
        def margin_top(size):
            return FakeWidget(rec, "margin_top", (), {"size": size})

        @staticmethod
        def margin_right(size):
            return FakeWidget(rec, "margin_right", (), {"size": size})

        @staticmethod
        def divider():
            return FakeWidget(rec, "divider", (), {})

    return FakeQalvoWidget


def make_plot_hbar(rec):
    class FakePlotHBar:
        def __init__(self, *args, **kwargs):
            rec.log("hbar", args, kwargs)

        def plot(self, *args, **kwargs):
            rec.log("hbar.plot", args, kwargs)

    return FakePlotHBar


def install(monkeypatch):
    """Binds the fakes into the module; returns the recorder."""
    rec = Recorder()
    display, clear_output = make_display(rec)
    monkeypatch.setattr(board_module, "widgets", FakeWidgets(rec))
    monkeypatch.setattr(board_module, "plt", FakePlt(rec))
    monkeypatch.setattr(board_module, "QalvoWidget", make_qalvo_widget(rec))
    monkeypatch.setattr(board_module, "PlotHBar", make_plot_hbar(rec))
    monkeypatch.setattr(board_module, "display", display)
    monkeypatch.setattr(board_module, "clear_output", clear_output)
    return rec


# ---- the experiment ------------------------------------------------------------


def pdp_result(grid0, average, grid1=None):
    values = [np.asarray(grid0)] + ([] if grid1 is None else [np.asarray(grid1)])
    return {"values": values, "average": [np.asarray(average)]}


class FakeData:
    def __init__(self, n_rows, labels):
        self.x = np.zeros((n_rows, 2))
        self.truncated_columns_dict = {15: labels}


class FakeExperiment:
    """Answers the panel's questions with small arrays and records each call
    with the output that was active while it ran."""

    keep_calls = True

    def __init__(self, rec=None, features=("a", "b", "c"), n_rows=100):
        self.rec = rec
        self.calls = []
        self.per_vi_rank = list(features)
        self.data = FakeData(n_rows, {f: f.upper() for f in features})
        self.importance = (list(features), [0.3, 0.2, 0.1][: len(features)])
        grid0, grid1 = np.linspace(0.0, 1.0, 5), np.linspace(10.0, 20.0, 4)
        self.pdp_one = pdp_result(grid0, np.arange(5.0))
        # Two-feature effects as the experiment lays them out: a row per value of
        # feature1 (from its highest down), a column per value of feature0.
        self.pdp_two = pdp_result(grid0, np.arange(20.0).reshape(4, 5) * 7.5, grid1)
        self.ale_one = (grid0, np.arange(5.0) / 10)
        self.ale_two = (grid0, grid1, np.arange(20.0).reshape(4, 5) / 4)

    def _record(self, name, *args, **kwargs):
        active = self.rec.current_output() if self.rec else None
        if self.keep_calls:
            self.calls.append((name, args, kwargs, active))
        if self.rec:
            self.rec.log("experiment", name, args, kwargs)

    def explain_single(self, *args, **kwargs):
        self._record("explain_single", *args, **kwargs)

    def permutation_vi(self, *args):
        self._record("permutation_vi", *args)
        return self.importance

    def pdp_explain(self, name, feature0, feature1):
        self._record("pdp_explain", name, feature0, feature1)
        return self.pdp_one if feature1 is None else self.pdp_two

    def ale_explain(self, name, feature0, feature1):
        self._record("ale_explain", name, feature0, feature1)
        return self.ale_one if feature1 is None else self.ale_two

    def local_explain(self, *args, **kwargs):
        self._record("local_explain", *args, **kwargs)

    def calls_named(self, name):
        return [(args, kwargs) for n, args, kwargs, _ in self.calls if n == name]


class Lacking:
    """An experiment without one member: every other one is the wrapped fake's."""

    def __init__(self, inner, missing):
        self._inner = inner
        self._missing = missing

    def __getattr__(self, name):
        if name == self._missing:
            raise AttributeError(f"'Lacking' object has no attribute '{name}'")
        return getattr(self._inner, name)
