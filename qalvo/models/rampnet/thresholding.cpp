// Iterative hard thresholding: alternating dense and sparse training phases.
#include "globals.hpp"
#include "methods.hpp"
#include "names.hpp"

using namespace qalvo;

namespace rampnet {

const FunctionSpec kHardThresholdingWeight = {
    "_hard_thresholding_weight", "RampNet._hard_thresholding_weight", 256, {"self"}, nullptr, {},
    "Threshold weights that are less than a threshold.",
    not_implemented,
};

const FunctionSpec kHardThresholdingGradient = {
    "_hard_thresholding_gradient", "RampNet._hard_thresholding_gradient", 269, {"self"}, nullptr,
    {},
    "Threshold the gradients, whose corresponding weights are zero.",
    not_implemented,
};

const FunctionSpec kFitIht = {
    "_fit_iht", "RampNet._fit_iht", 336, {"self", "x", "y"}, nullptr, {},
    "Trains the model with Iterative Hard Thresholding algorithm",
    not_implemented,
};

}  // namespace rampnet
