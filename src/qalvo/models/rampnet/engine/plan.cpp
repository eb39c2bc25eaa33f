#include "plan.hpp"

#include <ATen/ops/zeros.h>
#include <ATen/ops/zeros_like.h>

#include <algorithm>

using qalvo::Ref;
using qalvo::getattr_optional;

namespace engine {

namespace {

/// d[key] of an exact dict, borrowed; nullptr where it is missing.
PyObject* entry(PyObject* dict, const char* key) {
    if (dict == nullptr || !PyDict_CheckExact(dict)) return nullptr;
    return PyDict_GetItemString(dict, key);
}

/// The layers of net_.net with their Python objects, checked to chain from
/// `width` input columns to one output on one device, in float64.
bool read_layers(Plan& plan) {
    Ref modules = getattr_optional(plan.net, "_modules");
    Ref sequential_modules;
    if (PyObject* sequential = entry(modules, "net")) {
        sequential_modules = getattr_optional(sequential, "_modules");
    }
    if (!sequential_modules || !PyDict_CheckExact(sequential_modules.get())) return false;
    std::optional<at::Device> device;
    int64_t in = -1;
    Py_ssize_t position = 0;
    PyObject *key, *layer;
    while (PyDict_Next(sequential_modules, &position, &key, &layer)) {
        PyObject* kind = reinterpret_cast<PyObject*>(Py_TYPE(layer));
        Layer parsed{Layer::kRelu, {}, {}, 0.0};
        if (kind == classes.linear) {
            Ref parameters = getattr_optional(layer, "_parameters");
            PyObject* weight_object = entry(parameters, "weight");
            PyObject* bias_object = entry(parameters, "bias");
            if (!weight_object || !bias_object) return false;
            auto weight = tensor_of(weight_object);
            auto bias = tensor_of(bias_object);
            if (!weight || !bias) return false;
            if (!device) device = weight->device();
            if (!is_float64_on(*weight, *device) || !is_float64_on(*bias, *device)) return false;
            if (weight->dim() != 2 || bias->dim() != 1 || bias->size(0) != weight->size(0)) {
                return false;
            }
            if (in >= 0 && weight->size(1) != in) return false;
            if (in < 0) plan.width = weight->size(1);
            in = weight->size(0);
            parsed = {Layer::kLinear, *weight, *bias, 0.0};
            plan.parameter_objects.push_back(qalvo::newref(weight_object));
            plan.parameter_objects.push_back(qalvo::newref(bias_object));
        } else if (kind == classes.dropout) {
            Ref p = getattr_optional(layer, "p");
            std::optional<double> value = p ? plain_number(p) : std::nullopt;
            if (!value || !(*value >= 0.0 && *value <= 1.0)) return false;
            parsed = {Layer::kDropout, {}, {}, *value};
        } else if (kind != classes.relu) {
            return false;
        }
        plan.setup.layers.push_back(std::move(parsed));
        plan.layer_objects.push_back(qalvo::newref(layer));
    }
    if (plan.setup.layers.empty() || plan.setup.layers.front().kind != Layer::kLinear ||
        plan.setup.layers.back().kind != Layer::kLinear || in != 1) {
        return false;
    }
    plan.device = *device;
    return true;
}

bool read_loss(Plan& plan) {
    PyObject* kind = reinterpret_cast<PyObject*>(Py_TYPE(plan.loss_fn.get()));
    if (kind == classes.mse_loss) {
        plan.setup.loss = Loss::kMse;
    } else if (kind == classes.bce_with_logits_loss) {
        plan.setup.loss = Loss::kBceWithLogits;
    } else {
        return false;
    }
    return true;
}

/// net_.weights: (name, weight) pairs naming the Linear weights in order.
bool read_weights(Plan& plan) {
    plan.weights_list = qalvo::getattr(plan.net, qalvo::py_str("weights"));
    PyObject* pairs = plan.weights_list;
    if (!PyList_CheckExact(pairs)) return false;
    size_t k = 0;
    for (const Layer& layer : plan.setup.layers) {
        if (layer.kind != Layer::kLinear) continue;
        if (k >= static_cast<size_t>(PyList_GET_SIZE(pairs))) return false;
        PyObject* pair = PyList_GET_ITEM(pairs, k++);
        if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) return false;
        auto weight = tensor_of(PyTuple_GET_ITEM(pair, 1));
        if (!weight || !weight->is_same(layer.weight)) return false;
        plan.weight_names.push_back(qalvo::newref(PyTuple_GET_ITEM(pair, 0)));
        plan.setup.penalized.push_back(layer.weight);
    }
    return k == static_cast<size_t>(PyList_GET_SIZE(pairs));
}

/// `t` with the version counter of a tensor that Python just created: ATen's
/// factories fill in place, which counts as a modification here but not there.
at::Tensor fresh(at::Tensor t) {
    t.unsafeGetTensorImpl()->set_version_counter(c10::VariableVersion(0));
    return t;
}

/// Adam's state for each parameter, creating what the first step would.
bool read_adam(Plan& plan, PyObject* params) {
    plan.adam_state = qalvo::getattr(plan.optimizer, qalvo::py_str("state"));
    PyObject* state = plan.adam_state;
    if (!PyDict_Check(state)) return false;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(params); ++k) {
        PyObject* param_object = PyList_GET_ITEM(params, k);
        at::Tensor param = *tensor_of(param_object);
        PyObject* current = PyDict_GetItemWithError(state, param_object);
        if (current == nullptr && PyErr_Occurred()) qalvo::throw_pending();
        if (current == nullptr || (PyDict_CheckExact(current) && PyDict_GET_SIZE(current) == 0)) {
            // as torch.optim.Adam's first step creates it (the default dtype is float32)
            AdamSlot slot{param, fresh(at::zeros({}, at::TensorOptions().dtype(at::kFloat))),
                          fresh(at::zeros_like(param, at::MemoryFormat::Preserve)),
                          fresh(at::zeros_like(param, at::MemoryFormat::Preserve))};
            plan.setup.slots.push_back(slot);
            plan.new_state.emplace_back(qalvo::newref(param_object), slot);
            continue;
        }
        if (!PyDict_CheckExact(current) || PyDict_GET_SIZE(current) != 3) return false;
        auto step = tensor_of(entry(current, "step") ? entry(current, "step") : Py_None);
        auto exp_avg = tensor_of(entry(current, "exp_avg") ? entry(current, "exp_avg") : Py_None);
        auto exp_avg_sq =
            tensor_of(entry(current, "exp_avg_sq") ? entry(current, "exp_avg_sq") : Py_None);
        if (!step || !exp_avg || !exp_avg_sq) return false;
        const bool step_ok = step->dim() == 0 && step->device().is_cpu() &&
                             (step->scalar_type() == at::kFloat ||
                              step->scalar_type() == at::kDouble);
        const bool moments_ok = is_float64_on(*exp_avg, plan.device) &&
                                is_float64_on(*exp_avg_sq, plan.device) &&
                                exp_avg->sizes().equals(param.sizes()) &&
                                exp_avg_sq->sizes().equals(param.sizes());
        if (!step_ok || !moments_ok) return false;
        plan.setup.slots.push_back({param, *step, *exp_avg, *exp_avg_sq});
    }
    return true;
}

