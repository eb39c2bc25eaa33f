// Iterative hard thresholding: rounds of a dense phase (all weights train) and
// a sparse phase (small weights zeroed, their gradients masked), stopping once
// rounds stop improving the validation loss.
#include "fit_guard.hpp"
#include "globals.hpp"
#include "unpack.hpp"
#include "methods.hpp"
#include "names.hpp"

using namespace qalvo;

namespace rampnet {

namespace {

/// Epochs of the next phase: what is left of the budget, at most phase_epochs.
Ref phase_length(PyObject* budget, PyObject* epoch, PyObject* phase_epochs) {
    Ref left = num::sub(budget, epoch);
    if (compare(left, phase_epochs, Py_LT)) return left;
    return newref(phase_epochs);
}

Ref fit_iht(Call& c, PyObject* self, PyObject* x, PyObject* y) {
    FitGuard guard(self, "_fit_iht");
    c.L(350);
    Ref epoch = newref(C.int_0);
    c.L(351);
    Ref phase_epochs = getattr(self, S.phase_epochs);
    Ref per_phase = num::truediv(getattr(self, S.max_epochs), phase_epochs);
    Ref rounds = num::truediv(per_phase, C.float_2);
    Ref floored = call_method(global(S.np), S.floor, rounds);
    Ref max_runs = own(PyNumber_Long(num::mul(floored, C.int_2)));
    c.L(352);
    if (compare(max_runs, C.int_0, Py_EQ)) {
        c.L(353);
        raise_object(B.KeyError, C.msg_phase_epochs);
    }
    c.L(355);
    Ref budget = num::mul(getattr(self, S.phase_epochs), max_runs);
    c.L(356);
    bool phase1 = true;
    bool phase2 = false;
    c.L(358);
    Ref best_loss_iht = getattr(global(S.np), S.inf);
    c.L(359);
    Ref no_improved_count_iht = newref(C.int_0);

    for (;;) {
        c.L(361);
        if (!compare(epoch, budget, Py_LT)) break;
        if (phase1) {
            c.L(363);
            Ref numleft = phase_length(budget, epoch, getattr(self, S.phase_epochs));
            c.L(367);
            setattr(self, S.iht_status_, Py_False);
            c.L(368);
            call_method(self, S._fit_bp, x, y, numleft);
            c.L(369);
            epoch = num::iadd(epoch, numleft);
            phase1 = false;
            phase2 = true;
        } else if (phase2) {
            c.L(373);
            Ref numleft = phase_length(budget, epoch, getattr(self, S.phase_epochs));
            c.L(377);
            setattr(self, S.iht_status_, Py_True);
            c.L(378);
            call_method(self, S._hard_thresholding_weight);
            c.L(379);
            call_method(self, S._fit_bp, x, y, numleft);
            c.L(380);
            epoch = num::iadd(epoch, numleft);
            phase1 = true;
            phase2 = false;

            // Round bookkeeping on the validation loss of the last epoch run.
            c.L(383);
            Ref last_loss = item(getattr(self, S.valid_epoch_loss_), -1);
            if (compare(best_loss_iht, last_loss, Py_GT)) {
                c.L(384);
                best_loss_iht = item(getattr(self, S.valid_epoch_loss_), -1);
                c.L(385);
                Ref snapshot = call_method(global(S.copy), S.deepcopy, getattr(self, S.net_));
                setattr(self, S.best_net_, snapshot);
                c.L(386);
                no_improved_count_iht = newref(C.int_0);
            } else {
                c.L(388);
                no_improved_count_iht = num::iadd(no_improved_count_iht, C.int_1);
            }
            c.L(389);
            if (compare(no_improved_count_iht, C.int_5, Py_GT)) {
                c.L(390);
                if (truth(getattr(self, S.verbose))) {
                    c.L(391);
                    Ref message = own(PyUnicode_Format(C.msg_iht_stop, no_improved_count_iht));
                    call(B.print, message);
                }
                c.L(392);
                setattr(self, S.net_, getattr(self, S.best_net_));
                c.L(393);
                return none();
            }
        }
    }
    c.L(394);
    return none();
}

/// The optimiser's per-parameter state (a dictionary keyed by parameter), or an
/// empty Ref when the estimator has no optimiser or the optimiser no state.
Ref optimiser_states(PyObject* self) {
    Ref optimizer = getattr_optional(self, "optimizer_");
    if (!optimizer) return Ref();
    return getattr_optional(optimizer, "state");
}

/// Zeroes Adam's first and second moment estimates of `parameter` where `small`
/// is true. Masking the gradient alone is not enough: the averages built up in
/// the dense phase would carry a zeroed weight off zero at the next step. A
/// parameter without state (no step taken yet) is left alone; `get` is used
/// because the state is a defaultdict that indexing would fill.
void zero_moments(PyObject* states, PyObject* parameter, PyObject* small) {
    if (states == nullptr) return;
    Ref state = call_method(states, S.get, parameter);
    if (state == Py_None) return;
    for (PyObject* key : {S.exp_avg, S.exp_avg_sq}) {
        Ref moment = call_method(state, S.get, key);
        if (moment != Py_None) setitem(moment, small, C.int_0);
    }
}

/// Zeroes every weight of magnitude at most `threshold` in place, with its
/// optimiser moments, and records the masks (1.0 kept, 0.0 zeroed) that the
/// sparse phase applies to gradients.
Ref hard_thresholding_weight(Call& c, PyObject* self) {
    c.L(258);
    setattr(self, S.param_fac, own(PyDict_New()));
    Ref states = optimiser_states(self);
    c.L(259);
    Ref pairs = iter(getattr(getattr(self, S.net_), S.weights));
    while (Ref pair = next(pairs)) {
        auto [name, parameter] = unpack<2>(pair);
        c.L(260);
        Ref torch_ = global(S.torch);
        Ref size = call_method(parameter, S.size);
        Ref mask = call_kw(getattr(torch_, S.ones), C.kw_device_dtype, size,
                           getattr(self, S.device), getattr(global(S.torch), S.double_));
        c.L(261);
        Ref magnitude = own(PyNumber_Absolute(parameter));
        Ref small = richcompare(magnitude, getattr(self, S.threshold), Py_LE);
        setitem(mask, small, C.int_0);
        c.L(262);
        Ref masked = num::mul(parameter, mask);
        Ref values = call(getattr(getattr(global(S.torch), S.nn), S.Parameter), masked);
        c.L(263);
        // The state dictionary's tensor shares storage with the live parameter,
        // so the network keeps its parameter objects (and the optimiser its state).
        Ref target = getitem(call_method(getattr(self, S.net_), S.state_dict), name);
        call_method(target, S.copy_, values);
        zero_moments(states, parameter, small);
        c.L(264);
        setitem(getattr(self, S.param_fac), name, mask);
        c.L(259);
    }
    return none();
}

/// Masks the gradients of zeroed weights so the optimiser step leaves them out.
Ref hard_thresholding_gradient(Call& c, PyObject* self) {
    c.L(271);
    Ref pairs = iter(getattr(getattr(self, S.net_), S.weights));
    while (Ref pair = next(pairs)) {
        auto [name, parameter] = unpack<2>(pair);
        c.L(272);
        if (truth(getattr(parameter, S.requires_grad)) && getattr(parameter, S.grad) != Py_None) {
            c.L(273);
            Ref masked = num::mul(getattr(parameter, S.grad), getitem(getattr(self, S.param_fac), name));
            setattr(parameter, S.grad, masked);
        }
        c.L(271);
    }
    return none();
}

}  // namespace

const FunctionSpec kHardThresholdingWeight = {
    "_hard_thresholding_weight", "RampNet._hard_thresholding_weight", 256, {"self"}, nullptr, {},
    "Threshold weights that are less than a threshold.\n\n"
    "Every weight whose magnitude is at most ``threshold`` is set to zero in\n"
    "place, together with its first and second moment estimates in\n"
    "``optimizer_.state`` where they exist, so that it stays zero while its\n"
    "gradient is masked; ``param_fac`` maps each weight's name to its mask\n"
    "(1.0 kept, 0.0 zeroed), a float64 tensor on ``device``. Biases are not\n"
    "thresholded.",
    body<hard_thresholding_weight>,
};

const FunctionSpec kHardThresholdingGradient = {
    "_hard_thresholding_gradient", "RampNet._hard_thresholding_gradient", 269, {"self"}, nullptr,
    {},
    "Threshold the gradients, whose corresponding weights are zero.\n\n"
    "Multiplies each weight's gradient by its mask in ``param_fac``.",
    body<hard_thresholding_gradient>,
};

const FunctionSpec kFitIht = {
    "_fit_iht", "RampNet._fit_iht", 336, {"self", "x", "y"}, nullptr, {},
    "Trains the model with Iterative Hard Thresholding algorithm\n\n"
    "Alternates dense phases and sparse phases of ``phase_epochs`` epochs each,\n"
    "within a budget of whole rounds that fits into ``max_epochs``, and stops\n"
    "after more than five rounds in a row without a lower validation loss,\n"
    "installing the best network of the rounds.\n\n"
    "Raises\n"
    "------\n"
    "KeyError\n"
    "    If ``max_epochs`` holds no whole round (two phases).",
    body<fit_iht>,
};

}  // namespace rampnet
