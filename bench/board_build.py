"""Time to build the dashboard's panels for an experiment that answers at once.

Prints milliseconds per build with the real ipywidgets and matplotlib (Agg),
and with pyplot and display replaced by no-ops, which leaves the cost of the
widget trees and of the compiled panel code itself.

    .venv/bin/python bench/board_build.py   (run from outside the source tree
    or with the package installed: `make setup` first)
"""

import os
import statistics
import sys
import time

os.environ.setdefault("MPLBACKEND", "Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from qalvo.dashboard import insight_board as board_module  # noqa: E402


class Experiment:
    def __init__(self, n_features=8, n_rows=500):
        self.per_vi_rank = [f"feature_{i}" for i in range(n_features)]
        self.data = type("Data", (), {})()
        self.data.x = np.zeros((n_rows, n_features))
        self.data.truncated_columns_dict = {15: {f: f[:10] for f in self.per_vi_rank}}
        grid = np.linspace(0.0, 1.0, 20)
        self._pdp = {1: {"values": [grid], "average": [grid ** 2]},
                     2: {"values": [grid, grid], "average": [np.outer(grid, grid)]}}
        self._ale = {1: (grid, grid - 0.5), 2: (grid, grid, np.outer(grid, grid) - 0.25)}

    def explain_single(self, name):
        pass

    def permutation_vi(self, name):
        return self.per_vi_rank, np.linspace(1.0, 0.1, len(self.per_vi_rank))

    def pdp_explain(self, name, feature0, feature1):
        return self._pdp[1 if feature1 is None else 2]

    def ale_explain(self, name, feature0, feature1):
        return self._ale[1 if feature1 is None else 2]

    def local_explain(self, reg_model_name, method, sample_index):
        pass


class NoPlot:
    def __getattr__(self, name):
        return lambda *args, **kwargs: None


def timed(action, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        action()
        times.append((time.perf_counter() - start) * 1000)
        plt.close("all")
    return statistics.median(times), min(times)


def main():
    board = board_module.InsightBoard(Experiment(), "model")
    panels = {
        "vi_panel": lambda: board.vi_panel(board_module.widgets.Box()),
        "pdp_ale_panel": board.pdp_ale_panel,
        "local_panel": board.local_panel,
        "explain_all_panel": board.explain_all_panel,
    }
    real_display = board_module.display
    board_module.display = lambda *objs: None
    saved_stdout, sys.stdout = sys.stdout, open(os.devnull, "w")  # clear_output's escapes
    try:
        rows = []
        for name, action in panels.items():
            drawn = timed(action, 20)
            board_module.plt, board_module.PlotHBar = NoPlot(), lambda: NoPlot()
            try:
                widgets_only = timed(action, 50)
            finally:
                board_module.plt = plt
                board_module.PlotHBar = sys.modules["qalvo.dashboard.plots"].PlotHBar
            rows.append((name, drawn, widgets_only))
    finally:
        sys.stdout.close()
        sys.stdout = saved_stdout
        board_module.display = real_display
    print(f"{'panel':<20}{'with drawing, ms (median/min)':>32}{'widgets only, ms':>22}")
    for name, (d_med, d_min), (w_med, w_min) in rows:
        print(f"{name:<20}{d_med:>20.1f} / {d_min:<9.1f}{w_med:>12.2f} / {w_min:.2f}")


if __name__ == "__main__":
    main()