/// The optimiser's one parameter group over exactly the network's parameters.
bool read_optimizer(Plan& plan) {
    Ref groups = qalvo::getattr(plan.optimizer, qalvo::py_str("param_groups"));
    if (!PyList_CheckExact(groups.get()) || PyList_GET_SIZE(groups.get()) != 1) return false;
    plan.group = qalvo::newref(PyList_GET_ITEM(groups.get(), 0));
    PyObject* params = entry(plan.group, "params");
    if (params == nullptr || !PyList_CheckExact(params) ||
        PyList_GET_SIZE(params) != static_cast<Py_ssize_t>(plan.parameter_objects.size())) {
        return false;
    }
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(params); ++k) {
        auto param = tensor_of(PyList_GET_ITEM(params, k));
        if (!param || !is_float64_on(*param, plan.device) || !param->requires_grad() ||
            !param->is_leaf()) {
            return false;
        }
    }
    plan.group_before = qalvo::own(PyDict_Copy(plan.group));
    if (plan.device.is_cpu()) return read_adam(plan, params);
    // torch takes another Adam implementation there: the step stays its own
    plan.step_method = qalvo::getattr(plan.optimizer, qalvo::py_str("step"));
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(params); ++k) {
        plan.setup.slots.push_back({*tensor_of(PyList_GET_ITEM(params, k)), {}, {}, {}});
    }
    return true;
}

