// Each statement names the autograd node, or the forward operation, it stands
// for. The network is Linear (ReLU | Dropout)* ... Linear, each layer used
// once, so every activation's gradient comes from one consumer and nothing is
// summed but the parameters' .grad.
#define TORCH_ASSERT_ONLY_METHOD_OPERATORS
#include "backprop.hpp"

#include <ATen/ExpandUtils.h>
#include <ATen/core/grad_mode.h>
#include <ATen/ops/broadcast_tensors.h>
#include <ATen/ops/empty_like.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/mse_loss_backward.h>
#include <ATen/ops/ones_like.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/sigmoid.h>
#include <ATen/ops/threshold_backward.h>
#include <ATen/ops/zeros.h>

namespace engine {

bool backprop_applies(const std::vector<Layer>& layers) {
    bool first = true;
    for (const Layer& layer : layers) {
        if (layer.kind != Layer::kLinear) continue;
        if (!layer.weight.device().is_cpu() || !layer.weight.is_contiguous() ||
            !layer.bias.is_contiguous()) {
            return false;
        }
        if (!first && layer.weight.size(1) < 2) return false;
        first = false;
    }
    return true;
}

namespace {

/// F.dropout(input, p, training=True) on the CPU: input * noise, noise holding
/// 0 or 1 / (1 - p) from one bernoulli_ draw; `multiplier` keeps the factor.
at::Tensor dropout_saving(const at::Tensor& input, double p, at::Tensor& multiplier) {
    if (p == 0 || input.numel() == 0) {
        multiplier.reset();
        return input;
    }
    if (p == 1) {
        multiplier = at::zeros({}, input.options());
        return input.mul(multiplier);
    }
    at::Tensor noise = at::empty_like(input);
    noise.bernoulli_(1 - p);
    noise.div_(1 - p);
    multiplier = noise;
    return input.mul(noise);
}

/// The gradient of the batch loss with respect to the network's output.
at::Tensor output_gradient(Loss kind, const at::Tensor& loss, const at::Tensor& prediction,
                           const at::Tensor& labels) {
    // the seed of loss.backward()
    at::Tensor seed = at::ones_like(loss, at::MemoryFormat::Contiguous);
    at::Tensor input = prediction.ravel();
    at::Tensor target = labels.ravel();
    at::Tensor grad;
    if (kind == Loss::kMse) {
        std::vector<at::Tensor> both = at::broadcast_tensors({input, target});
        grad = at::mse_loss_backward(seed, both[0], both[1], at::Reduction::Mean);  // MseLossBackward0
        grad = at::sum_to(grad, input.sizes());                                   // ExpandBackward0
    } else {
        // BinaryCrossEntropyWithLogitsBackward0 without weights
        grad = at::sigmoid(input).sub_(target);
        grad.mul_(seed);
        grad.div_(input.numel());
    }
    return grad.reshape(prediction.sizes());  // ViewBackward0 of ravel()
}

/// AccumulateGrad outside grad mode: add onto the existing gradient in place,
/// or take the new one, detached (not a view of what it was computed from).
void accumulate(const at::Tensor& parameter, const at::Tensor& grad) {
    at::Tensor& current = parameter.mutable_grad();
    if (current.defined()) {
        current += grad;
    } else {
        current = grad.detach();
    }
}

}  // namespace

at::Tensor forward_saving(const std::vector<Layer>& layers, const at::Tensor& x, Saved& saved) {
    saved.resize(layers.size());
    at::Tensor h = x;
    bool fresh = false;  // whether h is a new tensor that nothing else reads
    for (size_t k = 0; k < layers.size(); ++k) {
        const Layer& layer = layers[k];
        switch (layer.kind) {
            case Layer::kLinear:
                saved[k] = h;
                h = at::linear(h, layer.weight, layer.bias);  // addmm(bias, h, weight.t())
                fresh = true;
                break;
            case Layer::kRelu:
                // backward reads the output only: in place where nothing reads the input
                h = fresh ? at::relu_(h) : at::relu(h);
                saved[k] = h;
                fresh = false;
                break;
            case Layer::kDropout:
                h = dropout_saving(h, layer.p, saved[k]);
                fresh = fresh || saved[k].defined();  // input * noise is new
                break;
        }
    }
    return h;
}

void backprop(const std::vector<Layer>& layers, const Saved& saved, Loss kind,
              const at::Tensor& loss, const at::Tensor& prediction, const at::Tensor& labels) {
    at::NoGradGuard no_grad;
    at::Tensor grad = output_gradient(kind, loss, prediction, labels);
    for (size_t k = layers.size(); k-- > 0;) {
        const Layer& layer = layers[k];
        switch (layer.kind) {
            case Layer::kLinear: {
                // AddmmBackward0 of addmm(bias, input, weight.t()): the bias
                // gradient reduced to the bias's shape as the engine does;
                // weight.t() is column-major, so mm_mat2_backward takes
                // (grad.t() @ input).t(), which TBackward0 turns back.
                accumulate(layer.bias, at::sum_to(grad, layer.bias.sizes()));
                accumulate(layer.weight, grad.t().mm(saved[k]));
                // The input is row-major and at least two wide: mm_mat1_backward's
                // general branch, grad @ weight.t().t(). The first layer's input
                // (the data) needs no gradient.
                if (k > 0) grad = grad.mm(layer.weight.t().t());
                break;
            }
            case Layer::kRelu: grad = at::threshold_backward(grad, saved[k], 0); break;  // ReluBackward0
            case Layer::kDropout:
                if (saved[k].defined()) grad = grad.mul(saved[k]);  // MulBackward0: grad * noise
                break;
        }
    }
}

}  // namespace engine
