// RampNetClassifier: binary classification on one logit with the logistic loss.
#include "concrete.hpp"
#include "globals.hpp"
#include "methods.hpp"
#include "names.hpp"
#include "unpack.hpp"
#include "validation.hpp"

using namespace qalvo;

namespace rampnet {

namespace {

Ref init(Call& c, PyObject* const* a) {
    return init_concrete(c, a, S.RampNetClassifier, S.BCEWithLogitsLoss, 662);
}

/// Tells scikit-learn's estimator checks that only two classes are handled.
Ref more_tags(Call& c, PyObject*) {
    c.L(683);
    Ref tags = own(PyDict_New());
    check(PyDict_SetItem(tags, S.binary_only, Py_True));
    return tags;
}

/// Checks the data, encodes the two labels as 0.0 and 1.0 and flattens y.
Ref validate_input(Call& c, PyObject* self, PyObject* x_in, PyObject* y_in) {
    c.L(703);
    auto [x, y] = unpack<2>(validate_data(self, nullptr, x_in, y_in));
    c.L(704);
    if (compare(getattr(y, S.ndim), C.int_2, Py_EQ) &&
        compare(item(getattr(y, S.shape), 1), C.int_1, Py_EQ)) {
        c.L(705);
        y = call_kw(global(S.column_or_1d), C.kw_warn, y, Py_False);
    }
    c.L(706);
    if (compare(item(getattr(x, S.shape), 0), C.int_1, Py_EQ)) {
        c.L(707);
        raise_object(B.ValueError, C.msg_one_sample);
    }
    c.L(709);
    setattr(self, S.label_binarizer_, call(global(S.LabelBinarizer)));
    c.L(710);
    call_method(getattr(self, S.label_binarizer_), S.fit, y);
    c.L(711);
    setattr(self, S.classes_, getattr(getattr(self, S.label_binarizer_), S.classes_));
    c.L(713);
    if (length(getattr(self, S.classes_)) > 2) {
        c.L(714);
        raise_object(B.ValueError, C.msg_multiclass);
    }
    c.L(716);
    Ref encoded = call_method(getattr(self, S.label_binarizer_), S.transform, y);
    y = num::mul(encoded, C.float_one);
    c.L(718);
    return tuple(x, call_method(y, S.ravel));
}

/// The logit of classes_[1] for each row.
Ref decision_function(Call& c, PyObject* self, PyObject* x_in) {
    return flat_raw_output(c, self, x_in, 735);
}

/// Rows (1 - sigmoid(p), sigmoid(p)), as a softmax over (-p/2, p/2).
Ref predict_proba(Call& c, PyObject* self, PyObject* x) {
    c.L(751);
    Ref p = call_method(self, S.decision_function, x);
    c.L(752);
    Ref vstack = getattr(global(S.np), S.vstack);
    Ref pair = list(num::neg(p), p);
    Ref halves = num::truediv(getattr(call(vstack, pair), S.T), C.int_2);
    c.L(753);
    return call_kw(global(S.softmax), C.kw_copy, halves, Py_False);
}

/// classes_[1] where its probability exceeds one half, else classes_[0].
Ref predict(Call& c, PyObject* self, PyObject* x) {
    c.L(768);
    Ref q = call_method(self, S.predict_proba, x);
    c.L(769);
    Ref binarizer = getattr(self, S.label_binarizer_);
    Ref array = getattr(global(S.np), S.array);
    Ref positive = richcompare(getitem(q, C.all_rows_column_1), C.float_half, Py_GT);
    // The builtin int: numpy's former alias of it is gone.
    Ref labels = call_kw(array, C.kw_dtype, positive, reinterpret_cast<PyObject*>(&PyLong_Type));
    return call_method(binarizer, S.inverse_transform, labels);
}

/// The tags of scikit-learn 1.6 and later: those of the bases, with the
/// classifier marked as binary only, as _more_tags says to older releases.
Ref sklearn_tags(Call& c, PyObject* self) {
    c.L(774);
    Ref base = call(B.super, global(S.RampNetClassifier), self);
    Ref tags = call_method(base, S.sklearn_tags);
    c.L(775);
    setattr(getattr(tags, S.classifier_tags), S.multi_class, Py_False);
    c.L(776);
    return tags;
}

}  // namespace

const FunctionSpec kClassifierInit = {
    "__init__", "RampNetClassifier.__init__", 598, RAMPNET_CONCRETE_PARAMETERS, nullptr, {},
    "RampNetClassifier.\n\n"
    "Feed-forward ReLU network for binary classification, trained with\n"
    "mini-batch Adam on the logistic loss of a single logit plus an L1\n"
    "penalty on the weights, with early stopping on a validation split and\n"
    "optional iterative hard thresholding.\n\n" RAMPNET_PARAMETERS_DOC
    "\n\n" RAMPNET_ATTRIBUTES_DOC "\n"
    "classes_ : ndarray of shape (2,)\n"
    "    The two labels seen in fit, sorted; ``predict_proba``'s column 1 and\n"
    "    the logit are those of ``classes_[1]``.\n"
    "label_binarizer_ : sklearn.preprocessing.LabelBinarizer\n"
    "    The encoder of the labels as 0 and 1.\n\n"
    "See Also\n"
    "--------\n"
    "RampNetRegressor : The same network for regression.\n\n"
    "Notes\n"
    "-----\n"
    "Two classes only: fitting with more raises ValueError.\n\n"
    "Examples\n"
    "--------\n"
    ">>> from sklearn.datasets import load_breast_cancer\n"
    ">>> from sklearn.pipeline import make_pipeline\n"
    ">>> from sklearn.preprocessing import StandardScaler\n"
    ">>> from qalvo.models.rampnet import RampNetClassifier\n"
    ">>> data = load_breast_cancer()\n"
    ">>> labels = data.target_names[data.target]  # 'malignant' or 'benign'\n"
    ">>> clf = make_pipeline(StandardScaler(), RampNetClassifier(random_state=0))\n"
    ">>> clf.fit(data.data, labels)[-1].classes_.tolist()\n"
    "['benign', 'malignant']\n"
    ">>> clf.predict_proba(data.data[:3]).shape\n"
    "(3, 2)",
    init,
};

const FunctionSpec kMoreTags = {
    "_more_tags", "RampNetClassifier._more_tags", 679, {"self"}, nullptr, {},
    "Internal function for skipping some scikit-learn estimator checks.\n\n"
    "The classifier handles two classes only (``binary_only``).",
    body<more_tags>,
};

const FunctionSpec kClassifierValidateInput = {
    "_validate_input", "RampNetClassifier._validate_input", 685, {"self", "x", "y"}, nullptr, {},
    "Internal validation of the inputs of fit.\n\n"
    "Checks x and y jointly, flattens a one-column y and encodes the target\n"
    "labels as 0 and 1 (``classes_[0]`` and ``classes_[1]``).\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If the data hold a single sample, or more than two classes.",
    body<validate_input>,
};

const FunctionSpec kDecisionFunction = {
    "decision_function", "RampNetClassifier.decision_function", 720, {"self", "x"}, nullptr, {},
    "Returns numpy array of raw predicted value before softmax.\n\n"
    "Parameters\n"
    "----------\n"
    "x : array-like of shape (n_samples, n_features)\n\n"
    "Returns\n"
    "-------\n"
    "ndarray of shape (n_samples,), float64\n"
    "    The logit of ``classes_[1]`` for each sample.",
    body<decision_function>,
};

const FunctionSpec kPredictProba = {
    "predict_proba", "RampNetClassifier.predict_proba", 739, {"self", "x"}, nullptr, {},
    "Predict probability funciton.\n\n"
    "Parameters\n"
    "----------\n"
    "x : array-like of shape (n_samples, n_features)\n\n"
    "Returns\n"
    "-------\n"
    "ndarray of shape (n_samples, 2), float64\n"
    "    Probabilities of ``classes_[0]`` and ``classes_[1]``; rows sum to 1.",
    body<predict_proba>,
};

const FunctionSpec kClassifierPredict = {
    "predict", "RampNetClassifier.predict", 755, {"self", "x"}, nullptr, {},
    "Predict funciton.\n\n"
    "Parameters\n"
    "----------\n"
    "x : array-like of shape (n_samples, n_features)\n\n"
    "Returns\n"
    "-------\n"
    "ndarray of shape (n_samples,)\n"
    "    Labels from ``classes_``.",
    body<predict>,
};

const FunctionSpec kSklearnTags = {
    "__sklearn_tags__", "RampNetClassifier.__sklearn_tags__", 772, {"self"}, nullptr, {},
    "Estimator tags for scikit-learn 1.6 and later.\n\n"
    "Those of the bases, with ``classifier_tags.multi_class`` False: the\n"
    "classifier handles two classes only (what ``_more_tags`` tells older\n"
    "releases).",
    body<sklearn_tags>,
};

}  // namespace rampnet
