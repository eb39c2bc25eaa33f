// FastTensorDataLoader: mini-batches as contiguous row slices of in-memory
// tensors, reshuffled by one permutation per pass.
#include "globals.hpp"
#include "methods.hpp"
#include "names.hpp"

using namespace qalvo;

namespace rampnet {

const char* const kLoaderClassDoc =
    "A DataLoader-like object for a set of tensors.\n\n"
    "Much faster than a TensorDataset with a DataLoader, because those fetch\n"
    "the rows one index at a time and concatenate them; here a batch is one\n"
    "slice of every tensor.";

const FunctionSpec kLoaderInit = {
    "__init__", "FastTensorDataLoader.__init__", 24, {"self"}, "tensors",
    {"batch_size", "shuffle"},
    "Initialize a FastTensorDataLoader.\n\n"
    "Parameters\n"
    "----------\n"
    "*tensors : torch.Tensor\n"
    "    Tensors to store. Must have the same length in dimension 0.\n"
    "batch_size : int, default=32\n"
    "    Batch size to load.\n"
    "shuffle : bool, default=False\n"
    "    If True, shuffle the data in place whenever an iterator is created\n"
    "    out of this object.",
    not_implemented,
};

const FunctionSpec kLoaderIter = {
    "__iter__", "FastTensorDataLoader.__iter__", 46, {"self"}, nullptr, {}, nullptr,
    not_implemented,
};

const FunctionSpec kLoaderNext = {
    "__next__", "FastTensorDataLoader.__next__", 53, {"self"}, nullptr, {}, nullptr,
    not_implemented,
};

const FunctionSpec kLoaderLen = {
    "__len__", "FastTensorDataLoader.__len__", 61, {"self"}, nullptr, {}, nullptr,
    not_implemented,
};

}  // namespace rampnet
