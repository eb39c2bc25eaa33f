"""RSS growth over many fit/predict cycles of both estimators on small data.

    python bench/soak_leaks.py [--cycles 200 1000]
"""

import argparse
import gc

import numpy as np
import torch

from qalvo.models.rampnet import RampNetClassifier, RampNetRegressor


def rss_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("VmRSS")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cycles", type=int, nargs="+", default=[200, 1000])
    args = parser.parse_args()
    torch.set_num_threads(1)
    rng = np.random.RandomState(0)
    x = rng.randn(500, 8)
    y = x @ rng.randn(8)
    labels = np.where(y > 0, "yes", "no")

    def cycle():
        RampNetRegressor(hidden_layer_sizes=(16, 16), max_epochs=3).fit(x, y).predict(x)
        classifier = RampNetClassifier(hidden_layer_sizes=(16, 16), max_epochs=3).fit(x, labels)
        classifier.predict_proba(x)
        classifier.predict(x)

    for _ in range(30):  # warm-up: allocator pools and caches settle
        cycle()
    gc.collect()
    start, done = rss_mib(), 0
    print(f"after warm-up: {start:.1f} MiB")
    for target in sorted(args.cycles):
        while done < target:
            cycle()
            done += 1
        gc.collect()
        print(f"after {done:5d} fit/predict cycles (regressor + classifier each): "
              f"RSS {rss_mib():.1f} MiB, growth {rss_mib() - start:+.1f} MiB")


if __name__ == "__main__":
    main()