/// Whether the network still holds the plan's layers and parameters.
bool same_network(const Plan& plan) {
    Ref modules = getattr_optional(plan.net, "_modules");
    PyObject* sequential = entry(modules, "net");
    if (sequential == nullptr) return false;
    Ref layers = getattr_optional(sequential, "_modules");
    if (!layers || !PyDict_CheckExact(layers.get()) ||
        PyDict_GET_SIZE(layers.get()) != static_cast<Py_ssize_t>(plan.layer_objects.size())) {
        return false;
    }
    Py_ssize_t position = 0, k = 0, p = 0;
    PyObject *key, *layer;
    while (PyDict_Next(layers, &position, &key, &layer)) {
        if (layer != plan.layer_objects[k++].get()) return false;
        if (plan.setup.layers[k - 1].kind != Layer::kLinear) continue;
        Ref parameters = getattr_optional(layer, "_parameters");
        if (entry(parameters, "weight") != plan.parameter_objects[p].get() ||
            entry(parameters, "bias") != plan.parameter_objects[p + 1].get()) {
            return false;
        }
        p += 2;
    }
    return true;
}

/// The optimiser's group as planned (the same parameters, in order), the
/// learning rate excepted.
bool same_group(const Plan& plan) {
    Ref groups = qalvo::getattr(plan.optimizer, qalvo::py_str("param_groups"));
    if (!PyList_CheckExact(groups.get()) || PyList_GET_SIZE(groups.get()) != 1 ||
        PyList_GET_ITEM(groups.get(), 0) != plan.group.get() ||
        PyDict_GET_SIZE(plan.group.get()) != PyDict_GET_SIZE(plan.group_before.get())) {
        return false;
    }
    PyObject* params = entry(plan.group, "params");
    if (params == nullptr || !PyList_CheckExact(params) ||
        PyList_GET_SIZE(params) != static_cast<Py_ssize_t>(plan.parameter_objects.size())) {
        return false;
    }
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(params); ++k) {
        if (PyList_GET_ITEM(params, k) != plan.parameter_objects[k].get()) return false;
    }
    Py_ssize_t position = 0;
    PyObject *key, *before;
    while (PyDict_Next(plan.group_before, &position, &key, &before)) {
        PyObject* now = PyDict_GetItemWithError(plan.group, key);
        if (now == nullptr && PyErr_Occurred()) qalvo::throw_pending();
        const bool is_lr = PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "lr") == 0;
        if (now == nullptr || (now != before && !is_lr)) return false;
    }
    return true;
}

/// Whether optimizer_.state still holds the tensors the plan steps (where the
/// engine does Adam's step itself): a state replaced between epochs (a reset)
/// must be the one updated.
bool same_adam_state(const Plan& plan) {
    if (!plan.adam_state) return true;
    Ref state = qalvo::getattr(plan.optimizer, qalvo::py_str("state"));
    if (state.get() != plan.adam_state.get()) return false;
    for (size_t k = 0; k < plan.setup.slots.size(); ++k) {
        const AdamSlot& slot = plan.setup.slots[k];
        PyObject* current = PyDict_GetItemWithError(state, plan.parameter_objects[k]);
        if (current == nullptr && PyErr_Occurred()) qalvo::throw_pending();
        const bool pending = std::any_of(plan.new_state.begin(), plan.new_state.end(),
                                         [&](const auto& created) {
                                             return created.first.get() ==
                                                    plan.parameter_objects[k].get();
                                         });
        if (pending) {
            // the first step has not run yet: nothing may be there either
            if (current != nullptr && !(PyDict_CheckExact(current) && PyDict_GET_SIZE(current) == 0)) {
                return false;
            }
            continue;
        }
        if (current == nullptr || !PyDict_CheckExact(current) || PyDict_GET_SIZE(current) != 3) {
            return false;
        }
        const std::pair<const char*, const at::Tensor*> held[] = {
            {"step", &slot.step}, {"exp_avg", &slot.exp_avg}, {"exp_avg_sq", &slot.exp_avg_sq}};
        for (const auto& [key, tensor] : held) {
            PyObject* value = entry(current, key);
            auto now = value ? tensor_of(value) : std::nullopt;
            if (!now || !now->is_same(*tensor)) return false;
        }
    }
    return true;
}

