#include "objects.hpp"

#include <torch/csrc/autograd/python_variable.h>

#include <cmath>

using qalvo::Ref;
using qalvo::own;

namespace engine {

Classes classes;

std::optional<at::Tensor> tensor_of(PyObject* o) {
    if (!THPVariable_CheckExact(o)) return std::nullopt;
    return THPVariable_Unpack(o);
}

Ref wrap(const at::Tensor& t) { return own(THPVariable_Wrap(t)); }

bool is_float64_on(const at::Tensor& t, const at::Device& device) {
    return t.scalar_type() == at::kDouble && t.layout() == at::kStrided && t.device() == device;
}

std::optional<int64_t> int_of(PyObject* o) {
    if (!PyLong_CheckExact(o)) return std::nullopt;
    long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return v;
}

std::optional<double> plain_number(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    std::optional<int64_t> v = int_of(o);
    constexpr int64_t kExact = int64_t{1} << 53;
    if (!v || *v > kExact || *v < -kExact) return std::nullopt;
    return static_cast<double>(*v);
}

std::optional<LoaderView> loader_of(PyObject* loader, const at::Device& device, int64_t width) {
    Ref tensors = qalvo::getattr_optional(loader, "tensors");
    Ref n = qalvo::getattr_optional(loader, "dataset_len");
    Ref batch_size = qalvo::getattr_optional(loader, "batch_size");
    Ref shuffle = qalvo::getattr_optional(loader, "shuffle");
    if (!tensors || !n || !batch_size || !shuffle) return std::nullopt;
    if (!(PyTuple_CheckExact(tensors.get()) || PyList_CheckExact(tensors.get())) ||
        PySequence_Fast_GET_SIZE(tensors.get()) != 2) {
        return std::nullopt;
    }
    LoaderView view;
    auto rows = int_of(n), size = int_of(batch_size);
    if (!rows || !size || *rows < 0 || *size < 1) return std::nullopt;
    view.n = *rows;
    view.batch_size = *size;
    view.shuffle = qalvo::truth(shuffle);
    auto features = tensor_of(PySequence_Fast_GET_ITEM(tensors.get(), 0));
    auto targets = tensor_of(PySequence_Fast_GET_ITEM(tensors.get(), 1));
    if (!features || !targets) return std::nullopt;
    if (!is_float64_on(*features, device) || !is_float64_on(*targets, device)) return std::nullopt;
    if (features->dim() != 2 || features->size(0) != view.n || features->size(1) != width) {
        return std::nullopt;
    }
    const bool one_per_row = targets->dim() == 1 || (targets->dim() == 2 && targets->size(1) == 1);
    if (!one_per_row || targets->size(0) != view.n) return std::nullopt;
    if (features->requires_grad() || targets->requires_grad()) return std::nullopt;
    view.pass.features = *features;
    view.pass.targets = *targets;
    return view;
}

void publish_loader(PyObject* loader, const LoaderView& view) {
    if (view.shuffle) {
        Ref shuffled = qalvo::list(wrap(view.pass.features), wrap(view.pass.targets));
        qalvo::check(PyObject_SetAttrString(loader, "tensors", shuffled));
    }
    Ref cursor = qalvo::py_int(view.pass.cursor);
    qalvo::check(PyObject_SetAttrString(loader, "i", cursor));
}

Ref loss_sum(const LoaderView& view) {
    const std::vector<double>& losses = view.pass.losses;
    if (losses.empty()) return qalvo::py_int(0);
    double sum = 0.0;
    bool nan = false;
    for (double v : losses) {
        nan = nan || std::isnan(v);
        sum += v;
    }
    if (!nan) return qalvo::call(classes.float64, qalvo::py_float(sum));
    // total = 0; for value in values: total += np.array(value)
    Ref total = qalvo::py_int(0);
    for (double v : losses) {
        total = qalvo::num::iadd(total, qalvo::call(classes.array, qalvo::py_float(v)));
    }
    return total;
}

namespace {

PyObject* class_of(PyObject* module, const char* name) {
    return qalvo::getattr(module, qalvo::py_str(name)).release();
}

}  // namespace

void import_classes() {
    Ref nn = own(PyImport_ImportModule("torch.nn"));
    Ref numpy = own(PyImport_ImportModule("numpy"));
    classes.linear = class_of(nn, "Linear");
    classes.relu = class_of(nn, "ReLU");
    classes.dropout = class_of(nn, "Dropout");
    classes.mse_loss = class_of(nn, "MSELoss");
    classes.bce_with_logits_loss = class_of(nn, "BCEWithLogitsLoss");
    classes.float64 = class_of(numpy, "float64");
    classes.array = class_of(numpy, "array");
}

}  // namespace engine
