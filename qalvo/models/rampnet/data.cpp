// Data preparation, validation loss and improvement tracking of RampNet.
#include "globals.hpp"
#include "methods.hpp"
#include "names.hpp"

using namespace qalvo;

namespace rampnet {

const FunctionSpec kPrepareData = {
    "_prepare_data", "RampNet._prepare_data", 184, {"self", "x", "y"}, nullptr, {},
    "Internal function for data preparation.",
    not_implemented,
};

const FunctionSpec kValidate = {
    "_validate", "RampNet._validate", 227, {"self"}, nullptr, {},
    "Returns torch tensor of predicted values and labels for validation data.",
    not_implemented,
};

const FunctionSpec kCheckImprovement = {
    "_check_improvement", "RampNet._check_improvement", 247, {"self"}, nullptr, {},
    "Checks whether there is an improvement in validation loss or not.",
    not_implemented,
};

}  // namespace rampnet
