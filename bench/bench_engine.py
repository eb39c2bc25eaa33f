"""The native training engine against RampNet's generic path (QALVO_ENGINE=0):
fit times on the small and medium workloads, two fits in two threads at once,
predict times for 1,000,000 rows, and the peak memory of that predict.

    python bench/bench_engine.py [--runs 5] [--workloads small,medium]

Times are the best of --runs runs in this process, the two paths taking turns.
"""

import argparse
import json
import os
import subprocess
import sys
import threading
import time

import numpy as np
import torch

from qalvo.models.rampnet import RampNetRegressor, engine_status

WORKLOADS = {
    "small": dict(n=2_000, d=10, hidden=(40, 40), batch=100, epochs=50),
    "medium": dict(n=50_000, d=30, hidden=(128, 128), batch=512, epochs=10),
}
PREDICT_ROWS = 1_000_000


def make_data(n, d, seed=0):
    rng = np.random.RandomState(seed)
    x = rng.randn(n, d)
    y = np.sin(x @ rng.randn(d) / np.sqrt(d)) + 0.1 * rng.randn(n)
    return x, y


def estimator(w):
    return RampNetRegressor(hidden_layer_sizes=w["hidden"], max_epochs=w["epochs"],
                            batch_size=w["batch"], n_epoch_no_change=10**9)


def set_path(engine):
    os.environ["QALVO_ENGINE"] = "1" if engine else "0"


def best_times(action, runs):
    best = {True: np.inf, False: np.inf}
    for k in range(runs):
        for engine in ((True, False) if k % 2 == 0 else (False, True)):
            set_path(engine)
            start = time.perf_counter()
            action()
            best[engine] = min(best[engine], time.perf_counter() - start)
    return best


def in_two_threads(action):
    threads = [threading.Thread(target=action) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def peak_rss_growth(engine, d):
    """Peak RSS growth (MiB) of one predict of PREDICT_ROWS rows, in a fresh process."""
    out = subprocess.run([sys.executable, __file__, "--rss", str(d)], capture_output=True,
                         text=True, check=True,
                         env=dict(os.environ, QALVO_ENGINE="1" if engine else "0"))
    return json.loads(out.stdout.strip().splitlines()[-1])["peak_growth_mib"]


def measure_rss(d):
    def status_mib(field):
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) / 1024
        raise RuntimeError(field)

    torch.set_num_threads(1)
    est = RampNetRegressor(hidden_layer_sizes=(128, 128), max_epochs=1).fit(*make_data(2_000, d))
    x = np.random.RandomState(1).randn(PREDICT_ROWS, d)
    est.predict(x[:10])
    before = status_mib("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:  # resets VmHWM to the current RSS
        f.write("5")
    est.predict(x)
    print(json.dumps({"peak_growth_mib": status_mib("VmHWM") - before}))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--workloads", default="small,medium")
    parser.add_argument("--rss", type=int, metavar="D")
    args = parser.parse_args()
    if args.rss:
        measure_rss(args.rss)
        return
    torch.set_num_threads(1)
    print(f"{engine_status()}\ntorch {torch.__version__}, 1 intra-op thread, "
          f"{os.cpu_count()} CPUs, best of {args.runs} runs")
    for name in args.workloads.split(","):
        w = WORKLOADS[name]
        x, y = make_data(w["n"], w["d"])
        estimator(w).fit(x[:500], y[:500])  # warm-up
        fit = best_times(lambda: estimator(w).fit(x, y), args.runs)
        print(f"\n{name}: n={w['n']}, d={w['d']}, hidden={w['hidden']}, batch={w['batch']}, "
              f"epochs={w['epochs']}")
        print(f"  fit      engine {fit[True]:7.3f} s   generic {fit[False]:7.3f} s   "
              f"engine/generic {fit[True] / fit[False]:.2f}")
        two = best_times(lambda: in_two_threads(lambda: estimator(w).fit(x, y)), 2)
        print(f"  2 fits in 2 threads: engine {two[True]:7.3f} s (one fit {fit[True]:.3f} s: "
              f"speed-up {2 * fit[True] / two[True]:.2f}x over running them one after the "
              f"other); generic {two[False]:7.3f} s (speed-up {2 * fit[False] / two[False]:.2f}x)")
        est = estimator(w).fit(x, y)
        x_big = np.random.RandomState(1).randn(PREDICT_ROWS, w["d"])
        predict = best_times(lambda: est.predict(x_big), args.runs)
        print(f"  predict {PREDICT_ROWS:,} rows: engine {predict[True]:7.3f} s   generic "
              f"{predict[False]:7.3f} s   engine/generic {predict[True] / predict[False]:.2f}")
    d = WORKLOADS["medium"]["d"]
    print(f"\npeak RSS growth predicting {PREDICT_ROWS:,} rows x {d} (input "
          f"{PREDICT_ROWS * d * 8 / 2**20:.0f} MiB, output {PREDICT_ROWS * 8 / 2**20:.0f} MiB, "
          f"hidden (128, 128)): engine {peak_rss_growth(True, d):.1f} MiB, generic "
          f"{peak_rss_growth(False, d):.1f} MiB")


if __name__ == "__main__":
    main()
