// One training batch's forward and backward pass without autograd's graph:
// the operations that autograd's nodes for this network would run, called
// directly, in the same order and on tensors of the same layouts, so that the
// gradients are bit for bit autograd's. About a fifth of a small batch's time
// is autograd's own bookkeeping (recording the graph, scheduling its nodes),
// which this skips.
#pragma once

#include "passes.hpp"

namespace engine {

/// Whether backprop() reproduces autograd for this network: on the CPU, with
/// contiguous parameters, and every hidden layer at least two units wide
/// (where autograd picks the matrix product's operand order by the
/// activations' strides, which a width of one makes ambiguous).
bool backprop_applies(const std::vector<Layer>& layers);

/// The activations that the backward pass reads, one entry per layer: a
/// Linear's input, a ReLU's output, a Dropout's multiplier (undefined where
/// the dropout is the identity).
using Saved = std::vector<at::Tensor>;

/// net(x) in training mode, keeping what backprop() needs.
at::Tensor forward_saving(const std::vector<Layer>& layers, const at::Tensor& x, Saved& saved);

/// loss.backward() for loss = data_loss(kind, prediction, labels): each
/// parameter's gradient accumulated onto its .grad (set where undefined).
void backprop(const std::vector<Layer>& layers, const Saved& saved, Loss kind,
              const at::Tensor& loss, const at::Tensor& prediction, const at::Tensor& labels);

}  // namespace engine
