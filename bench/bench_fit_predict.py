"""Fit and predict times of RampNetRegressor (on its native training engine)
against its own generic path (QALVO_ENGINE=0), the same training as a plain
PyTorch loop, scikit-learn's MLPRegressor and skorch's NeuralNetRegressor, and
the peak memory of predicting 1,000,000 rows.

    python bench/bench_fit_predict.py [--runs 7] [--threads N] [--workloads small,medium]

Prints the best and the median over --runs runs in this process and RampNet's
time relative to each other: the ratio of the best times, and the median of
the per-run ratios (the estimators take turns within a run, so changes of the
machine's load hit them alike). Early stopping is disabled by a patience larger
than the epoch count.
"""

import argparse
import contextlib
import json
import os
import subprocess
import sys
import time
import warnings

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from plain_loop import Net, PlainLoop  # noqa: E402

from qalvo.models.rampnet import RampNetRegressor  # noqa: E402

WORKLOADS = {
    "small": dict(n=2_000, d=10, hidden=(40, 40), batch=100, epochs=50),
    "medium": dict(n=50_000, d=30, hidden=(128, 128), batch=512, epochs=10),
}
PREDICT_ROWS = 1_000_000
# What RampNet's best fit time must stay under, relative to each other's best.
FIT_TARGETS = {
    "small": {"RampNet, generic path": 0.40, "sklearn MLPRegressor": 1.0,
              "skorch NeuralNetRegressor": 0.25},
    "medium": {"RampNet, generic path": 0.75, "sklearn MLPRegressor": 0.8,
               "skorch NeuralNetRegressor": 0.25},
}
NO_EARLY_STOP = 10**9


def make_data(n, d, seed=0):
    rng = np.random.RandomState(seed)
    x = rng.randn(n, d)
    w = rng.randn(d)
    y = np.sin(x @ w / np.sqrt(d)) + 0.5 * x[:, 0] * x[:, 1 % d] + 0.1 * rng.randn(n)
    return x, y


def training_rows(x, y):
    """The rows RampNet trains on: its own validation split left out."""
    from sklearn.model_selection import train_test_split

    train_x, _, train_y, _ = train_test_split(x, y, test_size=0.2, random_state=0)
    return train_x, train_y


class Rampnet:
    name = "RampNetRegressor"

    def __init__(self, w):
        self.model = RampNetRegressor(hidden_layer_sizes=w["hidden"], max_epochs=w["epochs"],
                                      batch_size=w["batch"], n_epoch_no_change=NO_EARLY_STOP)

    def fit(self, x, y):
        self.model.fit(x, y)

    def predict(self, x):
        return self.model.predict(x)


@contextlib.contextmanager
def generic_path():
    """RampNet's generic path: torch's Python API instead of the native engine."""
    previous = os.environ.get("QALVO_ENGINE")
    os.environ["QALVO_ENGINE"] = "0"
    try:
        yield
    finally:
        if previous is None:
            del os.environ["QALVO_ENGINE"]
        else:
            os.environ["QALVO_ENGINE"] = previous


class RampnetGeneric(Rampnet):
    name = "RampNet, generic path"

    def fit(self, x, y):
        with generic_path():
            self.model.fit(x, y)

    def predict(self, x):
        with generic_path():
            return self.model.predict(x)


class Plain(Rampnet):
    name = "plain PyTorch loop"

    def __init__(self, w):
        self.model = PlainLoop(w["hidden"], w["epochs"], w["batch"], NO_EARLY_STOP)


class Mlp:
    name = "sklearn MLPRegressor"

    def __init__(self, w):
        from sklearn.neural_network import MLPRegressor

        self.model = MLPRegressor(
            hidden_layer_sizes=w["hidden"], solver="adam", learning_rate_init=0.001,
            batch_size=w["batch"], max_iter=w["epochs"], alpha=0.0, early_stopping=False,
            n_iter_no_change=NO_EARLY_STOP, tol=0.0, shuffle=True, random_state=0)

    def fit(self, x, y):
        # The same training rows per epoch as the others; MLP validates nothing.
        from sklearn.exceptions import ConvergenceWarning

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ConvergenceWarning)
            self.model.fit(*training_rows(x, y))

    def predict(self, x):
        return self.model.predict(x)


class Skorch:
    name = "skorch NeuralNetRegressor"

    def __init__(self, w):
        from skorch import NeuralNetRegressor
        from skorch.dataset import ValidSplit

        self.model = NeuralNetRegressor(
            Net, module__sizes=[w["d"], *w["hidden"], 1], criterion=torch.nn.MSELoss,
            optimizer=torch.optim.Adam, lr=0.001, batch_size=w["batch"],
            max_epochs=w["epochs"], train_split=ValidSplit(0.2, random_state=0),
            iterator_train__shuffle=True, verbose=0, device="cpu")

    def fit(self, x, y):
        torch.manual_seed(0)
        self.model.fit(x, y.reshape(-1, 1))

    def predict(self, x):
        # Prediction batches of RampNet's inference bound, not the training size.
        # (set_params refuses iterator settings on a fitted net: set the attribute)
        self.model.iterator_valid__batch_size = 10_000
        return self.model.predict(x).ravel()


def run_times(runners, action, runs):
    """Seconds of each run per runner; the runners take turns within a run."""
    times = {r.name: [] for r in runners}
    for k in range(runs):
        order = runners[k % len(runners):] + runners[:k % len(runners)]
        for runner in order:
            start = time.perf_counter()
            action(runner)
            times[runner.name].append(time.perf_counter() - start)
    return times


