// RampNetRegressor: RampNet with the mean squared error and real-valued output.
#include "concrete.hpp"
#include "globals.hpp"
#include "methods.hpp"
#include "names.hpp"
#include "unpack.hpp"
#include "validation.hpp"

using namespace qalvo;

namespace rampnet {

namespace {

Ref init(Call& c, PyObject* const* a) { return init_concrete(c, a, S.RampNetRegressor, S.MSELoss, 536); }

Ref validate_input(Call& c, PyObject* self, PyObject* x_in, PyObject* y_in) {
    c.L(571);
    auto [x, y] =
        unpack<2>(validate_data(self, C.kw_y_numeric, x_in, y_in, Py_True));
    c.L(572);
    if (compare(item(getattr(x, S.shape), 0), C.int_1, Py_EQ)) {
        c.L(573);
        raise_object(B.ValueError, C.msg_one_sample);
    }
    c.L(575);
    return tuple(x, call_method(y, S.ravel));
}

Ref predict(Call& c, PyObject* self, PyObject* x_in) {
    return flat_raw_output(c, self, x_in, 593);
}

}  // namespace

const FunctionSpec kRegressorInit = {
    "__init__", "RampNetRegressor.__init__", 472, RAMPNET_CONCRETE_PARAMETERS, nullptr, {},
    "RampNetRegressor.\n\n"
    "Feed-forward ReLU network for regression, trained with mini-batch Adam on\n"
    "the mean squared error plus an L1 penalty on the weights, with early\n"
    "stopping on a validation split and optional iterative hard thresholding.\n\n" RAMPNET_PARAMETERS_DOC
    "\n\n" RAMPNET_ATTRIBUTES_DOC "\n\n"
    "See Also\n"
    "--------\n"
    "RampNetClassifier : The same network for binary classification.\n\n"
    "Examples\n"
    "--------\n"
    ">>> from sklearn.datasets import load_diabetes\n"
    ">>> from sklearn.pipeline import make_pipeline\n"
    ">>> from sklearn.preprocessing import StandardScaler\n"
    ">>> from qalvo.models.rampnet import RampNetRegressor\n"
    ">>> x, y = load_diabetes(return_X_y=True)\n"
    ">>> model = make_pipeline(StandardScaler(),\n"
    "...                       RampNetRegressor(learning_rate=0.01, random_state=0))\n"
    ">>> model.fit(x[:300], y[:300]).predict(x[300:]).shape\n"
    "(142,)\n"
    ">>> [w.shape for w in model[-1].coefs_]\n"
    "[(10, 40), (40, 40), (40, 1)]",
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
    body<validate_input>,
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
    body<predict>,
};

}  // namespace rampnet
