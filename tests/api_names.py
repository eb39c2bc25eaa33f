"""The package's public names and methods, which the API reference must
describe (checked on its sources and on the built pages)."""

import importlib


def resolve(dotted):
    module, _, name = dotted.rpartition(".")
    return getattr(importlib.import_module(module), name)


def public_names():
    """The package's public objects, under the dotted names users import."""
    import qalvo.experiment
    import qalvo.models.rampnet

    names = ["qalvo.models.rampnet." + n for n in qalvo.models.rampnet.__all__]
    names += ["qalvo.experiment." + n for n in qalvo.experiment.__all__]
    import qalvo.experiment.plots

    names += ["qalvo.dashboard.insight_board.InsightBoard", "qalvo.dashboard.widgets.QalvoWidget",
              "qalvo.dashboard.plots.PlotHBar", "qalvo.experiment.score_drops.ScoreDrops",
              "qalvo.EngineUnavailableWarning"]
    names += ["qalvo.experiment.plots." + n for n in qalvo.experiment.plots.__all__]
    return names


def public_methods(cls):
    """Public methods and properties a user calls on ``cls``: its own and
    those of qalvo's base classes (not scikit-learn's or torch's)."""
    methods = set()
    for klass in cls.__mro__:
        if not klass.__module__.startswith("qalvo"):
            continue
        for name, value in vars(klass).items():
            if name.startswith("_") or name.startswith("set_") and name.endswith("_request"):
                continue  # scikit-learn's metadata routing makes set_*_request per class
            if callable(value) or isinstance(value, property):
                methods.add(name)
    return methods