def report(title, times, reference, targets=None):
    """Best and median seconds; RampNet's best time divided by the other's best,
    and the median over runs of RampNet's time divided by the other's in the
    same run (paired, so load changes between runs cancel out): below 1.00
    means RampNet is faster. `targets` gives the ratio each must stay under."""
    print(f"  {title}")
    base = np.asarray(times[reference])
    for name, seconds in times.items():
        ratio = ""
        if name != reference:
            best = base.min() / np.min(seconds)
            paired = np.median(base / np.asarray(seconds))
            ratio = f"   RampNet / this: best {best:5.2f}, paired median {paired:5.2f}"
            if targets and name in targets:
                ratio += f"  (target <= {targets[name]:.2f}: {'met' if best <= targets[name] else 'MISSED'})"
        print(f"    {name:27s} best {np.min(seconds):8.3f} s, median {np.median(seconds):8.3f} s"
              f"{ratio}")


def peak_rss_of_predict(kind, workload, env=None):
    """Peak RSS growth (MiB) of one predict of PREDICT_ROWS rows, measured in a
    fresh process so that nothing else has raised the high-water mark."""
    out = subprocess.run([sys.executable, __file__, "--rss", kind, workload,
                          "--threads", str(torch.get_num_threads())],
                         capture_output=True, text=True, check=True,
                         env=dict(os.environ, **(env or {})))
    return json.loads(out.stdout.strip().splitlines()[-1])


def status_mib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    raise RuntimeError(field)


def measure_rss(kind, workload):
    w = dict(WORKLOADS[workload], **{"epochs": 1})
    runner = {"rampnet": Rampnet, "rampnet-generic": RampnetGeneric, "plain": Plain, "mlp": Mlp,
              "skorch": Skorch}[kind](
        dict(w, d=WORKLOADS[workload]["d"]))
    runner.fit(*make_data(2_000, w["d"]))
    x = np.random.RandomState(1).randn(PREDICT_ROWS, w["d"])
    runner.predict(x[:10])
    before = status_mib("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:  # resets VmHWM to the current RSS
        f.write("5")
    runner.predict(x)
    peak = status_mib("VmHWM")
    print(json.dumps({"peak_growth_mib": peak - before}))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--threads", type=int, default=None)
    parser.add_argument("--workloads", default="small,medium")
    parser.add_argument("--rss", nargs=2, metavar=("KIND", "WORKLOAD"))
    args = parser.parse_args()
    if args.threads:
        torch.set_num_threads(args.threads)
    if args.rss:
        measure_rss(*args.rss)
        return

    print(f"torch {torch.__version__}, {torch.get_num_threads()} intra-op thread(s), "
          f"{os.cpu_count()} CPUs, medians of {args.runs} runs")
    for workload in args.workloads.split(","):
        w = dict(WORKLOADS[workload])
        print(f"\n{workload}: n={w['n']}, d={w['d']}, hidden={w['hidden']}, "
              f"batch={w['batch']}, epochs={w['epochs']}")
        x, y = make_data(w["n"], w["d"])
        runners = [Rampnet(w), RampnetGeneric(w), Plain(w), Mlp(w), Skorch(w)]
        for runner in runners:  # warm-up: first-call costs stay out of the figures
            runner.fit(x[:2000], y[:2000])
        fits = run_times(runners, lambda r: r.fit(x, y), args.runs)
        report("fit", fits, Rampnet.name, FIT_TARGETS[workload])
        for other in runners[1:3]:
            same = all(np.array_equal(a, b) for a, b in zip(runners[0].model.coefs_,
                                                           other.model.coefs_))
            print(f"    RampNet and the {other.name} learn identical weights: {same}")

        x_big = np.random.RandomState(1).randn(PREDICT_ROWS, w["d"])
        predicts = run_times(runners, lambda r: r.predict(x_big), args.runs)
        report(f"predict {PREDICT_ROWS:,} rows", predicts, Rampnet.name,
               {RampnetGeneric.name: 0.8})
        del x_big

        print(f"  peak RSS growth while predicting {PREDICT_ROWS:,} rows")
        output = PREDICT_ROWS * 8 / 2**20
        copy = PREDICT_ROWS * w["d"] * 8 / 2**20
        activations = 4 * 10_000 * max(w["hidden"]) * 8 / 2**20
        print(f"    the output: {output:6.1f} MiB; a float64 copy "
              f"of the input: {copy:6.1f} MiB; one batch of activations: ~{activations:.1f} MiB."
              f"\n    The engine reads a float64 C-contiguous input in place: its bound is the "
              f"output plus one batch of activations ({output + activations:.1f} MiB)")
        for kind, runner in zip(("rampnet", "rampnet-generic", "plain", "mlp", "skorch"),
                                runners):
            growth = peak_rss_of_predict(kind, workload)["peak_growth_mib"]
            print(f"    {runner.name:27s} {growth:7.1f} MiB")
        # glibc's heap keeps the freed per-batch buffers resident when the small
        # kept batch outputs split them; a fixed mmap threshold shows the bound.
        growth = peak_rss_of_predict("rampnet", workload, {"MALLOC_MMAP_THRESHOLD_": "131072"})
        print(f"    {Rampnet.name + ', fixed mmap threshold':27s} "
              f"{growth['peak_growth_mib']:7.1f} MiB")


if __name__ == "__main__":
    main()
