"""Experiments: data, fitted models held under names, and their post-hoc
explanations (permutation importance with its spread, partial dependence and
ICE curves, accumulated local effects, interaction strength, SHAP and LIME),
as the dashboard's ``InsightBoard`` shows them; ``qalvo.experiment.plots``
draws each into a matplotlib Axes.

SHAP, LIME and the figures need the ``explain`` extra (``pip install
'qalvo[explain]'``: shap, lime, pandas, matplotlib), imported at first use;
without it they fail then with ``ModuleNotFoundError`` naming that command."""

from .core import Dataset, Experiment, ShapSummary

__all__ = ["Dataset", "Experiment", "ShapSummary"]
