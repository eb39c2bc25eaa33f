"""Cost of the training loop's own glue, per batch, without PyTorch's work.

RampNet._fit_bp (compiled) and the same loop written in Python run on one stand-in
estimator whose optimiser, network, loss and backward passes do nothing, so the
remaining time is the loop itself: loader, attribute and global look-ups, calls,
the penalty's tensor plumbing (cat and norm of two 3-element tensors) and the
per-batch loss bookkeeping.

    python bench/bench_glue.py [--runs 15]
"""

import argparse
import os
import sys
import timeit

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from plain_loop import Loader  # noqa: E402

from qalvo.models.rampnet import FastTensorDataLoader, RampNet  # noqa: E402

BATCHES = 16
TINY = torch.zeros(3, dtype=torch.double)


class Loss:
    """A loss value whose arithmetic, backward and host transfer do nothing."""

    def backward(self, retain_graph=False):
        pass

    def __mul__(self, other):
        return self

    __rmul__ = __mul__

    def cpu(self):
        return self

    def detach(self):
        return self

    def numpy(self):
        return 0.5


LOSS = Loss()


class Optimizer:
    def zero_grad(self, set_to_none=False):
        pass

    def step(self):
        pass


class Network:
    weights = [("0.weight", TINY), ("2.weight", TINY)]

    def __call__(self, data):
        return TINY

    def train(self):
        pass


class StandIn:
    """Carries the attributes the epoch loop reads."""

    def __init__(self, loader_class):
        self.optimizer_, self.net_, self.device = Optimizer(), Network(), "cpu"
        self.l1_reg, self.iht_status_, self.verbose = LOSS, False, False
        self.loss_fn = lambda prediction, labels: LOSS
        x = torch.zeros(BATCHES * 100, 2, dtype=torch.double)
        y = torch.zeros(BATCHES * 100, dtype=torch.double)
        self.train_data_loader_ = loader_class(x, y, batch_size=100, shuffle=True)
        self.train_epoch_loss_, self.valid_epoch_loss_ = [], []
        self.no_improved_count_, self.n_epoch_no_change = 0, 10**9

    def _validate(self):
        return 0.0

    def _check_improvement(self):
        pass


def python_epoch(self):
    """One epoch of RampNet's loop, as Python."""
    self.net_.train()
    train_loss = 0
    for _, (data, labels) in enumerate(self.train_data_loader_):
        self.optimizer_.zero_grad(set_to_none=True)
        data = data.to(device=self.device)
        labels = labels.to(device=self.device)
        prediction = self.net_(data)
        loss = self.loss_fn(prediction.ravel(), labels.ravel())
        loss_reg = self.l1_reg * torch.norm(
            torch.cat([w.reshape(-1) for _, w in self.net_.weights]), 1)
        loss_reg.backward(retain_graph=True)
        loss.backward()
        if self.iht_status_:
            self._hard_thresholding_gradient()
        self.optimizer_.step()
        train_loss += (loss * data.shape[0]).cpu().detach().numpy()
    train_loss = train_loss / self.train_data_loader_.dataset_len
    val_loss = self._validate()
    if self.verbose:
        print(train_loss, val_loss)
    self.train_epoch_loss_.append(train_loss)
    self.valid_epoch_loss_.append(val_loss)
    self._check_improvement()
    if self.no_improved_count_ > self.n_epoch_no_change:
        self.net_ = self.best_net_


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=15)
    args = parser.parse_args()
    torch.set_num_threads(1)
    compiled, python = StandIn(FastTensorDataLoader), StandIn(Loader)
    cases = {
        "RampNet._fit_bp (compiled loop and loader)": lambda: RampNet._fit_bp(compiled, None,
                                                                               None, 1),
        "the same loop and loader in Python": lambda: python_epoch(python),
    }
    times = {name: [] for name in cases}
    for k in range(args.runs):
        for name in list(cases)[k % 2:] + list(cases)[:k % 2]:
            times[name].append(timeit.timeit(cases[name], number=50) / 50 / BATCHES * 1e6)
    print(f"glue per batch, median of {args.runs} runs of 50 epochs x {BATCHES} batches:")
    for name, values in times.items():
        print(f"  {name:45s} {np.median(values):6.2f} us")


if __name__ == "__main__":
    main()
