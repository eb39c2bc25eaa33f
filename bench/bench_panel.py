"""Time the whole dashboard for a RampNetRegressor: InsightBoard(exp, name)
.explain_all_panel() with the real module, ipywidgets and matplotlib (Agg),
on a fresh experiment (nothing cached), and say where the time goes.

Synthetic data (default 10,000 rows, 10 features: y = 3*x0 + x1**2 + x2*x3 +
noise), a RampNetRegressor fitted on them (not counted), the experiment's
default settings. Every call the panel makes to the experiment is timed; the
rest (widgets, the panel's own drawing of the charts) is reported as one line.
shap and lime are imported before timing (a notebook pays that once per
session; it is timed on its own). Target: the whole panel under 30 s on 2 cores.

    .venv/bin/python bench/bench_panel.py [--rows N] [--features M] [--threads T]
"""

import argparse
import os
import sys
import time

os.environ.setdefault("MPLBACKEND", "Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import torch  # noqa: E402

from qalvo.dashboard import insight_board as board_module  # noqa: E402
from qalvo.experiment import Experiment  # noqa: E402
from qalvo.models.rampnet import RampNetRegressor  # noqa: E402


class Timed:
    """The experiment as the panel sees it, with each call timed."""

    def __init__(self, experiment):
        self._experiment = experiment
        self.timings = []

    def __getattr__(self, name):
        member = getattr(self._experiment, name)
        if not callable(member):
            return member

        def call(*args, **kwargs):
            start = time.perf_counter()
            try:
                return member(*args, **kwargs)
            finally:
                shown = [a for a in args if a is not None] + [
                    "%s=%s" % (k, v) for k, v in kwargs.items() if k != "reg_model_name"
                ]
                self.timings.append(("%s(%s)" % (name, ", ".join(map(str, shown))), time.perf_counter() - start))

        return call


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=10_000)
    parser.add_argument("--features", type=int, default=10)
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    args = parser.parse_args()
    torch.set_num_threads(args.threads)

    rng = np.random.default_rng(0)
    x = rng.uniform(-1, 1, (args.rows, args.features))
    y = 3 * x[:, 0] + x[:, 1] ** 2 + x[:, 2] * x[:, 3] + 0.1 * rng.normal(size=args.rows)
    names = ["feature_%02d" % i for i in range(args.features)]

    start = time.perf_counter()
    model = RampNetRegressor(hidden_layer_sizes=(40, 40), learning_rate=0.005, max_epochs=100, random_state=0)
    model.fit(x, y)
    fit_time = time.perf_counter() - start
    start = time.perf_counter()
    model.predict(x)
    predict_time = time.perf_counter() - start

    start = time.perf_counter()
    import lime.lime_tabular  # noqa: F401
    import shap  # noqa: F401

    import_time = time.perf_counter() - start

    board_module.display = lambda *objects: None  # no notebook: the panel's displays go nowhere
    saved_stdout, sys.stdout = sys.stdout, open(os.devnull, "w")  # clear_output's escapes
    try:
        start = time.perf_counter()
        experiment = Timed(Experiment(x, y, names).add_model("RampNet", model))
        board = board_module.InsightBoard(experiment, "RampNet")
        board.explain_all_panel()
        whole = time.perf_counter() - start
    finally:
        sys.stdout.close()
        sys.stdout = saved_stdout
    plt.close("all")

    settings = experiment._experiment
    print("RampNetRegressor (40, 40), %d rows x %d features, %d torch threads, %s cores"
          % (args.rows, args.features, torch.get_num_threads(), os.cpu_count()))
    print("fit %.1f s, %d epochs (not counted); predict on all rows %.3f s"
          % (fit_time, len(model.train_epoch_loss_), predict_time))
    print("settings: pfi_repeats=%d pdp_grid=%d pdp_grid_2d=%d pdp_max_samples=%d ale_bins=%d "
          "ale_bins_2d=%d shap_background=%d lime_samples=%d"
          % (settings.pfi_repeats, settings.pdp_grid, settings.pdp_grid_2d, settings.pdp_max_samples,
             settings.ale_bins, settings.ale_bins_2d, settings.shap_background, settings.lime_samples))
    print("%-48s %8s" % ("step", "seconds"))
    counted = 0.0
    for label, seconds in experiment.timings:
        print("%-48s %8.2f" % (label, seconds))
        counted += seconds
    print("%-48s %8.2f" % ("widgets and the panel's own drawing", whole - counted))
    print("%-48s %8.2f" % ("whole panel", whole))
    print("%-48s %8.2f" % ("import shap + lime (once per session)", import_time))
    return 0


if __name__ == "__main__":
    sys.exit(main())
