"""RampNet: float64 ReLU networks as scikit-learn estimators.

The estimators live in the compiled module ``qalvo.models.rampnet.rampnet``;
``engine_status()`` says whether their batch loops run on the native training
engine or on torch's Python API.
"""

from .rampnet import (
    FastTensorDataLoader,
    RampNet,
    RampNetClassifier,
    RampNetModule,
    RampNetRegressor,
)
from ._engine_gate import engine_status

__all__ = [
    "FastTensorDataLoader",
    "RampNet",
    "RampNetClassifier",
    "RampNetModule",
    "RampNetRegressor",
    "engine_status",
]
