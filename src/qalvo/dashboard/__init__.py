"""Explanation dashboard for notebooks.

``InsightBoard`` lives in the compiled module ``qalvo.dashboard.insight_board``;
import it from there. It needs the ``dashboard`` extra (``pip install
'qalvo[dashboard]'``): ipywidgets, matplotlib and IPython to build the panel,
shap and lime for its local explanations. A missing one is reported, at the
import or at first use, with the pip command that installs it.
"""
