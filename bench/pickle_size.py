"""Size of a pickled fitted RampNetRegressor, with and without its training data.

Fits on ROWS x 20 rows for a few epochs, then pickles the estimator twice:
as pickle.dump does it (the batch loaders reduced to empty tensors), and with
a pickler whose dispatch table leaves the loaders' default reduction in place,
which stores their tensors: the size the model file had when it carried the
training and validation data. Also checks that the loaded model predicts the
same and times the dump.

Usage: python bench/pickle_size.py [rows]   (default 1000000)
"""

import copyreg
import io
import pickle
import sys
import time

import joblib
import numpy as np
import torch

from qalvo.models.rampnet.rampnet import FastTensorDataLoader, RampNetRegressor

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
FEATURES = 20


def with_data(est):
    """Pickles with the loaders' default reduction (their tensors included)."""
    buffer = io.BytesIO()
    pickler = pickle.Pickler(buffer, protocol=pickle.HIGHEST_PROTOCOL)
    table = copyreg.dispatch_table.copy()
    table.pop(FastTensorDataLoader, None)
    pickler.dispatch_table = table
    pickler.dump(est)
    return buffer.getbuffer().nbytes


def megabytes(n):
    return f"{n / 1e6:9.3f} MB"


def main():
    torch.set_num_threads(1)
    rng = np.random.default_rng(0)
    x = rng.normal(size=(ROWS, FEATURES))
    y = x @ rng.normal(size=FEATURES) + 0.1 * rng.normal(size=ROWS)
    est = RampNetRegressor(hidden_layer_sizes=(40, 40), max_epochs=2, batch_size=1000)
    start = time.perf_counter()
    est.fit(x, y)
    print(f"fit on {ROWS} x {FEATURES} rows, {len(est.train_epoch_loss_)} epochs: "
          f"{time.perf_counter() - start:.1f} s")
    print(f"data: {megabytes(x.nbytes + y.nbytes)}")

    start = time.perf_counter()
    blob = pickle.dumps(est, protocol=pickle.HIGHEST_PROTOCOL)
    dump_seconds = time.perf_counter() - start
    buffer = io.BytesIO()
    joblib.dump(est, buffer)
    loaded = pickle.loads(blob)
    same = np.array_equal(loaded.predict(x[:10000]), est.predict(x[:10000]))
    print(f"pickle, loaders with their data:    {megabytes(with_data(est))}")
    print(f"pickle, loaders without their data: {megabytes(len(blob))} "
          f"(dumped in {dump_seconds * 1e3:.1f} ms)")
    print(f"joblib.dump:                        {megabytes(buffer.getbuffer().nbytes)}")
    print(f"loaded model predicts the same: {same}")


if __name__ == "__main__":
    main()
