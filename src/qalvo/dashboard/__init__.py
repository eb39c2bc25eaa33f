"""Explanation dashboard for notebooks.

``InsightBoard`` lives in the compiled module ``qalvo.dashboard.insight_board``;
import it from there (it needs ipywidgets, matplotlib and IPython, the
``dashboard`` extra).
"""
