"""qalvo: interpretable machine learning.

``qalvo.models.rampnet`` holds sparse ReLU network estimators for scikit-learn;
``qalvo.dashboard`` an explanation panel for notebooks.
"""

__version__ = "0.1.0"
