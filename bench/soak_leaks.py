"""RSS over many fit/predict cycles of both estimators on small data, failing
calls included.

    python bench/soak_leaks.py [--cycles 100 250 500]

A cycle fits and predicts with a regressor and a classifier (every fourth
cycle by iterative hard thresholding), then makes the calls that fail: a refit
refused on its data, one refused while building the network, one refused for
diverging, predictions of the wrong width, and calls with bad arguments. The
resident set size is printed at each checkpoint; after the warm-up it should
stay flat (allocator noise of a few MiB aside).
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


def failing(*calls):
    for call in calls:
        try:
            call()
        except (ValueError, TypeError, RuntimeError, KeyError):
            pass
        else:
            raise AssertionError("a call expected to fail succeeded")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cycles", type=int, nargs="+", default=[100, 250, 500])
    args = parser.parse_args()
    torch.set_num_threads(1)
    rng = np.random.RandomState(0)
    x = rng.randn(500, 8)
    y = x @ rng.randn(8)
    labels = np.where(y > 0, "yes", "no")
    params = dict(hidden_layer_sizes=(16, 16), max_epochs=3)

    def cycle(k):
        iht = dict(iht=True, phase_epochs=1, max_epochs=4) if k % 4 == 0 else {}
        regressor = RampNetRegressor(**{**params, **iht}).fit(x, y)
        regressor.predict(x)
        classifier = RampNetClassifier(**{**params, **iht}).fit(x, labels)
        classifier.predict_proba(x)
        classifier.predict(x)
        failing(lambda: regressor.fit(x[:1], y[:1]),
                lambda: classifier.fit(x, np.arange(500) % 3),
                lambda: regressor.set_params(hidden_layer_sizes=(-1,)).fit(x, y),
                lambda: regressor.set_params(**params).fit(x * 1e300, y),
                lambda: classifier.predict(x[:, :3]),
                lambda: regressor.predict(x, x),
                lambda: RampNetRegressor(bogus=1))

    for k in range(30):  # warm-up: allocator pools and caches settle
        cycle(k)
    gc.collect()
    start, done = rss_mib(), 0
    print(f"after warm-up: {start:.1f} MiB")
    for target in sorted(args.cycles):
        while done < target:
            cycle(done)
            done += 1
        gc.collect()
        print(f"after {done:5d} cycles (regressor and classifier fit and predict, 7 failing "
              f"calls): RSS {rss_mib():.1f} MiB, growth {rss_mib() - start:+.1f} MiB")


if __name__ == "__main__":
    main()
