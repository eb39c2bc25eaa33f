// RampNetRegressor: RampNet with the mean squared error and real-valued output.
#include "concrete.hpp"
#include "globals.hpp"
#include "methods.hpp"
#include "names.hpp"

using namespace qalvo;

namespace rampnet {

namespace {

Ref init(Call& c, PyObject* const* a) { return init_concrete(c, a, S.RampNetRegressor, S.MSELoss, 536); }

}  // namespace

const FunctionSpec kRegressorInit = {
    "__init__", "RampNetRegressor.__init__", 472, RAMPNET_CONCRETE_PARAMETERS, nullptr, {},
    "RampNetRegressor.\n\n"
    "Feed-forward ReLU network for regression, trained with mini-batch Adam on\n"
    "the mean squared error plus an L1 penalty on the weights, with early\n"
    "stopping on a validation split and optional iterative hard thresholding.\n\n" RAMPNET_PARAMETERS_DOC,
    init,
};

const FunctionSpec kRegressorValidateInput = {
    "_validate_input", "RampNetRegressor._validate_input", 554, {"self", "x", "y"}, nullptr, {},
    "Internal validation of the inputs of fit.\n\n"
    "Checks x and y jointly (numeric response) and flattens y.\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If the data hold a single sample.",
    not_implemented,
};

const FunctionSpec kRegressorPredict = {
    "predict", "RampNetRegressor.predict", 579, {"self", "x"}, nullptr, {},
    "Predict funciton.\n\n"
    "Parameters\n"
    "----------\n"
    "x : array-like of shape (n_samples, n_features)\n\n"
    "Returns\n"
    "-------\n"
    "ndarray of shape (n_samples,), float64\n"
    "    The predicted values.",
    not_implemented,
};

}  // namespace rampnet
