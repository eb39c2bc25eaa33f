"""Permutation feature importance: how much the model's score drops when one
feature's values are shuffled, computed by scikit-learn's
``permutation_importance`` with a score that refuses the rows on which it is
undefined.

Left alone, the scores would answer such rows silently: R² of a constant
response is forced to 0.0 by scikit-learn (every importance then reads 0.0),
R² of one row and ROC AUC of one class are NaN (the importances are NaN, and a
ranking of them is arbitrary)."""

import numpy as np
from sklearn.inspection import permutation_importance as sklearn_permutation_importance
from sklearn.metrics import r2_score, roc_auc_score

from .data import shown
from .score_drops import R2, ROC_AUC


class Score:
    """The score whose drop is the importance, as a scikit-learn scorer
    ``score(model, x, y)``: R² of a regressor's prediction, or ROC AUC of a
    classifier's probability of ``classes[1]`` (``y`` then holds 1.0 for that
    class, 0.0 for the other). It raises ``ValueError`` for rows on which the
    score is undefined, naming the model and why.

    ``n_samples`` is the number of the experiment's rows: fewer rows are the
    ones drawn for each permutation (``pfi_max_samples``)."""

    def __init__(self, model_name, classes, n_samples):
        self.model_name = model_name
        self.classes = None if classes is None else list(classes)
        self.n_samples = n_samples

    @property
    def name(self):
        """"R²" or "ROC AUC"."""
        return R2 if self.classes is None else ROC_AUC

    def __call__(self, model, x, y):
        self.check(y)
        metric = r2_score if self.classes is None else roc_auc_score
        return metric(y, model.predict(x))

    def _undefined_because(self, y):
        """What ``y`` holds that leaves the score undefined, or None."""
        if len(y) < 2:
            return "a single sample"
        if self.classes is not None:
            present = np.unique(y)
            if len(present) < 2:
                return "one class only, %s" % shown(self.classes[int(present[0])])
        elif np.ptp(y) == 0:
            return "a constant response (every value is %s)" % shown(y[0])
        return None

    def check(self, y):
        """Raise ``ValueError`` where the score of the responses ``y`` is undefined."""
        y = np.asarray(y)
        reason = self._undefined_because(y)
        if reason is None:
            return
        if len(y) == self.n_samples:
            rows, advice = "the experiment's data hold", ""
        else:
            rows = "the %s drawn for each permutation (pfi_max_samples=%d) %s" % (
                "one row" if len(y) == 1 else "%d rows" % len(y),
                len(y),
                "is" if len(y) == 1 else "hold",
            )
            advice = "; raise pfi_max_samples"
        raise ValueError(
            "permutation importance of model %r is undefined: %s %s, for which %s is undefined%s"
            % (self.model_name, rows, reason, self.name, advice)
        )


def permutation_importances(response, x, target, score, n_repeats, max_samples, random_state, n_jobs):
    """scikit-learn's ``permutation_importance`` of ``response`` on the rows
    ``x`` and responses ``target`` under ``score``: a Bunch of
    ``importances_mean``, ``importances_std`` and ``importances`` (one row per
    column of ``x``, one column per repeat). ``max_samples``: rows drawn for
    each permutation, None for all. Undefined scores are refused before any
    permutation is scored."""
    score.check(target)
    return sklearn_permutation_importance(
        response,
        x,
        target,
        scoring=score,
        n_repeats=n_repeats,
        max_samples=min(max_samples, len(target)) if max_samples else 1.0,
        random_state=random_state,
        n_jobs=n_jobs,
    )
