"""RampNetRegressor's training and prediction written as a plain PyTorch loop in
Python: the same calls on the same data, epochs and batch size, for timing."""

import copy
import os

import numpy as np
import torch
from sklearn.model_selection import train_test_split
from sklearn.utils import check_array, check_X_y
from torch import nn


class Loader:
    """Batches as row slices of the tensors, reshuffled once per pass."""

    def __init__(self, *tensors, batch_size=32, shuffle=False):
        assert all(t.shape[0] == tensors[0].shape[0] for t in tensors)
        self.tensors = tensors
        self.dataset_len = self.tensors[0].shape[0]
        self.batch_size = batch_size
        self.shuffle = shuffle
        n_batches, remainder = divmod(self.dataset_len, self.batch_size)
        if remainder > 0:
            n_batches += 1
        self.n_batches = n_batches

    def __iter__(self):
        if self.shuffle:
            r = torch.randperm(self.dataset_len)
            self.tensors = [t[r] for t in self.tensors]
        self.i = 0
        return self

    def __next__(self):
        if self.i >= self.dataset_len:
            raise StopIteration
        batch = tuple(t[self.i:self.i + self.batch_size] for t in self.tensors)
        self.i += self.batch_size
        return batch

    def __len__(self):
        return self.n_batches


class Net(nn.Module):
    def __init__(self, sizes):
        super().__init__()
        layers = []
        for a, b in zip(sizes[:-2], sizes[1:-1]):
            layers += [nn.Linear(a, b), nn.ReLU()]
        layers.append(nn.Linear(sizes[-2], sizes[-1]))
        self.net = nn.Sequential(*layers).to(torch.double)
        self.weights = [(n, p) for n, p in self.named_parameters() if "weight" in n]
        self.biases = [(n, p) for n, p in self.named_parameters() if "bias" in n]

    def forward(self, inputs):
        return self.net(inputs)


class PlainLoop:
    def __init__(self, hidden_layer_sizes, max_epochs, batch_size, n_epoch_no_change,
                 learning_rate=0.001, l1_reg=0.0, val_ratio=0.2, device="cpu",
                 batch_size_inference=10000, random_state=0):
        self.hidden_layer_sizes = hidden_layer_sizes
        self.max_epochs = max_epochs
        self.batch_size = batch_size
        self.n_epoch_no_change = n_epoch_no_change
        self.learning_rate = learning_rate
        self.l1_reg = l1_reg
        self.val_ratio = val_ratio
        self.device = device
        self.batch_size_inference = batch_size_inference
        self.random_state = random_state
        self.loss_fn = nn.MSELoss()

    def _validate(self):
        val_loss = 0
        self.net_.eval()
        for _, (data, labels) in enumerate(self.val_loader):
            data = data.to(device=self.device)
            labels = labels.to(device=self.device)
            with torch.no_grad():
                prediction = self.net_(data)
            loss = self.loss_fn(prediction.ravel(), labels.ravel())
            val_loss += (loss * data.shape[0]).cpu().detach().numpy()
        return val_loss / self.val_loader.dataset_len

    def fit(self, x, y):
        np.random.seed(self.random_state)
        torch.manual_seed(self.random_state)
        os.environ["PYTHONHASHSEED"] = str(self.random_state)
        x, y = check_X_y(x, y, y_numeric=True)
        y = y.ravel()
        self.n_features_ = x.shape[1]
        train_x, val_x, train_y, val_y = train_test_split(
            x, y, test_size=self.val_ratio, random_state=self.random_state)
        bs = train_x.shape[0] if train_x.shape[0] < self.batch_size else self.batch_size
        self.train_loader = Loader(
            torch.tensor(train_x, dtype=torch.double, device=self.device),
            torch.tensor(train_y, dtype=torch.double, device=self.device),
            batch_size=bs, shuffle=True)
        self.val_loader = Loader(
            torch.tensor(val_x, dtype=torch.double, device=self.device),
            torch.tensor(val_y, dtype=torch.double, device=self.device),
            batch_size=bs, shuffle=False)
        sizes = [self.n_features_, *self.hidden_layer_sizes, 1]
        self.net_ = Net(sizes).to(self.device)
        self.optimizer_ = torch.optim.Adam(self.net_.parameters(), lr=self.learning_rate)
        best_loss, best_net, no_improved = np.inf, self.net_, 0
        self.train_epoch_loss_, self.valid_epoch_loss_ = [], []
        for epochs in range(self.max_epochs):
            self.net_.train()
            train_loss = 0
            for _, (data, labels) in enumerate(self.train_loader):
                self.optimizer_.zero_grad(set_to_none=True)
                data = data.to(device=self.device)
                labels = labels.to(device=self.device)
                prediction = self.net_(data)
                loss = self.loss_fn(prediction.ravel(), labels.ravel())
                loss_reg = self.l1_reg * torch.norm(
                    torch.cat([w.reshape(-1) for _, w in self.net_.weights]), 1)
                loss_reg.backward(retain_graph=True)
                loss.backward()
                self.optimizer_.step()
                train_loss += (loss * data.shape[0]).cpu().detach().numpy()
            train_loss = train_loss / self.train_loader.dataset_len
            val_loss = self._validate()
            self.train_epoch_loss_.append(train_loss)
            self.valid_epoch_loss_.append(val_loss)
            if best_loss > val_loss:
                best_loss, best_net, no_improved = val_loss, copy.deepcopy(self.net_), 0
            else:
                no_improved += 1
            if no_improved > self.n_epoch_no_change:
                self.net_ = best_net
                break
        self.coefs_ = [p.detach().cpu().numpy().T for _, p in self.net_.weights]
        self.intercepts_ = [p.detach().cpu().numpy().T for _, p in self.net_.biases]
        return self

    def predict(self, x):
        x = check_array(x)
        if x.shape[1] != self.n_features_:
            raise ValueError("wrong width")
        pred = []
        self.net_.eval()
        x = np.asarray(x).reshape(-1, self.n_features_)
        x = torch.from_numpy(x.astype(np.double)).to(self.device)
        batch_size = int(np.minimum(self.batch_size_inference, x.shape[0]))
        for _, batch in enumerate(Loader(x, batch_size=batch_size, shuffle=False)):
            pred.append(self.net_(batch[0]).detach())
        return torch.vstack(pred).detach().cpu().numpy().ravel()
