// The batch loops on ATen. Each statement names the Python it stands for: the
// generic path's operations in its order, so rounding and random draws agree.
// Where Python makes a new tensor that nothing else holds, the same operation
// runs in place on it: the same kernel, one allocation less.
// Only the operators used here are included: the whole of ATen/ATen.h
// triples this file's build time.
#define TORCH_ASSERT_ONLY_METHOD_OPERATORS
#include "passes.hpp"

#include "backprop.hpp"

#include <ATen/core/grad_mode.h>
#include <ATen/ops/binary_cross_entropy_with_logits.h>
#include <ATen/ops/broadcast_tensors.h>
#include <ATen/ops/dropout.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/mse_loss.h>
#include <ATen/ops/randperm.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/sgn.h>

#include <cmath>
#include <optional>

namespace engine {

at::Tensor rows(const at::Tensor& t, int64_t start, int64_t size) {
    return t.slice(0, start, start + size);  // t[start:start + size]
}

at::Tensor forward(const std::vector<Layer>& layers, const at::Tensor& x, bool training) {
    at::Tensor h = x;
    for (const Layer& layer : layers) {
        switch (layer.kind) {
            case Layer::kLinear: h = at::linear(h, layer.weight, layer.bias); break;  // F.linear
            case Layer::kRelu:
                // F.relu; outside autograd in place, on the fresh output of a
                // Linear (possibly through an inactive dropout) that nothing reads
                if (training) {
                    h = at::relu(h);
                } else {
                    at::relu_(h);
                }
                break;
            case Layer::kDropout: h = at::dropout(h, layer.p, training); break;       // F.dropout
        }
    }
    return h;
}

at::Tensor data_loss(Loss loss, const at::Tensor& prediction, const at::Tensor& labels) {
    at::Tensor input = prediction.ravel();
    at::Tensor target = labels.ravel();
    if (loss == Loss::kMse) {
        // F.mse_loss: broadcast_tensors, then the mean squared error
        std::vector<at::Tensor> both = at::broadcast_tensors({input, target});
        return at::mse_loss(both[0], both[1], at::Reduction::Mean);
    }
    // F.binary_cross_entropy_with_logits without weights
    return at::binary_cross_entropy_with_logits(input, target, {}, {}, at::Reduction::Mean);
}

namespace {

constexpr double kBeta1 = 0.9, kBeta2 = 0.999, kEps = 1e-8;

/// step_t += 1, then _get_value(step_t), on the 0-d CPU float tensor of the
/// step count: the same float addition, written in place without the two
/// dispatches (each costs more than the addition), and the version bump that
/// an in-place operation makes.
double count_step(const at::Tensor& step) {
    double value;
    if (step.scalar_type() == at::kFloat) {
        float* count = step.mutable_data_ptr<float>();
        *count = *count + 1.0f;
        value = *count;
    } else {
        double* count = step.mutable_data_ptr<double>();
        *count = *count + 1.0;
        value = *count;
    }
    step.unsafeGetTensorImpl()->bump_version();
    return value;
}

/// torch.optim.Adam's single-tensor step for one parameter with the default
/// settings; the bias corrections are Python float arithmetic on the step value.
void adam_step(AdamSlot& slot, const at::Tensor& grad, double lr) {
    const double step = count_step(slot.step);
    slot.exp_avg.lerp_(grad, 1 - kBeta1);                             // exp_avg.lerp_(grad, 1 - beta1)
    slot.exp_avg_sq.mul_(kBeta2).addcmul_(grad, grad, 1 - kBeta2);
    const double bias_correction1 = 1 - std::pow(kBeta1, step);
    const double bias_correction2 = 1 - std::pow(kBeta2, step);
    const double step_size = lr / bias_correction1;
    const double bias_correction2_sqrt = std::pow(bias_correction2, 0.5);  // ** 0.5, not sqrt
    at::Tensor denom = slot.exp_avg_sq.sqrt().div_(bias_correction2_sqrt).add_(kEps);
    slot.param.addcdiv_(slot.exp_avg, denom, -step_size);
}

/// (loss * rows).cpu().detach().numpy(): one float64 multiplication on the host.
double weighted(const at::Tensor& loss, const at::Tensor& data) {
    return loss.item<double>() * static_cast<double>(data.size(0));
}

}  // namespace

void shuffle(Pass& pass, int64_t n) {
    at::Tensor r = at::randperm(n, at::TensorOptions().dtype(at::kLong));
    // t[r] for each stored tensor
    pass.features = pass.features.index(c10::List<std::optional<at::Tensor>>({r}));
    pass.targets = pass.targets.index(c10::List<std::optional<at::Tensor>>({r}));
}

bool train_pass(TrainSetup& setup, Pass& pass, int64_t n, int64_t batch_size, const Poll& poll) {
    const bool direct = backprop_applies(setup.layers);
    Saved saved;
    while (pass.cursor < n) {
        if (!poll()) return false;
        // optimizer_.zero_grad(set_to_none=True)
        for (AdamSlot& slot : setup.slots) slot.param.mutable_grad().reset();
        at::Tensor data = rows(pass.features, pass.cursor, batch_size);
        at::Tensor labels = rows(pass.targets, pass.cursor, batch_size);
        pass.cursor += batch_size;

        at::Tensor prediction, loss;
        {
            std::optional<at::NoGradGuard> untracked;
            if (direct) untracked.emplace();
            prediction = direct ? forward_saving(setup.layers, data, saved)
                                : forward(setup.layers, data, true);
            loss = data_loss(setup.loss, prediction, labels);
        }
        {
            // loss_reg.backward(): autograd's gradient of l1 * ||cat(w)||_1 is
            // exactly sgn(w) * l1 for each weight; put it in place first, and
            // the data gradient accumulates onto it as it would.
            at::NoGradGuard no_grad;
            for (at::Tensor& weight : setup.penalized) {
                weight.mutable_grad() = at::sgn(weight).mul_(setup.l1);
            }
        }
        if (direct) {
            backprop(setup.layers, saved, setup.loss, loss, prediction, labels);
        } else {
            loss.backward();
        }
        {
            at::NoGradGuard no_grad;
            // _hard_thresholding_gradient(): p.grad = p.grad * param_fac[name]
            for (size_t k = 0; k < setup.masks.size(); ++k) {
                at::Tensor& weight = setup.penalized[k];
                if (weight.grad().defined()) weight.mutable_grad().mul_(setup.masks[k]);
            }
            if (setup.external_step) {
                if (!setup.external_step()) return false;
            } else {
                for (AdamSlot& slot : setup.slots) {
                    const at::Tensor& grad = slot.param.grad();
                    if (grad.defined()) adam_step(slot, grad, setup.lr);
                }
            }
        }
        pass.losses.push_back(weighted(loss, data));
        pass.batches += 1;
    }
    return true;
}

bool validation_pass(const std::vector<Layer>& layers, Loss loss, Pass& pass, int64_t n,
                     int64_t batch_size, const Poll& poll) {
    at::NoGradGuard no_grad;
    while (pass.cursor < n) {
        if (!poll()) return false;
        at::Tensor data = rows(pass.features, pass.cursor, batch_size);
        at::Tensor labels = rows(pass.targets, pass.cursor, batch_size);
        pass.cursor += batch_size;
        at::Tensor batch_loss = data_loss(loss, forward(layers, data, false), labels);
        pass.losses.push_back(weighted(batch_loss, data));
        pass.batches += 1;
    }
    return true;
}

bool output_pass(const std::vector<Layer>& layers, const at::Tensor& x, int64_t batch_size,
                 at::Tensor& result, const Poll& poll) {
    at::NoGradGuard no_grad;
    const int64_t n = x.size(0);
    for (int64_t start = 0; start < n; start += batch_size) {
        if (!poll()) return false;
        at::Tensor output = forward(layers, rows(x, start, batch_size), false);
        if (!result.defined()) result = output.new_empty({n, output.size(1)});
        result.slice(0, start, start + output.size(0)).copy_(output);
    }
    return true;
}

}  // namespace engine
