// Batched raw output of a fitted network.
#include "globals.hpp"
#include "methods.hpp"
#include "names.hpp"

using namespace qalvo;

namespace rampnet {

const FunctionSpec kGetRawOutput = {
    "get_raw_output", "RampNet.get_raw_output", 433, {"self", "x"}, nullptr, {},
    "Returns numpy array of raw predicted value before softmax.",
    not_implemented,
};

}  // namespace rampnet
