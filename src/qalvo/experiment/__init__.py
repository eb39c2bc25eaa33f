"""Experiments: data, fitted models held under names, and their post-hoc
explanations (permutation importance, partial dependence, accumulated local
effects, SHAP and LIME), as the dashboard's ``InsightBoard`` shows them."""

from .core import Dataset, Experiment, ShapSummary

__all__ = ["Dataset", "Experiment", "ShapSummary"]
