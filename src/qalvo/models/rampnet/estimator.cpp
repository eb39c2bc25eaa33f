// RampNet: the estimator base. The constructor stores the hyper-parameters,
// _set_seed seeds the global generators, fit drives a whole training run.
#include "fit_guard.hpp"
#include "globals.hpp"
#include "methods.hpp"
#include "names.hpp"
#include "pending_error.hpp"
#include "seed.hpp"
#include "validation.hpp"

using namespace qalvo;

namespace rampnet {

namespace {

/// Attribute names of the sixteen parameters, in the constructor's order.
PyObject* const* parameter_name(int i) {
    PyObject* const* names[] = {
        &S.loss_fn,         &S.hidden_layer_sizes, &S.dropout_prob, &S.max_epochs,
        &S.learning_rate,   &S.batch_size,         &S.batch_size_inference, &S.l1_reg,
        &S.val_ratio,       &S.n_epoch_no_change,  &S.iht,          &S.phase_epochs,
        &S.threshold,       &S.device,             &S.verbose,      &S.random_state,
    };
    return names[i];
}

/// Stores each argument, unchanged and uncopied, under its own name.
Ref init(Call& c, PyObject* const* a) {
    PyObject* self = a[0];
    for (int i = 0; i < 16; ++i) {
        c.L(145 + i);
        setattr(self, *parameter_name(i), a[i + 1]);
    }
    return none();
}

Ref set_seed(Call& c, PyObject* self) {
    c.L(164);
    // The integer that random_state stands for; the data split of a running
    // fit takes the same one.
    Ref seed = seed_from(getattr(self, S.random_state));
    record_fit_seed(self, seed);
    call_method(getattr(global(S.np), S.random), S.seed, seed);
    c.L(165);
    call_method(global(S.torch), S.manual_seed, seed);
    // Children inherit it; hashing in this interpreter is not affected.
    c.L(166);
    Ref text = own(PyObject_Str(seed));
    setitem(getattr(global(S.os), S.environ), S.PYTHONHASHSEED, text);
    return none();
}

/// [pair[1].detach().cpu().numpy().T for pair in pairs]: host arrays of the
/// parameters, transposed to (inputs, outputs) as scikit-learn lays them out.
Ref published(Call& c, int line, PyObject* pairs) {
    Ref result = own(PyList_New(0));
    Ref it = iter(pairs);
    while (Ref pair = next(it)) {
        c.L(line + 1);
        Ref parameter = item(pair, 1);
        Ref host = call_method(call_method(call_method(parameter, S.detach), S.cpu), S.numpy);
        append(result, getattr(host, S.T));
        c.L(line);
    }
    return result;
}

/// Everything before the weights are published: seed, prepare the data, build
/// the network, initialise the bookkeeping and train. `epoch_losses` receives
/// the two loss lists of this fit as soon as they exist.
void train(Call& c, PyObject* self, PyObject* x, PyObject* y, Ref (&epoch_losses)[2]) {
    c.L(411);
    call_method(self, S._set_seed);
    c.L(412);
    call_method(self, S._prepare_data, x, y);
    c.L(413);
    call_method(self, S._build_net);

    c.L(415);
    setattr(self, S.iht_status_, Py_False);
    c.L(416);
    setattr(self, S.best_loss_, getattr(global(S.np), S.inf));
    c.L(417);
    setattr(self, S.best_net_, getattr(self, S.net_));
    c.L(418);
    setattr(self, S.no_improved_count_, C.int_0);
    c.L(419);
    epoch_losses[0] = own(PyList_New(0));
    setattr(self, S.train_epoch_loss_, epoch_losses[0]);
    c.L(420);
    epoch_losses[1] = own(PyList_New(0));
    setattr(self, S.valid_epoch_loss_, epoch_losses[1]);

    c.L(421);
    if (truth(getattr(self, S.iht))) {
        c.L(422);
        call_method(self, S._fit_iht, x, y);
    } else {
        c.L(424);
        call_method(self, S._fit_bp, x, y, getattr(self, S.max_epochs));
    }
}

const char* const kNoEpochMessage =
    "No training epoch ran (max_epochs=%R): fit needs at least one epoch to give a model";

/// Whether training left nothing usable: a weight or bias that is not finite,
/// or epochs that never reached a finite validation loss (values beyond what
/// float64 arithmetic can square or sum).
bool diverged(PyObject* self) {
    Ref finite_tensor = getattr(global(S.torch), S.isfinite);
    Ref parameters = iter(call_method(getattr(self, S.net_), S.parameters));
    while (Ref parameter = next(parameters)) {
        if (!truth(call_method(call(finite_tensor, parameter), S.all))) return true;
    }
    Ref losses = getattr(self, S.valid_epoch_loss_);
    if (length(losses) == 0) return false;
    Ref finite_number = getattr(global(S.np), S.isfinite);
    Ref it = iter(losses);
    while (Ref loss = next(it)) {
        if (truth(call(finite_number, loss))) return false;
    }
    return true;
}

/// Publishes the weights of `net_` as `coefs_` and `intercepts_` and marks the
/// estimator fitted. Both lists are built before anything is set, so a failure
/// leaves the published attributes as they were.
void publish(Call& c, PyObject* self) {
    c.L(427);
    Ref coefs = published(c, 427, getattr(getattr(self, S.net_), S.weights));
    c.L(429);
    Ref intercepts = published(c, 429, getattr(getattr(self, S.net_), S.biases));
    c.L(426);
    setattr(self, S.is_fitted_, Py_True);
    c.L(427);
    setattr(self, S.coefs_, coefs);
    c.L(429);
    setattr(self, S.intercepts_, intercepts);
}

/// Whether this fit completed an epoch (its loss lists are not empty).
bool trained_an_epoch(const Ref (&epoch_losses)[2]) {
    for (const Ref& losses : epoch_losses) {
        if (losses && PyList_GET_SIZE(losses.get()) > 0) return true;
    }
    return false;
}

/// After an interrupt: publishes the network trained so far when it is a
/// usable model. Returns false (nothing published) when its weights or losses
/// are not finite or publishing fails; the interrupt stays pending either way.
bool keep_interrupted(Call& c, PyObject* self) {
    const int line = c.line();
    bool kept = false;
    {
        PendingError interrupt;
        try {
            if (!diverged(self)) {
                publish(c, self);
                kept = true;
            }
        } catch (PythonError&) {
            kept = false;  // dropped: the interrupt is what the caller sees
        }
    }
    c.L(line);
    return kept;
}

/// On the way out of a failed fit: a user who stops a long fit (Ctrl-C) after
/// some epochs gets the model trained so far, published like a completed fit.
/// Any other failure, or an interrupt before an epoch is complete, leaves the
/// estimator as it was: a network trained up to a fault is not the model asked
/// for, and a model of the new data must never sit beside the old weights.
void settle_failure(Call& c, PyObject* self, AttributeSnapshot& previous,
                    const Ref (&epoch_losses)[2]) {
    const bool keep = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) &&
                      trained_an_epoch(epoch_losses) && keep_interrupted(c, self);
    if (!keep) previous.restore();
}

Ref fit(Call& c, PyObject* self, PyObject* x, PyObject* y) {
    FitGuard guard(self, "fit");
    FitSeedScope seed_scope(self);
    AttributeSnapshot previous(self);
    Ref epoch_losses[2];
    try {
        train(c, self, x, y, epoch_losses);
        c.L(425);
        Ref max_epochs = getattr(self, S.max_epochs);
        if (length(getattr(self, S.valid_epoch_loss_)) == 0 &&
            compare(max_epochs, C.int_1, Py_LT)) {
            // no epoch ran, so none reached a finite validation loss: an
            // untrained network is not a fitted model
            PyErr_Format(PyExc_ValueError, kNoEpochMessage, max_epochs.get());
            throw_pending();
        }
        if (diverged(self)) {
            PyErr_SetObject(B.ValueError, C.msg_non_finite);
            throw_pending();
        }
        publish(c, self);
    } catch (PythonError&) {
        settle_failure(c, self, previous, epoch_losses);
        throw;
    }
    return newref(self);
}

}  // namespace

