"""RampNet: float64 ReLU networks as scikit-learn estimators.

The estimators live in the compiled module ``qalvo.models.rampnet.rampnet``.
"""

from .rampnet import (
    FastTensorDataLoader,
    RampNet,
    RampNetClassifier,
    RampNetModule,
    RampNetRegressor,
)

__all__ = [
    "FastTensorDataLoader",
    "RampNet",
    "RampNetClassifier",
    "RampNetModule",
    "RampNetRegressor",
]
