"""The experiment's data: feature values, the response, feature names and the
short labels the dashboard draws."""

import numbers

import numpy as np
from sklearn.utils import check_array, check_consistent_length

# Label length the dashboard asks for.
LABEL_LENGTH = 15


def shown(value):
    """repr of a value for a message, NumPy scalars as plain Python ones."""
    return repr(value.item() if isinstance(value, np.generic) else value)


def truncate_names(names, length):
    """Map each name to a label of at most ``length`` characters: the name
    itself when it fits, else its first ``length - 1`` characters and "…", so
    that a cut label never passes for a whole name. Where cutting makes several
    names equal, each of them is numbered instead ("~1…", "~2…", ... after a
    shorter start), so that a chart never draws two features under one label
    (a bar chart with categorical labels would stack them). A length too short
    to hold the number gives longer labels rather than repeated ones."""
    cut = {name: name if len(name) <= length else name[: length - 1] + "…" for name in names}
    groups = {}
    for name in names:
        groups.setdefault(cut[name], []).append(name)
    used = {label for label, members in groups.items() if len(members) == 1}
    labels = {}
    for label, members in groups.items():
        if len(members) == 1:
            labels[members[0]] = label
            continue
        number = 0
        for name in members:
            while True:
                number += 1
                suffix = "~%d…" % number
                candidate = name[: max(length - len(suffix), 0)] + suffix
                if candidate not in used:
                    break
            used.add(candidate)
            labels[name] = candidate
    return labels


class TruncatedNames(dict):
    """Labels by length: ``names[15]`` maps every feature name to its label of
    at most 15 characters; other lengths are made on first use."""

    def __init__(self, names):
        super().__init__()
        self._names = list(names)

    def __missing__(self, length):
        if isinstance(length, bool) or not isinstance(length, numbers.Integral) or length < 1:
            raise KeyError(length)
        labels = truncate_names(self._names, int(length))
        self[length] = labels
        return labels


def _check_finite_response(y):
    """Refuse a response holding NaN or infinite values: the scores of
    permutation importance would come out NaN, and every explanation of a
    model fitted to such values would be meaningless."""
    if y.dtype.kind in "fc":
        bad = ~np.isfinite(y)
    elif y.dtype.kind == "O":
        bad = np.array(
            [isinstance(v, (float, complex, np.inexact)) and not np.isfinite(v) for v in y],
            dtype=bool,
        )
    else:
        return
    if bad.any():
        first = int(np.flatnonzero(bad)[0])
        raise ValueError(
            "the response y holds %d NaN or infinite value%s (the first at row %d, %s)"
            % (bad.sum(), "" if bad.sum() == 1 else "s", first, shown(y[first]))
        )


def _check_names_match_columns(feature_names, columns):
    """Refuse names that contradict a DataFrame's own: a model fitted on the
    frame knows its columns by those names, and the experiment finds each
    model's columns by name, so other names would hand it the wrong columns.
    Columns that are not all strings (a frame's default numbers) name nothing
    a model could know; names given for them only label the features."""
    columns = list(columns)
    if not all(isinstance(c, str) for c in columns) or feature_names == columns:
        return
    position = next(k for k, (a, b) in enumerate(zip(feature_names, columns)) if a != b)
    raise ValueError(
        "feature_names differ from the DataFrame's columns: at position %d, %s against the "
        "column %s; leave feature_names out to take the columns' names"
        % (position, shown(feature_names[position]), shown(columns[position]))
    )


class Dataset:
    """The experiment's data, checked and frozen (``Experiment.data``).

    Parameters
    ----------
    x : array-like or DataFrame of shape (n_samples, n_features)
        Feature data; copied as float64.
    y : array-like of shape (n_samples,)
        The response; a single column is flattened.
    feature_names : list of str, optional
        Distinct names, one per column; by default a DataFrame's column
        names, else "x0", "x1", ...

    Attributes
    ----------
    x : ndarray of shape (n_samples, n_features)
        The features, float64, read-only.
    y : ndarray of shape (n_samples,)
        The response, read-only.
    feature_names : list of str
        The features' names, in column order.
    truncated_columns_dict : dict
        ``truncated_columns_dict[n]`` maps each feature name to a distinct
        label of at most ``n`` characters (for chart labels).

    Raises
    ------
    ValueError
        For fewer than two rows, a response of more than one column or with
        NaN or infinite values, lengths that differ, or feature names that
        are too few, too many, not strings, repeated, or other than a
        DataFrame's own column names.
    """

    def __init__(self, x, y, feature_names=None):
        columns = getattr(x, "columns", None)
        self.x = check_array(x, dtype=np.float64, copy=True, input_name="x", ensure_min_samples=0)
        if self.x.shape[0] < 2:
            # No score, spread or local neighbourhood exists for fewer rows:
            # every explanation would come out NaN or zero.
            raise ValueError("an experiment needs at least two samples; the data have %d" % self.x.shape[0])
        self.x.flags.writeable = False
        self.y = np.array(y, copy=True)
        if self.y.ndim == 2 and self.y.shape[1] == 1:
            self.y = self.y.ravel()
        if self.y.ndim != 1:
            raise ValueError("y must be one-dimensional, got shape %s" % (self.y.shape,))
        check_consistent_length(self.x, self.y)
        _check_finite_response(self.y)
        self.y.flags.writeable = False
        if feature_names is None:
            if columns is not None:
                feature_names = [str(c) for c in columns]
            else:
                feature_names = ["x%d" % i for i in range(self.x.shape[1])]
        feature_names = list(feature_names)
        if len(feature_names) != self.x.shape[1]:
            raise ValueError(
                "%d feature names given for %d features" % (len(feature_names), self.x.shape[1])
            )
        for name in feature_names:
            if not isinstance(name, str):
                raise ValueError("feature names must be strings, got %r" % (name,))
        if len(set(feature_names)) != len(feature_names):
            repeated = sorted({n for n in feature_names if feature_names.count(n) > 1})
            raise ValueError("feature names must be distinct; repeated: %s" % ", ".join(repeated))
        if columns is not None:
            _check_names_match_columns(feature_names, columns)
        self.feature_names = feature_names
        self.truncated_columns_dict = TruncatedNames(feature_names)
        self.truncated_columns_dict[LABEL_LENGTH]

    @property
    def n_samples(self):
        """The number of rows of the data."""
        return self.x.shape[0]
