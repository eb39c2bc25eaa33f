"""Experiments: data, fitted models held under names, and their post-hoc
explanations (permutation importance with its spread, partial dependence and
ICE curves, accumulated local effects, interaction strength, SHAP and LIME),
as the dashboard's ``InsightBoard`` shows them; ``qalvo.experiment.plots``
draws each into a matplotlib Axes."""

from .core import Dataset, Experiment, ShapSummary

__all__ = ["Dataset", "Experiment", "ShapSummary"]
