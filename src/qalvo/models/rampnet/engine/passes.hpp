// The batch loops of RampNet on ATen tensors: the same operations, in the same
// order, as the estimator's generic path issues through torch's Python API, so
// that results are bit for bit the same. Nothing here touches the interpreter;
// module.cpp converts the Python objects and calls these with the GIL released.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace engine {

/// One element of the network's Sequential: Linear(weight, bias), ReLU or Dropout(p).
struct Layer {
    enum Kind { kLinear = 0, kRelu = 1, kDropout = 2 } kind;
    at::Tensor weight, bias;  ///< kLinear only
    double p = 0.0;           ///< kDropout only
};

enum class Loss { kMse = 0, kBceWithLogits = 1 };

/// Between batches: true to go on; false when the run must stop (a Python
/// error is then pending, e.g. KeyboardInterrupt).
using Poll = std::function<bool()>;

/// Rows [start, start + size) of every tensor, as Python's t[i:i + n] makes them.
at::Tensor rows(const at::Tensor& t, int64_t start, int64_t size);

/// net(x): the layers in order; dropout acts only when `training`.
at::Tensor forward(const std::vector<Layer>& layers, const at::Tensor& x, bool training);

/// loss_fn(prediction.ravel(), labels.ravel()) with mean reduction.
at::Tensor data_loss(Loss loss, const at::Tensor& prediction, const at::Tensor& labels);

/// The Adam state of one parameter, shared with optimizer_.state[parameter].
struct AdamSlot {
    at::Tensor param, step, exp_avg, exp_avg_sq;
};

/// What a training pass updates and how.
struct TrainSetup {
    std::vector<Layer> layers;
    Loss loss = Loss::kMse;
    std::vector<AdamSlot> slots;         ///< every parameter, in the optimiser's order
    std::vector<at::Tensor> penalized;   ///< net_.weights, in list order
    std::vector<at::Tensor> masks;       ///< empty, or one per penalised weight (IHT)
    double l1 = 0.0;
    double lr = 0.001;
    /// Runs the optimiser step itself (through Python) where torch would not
    /// take the single-tensor Adam, e.g. on CUDA; empty: the step is done here.
    std::function<bool()> external_step;
};

/// Where a pass over a loader stands; mirrors the loader's attributes.
struct Pass {
    at::Tensor features, targets;  ///< after the pass's shuffle
    int64_t cursor = 0;            ///< the loader's `i`
    int64_t batches = 0;
    std::vector<double> losses;    ///< loss * rows of each batch run
};

/// Reorders both tensors by one torch.randperm(n) of the default generator.
void shuffle(Pass& pass, int64_t n);

/// One epoch's batches: zero_grad, forward, loss, L1 gradient, backward,
/// gradient masks, Adam step, loss sum. Returns false if `poll` stopped it.
bool train_pass(TrainSetup& setup, Pass& pass, int64_t n, int64_t batch_size, const Poll& poll);

/// The validation pass: loss sum without gradient tracking, network in evaluation mode.
bool validation_pass(const std::vector<Layer>& layers, Loss loss, Pass& pass, int64_t n,
                     int64_t batch_size, const Poll& poll);

/// Network outputs for every row of x, at most batch_size rows per forward
/// pass, written into one (rows, outputs) result; false if `poll` stopped it.
bool output_pass(const std::vector<Layer>& layers, const at::Tensor& x, int64_t batch_size,
                 at::Tensor& result, const Poll& poll);

}  // namespace engine