/// self.param_fac[name] for each of net_.weights while iht_status_ is true.
const char* read_masks(Plan& plan, PyObject* estimator) {
    plan.setup.masks.clear();
    if (!qalvo::truth(qalvo::getattr(estimator, qalvo::py_str("iht_status_")))) return nullptr;
    Ref factors = getattr_optional(estimator, "param_fac");
    if (!factors || !PyDict_CheckExact(factors.get())) return "param_fac is not a dict of masks";
    for (size_t k = 0; k < plan.weight_names.size(); ++k) {
        PyObject* mask_object = PyDict_GetItemWithError(factors, plan.weight_names[k]);
        if (mask_object == nullptr && PyErr_Occurred()) qalvo::throw_pending();
        if (mask_object == nullptr) return "param_fac lacks a mask";
        auto mask = tensor_of(mask_object);
        if (!mask || !is_float64_on(*mask, plan.device) ||
            !mask->sizes().equals(plan.setup.penalized[k].sizes())) {
            return "a mask of param_fac is not a float64 tensor of its weight's shape";
        }
        plan.setup.masks.push_back(*mask);
    }
    return nullptr;
}

Ref attribute(PyObject* estimator, const char* name) {
    return qalvo::getattr(estimator, qalvo::py_str(name));
}

}  // namespace

std::unique_ptr<Plan> read_plan(PyObject* estimator, Use use) {
    auto plan = std::make_unique<Plan>();
    plan->use = use;
    plan->net = attribute(estimator, "net_");
    if (!read_layers(*plan)) return nullptr;
    if (use == Use::kPredict) return plan;
    plan->loss_fn = attribute(estimator, "loss_fn");
    if (!read_loss(*plan)) return nullptr;
    const char* loader = use == Use::kFit ? "train_data_loader_" : "val_data_loader_";
    plan->loader_type = qalvo::newref(
        reinterpret_cast<PyObject*>(Py_TYPE(attribute(estimator, loader).get())));
    if (use == Use::kValidate) return plan;
    plan->optimizer = attribute(estimator, "optimizer_");
    if (!read_weights(*plan) || !read_optimizer(*plan)) return nullptr;
    return plan;
}

const char* still_holds(Plan& plan, PyObject* estimator, Use pass) {
    if (attribute(estimator, "net_").get() != plan.net.get() || !same_network(plan)) {
        return "net_ changed during the fit";
    }
    if (attribute(estimator, "loss_fn").get() != plan.loss_fn.get()) {
        return "loss_fn changed during the fit";
    }
    const char* loader = pass == Use::kFit ? "train_data_loader_" : "val_data_loader_";
    if (reinterpret_cast<PyObject*>(Py_TYPE(attribute(estimator, loader).get())) !=
        plan.loader_type.get()) {
        return "a loader's type changed during the fit";
    }
    if (pass != Use::kFit) return nullptr;
    if (attribute(estimator, "optimizer_").get() != plan.optimizer.get() || !same_group(plan) ||
        !same_adam_state(plan)) {
        return "optimizer_ changed during the fit";
    }
    PyObject* lr_object = entry(plan.group, "lr");
    std::optional<double> lr = lr_object ? plain_number(lr_object) : std::nullopt;
    if (!lr) return "the learning rate is not a plain number";
    std::optional<double> l1 = plain_number(attribute(estimator, "l1_reg"));
    if (!l1) return "l1_reg is not a plain number";
    plan.setup.lr = *lr;
    plan.setup.l1 = *l1;
    if (attribute(plan.net, "weights").get() != plan.weights_list.get() ||
        PyList_GET_SIZE(plan.weights_list.get()) !=
            static_cast<Py_ssize_t>(plan.weight_names.size())) {
        return "net_.weights changed during the fit";
    }
    return read_masks(plan, estimator);
}

void store_new_state(Plan& plan) {
    if (plan.new_state.empty()) return;
    auto created = std::move(plan.new_state);
    plan.new_state.clear();
    Ref state = qalvo::getattr(plan.optimizer, qalvo::py_str("state"));
    for (auto& [param, slot] : created) {
        // optimizer.state[p] (a defaultdict) filled as the first step fills it
        Ref entries = qalvo::getitem(state, param);
        qalvo::setitem(entries, qalvo::py_str("step"), wrap(slot.step));
        qalvo::setitem(entries, qalvo::py_str("exp_avg"), wrap(slot.exp_avg));
        qalvo::setitem(entries, qalvo::py_str("exp_avg_sq"), wrap(slot.exp_avg_sq));
    }
}

}  // namespace engine