const FunctionSpec kRampNetInit = {
    "__init__", "RampNet.__init__", 125,
    {"self", "loss_fn", "hidden_layer_sizes", "dropout_prob", "max_epochs", "learning_rate",
     "batch_size", "batch_size_inference", "l1_reg", "val_ratio", "n_epoch_no_change", "iht",
     "phase_epochs", "threshold", "device", "verbose", "random_state"},
    nullptr, {}, nullptr, init,
};

const FunctionSpec kSetSeed = {
    "_set_seed", "RampNet._set_seed", 162, {"self"}, nullptr, {},
    "Set seed value for reproducibility.\n\n"
    "Seeds NumPy's and torch's global generators with the integer that\n"
    "``random_state`` stands for (an int itself; None: one from fresh\n"
    "entropy; a RandomState or Generator: one drawn from it) and records it\n"
    "in the environment entry PYTHONHASHSEED, which child processes inherit.\n"
    "During fit, the data split uses that same integer.",
    body<set_seed>,
};

const FunctionSpec kFit = {
    "fit", "RampNet.fit", 395, {"self", "x", "y"}, nullptr, {},
    "Fit RampNet model.\n\n"
    "Parameters\n"
    "----------\n"
    "x : array-like of shape (n_samples, n_features)\n"
    "    Training data.\n"
    "y : array-like of shape (n_samples,)\n"
    "    Target values (class labels for the classifier).\n\n"
    "Returns\n"
    "-------\n"
    "self : object\n"
    "    The fitted estimator.\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If the data are refused (a single sample, non-finite values, more\n"
    "    than two classes for the classifier), if ``max_epochs`` < 1 (no epoch\n"
    "    ran), or if training produced non-finite losses or weights (data\n"
    "    beyond what float64 training can represent). The estimator is left as\n"
    "    it was.\n"
    "RuntimeError\n"
    "    If this estimator object is being fitted in another thread (fit one\n"
    "    object per thread: ``sklearn.base.clone(estimator)``); nothing is\n"
    "    changed.\n"
    "KeyError\n"
    "    If ``iht`` is set and ``max_epochs`` holds no whole round of two\n"
    "    phases of ``phase_epochs`` epochs. The estimator is left as it was.\n"
    "KeyboardInterrupt\n"
    "    If training is interrupted (Ctrl-C). After at least one completed\n"
    "    epoch, the estimator keeps the network as trained up to the interrupt\n"
    "    and is fitted: ``net_``, ``n_features_``, ``coefs_``, ``intercepts_``,\n"
    "    ``is_fitted_`` and predictions all come from that network, and\n"
    "    ``train_epoch_loss_`` and ``valid_epoch_loss_`` list the completed\n"
    "    epochs. Interrupted earlier, or with non-finite weights or losses,\n"
    "    it is left as it was.\n\n"
    "Notes\n"
    "-----\n"
    "A fit that raises any other exception (input refused, an invalid\n"
    "parameter, a failing ``loss_fn``, progress output to a closed stream, an\n"
    "error of the tensor library) leaves the estimator exactly as it was\n"
    "before the call, fitted or not: a network trained up to a fault is not\n"
    "the model asked for, so it is never published. An interrupt is the\n"
    "user's own request to stop, and the epochs trained so far are worth\n"
    "keeping.",
    body<fit>,
};

}  // namespace rampnet

