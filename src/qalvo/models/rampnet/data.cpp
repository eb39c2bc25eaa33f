// Data preparation, validation loss and improvement tracking of RampNet.
#include "engine_bridge.hpp"
#include "globals.hpp"
#include "methods.hpp"
#include "context.hpp"
#include "names.hpp"
#include "pending_error.hpp"
#include "seed.hpp"
#include "unpack.hpp"

using namespace qalvo;

namespace rampnet {

namespace {

/// torch.tensor(values, dtype=torch.double, device=self.device): a float64 copy.
Ref device_tensor(PyObject* self, PyObject* values) {
    Ref torch_tensor = getattr(global(S.torch), S.tensor);
    Ref float64 = getattr(global(S.torch), S.double_);
    return call_kw(torch_tensor, C.kw_dtype_device, values, float64, getattr(self, S.device));
}

/// Validates, splits and wraps the fit data in the two loaders.
Ref prepare(Call& c, PyObject* self, PyObject* x_in, PyObject* y_in) {
    c.L(208);
    auto [x, y] = unpack<2>(call_method(self, S._validate_input, x_in, y_in));
    c.L(209);
    setattr(self, S.n_features_, item(getattr(x, S.shape), 1));

    c.L(211);
    Ref split_function = global(S.train_test_split);
    Ref test_size = getattr(self, S.val_ratio);
    // In a fit, the integer the generators were seeded with (the same as
    // random_state when that is an int).
    Ref random_state = fit_seed(self);
    if (!random_state) random_state = getattr(self, S.random_state);
    Ref split = call_kw(split_function, C.kw_test_size_random_state, x, y, test_size,
                        random_state);
    auto [train_x, val_x, train_y, val_y] = unpack<4>(split);

    c.L(213);
    Ref batch_size = item(getattr(train_x, S.shape), 0);
    if (!compare(batch_size, getattr(self, S.batch_size), Py_LT)) {
        batch_size = getattr(self, S.batch_size);
    }

    c.L(215);
    {
        Ref loader_class = global(S.FastTensorDataLoader);
        Ref features = device_tensor(self, train_x);
        Ref targets = device_tensor(self, train_y);
        Ref loader = call_kw(loader_class, C.kw_batch_size_shuffle, features, targets,
                             batch_size, Py_True);
        remember_built_loader(loader, self);
        setattr(self, S.train_data_loader_, loader);
    }
    c.L(220);
    {
        Ref loader_class = global(S.FastTensorDataLoader);
        Ref features = device_tensor(self, val_x);
        Ref targets = device_tensor(self, val_y);
        Ref loader = call_kw(loader_class, C.kw_batch_size_shuffle, features, targets,
                             batch_size, Py_False);
        remember_built_loader(loader, self);
        setattr(self, S.val_data_loader_, loader);
    }
    c.L(225);
    return tuple(train_x, val_x, train_y, val_y);
}

/// Data preparation either succeeds or leaves the estimator's attributes as
/// they were: a refit rejected on its data must not mix the new data's width
/// or labels into the previous, still usable fit.
Ref prepare_data(Call& c, PyObject* self, PyObject* x, PyObject* y) {
    AttributeSnapshot previous(self);
    try {
        return prepare(c, self, x, y);
    } catch (PythonError&) {
        previous.restore();
        throw;
    }
}

/// Mean loss per validation row, computed without gradient tracking.
Ref validate(Call& c, PyObject* self) {
    c.L(229);
    Ref val_loss = newref(C.int_0);
    c.L(230);
    call_method(getattr(self, S.net_), S.eval);
    c.L(231);
    if (Ref summed = engine_validate(self)) {
        c.L(238);
        return num::truediv(summed, getattr(getattr(self, S.val_data_loader_), S.dataset_len));
    }
    Ref batches = iter(getattr(self, S.val_data_loader_));
    // Kept across batches as the local of a Python loop would be: a context
    // manager that suppresses an error leaves the previous batch's value.
    Ref prediction;
    while (Ref batch = next(batches)) {
        auto [features, targets] = unpack<2>(batch);
        c.L(232);
        Ref data = call_method_kw(features, S.to, C.kw_device, getattr(self, S.device));
        c.L(233);
        Ref labels = call_method_kw(targets, S.to, C.kw_device, getattr(self, S.device));
        c.L(234);
        Ref no_grad = call(getattr(global(S.torch), S.no_grad));
        with_block(c, no_grad, [&] {
            c.L(235);
            prediction = call(getattr(self, S.net_), data);
        });
        c.L(236);
        Ref loss_fn = getattr(self, S.loss_fn);
        if (!prediction) raise_unbound_local("prediction");
        Ref flat_prediction = call_method(prediction, S.ravel);
        Ref loss = call(loss_fn, flat_prediction, call_method(labels, S.ravel));
        c.L(237);
        Ref weighted = num::mul(loss, item(getattr(data, S.shape), 0));
        Ref host = call_method(call_method(call_method(weighted, S.cpu), S.detach), S.numpy);
        val_loss = num::iadd(val_loss, host);
        c.L(231);
    }
    c.L(238);
    return num::truediv(val_loss, getattr(getattr(self, S.val_data_loader_), S.dataset_len));
}

/// Keeps the best validation loss, a snapshot of the network that reached it,
/// and the count of epochs since.
Ref check_improvement(Call& c, PyObject* self) {
    c.L(249);
    Ref best = getattr(self, S.best_loss_);
    if (compare(best, item(getattr(self, S.valid_epoch_loss_), -1), Py_GT)) {
        c.L(250);
        setattr(self, S.best_loss_, item(getattr(self, S.valid_epoch_loss_), -1));
        c.L(251);
        Ref deepcopy = getattr(global(S.copy), S.deepcopy);
        setattr(self, S.best_net_, call(deepcopy, getattr(self, S.net_)));
        c.L(252);
        setattr(self, S.no_improved_count_, C.int_0);
    } else {
        c.L(254);
        setattr(self, S.no_improved_count_,
                num::iadd(getattr(self, S.no_improved_count_), C.int_1));
    }
    return none();
}

}  // namespace

AttributeSnapshot::AttributeSnapshot(PyObject* self) {
    // A class's dictionary is left alone: rewriting it directly would bypass
    // the interpreter's attribute cache of the type, which may then hand out
    // values that the restored dictionary no longer holds.
    if (PyType_Check(self)) return;
    PyObject* attributes = PyObject_GenericGetDict(self, nullptr);
    if (attributes == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();  // no instance dictionary: nothing to take or restore
        return;
    }
    attributes_ = Ref::steal(attributes);
    before_ = own(PyDict_Copy(attributes_));
}

void AttributeSnapshot::restore() noexcept {
    if (!attributes_) return;
    PendingError error;  // the failure being handled is the one to report
    PyDict_Clear(attributes_);
    PyDict_Update(attributes_, before_);
}

const FunctionSpec kPrepareData = {
    "_prepare_data", "RampNet._prepare_data", 184, {"self", "x", "y"}, nullptr, {},
    "Internal function for data preparation.",
    body<prepare_data>,
};

const FunctionSpec kValidate = {
    "_validate", "RampNet._validate", 227, {"self"}, nullptr, {},
    "Returns torch tensor of predicted values and labels for validation data.",
    body<validate>,
};

const FunctionSpec kCheckImprovement = {
    "_check_improvement", "RampNet._check_improvement", 247, {"self"}, nullptr, {},
    "Checks whether there is an improvement in validation loss or not.",
    body<check_improvement>,
};

}  // namespace rampnet
