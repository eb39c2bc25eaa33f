// The back-propagation epoch loop of RampNet.
#include "engine_bridge.hpp"
#include "fit_guard.hpp"
#include "globals.hpp"
#include "methods.hpp"
#include "names.hpp"
#include "unpack.hpp"

using namespace qalvo;

namespace rampnet {

namespace {

/// l1_reg * torch.norm(torch.cat([w.reshape(-1) for name, w in net_.weights]), 1):
/// the penalty on the weight matrices only, biases excluded.
Ref l1_penalty(PyObject* self) {
    Ref l1_reg = getattr(self, S.l1_reg);
    Ref norm = getattr(global(S.torch), S.norm);
    Ref cat = getattr(global(S.torch), S.cat);
    Ref flat = own(PyList_New(0));
    Ref pairs = iter(getattr(getattr(self, S.net_), S.weights));
    while (Ref pair = next(pairs)) {
        auto [name, weight] = unpack<2>(pair);
        append(flat, call_method(weight, S.reshape, C.int_minus_1));
    }
    return num::mul(l1_reg, call(norm, call(cat, flat), C.int_1));
}

/// (loss * rows).cpu().detach().numpy(): the batch's summed loss on the host.
Ref host_loss_sum(PyObject* loss, PyObject* data) {
    Ref weighted = num::mul(loss, item(getattr(data, S.shape), 0));
    return call_method(call_method(call_method(weighted, S.cpu), S.detach), S.numpy);
}

/// "Training and Validation losses at epoch <d> are <0.4f> and <0.4f>"
Ref progress_line(PyObject* epochs, PyObject* train_loss, PyObject* val_loss) {
    Ref epoch = own(PyNumber_Long(epochs));
    Ref parts = tuple(C.text_losses_at_epoch, own(PyObject_Format(epoch, C.spec_d)), C.text_are,
                      own(PyObject_Format(train_loss, C.spec_4f)), C.text_and,
                      own(PyObject_Format(val_loss, C.spec_4f)));
    Ref empty = own(PyUnicode_FromStringAndSize("", 0));
    return own(PyUnicode_Join(empty, parts));
}

/// An estimator copied or unpickled after its fit holds loaders without rows
/// (its training data is left behind): training it further divides by zero.
[[noreturn]] void raise_rowless_loader() {
    raise(PyExc_RuntimeError,
          "train_data_loader_ holds no rows: a copied or unpickled estimator leaves its "
          "training data behind. Call fit(x, y) to train it again.");
}

/// One epoch's pass over the training batches; returns the summed data loss.
Ref train_epoch(Call& c, PyObject* self) {
    c.L(293);
    Ref train_loss = newref(C.int_0);
    c.L(294);
    Ref batches = iter(getattr(self, S.train_data_loader_));
    while (true) {
        c.L(294);
        Ref batch = next(batches);
        if (!batch) break;
        auto [features, targets] = unpack<2>(batch);
        c.L(295);
        call_method_kw(getattr(self, S.optimizer_), S.zero_grad, C.kw_set_to_none, Py_True);
        c.L(296);
        Ref data = call_method_kw(features, S.to, C.kw_device, getattr(self, S.device));
        c.L(297);
        Ref labels = call_method_kw(targets, S.to, C.kw_device, getattr(self, S.device));
        c.L(298);
        Ref prediction = call(getattr(self, S.net_), data);
        c.L(299);
        Ref loss_fn = getattr(self, S.loss_fn);
        Ref flat_prediction = call_method(prediction, S.ravel);
        Ref loss = call(loss_fn, flat_prediction, call_method(labels, S.ravel));
        c.L(300);
        Ref loss_reg = l1_penalty(self);
        // The two backward passes add up: the gradient of loss + loss_reg.
        c.L(302);
        call_method_kw(loss_reg, S.backward, C.kw_retain_graph, Py_True);
        c.L(303);
        call_method(loss, S.backward);
        c.L(304);
        if (truth(getattr(self, S.iht_status_))) {
            c.L(305);
            call_method(self, S._hard_thresholding_gradient);
        }
        c.L(306);
        call_method(getattr(self, S.optimizer_), S.step);
        c.L(307);
        train_loss = num::iadd(train_loss, host_loss_sum(loss, data));
    }
    return train_loss;
}

Ref fit_bp(Call& c, PyObject* self, PyObject*, PyObject*, PyObject* max_epochs) {
    FitGuard guard(self, "_fit_bp");
    // The native engine runs the batches of the standard configuration
    // (decided once per call, validation passes included) with the same
    // results; anything else takes the loop here.
    c.L(291);
    Ref epochs_left = iter(call(B.range, max_epochs));
    Ref plan = engine_fit_plan(self);
    ActivePlan active(self, plan);
    bool plan_again = false;
    while (true) {
        c.L(291);
        Ref epochs = next(epochs_left);
        if (!epochs) break;
        // Validation leaves the network in evaluation mode; dropout must act
        // in every epoch, not only the first.
        c.L(292);
        call_method(getattr(self, S.net_), S.train);
        if (plan_again) {
            // the fit's objects changed during the last epoch: decide anew
            plan = engine_fit_plan(self);
            active.update(plan);
            plan_again = false;
        }
        Ref train_loss;
        if (plan) {
            c.L(294);
            train_loss = engine_train_epoch(plan, self);
            if (!train_loss) {
                plan = Ref();
                active.update(nullptr);
                plan_again = true;
            }
        }
        if (!train_loss) train_loss = train_epoch(c, self);
        c.L(308);
        Ref rows = getattr(getattr(self, S.train_data_loader_), S.dataset_len);
        if (PyLong_CheckExact(rows.get()) && PyLong_AsLong(rows) == 0) raise_rowless_loader();
        train_loss = num::truediv(train_loss, rows);
        c.L(309);
        Ref val_loss = call_method(self, S._validate);
        c.L(310);
        if (truth(getattr(self, S.verbose))) {
            c.L(311);
            call(B.print, progress_line(epochs, train_loss, val_loss));
        }
        c.L(315);
        call_method(getattr(self, S.train_epoch_loss_), S.append, train_loss);
        c.L(316);
        call_method(getattr(self, S.valid_epoch_loss_), S.append, val_loss);
        c.L(317);
        call_method(self, S._check_improvement);
        c.L(318);
        Ref count = getattr(self, S.no_improved_count_);
        if (compare(count, getattr(self, S.n_epoch_no_change), Py_GT)) {
            c.L(319);
            if (truth(getattr(self, S.verbose))) {
                c.L(320);
                Ref message = own(PyNumber_Remainder(C.msg_early_stop,
                                                     getattr(self, S.n_epoch_no_change)));
                call(B.print, message);
            }
            c.L(324);
            Ref best = getattr(self, S.best_net_);
            const bool snapshot = best.get() != getattr(self, S.net_).get();
            setattr(self, S.net_, best);
            if (snapshot) {
                // The optimiser still holds the parameters of the network it was
                // built for; later training (the next IHT phase) must update the
                // installed snapshot instead, or it would silently train nothing.
                c.L(325);
                Ref adam = getattr(getattr(global(S.torch), S.optim), S.Adam);
                Ref parameters = call_method(getattr(self, S.net_), S.parameters);
                setattr(self, S.optimizer_,
                        call_kw(adam, C.kw_lr, parameters, getattr(self, S.learning_rate)));
            }
            break;
        }
    }
    return none();
}

}  // namespace

const FunctionSpec kFitBp = {
    "_fit_bp", "RampNet._fit_bp", 277, {"self", "x", "y", "max_epochs"}, nullptr, {},
    "Internal function for updating network by gradients BP.",
    body<fit_bp>,
};

}  // namespace rampnet
