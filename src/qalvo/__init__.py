"""qalvo: interpretable machine learning.

``qalvo.models.rampnet`` holds sparse ReLU network estimators for scikit-learn;
``qalvo.dashboard`` an explanation panel for notebooks.
"""

# The one place that holds the version: the package metadata and the
# documentation read it from here.
__version__ = "0.1.0"
