// RampNetClassifier: binary classification on one logit with the logistic loss.
#include "concrete.hpp"
#include "globals.hpp"
#include "methods.hpp"
#include "names.hpp"

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

}  // namespace

const FunctionSpec kClassifierInit = {
    "__init__", "RampNetClassifier.__init__", 598, RAMPNET_CONCRETE_PARAMETERS, nullptr, {},
    "RampNetClassifier.\n\n"
    "Feed-forward ReLU network for binary classification, trained with\n"
    "mini-batch Adam on the logistic loss of a single logit plus an L1\n"
    "penalty on the weights, with early stopping on a validation split and\n"
    "optional iterative hard thresholding.\n\n" RAMPNET_PARAMETERS_DOC,
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
    not_implemented,
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
    not_implemented,
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
    not_implemented,
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
    not_implemented,
};

}  // namespace rampnet