namespace rampnet {

Ref init_concrete(Call& c, PyObject* const* a, PyObject* class_name, PyObject* loss_name,
                  int line) {
    // a: self, then the fifteen parameters in the constructor's order.
    PyObject* self = a[0];
    c.L(line);
    Ref base = call(B.super, global(class_name), self);
    Ref init_method = getattr(base, S.init);
    c.L(line + 3);
    Ref loss = call(getattr(getattr(global(S.torch), S.nn), loss_name));
    c.L(line);
    // Keyword order of the call: hidden_layer_sizes, dropout_prob, loss_fn,
    // max_epochs ... threshold, verbose, device, random_state.
    call_kw(init_method, C.kw_base_init, a[1], a[2], loss, a[3], a[4], a[5], a[6], a[7], a[8],
            a[9], a[10], a[11], a[12], a[14], a[13], a[15]);
    return none();
}

}  // namespace rampnet

namespace rampnet {

Ref flat_raw_output(Call& c, PyObject* self, PyObject* x_in, int line) {
    c.L(line);
    call(global(S.check_is_fitted), self);
    c.L(line + 1);
    // The fitted width is checked first, with the message of get_raw_output;
    // then scikit-learn's check compares without recording anything
    // (reset=False): prediction never changes n_features_in_ or
    // feature_names_in_, and refuses DataFrame columns renamed or reordered
    // since fit.
    if (Ref width = column_count(x_in)) {
        if (compare(width, getattr(self, S.n_features_), Py_NE)) {
            raise_object(B.ValueError, C.msg_width);
        }
    }
    Ref x = validate_data(self, C.kw_reset, x_in, Py_False);
    c.L(line + 2);
    Ref raw = call_method(self, S.get_raw_output, x);
    Ref host = call_method(call_method(call_method(raw, S.detach), S.cpu), S.numpy);
    return call_method(host, S.ravel);
}

}  // namespace rampnet
