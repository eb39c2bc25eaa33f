// The back-propagation epoch loop of RampNet.
#include "globals.hpp"
#include "methods.hpp"
#include "names.hpp"

using namespace qalvo;

namespace rampnet {

const FunctionSpec kFitBp = {
    "_fit_bp", "RampNet._fit_bp", 277, {"self", "x", "y", "max_epochs"}, nullptr, {},
    "Internal function for updating network by gradients BP.",
    not_implemented,
};

}  // namespace rampnet
