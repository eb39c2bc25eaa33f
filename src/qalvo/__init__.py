"""qalvo: interpretable machine learning.

``qalvo.models.rampnet`` holds sparse ReLU network estimators for scikit-learn;
``qalvo.dashboard`` an explanation panel for notebooks.
"""

# The one place that holds the version: the package metadata and the
# documentation read it from here.
__version__ = "0.1.0"


class EngineUnavailableWarning(UserWarning):
    """The native training engine cannot run in this process.

    It was not built, was built for another torch, or the running torch is not
    a release it is verified on: fits take the slower generic path. Issued once
    per process, at the first fit; the message says why and the command that
    fixes it. Filter it like any warning:

    >>> import warnings
    >>> import qalvo
    >>> warnings.filterwarnings("ignore", category=qalvo.EngineUnavailableWarning)
    """
