"""Permutation importances that carry the name of the score they are drops of."""

import numpy as np

R2 = "R²"
ROC_AUC = "ROC AUC"


class ScoreDrops(np.ndarray):
    """Float array of importances, each the mean drop of a score when a
    feature is shuffled, with the score's name in ``score`` ("R²" or "ROC
    AUC"), so that a chart of them can say what its axis measures (the
    dashboard's bar chart reads it). Otherwise an ordinary NumPy array."""

    def __new__(cls, values, score):
        array = np.array(values, dtype=np.float64).view(cls)
        array.score = score
        return array

    def __array_finalize__(self, obj):
        self.score = getattr(obj, "score", None)

    def __reduce__(self):
        constructor, arguments, state = super().__reduce__()
        return constructor, arguments, (state, self.score)

    def __setstate__(self, state):
        array_state, self.score = state
        super().__setstate__(array_state)
