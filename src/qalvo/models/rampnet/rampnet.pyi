# Types of the compiled module qalvo.models.rampnet.rampnet. Signatures and
# defaults are those that inspect.signature reports for its function objects.
import copy as copy
import os as os
from collections.abc import Iterator, Sequence
from typing import Any

import numpy
import torch as torch
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator as BaseEstimator
from sklearn.base import ClassifierMixin as ClassifierMixin
from sklearn.base import RegressorMixin as RegressorMixin
from sklearn.model_selection import train_test_split as train_test_split
from sklearn.preprocessing import LabelBinarizer as LabelBinarizer
from sklearn.utils import column_or_1d as column_or_1d
from sklearn.utils.extmath import softmax as softmax
from sklearn.utils.validation import check_is_fitted as check_is_fitted
from torch import nn as nn
from typing_extensions import Self

np = numpy

# What random_state accepts: an int seed, None for fresh entropy, or a NumPy
# generator that the seed is drawn from.
_RandomState = int | numpy.random.RandomState | numpy.random.Generator | None

class FastTensorDataLoader:
    """Batches of equal-length tensors, sliced rather than gathered row by row."""

    tensors: tuple[torch.Tensor, ...]
    dataset_len: int
    batch_size: int
    shuffle: bool
    n_batches: int
    i: int
    def __init__(self, *tensors: torch.Tensor, batch_size: int = 32, shuffle: bool = False) -> None: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> tuple[torch.Tensor, ...]: ...
    def __len__(self) -> int: ...

class RampNetModule(nn.Module):
    layers: list[nn.Module]
    net: nn.Sequential
    activation_func: nn.ReLU
    weights: list[tuple[str, nn.Parameter]]
    biases: list[tuple[str, nn.Parameter]]
    def __init__(self, net_size: Sequence[tuple[int, int]], dropout_prob: float = 0.0) -> None: ...
    def get_params(self) -> None: ...
    def forward(self, inputs: torch.Tensor) -> torch.Tensor: ...

class RampNet(BaseEstimator):
    loss_fn: nn.Module
    hidden_layer_sizes: Sequence[int]
    dropout_prob: float
    max_epochs: int
    learning_rate: float
    batch_size: int
    batch_size_inference: int
    l1_reg: float
    val_ratio: float
    n_epoch_no_change: int
    iht: bool
    phase_epochs: int
    threshold: float
    device: str | torch.device
    verbose: bool
    random_state: _RandomState
    # fitted
    n_features_: int
    train_data_loader_: FastTensorDataLoader
    val_data_loader_: FastTensorDataLoader
    net_: RampNetModule
    best_net_: RampNetModule
    optimizer_: torch.optim.Adam
    iht_status_: bool
    best_loss_: float
    no_improved_count_: int
    train_epoch_loss_: list[float]
    valid_epoch_loss_: list[float]
    param_fac: dict[str, torch.Tensor]
    is_fitted_: bool
    coefs_: list[NDArray[numpy.float64]]
    intercepts_: list[NDArray[numpy.float64]]
    def __init__(
        self,
        loss_fn: nn.Module,
        hidden_layer_sizes: Sequence[int],
        dropout_prob: float = 0.0,
        max_epochs: int = 1000,
        learning_rate: float = 0.001,
        batch_size: int = 100,
        batch_size_inference: int = 10000,
        l1_reg: float = 0.0,
        val_ratio: float = 0.2,
        n_epoch_no_change: int = 20,
        iht: bool = False,
        phase_epochs: int = 0,
        threshold: float = 0,
        device: str | torch.device = "cpu",
        verbose: bool = False,
        random_state: _RandomState = 0,
    ) -> None: ...
    def _set_seed(self) -> None: ...
    def _build_net(self) -> None: ...
    def _prepare_data(
        self, x: ArrayLike, y: ArrayLike
    ) -> tuple[torch.Tensor, torch.Tensor, torch.Tensor, torch.Tensor]: ...
    def _validate(self) -> Any: ...
    def _check_improvement(self) -> None: ...
    def _hard_thresholding_weight(self) -> None: ...
    def _hard_thresholding_gradient(self) -> None: ...
    def _fit_bp(self, x: ArrayLike, y: ArrayLike, max_epochs: int) -> None: ...
    def _fit_iht(self, x: ArrayLike, y: ArrayLike) -> None: ...
    def fit(self, x: ArrayLike, y: ArrayLike) -> Self: ...
    def get_raw_output(self, x: ArrayLike) -> torch.Tensor: ...

class RampNetRegressor(RegressorMixin, RampNet):
    def __init__(
        self,
        hidden_layer_sizes: Sequence[int] = (40, 40),
        dropout_prob: float = 0.0,
        max_epochs: int = 1000,
        learning_rate: float = 0.001,
        batch_size: int = 100,
        batch_size_inference: int = 10000,
        l1_reg: float = 0.0,
        val_ratio: float = 0.2,
        n_epoch_no_change: int = 20,
        iht: bool = False,
        phase_epochs: int = 50,
        threshold: float = 0.1,
        device: str | torch.device = "cpu",
        verbose: bool = False,
        random_state: _RandomState = 0,
    ) -> None: ...
    def _validate_input(self, x: ArrayLike, y: ArrayLike) -> tuple[NDArray[Any], NDArray[Any]]: ...
    def predict(self, x: ArrayLike) -> NDArray[numpy.float64]: ...
    # Made by scikit-learn's metadata routing for each estimator class.
    def set_score_request(self, *, sample_weight: bool | str | None = ...) -> Self: ...

class RampNetClassifier(ClassifierMixin, RampNet):
    label_binarizer_: LabelBinarizer
    classes_: NDArray[Any]
    def __init__(
        self,
        hidden_layer_sizes: Sequence[int] = (40, 40),
        dropout_prob: float = 0.0,
        max_epochs: int = 1000,
        learning_rate: float = 0.001,
        batch_size: int = 100,
        batch_size_inference: int = 10000,
        l1_reg: float = 0.0,
        val_ratio: float = 0.2,
        n_epoch_no_change: int = 20,
        iht: bool = False,
        phase_epochs: int = 50,
        threshold: float = 0.1,
        device: str | torch.device = "cpu",
        verbose: bool = False,
        random_state: _RandomState = 0,
    ) -> None: ...
    def _more_tags(self) -> dict[str, Any]: ...
    def __sklearn_tags__(self) -> Any: ...
    def _validate_input(self, x: ArrayLike, y: ArrayLike) -> tuple[NDArray[Any], NDArray[Any]]: ...
    def decision_function(self, x: ArrayLike) -> NDArray[numpy.float64]: ...
    def predict_proba(self, x: ArrayLike) -> NDArray[numpy.float64]: ...
    def predict(self, x: ArrayLike) -> NDArray[Any]: ...
    def set_score_request(self, *, sample_weight: bool | str | None = ...) -> Self: ...

__test__: dict[str, Any]
